#!/usr/bin/env bash
# Runs one test program in a Wine prefix and a folder of its own, so that
# suites run side by side without sharing a service manager, a registry, a
# process list or files:
# - the prefix is a fresh clone of TEMPLATE (hard links for Wine's own
#   modules, real copies of everything Wine may write in place);
# - the programs of the build (BUILD's *.exe, *.dll, *.msi) and the test
#   program with the files beside it are copied to STAGE, so that a program
#   finds the host one folder above itself as in the build;
# - a persistent wineserver runs for the length of the program and ends with
#   it, also when this script is interrupted; the event records its services
#   report go to STAGE/wine-events.txt.
# Usage: run-suite.sh TEMPLATE PREFIX STAGE BUILD PROGRAM [ARGS...]
# The architecture comes from WINEARCH (win32 unless set), as for the template.
set -euo pipefail
# Wine takes only an absolute prefix path.
template=$(realpath -m "$1") prefix=$(realpath -m "$2") stage=$(realpath -m "$3") build=$4 program=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)

clone_prefix() {
  "$here/wine-session.sh" "$prefix" stop  # a server left by an earlier run
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  cp -al "$template" "$prefix"
  # Wine replaces its registry files by renaming, but other files (win.ini,
  # say) are rewritten in place: only the program modules stay shared.
  (cd "$template" && find . -type f ! -regex '.*\.\(dll\|exe\|nls\|sys\|drv\|vxd\|ocx\|cpl\|acm\|tlb\|ds\|ax\|mod\|com\|msstyles\|icm\)' -print0) |
    while IFS= read -r -d '' file; do cp --remove-destination -p "$template/$file" "$prefix/$file"; done
}

stage_programs() {
  rm -rf "$stage"
  mkdir -p "$stage/tests"
  find "$build" -maxdepth 1 -type f \( -name '*.exe' -o -name '*.dll' -o -name '*.msi' \) -exec cp -p {} "$stage/" \;
  # The test program and what lies beside it, other test programs apart.
  find "$(dirname "$program")" -maxdepth 1 -type f \( -name '*.exe' -o -name '*.dll' -o -name '*.msi' \) \
    ! \( -name 'test_*.exe' ! -name "$(basename "$program")" \) -exec cp -p {} "$stage/tests/" \;
}

clone_prefix
stage_programs
# Wine's event log keeps no records: the session's services write theirs to
# this file beside the test program's folder, where a test can read them.
export ZELT_WINE_EVENTS="$stage/wine-events.txt"
trap '"$here/wine-session.sh" "$prefix" stop' EXIT
trap 'exit 130' INT TERM
"$here/wine-session.sh" "$prefix" start
# In the background, so that an interrupt reaches this script at once; the
# session's end takes the program with it.
"$here/wine-run.sh" "$prefix" "$stage/tests/$(basename "$program")" "$@" &
wait $!

#!/bin/sh
# Creates a template prefix once per build (32-bit unless WINEARCH=win64 is
# set) and leaves no wineserver holding it, so that its registry files are
# complete on disk and suites can clone it. An existing template is left as
# it is.
# Usage: wine-template.sh PREFIX
set -e
prefix=$(realpath -m "$1")  # Wine takes only an absolute path
here=$(dirname "$0")
if [ ! -f "$prefix/system.reg" ]; then
  "$here/wine-run.sh" "$prefix" cmd /c exit 0 </dev/null >/dev/null 2>&1
fi
"$here/wine-session.sh" "$prefix" stop
test -f "$prefix/system.reg"

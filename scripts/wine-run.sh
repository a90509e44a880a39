#!/bin/sh
# Runs a Windows program under Wine in one of the build's private prefixes.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]. Creates the prefix on first
# use, 32-bit unless WINEARCH=win64 is set.
set -e
prefix=$(realpath -m "$1")  # Wine takes only an absolute path
shift
loader=$("$(dirname "$0")/wine-loader.sh")
export WINEPREFIX="$prefix" WINEARCH="${WINEARCH:-win32}"
# Wine starts further processes with the loader it names (Debian's `wine`
# leaves that to its default, the 32-bit one).
[ "$loader" = wine ] || export WINELOADER="$loader"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  flock "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { "$0" wineboot -i >/dev/null 2>&1; wineserver -w; }' "$loader"
fi
exec "$loader" "$@"

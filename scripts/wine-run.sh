#!/bin/sh
# Runs a Windows program under Wine in one of the build's private prefixes.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]. Creates the prefix on first
# use, 32-bit unless WINEARCH=win64 is set.
set -e
prefix=$(realpath -m "$1")  # Wine takes only an absolute path
shift
export WINEPREFIX="$prefix" WINEARCH="${WINEARCH:-win32}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  flock "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }'
fi
exec wine "$@"

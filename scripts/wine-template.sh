#!/bin/sh
# Creates a template prefix once per build (32-bit unless WINEARCH=win64 is
# set) and makes sure no wineserver holds it, so that its registry files are
# complete on disk and suites can clone it.
# Usage: wine-template.sh PREFIX
set -e
prefix=$1
here=$(dirname "$0")
"$here/wine-run.sh" "$prefix" cmd /c exit 0 </dev/null >/dev/null 2>&1
"$here/wine-session.sh" "$prefix" stop
test -f "$prefix/system.reg"

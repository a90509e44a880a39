#!/usr/bin/env bash
# The main job: installs what is missing, builds the host, and shows it at
# work under Wine in the build's private prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build >/dev/null

prefix="$PWD/build/wineprefix"
trap 'scripts/wine-session.sh "$prefix" stop' EXIT
scripts/wine-session.sh "$prefix" start

host() { scripts/wine-run.sh "$prefix" build/ZeltAgentSvc.exe "$@"; }
exit_code() { set +e; host "$@" >/dev/null 2>&1; local rc=$?; set -e; echo "$rc"; }

echo "Built build/ZeltAgentSvc.exe ($(file -b build/ZeltAgentSvc.exe | cut -d, -f1-2))"
echo "No settings on the command line: exit code $(exit_code) (low byte of 0x80070057, the refusal)"

#!/usr/bin/env bash
# Builds and runs the host's benchmark under Wine in the build's prefix and
# prints each figure beside its baseline from the same run.
# Usage: bash bench/run.sh [--rounds=N] [--idle-seconds=N]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target ZeltBench >/dev/null
prefix="$PWD/build/wineprefix"
finish() {
  local status=$?
  # A run cut short may leave the bench's instance installed: remove it
  # while the session still holds the service manager's state.
  if [ "$status" -ne 0 ]; then
    scripts/wine-run.sh "$prefix" build/ZeltAgentSvc.exe /unregserver /num=bench </dev/null >/dev/null 2>&1 || true
    scripts/wine-run.sh "$prefix" build/ZeltAgentSvc.exe /unregserver </dev/null >/dev/null 2>&1 || true
  fi
  scripts/wine-session.sh "$prefix" stop
}
trap finish EXIT
scripts/wine-session.sh "$prefix" start
echo "[ bench ] machine: $(nproc) cores (nproc), $(wine --version) (wine --version); load average $(cut -d' ' -f1-3 /proc/loadavg)"
timeout 900 scripts/wine-run.sh "$prefix" build/bench/ZeltBench.exe "$@"
echo "Machine: $(nproc) cores, $(wine --version). Command: bash bench/run.sh"

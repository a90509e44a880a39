#!/usr/bin/env bash
# Builds and runs the host's benchmark under Wine in the build's prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target ZeltBench >/dev/null
prefix="$PWD/build/wineprefix"
trap 'scripts/wine-session.sh "$prefix" stop' EXIT
scripts/wine-session.sh "$prefix" start
timeout 600 scripts/wine-run.sh "$prefix" build/bench/ZeltBench.exe

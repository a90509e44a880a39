#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite
# under Wine in the build's private prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build
# Never leave a wineserver of this prefix behind, even when interrupted.
trap 'scripts/wine-session.sh "$PWD/build/wineprefix" stop' EXIT
ctest --test-dir build --output-on-failure "$@"

#!/usr/bin/env bash
# Builds TARGETS in the build folder whose programs Wine starts on this
# machine and prints that folder: `build`, the shipped 32-bit build, where
# the kernel runs 32-bit code; else `build/x64`, the same sources built for
# x86_64, whose programs run in a 64-bit prefix (WINEARCH=win64). Without
# TARGETS it builds everything. The build's own output goes to standard
# error.
# Usage: runnable-build.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(scripts/wine-loader.sh)" = wine ]; then
  dir=build
  toolchain=()
else
  dir=build/x64
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-x86_64.cmake")
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$dir" "${targets[@]}" >&2
echo "$dir"

#!/usr/bin/env bash
# Builds and runs the host's benchmark under Wine in the build's prefix and
# prints each figure beside its baseline from the same run.
# Usage: bash bench/run.sh [--rounds=N] [--idle-seconds=N]
# (ZeltOutputBench takes --rounds only.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target ZeltBench ZeltOutputBench >/dev/null
# On a machine that runs no 32-bit code, Wine starts only 64-bit programs:
# the benchmark then measures the same sources built for x86_64, in a 64-bit
# prefix (and says so), while the size is that of the shipped 32-bit program.
bin=$(scripts/runnable-build.sh ZeltBench ZeltOutputBench 2>/dev/null)
[ "$bin" = build ] || export WINEARCH=win64
prefix="$PWD/$bin/wineprefix"
bench=
finish() {
  local status=$?
  # An interrupted or failed run may leave the benchmark running and its
  # instance installed: end the one, remove the other while the session
  # still holds the service manager's state, then end the session.
  if [ -n "$bench" ] && kill -0 "$bench" 2>/dev/null; then
    kill "$bench" 2>/dev/null || true
    wait "$bench" 2>/dev/null || true
  fi
  if [ "$status" -ne 0 ]; then
    scripts/wine-run.sh "$prefix" "$bin/ZeltAgentSvc.exe" /unregserver /num=bench </dev/null >/dev/null 2>&1 || true
    scripts/wine-run.sh "$prefix" "$bin/ZeltAgentSvc.exe" /unregserver </dev/null >/dev/null 2>&1 || true
    rm -f "$bin"/bench/benchlog-*.txt
  fi
  scripts/wine-session.sh "$prefix" stop
}
trap finish EXIT
trap 'exit 130' INT TERM
scripts/wine-session.sh "$prefix" start
echo "[ bench ] machine: $(nproc) cores (nproc), $("$(scripts/wine-loader.sh)" --version) (wine --version); load average $(cut -d' ' -f1-3 /proc/loadavg)"
# What ships is the stripped program: its size against the 300 KB target.
stripped=$(mktemp)
i686-w64-mingw32-strip -o "$stripped" build/ZeltAgentSvc.exe
echo "[ bench ] stripped host: $(stat -c %s "$stripped") bytes (target at most 307200 bytes, 300 KB)"
rm -f "$stripped"
# In the background, so that an interrupt reaches this script at once.
[ "$bin" = build ] || echo "[ bench ] this machine runs no 32-bit code: measuring $bin, the x86_64 build, in a 64-bit prefix"
timeout 900 scripts/wine-run.sh "$prefix" "$bin/bench/ZeltBench.exe" "$@" </dev/null &
bench=$!
wait "$bench"
bench=
# The capture of the agent's output, through the supervisor in process.
timeout 600 scripts/wine-run.sh "$prefix" "$bin/bench/ZeltOutputBench.exe" "$@" </dev/null &
bench=$!
wait "$bench"
bench=
echo "Machine: $(nproc) cores, $("$(scripts/wine-loader.sh)" --version). Command: bash bench/run.sh"

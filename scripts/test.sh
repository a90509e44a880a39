#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite
# under Wine: each suite in a prefix of its own (32-bit, and for some suites
# also 64-bit), several at a time. Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build
# Never leave a wineserver of any of the build's prefixes behind, even when
# interrupted: the suites end their own, this catches one whose runner was
# killed.
stop_sessions() {
  for prefix in build/wine/*/; do
    [ -f "$prefix/system.reg" ] && scripts/wine-session.sh "$PWD/$prefix" stop
  done
  return 0
}
trap stop_sessions EXIT
# In the background, so that an interrupt or a termination of this script
# reaches ctest at once (a background job ignores SIGINT: pass SIGTERM on).
ctest --test-dir build --output-on-failure -j "${ZELT_TEST_JOBS:-4}" "$@" &
ctest=$!
trap 'kill -TERM $ctest 2>/dev/null; wait $ctest; exit 130' INT TERM
wait $ctest

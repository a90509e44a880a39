#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite
# under Wine: each suite in a prefix of its own (32-bit, and for some suites
# also 64-bit), several at a time. Extra arguments go to ctest.
#
# On a machine whose kernel runs no 32-bit code, Wine's 32-bit loader cannot
# start: there the same sources are built for x86_64 as well (build/x64) and
# every suite runs in a 64-bit prefix with the 64-bit build, while the
# shipped 32-bit program is still built and its package checked.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
tests=$(scripts/runnable-build.sh)
[ "$tests" = build ] ||
  echo "test: this machine runs no 32-bit code; the suites run the x86_64 build ($tests) in 64-bit prefixes"
# Never leave a wineserver of any of the build's prefixes behind, even when
# interrupted: the suites end their own, this catches one whose runner was
# killed.
stop_sessions() {
  for prefix in "$tests"/wine/*/; do
    [ -f "$prefix/system.reg" ] && scripts/wine-session.sh "$PWD/$prefix" stop
  done
  return 0
}
trap stop_sessions EXIT
# In the background, so that an interrupt or a termination of this script
# reaches ctest at once (a background job ignores SIGINT: pass SIGTERM on).
# One suite per processor: the run is bound by the processors, and more
# suites side by side only lengthen Wine's own start-up waits (process
# creations failed and hung under that load) without ending sooner.
ctest --test-dir "$tests" --output-on-failure -j "${ZELT_TEST_JOBS:-$(nproc)}" "$@" &
ctest=$!
trap 'kill -TERM $ctest 2>/dev/null; wait $ctest; exit 130' INT TERM
wait $ctest

#!/bin/sh
# Starts or ends the persistent wineserver of one of the build's private
# prefixes. The service manager keeps its state only while that server lives.
# Usage: wine-session.sh PREFIX start|stop (a new prefix is 32-bit unless
# WINEARCH=win64 is set; ZELT_WINE_EVENTS, see below).
set -e
prefix=$(realpath -m "$1")  # Wine takes only an absolute path
export WINEPREFIX="$prefix" WINEARCH="${WINEARCH:-win32}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
here=$(dirname "$0")
case "$2" in
  start)
    # Create the prefix if needed; its short-lived server is then replaced by
    # a persistent one. Wine's own system processes start with the first
    # program and keep that program's standard handles, so the first program
    # runs with none: a test runner reading a test's output would otherwise
    # wait on them forever.
    if [ ! -f "$prefix/system.reg" ]; then
      "$here/wine-run.sh" "$prefix" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
    fi
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    wineserver -p </dev/null >/dev/null 2>&1
    # With ZELT_WINE_EVENTS=FILE, the system processes and the services they
    # start write the event records Wine's event log takes to FILE.
    if [ -n "${ZELT_WINE_EVENTS:-}" ]; then
      WINEDEBUG=-all,warn+eventlog,trace+eventlog,err+eventlog \
        "$here/wine-run.sh" "$prefix" cmd /c exit 0 </dev/null >/dev/null 2>>"$ZELT_WINE_EVENTS"
    else
      "$here/wine-run.sh" "$prefix" cmd /c exit 0 </dev/null >/dev/null 2>&1
    fi
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
  *) echo "usage: $0 PREFIX start|stop" >&2; exit 2 ;;
esac

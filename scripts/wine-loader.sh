#!/bin/sh
# Prints the Wine loader that starts programs on this machine. Debian's `wine`
# runs Wine's 32-bit loader, which also starts 64-bit programs; a kernel that
# runs no 32-bit code (IA-32 emulation off) cannot start it, and there only
# the 64-bit loader works, for 64-bit programs alone.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo wine
else
  echo /usr/lib/wine/wine64
fi

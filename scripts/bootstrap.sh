#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, as root.
# Silent and quick when everything is already there.
set -euo pipefail

# The x86_64 cross compilers build the tests for a machine that runs no
# 32-bit code (see scripts/test.sh).
packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          mingw-w64-tools cmake ninja-build
          googletest wine wine32:i386 wine64 zip unzip file wixl msitools)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
# Where a past run found wine32 uninstallable (see below), do not fetch the
# package lists again on every run for it alone.
if [ "${missing[*]}" = wine32:i386 ] &&
   ! apt-get install -s -qq wine32:i386 >/dev/null 2>&1; then
  echo "bootstrap: wine32:i386 cannot be installed; going on without it" >&2
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "bootstrap: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails the update for one index while the others
# are fine: try again a little later, then go on with what was fetched.
for attempt in 1 2 3; do
  apt-get update -qq && break
  echo "bootstrap: apt-get update failed (attempt $attempt)" >&2
  sleep $((attempt * 5))
done
install() { apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
install "${missing[@]}" && exit 0
# Wine's 32-bit half is the one package a machine that runs no 32-bit code
# can do without (the suites then run the x86_64 build in 64-bit prefixes);
# its i386 dependencies are also what a half-synced mirror breaks first.
rest=()
for p in "${missing[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
[ ${#rest[@]} -lt ${#missing[@]} ] || exit 1
echo "bootstrap: wine32:i386 cannot be installed; going on without it" >&2
[ ${#rest[@]} -eq 0 ] || install "${rest[@]}"

#!/usr/bin/env bash
# Builds the release packages and checks what they hold. The zip: the host
# (the very file the tests ran, stripped: a 32-bit GUI-subsystem PE of at most
# 300 KB), the demo agent, the README and the administrator's guide. The MSI:
# the same two programs, byte for byte, at the project's version.
set -euo pipefail
cd "$(dirname "$0")/../.."
output=$(bash scripts/package.sh)
zip=$(tail -n 1 <<<"$output")
msi=$(tail -n 2 <<<"$output" | head -n 1)
version=$(sed -n 's/^project(ZeltAgentSvc VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$zip" = "dist/ZeltAgentSvc-$version.zip" ] || { echo "unexpected package name: $zip"; exit 1; }
[ "$msi" = "dist/ZeltAgentSvc-$version.msi" ] || { echo "unexpected installer name: $msi"; exit 1; }

listing=$(unzip -Z1 "$zip" | sort | xargs)
expected="ZeltAgentSvc-$version/ ZeltAgentSvc-$version/ADMINISTRATION.md ZeltAgentSvc-$version/README.md ZeltAgentSvc-$version/ZeltAgentSvc.exe ZeltAgentSvc-$version/ZeltDemoAgent.exe"
[ "$listing" = "$expected" ] || { echo "package holds: $listing"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work"
dir="$work/ZeltAgentSvc-$version"
exe="$dir/ZeltAgentSvc.exe"
# strip stamps its output with the time it ran: compare without that stamp
# and the header checksum that covers it.
without_stamp() {  # program copy
  cp "$1" "$2"
  local header
  header=$(od -An -tu4 -j60 -N4 "$2" | tr -d ' ')
  dd if=/dev/zero of="$2" bs=1 seek=$((header + 8)) count=4 conv=notrunc status=none
  dd if=/dev/zero of="$2" bs=1 seek=$((header + 88)) count=4 conv=notrunc status=none
}
i686-w64-mingw32-strip -o "$work/tested.exe" build/ZeltAgentSvc.exe
without_stamp "$work/tested.exe" "$work/tested-nostamp.exe"
without_stamp "$exe" "$work/packaged-nostamp.exe"
cmp -s "$work/packaged-nostamp.exe" "$work/tested-nostamp.exe" || { echo "packaged host is not the tested build, stripped"; exit 1; }
for program in "$exe" "$dir/ZeltDemoAgent.exe"; do
  ! i686-w64-mingw32-objdump -h "$program" | grep -q '\.debug_' || { echo "not stripped: $program"; exit 1; }
done
file -b "$exe" | grep -q '^PE32 executable (GUI) Intel 80386' || { echo "not a 32-bit GUI PE: $(file -b "$exe")"; exit 1; }
size=$(stat -c %s "$exe")
[ "$size" -le $((300 * 1024)) ] || { echo "stripped host is $size bytes, more than 300 KB"; exit 1; }
grep -q '^### Installing an instance' "$dir/ADMINISTRATION.md" || { echo "guide lacks the installation section"; exit 1; }
grep -q '^### Silent deployment with the MSI package' "$dir/ADMINISTRATION.md" || { echo "guide lacks the MSI section"; exit 1; }

msiinfo export "$msi" Property | tr -d '\r' | grep -qx "ProductVersion	$version" || { echo "installer is not of version $version"; exit 1; }
msiextract -C "$work/msi" "$msi" >/dev/null
for program in ZeltAgentSvc.exe ZeltDemoAgent.exe; do
  found=$(find "$work/msi" -name "$program")
  [ -n "$found" ] && cmp -s "$found" "$dir/$program" || { echo "installer's $program differs from the zip's"; exit 1; }
done
echo "package ok: $zip $msi ($size bytes stripped host)"

#!/usr/bin/env bash
# Builds the release packages and checks what they hold. The zip: the host
# (the very file the tests ran, stripped: a 32-bit GUI-subsystem PE of at most
# 320 KB), the demo agent, the README and the administrator's guide. The MSI:
# the same two programs, byte for byte, at the project's version, and tables
# that say what the package source claims: each custom action's type carries
# the bits of its Execute, Impersonate and Return attributes; the instance
# properties hidden from the log; Add/Remove Programs' install location and
# no Change button; the older version removed after the new one is
# installed, the same version included; the host's file version set.
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
[ "$size" -le $((320 * 1024)) ] || { echo "stripped host is $size bytes, more than 320 KB"; exit 1; }
grep -q '^### Installing an instance' "$dir/ADMINISTRATION.md" || { echo "guide lacks the installation section"; exit 1; }
grep -q '^### Silent deployment with the MSI package' "$dir/ADMINISTRATION.md" || { echo "guide lacks the MSI section"; exit 1; }

msiinfo export "$msi" Property | tr -d '\r' | grep -qx "ProductVersion	$version" || { echo "installer is not of version $version"; exit 1; }
msiextract -C "$work/msi" "$msi" >/dev/null
for program in ZeltAgentSvc.exe ZeltDemoAgent.exe; do
  found=$(find "$work/msi" -name "$program")
  [ -n "$found" ] && cmp -s "$found" "$dir/$program" || { echo "installer's $program differs from the zip's"; exit 1; }
done
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
actions=$(table CustomAction)
# Each <CustomAction .../> of the source on one line.
tr '\n' ' ' <packaging/ZeltAgentSvc.wxs | grep -o '<CustomAction [^>]*/>' >"$work/declared"
[ "$(wc -l <"$work/declared")" -eq "$(wc -l <<<"$actions")" ] || { echo "CustomAction rows differ from the source"; exit 1; }
while read -r declared; do
  attribute() { sed -n "s/.* $1=\"\([^\"]*\)\".*/\1/p" <<<"$declared"; }
  id=$(attribute Id)
  type=$(awk -F'\t' -v a="$id" '$1 == a { print $2 }' <<<"$actions")
  [ -n "$type" ] || { echo "custom action $id missing"; exit 1; }
  case "$(attribute Execute)" in  # in-script 0x400, rollback 0x100, commit 0x200
    ""|immediate) want=0 ;;
    deferred) want=$((0x400)) ;;
    rollback) want=$((0x500)) ;;
    commit) want=$((0x600)) ;;
  esac
  [ $((type & 0x700)) -eq "$want" ] || { echo "$id: type $type does not say $(attribute Execute)"; exit 1; }
  impersonate=$((type & 0x800))  # 0x800: runs as the local system account
  [ "$(attribute Impersonate)" = no ] && [ "$want" -ne 0 ] && [ "$impersonate" -eq 0 ] && { echo "$id: type $type impersonates"; exit 1; }
  [ "$(attribute Impersonate)" != no ] && [ "$impersonate" -ne 0 ] && { echo "$id: type $type does not impersonate"; exit 1; }
  ignore=$(( (type & 0x40) != 0 ))  # 0x40: the result is ignored
  [ "$ignore" -eq "$([ "$(attribute Return)" = ignore ] && echo 1 || echo 0)" ] || { echo "$id: type $type, Return $(attribute Return)"; exit 1; }
done <"$work/declared"
properties=$(table Property)
property() { awk -F'\t' -v p="$1" '$1 == p { print $2 }' <<<"$properties"; }
[ "$(property ARPNOMODIFY)" = 1 ] || { echo "ARPNOMODIFY not set"; exit 1; }
# The deferred actions' data holds the instance properties.
for hidden in PORT AGENT CMD NUM $(grep -E 'Execute="(deferred|rollback)"' "$work/declared" | sed 's/.* Id="\([^"]*\)".*/\1/'); do
  tr ';' '\n' <<<"$(property MsiHiddenProperties)" | grep -qx "$hidden" || { echo "$hidden not in MsiHiddenProperties"; exit 1; }
done
grep -qP '^SetInstallLocation\t51\tARPINSTALLLOCATION\t\[INSTALLFOLDER\]' <<<"$actions" || { echo "ARPINSTALLLOCATION not set"; exit 1; }
sequence=$(table InstallExecuteSequence)
place() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' <<<"$sequence"; }
[ "$(place RemoveExistingProducts)" -gt "$(place InstallFinalize)" ] || { echo "the older version is removed before the new one is installed"; exit 1; }
upgrade=$(table Upgrade | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $3 " " $5 }')
read -r maximum attributes <<<"$upgrade"
[ "$maximum" = "$version" ] && [ $((attributes & 0x200)) -ne 0 ] || { echo "the same version is not upgraded: $upgrade"; exit 1; }
table File | awk -F'\t' '$1 == "HostExe" { exit $5 == "" }' || { echo "the host has no file version"; exit 1; }

echo "package ok: $zip $msi ($size bytes stripped host)"

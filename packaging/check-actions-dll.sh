#!/usr/bin/env bash
# Checks the custom action DLL that goes into the package: a PE of the
# expected machine that exports exactly the entry points the CustomAction
# table names, undecorated. Windows Installer finds a missing or decorated
# entry point only when it calls it (error 1723), and a 64-bit DLL not at
# all in a 32-bit package's process.
# Usage: check-actions-dll.sh OBJDUMP DLL MACHINE
#   MACHINE: the PE header's machine field in hex (14c: i386, 8664: AMD64).
set -euo pipefail
objdump=$1
dll=$2
machine=$3
expected="KeepUpgradeRegistration PrepareInstances RunInstanceSteps"
fail() { echo "check-actions-dll.sh: $dll: $*" >&2; exit 1; }

# The machine field follows the "PE\0\0" signature that e_lfanew (at 0x3c)
# points at.
header=$(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ')
[ "$(od -An -c -j "${header:-0}" -N2 "$dll" | tr -d ' ')" = PE ] || fail "not a PE file"
found=$(od -An -tx2 -j $((header + 4)) -N2 "$dll" | tr -d ' ' | sed 's/^0*//')
[ "$found" = "$machine" ] || fail "machine ${found:-none}, not $machine"
headers=$("$objdump" -p "$dll") || fail "objdump cannot read it"
# The name pointer table: "[ordinal] name" lines under its heading.
names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
             table && /^[[:space:]]*\[[[:space:]]*[0-9]+\]/ { print $NF; next }
             table { table = 0 }' <<<"$headers" | sort | xargs)
[ "$names" = "$expected" ] || fail "exports $(wc -w <<<"$names") names ('${names:0:200}'), not '$expected'"

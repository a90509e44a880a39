#!/usr/bin/env bash
# Builds the release package and checks what it holds: the host (the very
# file the tests ran, a 32-bit GUI-subsystem PE), the demo agent, the README
# and the administrator's guide.
set -euo pipefail
cd "$(dirname "$0")/../.."
zip=$(bash scripts/package.sh | tail -n 1)
version=$(sed -n 's/^project(ZeltAgentSvc VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$zip" = "dist/ZeltAgentSvc-$version.zip" ] || { echo "unexpected package name: $zip"; exit 1; }

listing=$(unzip -Z1 "$zip" | sort | xargs)
expected="ZeltAgentSvc-$version/ ZeltAgentSvc-$version/ADMINISTRATION.md ZeltAgentSvc-$version/README.md ZeltAgentSvc-$version/ZeltAgentSvc.exe ZeltAgentSvc-$version/ZeltDemoAgent.exe"
[ "$listing" = "$expected" ] || { echo "package holds: $listing"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work"
exe="$work/ZeltAgentSvc-$version/ZeltAgentSvc.exe"
cmp -s "$exe" build/ZeltAgentSvc.exe || { echo "packaged host differs from the tested build"; exit 1; }
file -b "$exe" | grep -q '^PE32 executable (GUI) Intel 80386' || { echo "not a 32-bit GUI PE: $(file -b "$exe")"; exit 1; }
grep -q '^### Installing an instance' "$work/ZeltAgentSvc-$version/ADMINISTRATION.md" || { echo "guide lacks the installation section"; exit 1; }
echo "package ok: $zip"

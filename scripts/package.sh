#!/usr/bin/env bash
# Builds the release package dist/ZeltAgentSvc-<version>.zip (the host and
# the demo agent, stripped, the README and the administrator's guide: the
# README's Windows section, so that the two never disagree) and the
# installer package dist/ZeltAgentSvc-<version>.msi beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target ZeltAgentSvc ZeltDemoAgent zelt_msi >/dev/null

version=$(sed -n 's/^project(ZeltAgentSvc VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="ZeltAgentSvc-$version"
stage="build/package/$name"
rm -rf "$stage" && mkdir -p "$stage" dist
# The build keeps its symbols for the tests; what ships is stripped.
cp build/stripped/ZeltAgentSvc.exe build/stripped/ZeltDemoAgent.exe README.md "$stage/"
{
  echo "# ZeltAgentSvc $version: administrator's guide"
  echo
  sed -n '/^## Using the host on Windows/,/^## /{/^## /d;p}' README.md
} > "$stage/ADMINISTRATION.md"
rm -f "dist/$name.zip"
(cd build/package && zip -q -r "../../dist/$name.zip" "$name")
cp "build/$name.msi" "dist/$name.msi"
echo "ZeltAgentSvc.exe stripped: $(stat -c %s "$stage/ZeltAgentSvc.exe") bytes; $name.msi: $(stat -c %s "dist/$name.msi") bytes"
echo "dist/$name.msi"
echo "dist/$name.zip"

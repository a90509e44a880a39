#!/usr/bin/env bash
# Builds the release package dist/ZeltAgentSvc-<version>.zip: the host, the
# demo agent, the README and the administrator's guide (the README's Windows
# section, so that the two never disagree).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target ZeltAgentSvc ZeltDemoAgent >/dev/null

version=$(sed -n 's/^project(ZeltAgentSvc VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="ZeltAgentSvc-$version"
stage="build/package/$name"
rm -rf "$stage" && mkdir -p "$stage" dist
cp build/ZeltAgentSvc.exe build/ZeltDemoAgent.exe README.md "$stage/"
{
  echo "# ZeltAgentSvc $version: administrator's guide"
  echo
  sed -n '/^## Using the host on Windows/,/^## /{/^## /d;p}' README.md
} > "$stage/ADMINISTRATION.md"
rm -f "dist/$name.zip"
(cd build/package && zip -q -r "../../dist/$name.zip" "$name")
echo "dist/$name.zip"

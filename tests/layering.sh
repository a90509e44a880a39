#!/usr/bin/env bash
# Checks that the folders of src/ include one another top-down only: the
# C++ sources of each folder may include that folder and the folders listed
# for it below, which lie beneath it, so that no folder includes one above it
# and no two include each other. An include without a folder (a file beside
# the includer, or one the build generates) is not checked.
# Usage: layering.sh [SRC_DIR]
set -euo pipefail
src=${1:-$(dirname "$0")/../src}

declare -A allowed=(
  [resources]=""
  [base]="resources"
  [registrar]="base resources"
  [agent]="base resources"
  [runtime]="base registrar resources"
  [instance]="base registrar resources"
  [host]="base registrar agent runtime instance resources"
)

status=0
checked=0
for dir in "$src"/*/; do
  folder=$(basename "$dir")
  if [[ -z ${allowed[$folder]+set} ]]; then
    echo "src/$folder: a folder the layering does not know; give it its place in $0"
    status=1
    continue
  fi
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    target=$(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^/"]+)\/[^"]*".*/\1/p' <<<"${rest#*:}")
    [[ -z $target ]] && continue
    checked=$((checked + 1))
    if [[ $target != "$folder" && " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "${file#"$src"/}:$line: $folder includes $target/, which is not beneath it (allowed: ${allowed[$folder]:-none})"
      status=1
    fi
  done < <(grep -rnE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$dir" || true)
done
if [[ $checked -eq 0 ]]; then
  echo "no include with a folder found under $src: wrong directory?"
  status=1
fi
[[ $status -eq 0 ]] && echo "layering holds: $checked includes between folders checked"
exit $status

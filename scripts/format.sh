#!/usr/bin/env bash
# Formats every C++ file of the tree with the style in .clang-format.
#   scripts/format.sh          rewrite in place
#   scripts/format.sh --check  list the files that differ, fail if any
set -euo pipefail
cd "$(dirname "$0")/.."
formatter="$(command -v clang-format-14 || command -v clang-format)"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  "$formatter" --dry-run --Werror "${files[@]}"
else
  "$formatter" -i "${files[@]}"
fi

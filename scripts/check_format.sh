#!/usr/bin/env bash
# Checks that every C++ file is formatted by the repository's .clang-format,
# naming each file that is not; with --fix, formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cc' '*.h' 2>/dev/null || find core image_tool vault_tool tests bench -name '*.cc' -o -name '*.h')
if [ "${1:-}" = --fix ]; then
  exec clang-format -i "${files[@]}"
fi
unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" 2>/dev/null || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'Not formatted (scripts/check_format.sh --fix formats them):\n' >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi

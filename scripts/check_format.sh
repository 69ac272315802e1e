#!/usr/bin/env bash
# Checks that every file is formatted and clean: C++ by the repository's
# .clang-format, Python by black (pyproject.toml), shell scripts without a
# finding of shellcheck; names each file that is not. With --fix, formats the
# C++ and Python files in place instead (shellcheck's findings are fixed by hand).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t cpp < <(git ls-files '*.cc' '*.h')
mapfile -t python < <(git ls-files '*.py')
mapfile -t shell < <(git ls-files '*.sh' .ci/run)
if [ "${1:-}" = --fix ]; then
  clang-format -i "${cpp[@]}"
  exec black -q "${python[@]}"
fi
unformatted=()
for file in "${cpp[@]}"; do
  clang-format --dry-run --Werror "$file" 2>/dev/null || unformatted+=("$file")
done
while read -r file; do
  unformatted+=("$file")
done < <(black --check "${python[@]}" 2>&1 | sed -n 's/^would reformat //p')
status=0
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'Not formatted (scripts/check_format.sh --fix formats them):\n' >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  status=1
fi
shellcheck "${shell[@]}" || status=1
exit $status

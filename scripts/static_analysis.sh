#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the whole product code: the
# core and both tools as built natively, from BUILD_DIR's compile database, and
# the core with its Win32 side as built for 64-bit and 32-bit Windows, against
# the mingw-w64 headers. Every finding is an error. (The compile database holds
# g++ flags; clang is told to pass over the warning options it does not know.)
#   scripts/static_analysis.sh [BUILD_DIR]    (default: build/native)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
[ -f "$build/compile_commands.json" ] || {
  echo "$build/compile_commands.json is missing: configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
  exit 2
}
shared=(core/*.cc image_tool/*.cc vault_tool/*.cc)
jobs=$(nproc)
status=0
# clang-tidy counts the warnings it hid in system headers on stderr: noise.
quiet() { grep -v '^[0-9]* warnings\? generated\.$' >&2 || true; }
printf '%s\n' "${shared[@]}" core/linux/*.cc |
  xargs -P"$jobs" -n1 clang-tidy --quiet -p "$build" --extra-arg=-Wno-unknown-warning-option 2> >(quiet) || status=1

for target in x86_64-w64-mingw32 i686-w64-mingw32; do
  if ! command -v "$target-g++" >/dev/null; then
    echo "skipped $target: $target-g++ is not installed" >&2
    continue
  fi
  # clang brings its own compiler headers; the C++ library is mingw-w64 g++'s.
  includes=()
  while read -r folder; do
    [[ $folder == */include/c++* ]] && includes+=(-isystem "$folder")
  done < <("$target-g++" -xc++ -E -v /dev/null 2>&1 | sed -n '/search starts here:/,/End of search list/p')
  printf '%s\n' "${shared[@]}" core/win32/*.cc |
    xargs -P"$jobs" -I{} clang-tidy --quiet {} -- --target="$target" -std=c++17 -Icore "${includes[@]}" 2> >(quiet) ||
    status=1
done
exit $status

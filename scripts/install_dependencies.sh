#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing. Usage: install_dependencies.sh [native|all]
set -euo pipefail

packages=(cmake make g++ libgtest-dev libbenchmark-dev python3 time)
# Icons, packages and their checks: rsvg-convert, dpkg-shlibdeps (with file),
# desktop-file-validate, groff and man.
packages+=(librsvg2-bin dpkg-dev file desktop-file-utils groff-base man-db)
# Sanitizer and fuzz builds (clang with libFuzzer); signals timed by strace.
packages+=(clang libclang-rt-14-dev strace)
# The progress line, watched in a real terminal.
packages+=(tmux)
if [ "${1:-all}" = all ]; then
  packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 libxml2-utils icoutils)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

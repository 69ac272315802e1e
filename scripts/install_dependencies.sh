#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing. Usage: install_dependencies.sh [native|all]
set -euo pipefail

# Enough to configure and build the native programs (icons are drawn at build time).
packages=(cmake make g++ libgtest-dev libbenchmark-dev python3 librsvg2-bin)
if [ "${1:-all}" = all ]; then
  # Windows cross build and Wine; the manifest and icon checks.
  packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 libxml2-utils icoutils)
  # Packages and their checks: dpkg-shlibdeps (with file), desktop-file-validate, groff and man.
  packages+=(dpkg-dev file desktop-file-utils groff-base man-db)
  # Sanitizer and fuzz builds (clang with libFuzzer); signals timed by strace;
  # peak memory by time; the progress line watched in a real terminal.
  packages+=(clang libclang-rt-14-dev strace time tmux)
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
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null

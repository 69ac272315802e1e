#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing. Usage: install_dependencies.sh [native|all]
set -euo pipefail

# Enough to configure and build the native programs (icons are drawn at build time).
packages=(cmake make g++ libgtest-dev libbenchmark-dev python3 librsvg2-bin)
if [ "${1:-all}" = all ]; then
  # Windows cross builds, 64-bit and 32-bit, and Wine to run both (32-bit
  # programs need the i386 Wine); the icons for the .exe files.
  packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386 icoutils)
  # Packages and their checks: dpkg-shlibdeps (with file), lintian,
  # desktop-file-validate, groff and man.
  packages+=(dpkg-dev file lintian desktop-file-utils groff-base man-db)
  # Signals timed by strace; peak memory by time; the progress line watched
  # in a real terminal.
  packages+=(strace time tmux)
  # The black-box table's runner; the code's format (C++, Python, shell) and
  # the analyser's checks.
  packages+=(python3-pytest clang-format black shellcheck clang-tidy)
  # A real exFAT file system for the rows that need one (no unnamed files,
  # names kept as Unicode): formatted on a loop device, mounted through FUSE.
  packages+=(exfatprogs exfat-fuse)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null

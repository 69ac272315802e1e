#!/usr/bin/env bash
# Builds the native programs and runs them on the bundled sample picture:
# a disguise, then a restore by each tool, showing that the bytes come back.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install_dependencies.sh native
cmake --preset native >/dev/null
cmake --build build/native -j"$(nproc)" --target image_tool vault_tool >/dev/null

work=build/sample
rm -rf "$work" && mkdir -p "$work"
cp samples/cat.png "$work/"
quistel=$PWD/build/native/image_tool/quistel
vorlune=$PWD/build/native/vault_tool/vorlune
cd "$work"

run() {  # shows the console of one drop; the echoed Enter ends the wait
  echo "\$ $(basename "$1") ${*:2}"
  echo | "$@"
  echo " [Enter]  (exit status $?)"
  echo
}

run "$quistel" cat.png
run "$quistel" cat.png.xyz
cp cat.png.xyz copy.png.xyz
run "$vorlune" copy.png.xyz

echo "Files:"
ls -l
cmp cat.png cat.png.png && cmp cat.png copy.png && echo "Restored bytes are identical to the original."
if cmp -s cat.png cat.png.xyz; then echo "The disguise did not change the bytes!" >&2; exit 1; fi
echo "The disguised copy differs in every byte: $(cmp -l cat.png cat.png.xyz | wc -l) of $(stat -c %s cat.png) bytes."

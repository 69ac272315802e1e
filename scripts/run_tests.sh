#!/usr/bin/env bash
# Installs what is missing, builds the native programs and the 64-bit and
# 32-bit Windows .exe files with warnings as errors, and runs every test: the
# code's format and the analyser, unit tests, the black-box
# table natively and on both Windows builds under Wine, the packages; then the
# unit tests and the native table built with sanitizers
# (scripts/run_hardening.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install_dependencies.sh all
# Here, unlike in a plain build, a warning fails the build.
for windows in windows windows-x86; do
  cmake --preset "$windows" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build "build/$windows" -j"$(nproc)"
done
cmake --preset native -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build/native -j"$(nproc)"
ctest --test-dir build/native --output-on-failure -j2 "$@"
scripts/run_hardening.sh

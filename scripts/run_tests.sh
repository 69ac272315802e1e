#!/usr/bin/env bash
# Installs what is missing, builds the native programs and the Windows .exe
# files, and runs every test: unit tests, the black-box table natively and
# under Wine, the packages and the Windows files; then the unit tests and the
# native table built with sanitizers (scripts/run_hardening.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install_dependencies.sh all
cmake --preset windows >/dev/null
cmake --build build/windows -j"$(nproc)"
cmake --preset native >/dev/null
cmake --build build/native -j"$(nproc)"
ctest --test-dir build/native --output-on-failure -j2 "$@"
scripts/run_hardening.sh

#!/usr/bin/env bash
# Installs what is missing, builds the native programs and the Windows .exe
# files, and runs every test: unit tests, the black-box table natively and
# under Wine, and the Windows-only cases; then the sanitizer build and the
# bounded fuzz run (scripts/run_hardening.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install_dependencies.sh all
cmake --preset windows >/dev/null
cmake --build build/windows -j"$(nproc)"
cmake --preset native >/dev/null
cmake --build build/native -j"$(nproc)"
ctest --test-dir build/native --output-on-failure -j2 "$@"
scripts/run_hardening.sh

#!/usr/bin/env bash
# The checks beyond the plain build, called by scripts/run_tests.sh: the unit
# tests and the native black-box table built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset asan -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build build/asan -j"$(nproc)" --target unit_tests image_tool vault_tool short_writes
# Windows, packaging, past-4-GiB cases and the code's own checks belong to the
# plain build.
ctest --test-dir build/asan --output-on-failure -j2 -LE large \
  -E '^(black_box_wine|package_install|format|static_analysis)'

#!/usr/bin/env bash
# The checks beyond the plain build, called by scripts/run_tests.sh: the unit
# tests, the native black-box table and the hardening cases built with
# AddressSanitizer and UndefinedBehaviorSanitizer, then a bounded run of the
# fault-schedule fuzzer (clang, libFuzzer; FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset asan >/dev/null
cmake --build build/asan -j"$(nproc)" --target unit_tests image_tool vault_tool
# Windows, packaging and past-4-GiB cases belong to the plain build.
ctest --test-dir build/asan --output-on-failure -j2 -LE large \
  -E '^(black_box_wine|windows_artifacts|package_install)'

cmake --preset fuzz -DFUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target run_dropped_fuzzer
ctest --test-dir build/fuzz --output-on-failure -L fuzz

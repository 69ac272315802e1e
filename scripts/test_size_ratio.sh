#!/usr/bin/env bash
# Prints the tests' size against the code's: non-blank lines of the tracked
# files under tests/ over those of every other tracked source or build file
# (C++, CMake, shell, Python, resource templates, the CI entry point).
set -euo pipefail
cd "$(dirname "$0")/.."
non_blank() { cat -- "$@" | grep -c '[^[:space:]]'; }
mapfile -t tests < <(git ls-files tests)
mapfile -t code < <(git ls-files '*.cc' '*.h' '*.cmake' '*CMakeLists.txt' '*.sh' '*.py' '*.rc.in' .ci/run ':(exclude)tests/')
t=$(non_blank "${tests[@]}")
c=$(non_blank "${code[@]}")
awk -v t="$t" -v c="$c" 'BEGIN { printf "tests %d / code %d = %.3f\n", t, c, t / c }'

#!/usr/bin/env bash
# Soak: 100,000 passes cycling F1, F2 and P (resident memory growth), then a
# shorter run of the same under valgrind memcheck (errors and definite leaks).
#   scripts/soak.sh [PASSES] [VALGRIND_PASSES]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
. scripts/xvfb.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELLOMAR_TESTS=OFF -DVELLOMAR_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target soak >/dev/null
build-bench/bench/soak "${1:-100000}"
valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite build-bench/bench/soak "${2:-3000}"

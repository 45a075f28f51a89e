#!/usr/bin/env bash
# Builds and runs the benchmarks on a private Xvfb display.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
. scripts/xvfb.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELLOMAR_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
build/bench/bench_pass
build/bench/bench_latency
build/bench/bench_save

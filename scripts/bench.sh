#!/usr/bin/env bash
# Builds and runs the benchmarks on a private Xvfb display.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
. scripts/xvfb.sh
export VELLOMAR_XSERVER_PID=$_xvfb_pid
# A Release build of their own, so that no other script inherits its type.
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELLOMAR_TESTS=OFF -DVELLOMAR_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
build-bench/bench/bench_pass
build-bench/bench/bench_latency
build-bench/bench/bench_latency rest 10
build-bench/bench/bench_save

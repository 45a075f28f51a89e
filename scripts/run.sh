#!/usr/bin/env bash
# Installs what is missing, builds, and starts the game.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DVELLOMAR_TESTS=OFF -DVELLOMAR_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target vellomar >/dev/null
exec build/vellomar

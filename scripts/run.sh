#!/usr/bin/env bash
# Installs what is missing, builds, and starts the game in the folder this
# was run from, where F1 saves load.bmp.
set -euo pipefail
here=$PWD
checkout=$(cd "$(dirname "$0")/.." && pwd)
cd "$checkout"
scripts/deps.sh
cmake -S . -B build -DVELLOMAR_TESTS=OFF -DVELLOMAR_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target vellomar >/dev/null
cd "$here"
exec "$checkout/build/vellomar"

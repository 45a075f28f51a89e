#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite on a private
# Xvfb display: first a plain build, then the Debian package's build and
# checks, then a one-minute fuzz run of the snapshot reader, then the suite
# again built with AddressSanitizer and UndefinedBehaviorSanitizer, then
# the Windows build, tested under Wine, and last the browser build, tested
# in headless Chromium, Firefox and WebKit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
. scripts/xvfb.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE= -DVELLOMAR_TESTS=ON -DVELLOMAR_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

# The Debian package: built, then checked as it would be installed.
tests/test_package.sh

# A short fuzz run of the snapshot reader (scripts/fuzz.sh runs longer ones).
scripts/fuzz.sh 60

cmake -S . -B build-asan -DVELLOMAR_SANITIZE=ON -DVELLOMAR_TESTS=ON -DVELLOMAR_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure

# The Windows zip, and its tests under Wine.
scripts/windows.sh test

# The browser build, and its tests in headless Chromium, Firefox and WebKit.
scripts/web.sh test

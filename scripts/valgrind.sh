#!/usr/bin/env bash
# Replays the regression corpus, the seeds and whatever the fuzzer has
# collected through the load path under valgrind memcheck: the library is
# not instrumented, so a silent overflow inside it shows only here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
cmake -S . -B build -DVELLOMAR_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target replay_load make_corpus >/dev/null
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
build/tests/make_corpus valid "$seeds"
build/tests/make_corpus hostile "$seeds"
files=(tests/corpus/* "$seeds"/*)
[ -d build-fuzz/seeds ] && files+=(build-fuzz/seeds/*)
[ -d build-fuzz/corpus ] && files+=(build-fuzz/corpus/*)
valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
  --show-leak-kinds=definite -q build/tests/replay_load "${files[@]}"

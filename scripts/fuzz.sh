#!/usr/bin/env bash
# Fuzzes the snapshot load path (check, library reader, paste) with libFuzzer.
#   scripts/fuzz.sh [SECONDS]     default 600
# Seeds: valid files of every kind, the hostile samples and the regression
# corpus (tests/corpus). A crash, a leak, an input slower than 1 s or an
# allocation over 512 MB fails the run; the input is left in build-fuzz/.
# Anything found belongs in tests/corpus as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/deps.sh test
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVELLOMAR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
seeds=build-fuzz/seeds
mkdir -p "$seeds" build-fuzz/corpus build-fuzz/artifacts
build-fuzz/make_corpus valid "$seeds"
build-fuzz/make_corpus hostile "$seeds"
cp tests/corpus/* "$seeds"/
# The forms ImageMagick writes: v5 and v4 headers, alpha bit fields, an
# RLE8 of odd width whose runs overrun every row,
convert "$seeds/rgb24_37x23.bmp" "$seeds/im_v5.bmp"
convert "$seeds/rgb24_37x23.bmp" -intent Undefined "$seeds/im_v4.bmp"
convert "$seeds/rgb24_37x23.bmp" -alpha on "$seeds/im_v5_alpha.bmp"
convert "$seeds/rgb8_37x23.bmp" "$seeds/im_v5_rle8.bmp"
# and the 16-bit layouts it writes on request.
for subtype in RGB565 ARGB4444 ARGB1555; do
  convert "$seeds/rgb24_37x23.bmp" -alpha on -define bmp:subtype=$subtype "$seeds/im_$subtype.bmp"
done
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
# Pictures over 4 megapixels are checked and rewritten but not handed on
# to the library here (see tests/fuzz_load.cpp): at the size bound the
# library alone takes a second under the sanitizers.
build-fuzz/fuzz_load -max_total_time="$seconds" -timeout=1 -malloc_limit_mb=512 -rss_limit_mb=2048 \
  -max_len=65536 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ \
  build-fuzz/corpus "$seeds" 2>&1 | grep -v -E '^#[0-9]+.*(NEW|REDUCE|pulse)' || true
# libFuzzer's own exit status is lost in the pipe; an artifact means a finding.
if ls build-fuzz/artifacts/* >/dev/null 2>&1; then
  echo "fuzz: findings in build-fuzz/artifacts:"; ls build-fuzz/artifacts
  exit 1
fi
echo "fuzz: no crash, hang, leak or oversized allocation in ${seconds} s"

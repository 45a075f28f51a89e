#!/usr/bin/env bash
# This tree's builds side by side with an earlier commit's, in one run on
# the same machine: the pass rate (bench_pass, in turns), the latencies
# (bench_latency), the processor time at rest natively and under Wine, and
# the browser's (bench/bench_web.py, with the earlier site beside).
#   bench/compare.sh COMMIT
# The earlier tree is checked out and built under build/compare/.
set -euo pipefail
cd "$(dirname "$0")/.."
old_commit=${1:?which earlier commit to compare with}
scripts/deps.sh test
scripts/deps.sh windows
dir=$PWD/build/compare
old=$dir/old
. scripts/xvfb.sh
git worktree remove --force "$old" 2>/dev/null || rm -rf "$old"
mkdir -p "$dir"
git worktree add --detach "$old" "$old_commit" >/dev/null
xvfb_at_exit 'git worktree remove --force "$old" 2>/dev/null || true'

# Each tree's own Release build, Windows exe and site.
for tree in "$PWD" "$old"; do
  (cd "$tree" && cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELLOMAR_TESTS=OFF -DVELLOMAR_BENCH=ON \
     >/dev/null && cmake --build build-bench -j"$(nproc)" >/dev/null && scripts/windows.sh >/dev/null &&
   scripts/web.sh >/dev/null)
done

export VELLOMAR_XSERVER_PID=$_xvfb_pid
export WINEPREFIX=$dir/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
xvfb_at_exit 'wineserver -k 2>/dev/null || true'
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
wineserver -w
wineserver -p

new_bin=build-bench/vellomar old_bin=$old/build-bench/vellomar
echo "== pass rate, this tree's bench_pass then the earlier one's, three times"
for round in 1 2 3; do
  echo "this:    $(build-bench/bench/bench_pass 20 500 | head -n 1)"
  echo "earlier: $("$old"/build-bench/bench/bench_pass 20 500 | head -n 1)"
done
echo "== latencies"
echo "-- this tree"
VELLOMAR_GAME=$new_bin build-bench/bench/bench_latency 20
echo "-- the earlier tree"
VELLOMAR_GAME=$old_bin build-bench/bench/bench_latency 20
echo "== processor time at rest"
for game in "$new_bin" "$old_bin" "wine build/win/game/vellomar.exe" "wine $old/build/win/game/vellomar.exe"; do
  echo "$game: $(VELLOMAR_GAME=$game build-bench/bench/bench_latency rest 10)"
done
echo "== the browser"
python3 bench/bench_web.py build/web build-bench/bench/bench_pass build-bench/bench/bench_latency "$old/build/web"

#!/usr/bin/env bash
# Draws a little on a fresh board under Xvfb and saves the window as
# docs/screenshot.png (the picture in the README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
. scripts/xvfb.sh
cmake -S . -B build >/dev/null && cmake --build build -j"$(nproc)" --target vellomar >/dev/null
work=$(mktemp -d)
(cd "$work" && exec "$OLDPWD/build/vellomar") &
game=$!
win=$(xdotool search --sync --onlyvisible --name "^vellomar$" | head -1)
xdotool windowfocus --sync "$win"
stroke() { xdotool keydown "$@"; sleep 0.04; xdotool keyup "$@"; }
stroke Down; stroke Right; stroke w a; stroke Left s
sleep 0.2
import -window "$win" docs/screenshot.png
xdotool key Escape
wait $game
rm -rf "$work"

#!/usr/bin/env bash
# Writes src/linux/icon.h, the window's icon on X11 (_NET_WM_ICON), from
# data/vellomar.png: the same picture the desktop entry shows, as the ARGB
# numbers the property holds. Run it again when the icon changes; the
# install check (tests/test_install.sh) tells when it was not.
#   scripts/icon.sh [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-src/linux/icon.h}
convert data/vellomar.png -depth 8 rgba:- | python3 -c '
import sys
data = sys.stdin.buffer.read()
side = 48
assert len(data) == side * side * 4, len(data)
words = ["0x%02x%02x%02x%02xu" % (data[i + 3], data[i], data[i + 1], data[i + 2]) for i in range(0, len(data), 4)]
print("// The window\x27s icon, %d x %d, as _NET_WM_ICON holds it: width, height, then" % (side, side))
print("// each pixel as ARGB, row by row. Made by scripts/icon.sh from data/vellomar.png.")
print("#pragma once\n")
print("static const unsigned long ICON[] = {\n    %d, %d," % (side, side))
for i in range(0, len(words), 8):
    print("    " + ", ".join(words[i:i + 8]) + ",")
print("};")
' >"$out"

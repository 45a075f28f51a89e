#!/usr/bin/env bash
# Installs into a temporary prefix and checks that every file is there and valid.
#   test_install.sh BUILD_DIR
set -u
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
. "$(dirname "$0")/checks.sh"
check "cmake --install" cmake --install "$build" --prefix "$prefix"
check "program" test -x "$prefix/bin/vellomar"
man="$prefix/share/man/man6/vellomar.6"
check "manual page" test -f "$man"
check "groff finds nothing" empty groff -ww -z -man "$man"
check "mandoc lint finds nothing" empty mandoc -T lint "$man"
check "man renders it" empty sh -c "MANWIDTH=80 man -l '$man' 2>&1 >/dev/null"
for k in 'Up, Down, Left, Right' 'W, S, A, D' Space F1 F2 P Esc; do
  check "manual explains $k" grep -qx ".B $k" "$man"
done
for s in FILES 'EXIT STATUS' DIAGNOSTICS; do
  check "manual has $s" grep -qx ".SH $s" "$man"
done
check "the snapshot file's account is installed beside the manual" test -s "$prefix/share/doc/vellomar/snapshot.md"
check "manual names the snapshot and its size bound" sh -c "grep -q '^.I load.bmp' '$man' && grep -q 16384 '$man'"
id=io.github.vellomar.vellomar
desktop="$prefix/share/applications/$id.desktop"
check "desktop entry" test -f "$desktop"
check "desktop-file-validate" empty desktop-file-validate "$desktop"
check "desktop entry is a game" grep -qx 'Categories=Game;KidsGame;' "$desktop"
check "desktop entry runs no terminal" grep -qx 'Terminal=false' "$desktop"
check "desktop entry starts the game by its full path" grep -qx "Exec=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")/bin/vellomar" "$desktop"
check "desktop entry matches the window's class" grep -qx 'StartupWMClass=Vellomar' "$desktop"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
check "AppStream metadata validates" appstream validate "$metainfo"
check "AppStream metadata launches the desktop entry" grep -q "<launchable type=\"desktop-id\">$id.desktop<" "$metainfo"
svg="$prefix/share/icons/hicolor/scalable/apps/vellomar.svg"
png="$prefix/share/icons/hicolor/48x48/apps/vellomar.png"
check "scalable icon is SVG" sh -c "identify -format '%m' '$svg' | grep -qx SVG"
check "48x48 icon is a 48x48 PNG" sh -c "identify -format '%m %w %h' '$png' | grep -qx 'PNG 48 48'"
# The window's icon is the installed one's picture (scripts/icon.sh makes it).
icon_h=$(mktemp)
check "the window's icon is made from the 48x48 icon as it is now" sh -c \
  "'$(dirname "$0")/../scripts/icon.sh' '$icon_h' && cmp -s '$icon_h' '$(dirname "$0")/../src/linux/icon.h'"
rm -f "$icon_h"

finish

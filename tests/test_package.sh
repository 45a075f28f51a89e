#!/usr/bin/env bash
# Builds the Debian package and checks it as it would be installed:
# lintian, its file list, the AppStream metadata and desktop entry in it.
set -u
cd "$(dirname "$0")/.."
. tests/checks.sh
id=io.github.vellomar.vellomar
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

check "package builds" scripts/package.sh
deb=$(ls build/deb/vellomar_*.deb 2>/dev/null | head -n 1)
check "lintian finds no error and no warning" lintian --fail-on error,warning "$deb"
dpkg-deb -c "$deb" | awk '{print $6}' >"$root/files"
for f in usr/games/vellomar usr/share/man/man6/vellomar.6.gz usr/share/applications/$id.desktop \
         usr/share/metainfo/$id.metainfo.xml usr/share/icons/hicolor/scalable/apps/vellomar.svg \
         usr/share/icons/hicolor/48x48/apps/vellomar.png usr/share/doc/vellomar/copyright; do
  check "package holds /$f" grep -qx "./$f" "$root/files"
done
check "runtime dependencies are computed" sh -c "dpkg-deb -f '$deb' Depends | grep -q 'liballegro4'"
dpkg-deb -x "$deb" "$root/tree"
check "metadata and desktop entry validate together" appstream validate-tree "$root/tree"
check "desktop entry validates" empty desktop-file-validate "$root/tree/usr/share/applications/$id.desktop"
check "program is position-independent and bound at once" \
  sh -c "readelf -d '$root/tree/usr/games/vellomar' | grep -q 'NOW PIE'"
finish

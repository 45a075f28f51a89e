#!/usr/bin/env bash
# Builds the Debian package and checks it as it would be installed:
# lintian, its file list, the AppStream metadata and desktop entry in it;
# that it builds byte for byte the same from another folder; and Debian's
# own test of it, installed on this machine (autopkgtest), which leaves the
# machine's packages as it found them.
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
         usr/share/icons/hicolor/48x48/apps/vellomar.png usr/share/doc/vellomar/copyright \
         usr/share/doc/vellomar/snapshot.md.gz; do
  check "package holds /$f" grep -qx "./$f" "$root/files"
done
check "runtime dependencies are computed" sh -c "dpkg-deb -f '$deb' Depends | grep -q 'liballegro4'"
dpkg-deb -x "$deb" "$root/tree"
check "metadata and desktop entry validate together" appstream validate-tree "$root/tree"
check "desktop entry validates" empty desktop-file-validate "$root/tree/usr/share/applications/$id.desktop"
check "desktop entry starts /usr/games/vellomar" grep -qx 'Exec=/usr/games/vellomar' "$root/tree/usr/share/applications/$id.desktop"
check "program is position-independent and bound at once" \
  sh -c "readelf -d '$root/tree/usr/games/vellomar' | grep -q 'NOW PIE'"

# Reproducible: the same tree built again in another folder gives the same
# packages, byte for byte.
repro=build/repro/elsewhere
rm -rf build/repro
mkdir -p "$repro"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$repro"
check "the package builds the same in another folder" sh -c "'$repro/scripts/package.sh' >/dev/null &&
  for d in build/deb/*.deb; do cmp \"\$d\" '$repro'/build/deb/\$(basename \"\$d\"); done"
rm -rf build/repro

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
installed() { dpkg-query -W -f='${Status}' vellomar 2>/dev/null | grep -q 'install ok installed'; }
installed && was_installed=1 || was_installed=
check "autopkgtest: the installed game passes its smoke test" "${sudo[@]}" autopkgtest "$deb" ./ -- null
[ -n "$was_installed" ] || ! installed || "${sudo[@]}" apt-get purge -y -qq vellomar >/dev/null
finish

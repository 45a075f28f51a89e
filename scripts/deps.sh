#!/usr/bin/env bash
# Installs from Debian's archive whatever Vellomar needs and is missing.
#   scripts/deps.sh          to build and play
#   scripts/deps.sh package  also what building the Debian package needs
#   scripts/deps.sh test     also what the tests, benchmarks, fuzzing and the
#                            package's checks need
# Only packages that Debian 12 and Debian 13 both have are named.
set -euo pipefail

pkgs=(g++ cmake make pkg-config liballegro4-dev)
if [ "${1:-}" = package ] || [ "${1:-}" = test ]; then
  pkgs+=(build-essential debhelper dpkg-dev)
fi
if [ "${1:-}" = test ]; then
  pkgs+=(libgtest-dev xvfb x11-utils libx11-dev libxtst-dev xdotool imagemagick
         clang libclang-rt-dev valgrind desktop-file-utils groff-base mandoc man-db
         appstream lintian acl)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null

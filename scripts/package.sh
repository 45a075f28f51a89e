#!/usr/bin/env bash
# Builds the Debian package: build/deb/vellomar_<version>_<arch>.deb.
# Installs what the build needs, and writes nothing outside the checkout:
# the package tools put their results beside the tree they build, so they
# build a copy of it inside build/deb. Works from a tree without git.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
out=build/deb
rm -rf "$out"
mkdir -p "$out/src/vellomar"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$out/src/vellomar"
if ! (cd "$out/src/vellomar" && dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log"
  echo "package: the build failed; the whole log is $out/build.log"
  exit 1
fi
mv "$out"/src/*.deb "$out"/
rm -rf "$out/src"
ls "$out"/*.deb

#!/usr/bin/env bash
# Vellomar in the browser, built on Debian 12 or 13 with Debian's emscripten.
#   scripts/web.sh         builds build/web/ (a static site: index.html and
#                          what it loads) and build/web/vellomar-<version>-web.zip
#   scripts/web.sh serve   then serves it on 127.0.0.1 and prints the address
#   scripts/web.sh test    then tests it in headless Chromium
#   scripts/web.sh bench   then runs its benchmark beside the native bench_pass
# Allegro 4.4.3.1 comes from Debian's own source package (scripts/allegro.sh,
# as for Windows); its portable C core is built with our patches
# (ports/web/allegro-patches) and kept under build/web-build, keyed on the
# tarball, the patches and its build file. Emscripten's system libraries
# come prebuilt with it: its cache is used frozen, so nothing is downloaded
# or built into it. Nothing is written outside the checkout but installed
# packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh web

. scripts/allegro.sh
work=$PWD/build/web-build
site=$PWD/build/web
version=$(sed -n '1s/^vellomar (\([^)]*\)).*/\1/p' debian/changelog)
jobs=$(nproc)
# Debian's emscripten keeps its JavaScript modules where this machine's
# nodejs does not look for them (the link fails on 'acorn').
export NODE_PATH=/usr/share/nodejs
export EM_FROZEN_CACHE=1
# The same bytes from any folder, on any day.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date -d "$(dpkg-parsechangelog -SDate)" +%s)}

build_allegro() {
  local key
  key=$({ echo "$allegro_orig_sha256"; cat ports/web/allegro-patches/*.patch ports/web/allegro/CMakeLists.txt; } |
        sha256sum | cut -c1-16)
  allegro=$work/allegro-$key
  [ -f "$allegro/lib/liballeg.a" ] && return
  rm -rf "$work"/allegro-*
  local src=$work/allegro-src
  rm -rf "$src"
  mkdir -p "$src"
  tar -xzf "$work/apt/$allegro_orig" -C "$src" --strip-components=1
  for p in ports/web/allegro-patches/*.patch; do
    patch -d "$src" -p1 --quiet --forward <"$p"
  done
  emcmake cmake -S ports/web/allegro -B "$src/build" -DALLEGRO_SOURCE="$src" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$allegro.part" >"$work/allegro.log" 2>&1
  cmake --build "$src/build" -j"$jobs" >>"$work/allegro.log" 2>&1
  cmake --install "$src/build" >>"$work/allegro.log" 2>&1
  mv "$allegro.part" "$allegro"
  rm -rf "$src"
}

build_game() {
  emcmake cmake -S . -B "$work/game" -DCMAKE_BUILD_TYPE=Release -DALLEGRO_WEB_PREFIX="$allegro" \
    -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$PWD=." -DCMAKE_C_FLAGS="-ffile-prefix-map=$PWD=." >/dev/null
  cmake --build "$work/game" -j"$jobs" --target vellomar >/dev/null
}

make_site() {
  rm -rf "$site"
  mkdir -p "$site"
  cp "$work/game/vellomar.js" "$work/game/vellomar.wasm" ports/web/index.html ports/web/page.js ports/web/page.css \
    "$site/"
  cp LICENSE "$site/LICENSE.txt"
  tar -xzOf "$work/apt/$allegro_orig" allegro-4.4.3.1/docs/txt/license.txt >"$site/ALLEGRO-LICENSE.txt"
  local name=vellomar-$version-web
  rm -rf "$work/zip"
  mkdir -p "$work/zip/$name"
  cp "$site"/* "$work/zip/$name/"
  touch -d "@$SOURCE_DATE_EPOCH" "$work/zip/$name" "$work/zip/$name"/*
  (cd "$work/zip" && LC_ALL=C cmake -E tar cf "$site/$name.zip" --format=zip --mtime="$(date -u -d "@$SOURCE_DATE_EPOCH" "+%Y-%m-%d %H:%M:%S UTC")" \
    "$name/ALLEGRO-LICENSE.txt" "$name/LICENSE.txt" "$name/index.html" "$name/page.css" "$name/page.js" \
    "$name/vellomar.js" "$name/vellomar.wasm")
  zip=$site/$name.zip
}

fetch_allegro "$work/apt"
build_allegro
build_game
make_site
echo "$zip"

case "${1:-}" in
  serve)
    echo "Serving $site; open http://127.0.0.1:${2:-8640}/ (Ctrl+C stops it)"
    exec python3 tests/web/serve.py "$site" "${2:-8640}"
    ;;
  test)
    exec python3 tests/web/test_web.py "$site"
    ;;
  bench)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELLOMAR_BENCH=ON >/dev/null
    cmake --build build -j"$jobs" --target bench_pass >/dev/null
    . scripts/xvfb.sh
    exec python3 tests/web/bench_web.py "$site" build/bench/bench_pass
    ;;
esac

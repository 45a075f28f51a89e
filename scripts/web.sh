#!/usr/bin/env bash
# Vellomar in the browser, built on Debian 12 or 13 with Debian's emscripten.
#   scripts/web.sh         builds build/web/ (a static site: index.html and
#                          what it loads) and build/web/vellomar-<version>-web.zip
#   scripts/web.sh serve   then serves it on 127.0.0.1 and prints the address
#   scripts/web.sh test    then tests it in headless Chromium, and briefly in Firefox and WebKit
#   scripts/web.sh bench   then runs its benchmark beside the native game's (bench_pass, bench_latency)
# Allegro 4.4.3.1 comes from Debian's own source package (scripts/ports.sh,
# as for Windows); its portable C core is built with our patches
# (ports/web/allegro-patches) and kept under build/web-build, keyed on the
# tarball, the patches and its build file. Emscripten's system libraries
# come prebuilt with it: its cache is used frozen, so nothing is downloaded
# or built into it. Nothing is written outside the checkout but installed
# packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh web

. scripts/ports.sh
work=$PWD/build/web-build
site=$PWD/build/web
jobs=$(nproc)
# Debian's emscripten keeps its JavaScript modules where this machine's
# nodejs does not look for them (the link fails on 'acorn').
export NODE_PATH=/usr/share/nodejs
export EM_FROZEN_CACHE=1
# The same bytes from any folder, on any day.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date -d "$(dpkg-parsechangelog -SDate)" +%s)}

# The library's portable C core, by a build file of our own.
configure_allegro() {
  emcmake cmake -S ports/web/allegro -B "$1/build" -DALLEGRO_SOURCE="$1" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$2"
}

build_game() {
  local out
  if ! out=$(emcmake cmake -S . -B "$work/game" -DCMAKE_BUILD_TYPE=Release -DALLEGRO_WEB_PREFIX="$allegro" \
               -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$PWD=." -DCMAKE_C_FLAGS="-ffile-prefix-map=$PWD=." 2>&1); then
    printf '%s\n' "$out" >&2
    exit 1
  fi
  cmake --build "$work/game" -j"$jobs" --target vellomar >/dev/null
}

make_site() {
  rm -rf "$site"
  mkdir -p "$site"
  # The page's modules and the game's worker, all but the service worker,
  # which is filled in below.
  cp "$work/game/vellomar.js" "$work/game/vellomar.wasm" ports/web/index.html ports/web/page.css "$site/"
  find ports/web -maxdepth 1 -name '*.js' ! -name sw.js -exec cp {} "$site/" \;
  cp LICENSE "$site/LICENSE.txt"
  cp "$allegro/license.txt" "$site/ALLEGRO-LICENSE.txt"
  # The installed app's icons, from the game's own (48 x 48 at 72 dpi); the
  # maskable one keeps the picture inside the middle 80 %. No dates in them.
  cp ports/web/manifest.webmanifest data/vellomar.svg "$site/"
  local png=(-depth 8 -strip -define png:exclude-chunks=date,time)
  for size in 192 512; do
    convert -background none -density $((72 * size / 48)) data/vellomar.svg -resize "${size}x$size" "${png[@]}" \
      "$site/icon-$size.png"
  done
  convert -background none -density 614 data/vellomar.svg -resize 410x410 "${png[@]}" "$work/inner.png"
  convert -size 512x512 xc:'#202020' "$work/inner.png" -gravity center -composite "${png[@]}" \
    "$site/icon-maskable-512.png"
  # The service worker keeps every file of the site, under a name made of
  # their content.
  local files hash
  files=$(cd "$site" && ls | grep -v '\.zip$' | sort)
  hash=$(cd "$site" && cat $files | sha256sum | cut -c1-16)
  sed -e "s/@HASH@/$hash/" -e "s|@FILES@|'./', $(printf "'%s', " $files | sed 's/, $//')|" ports/web/sw.js >"$site/sw.js"
  # Compressed copies beside each file, for hosts that serve them as they
  # are (nginx's gzip_static and brotli_static, Apache's MultiViews).
  local f
  for f in $(printf "%s\n" $files sw.js | grep -v "\.png$"); do
    gzip -9 -n -k "$site/$f"
    if command -v brotli >/dev/null; then brotli -q 11 -k "$site/$f"; fi
  done
  local name=vellomar-$version-web
  # Entries in a fixed order with the changelog's date and fixed modes, so
  # that the zip is the same bytes wherever and whenever it is built.
  python3 - "$site" "$name" "$SOURCE_DATE_EPOCH" <<'PY'
import os, sys, time, zipfile
site, name, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
files = sorted(f for f in os.listdir(site) if not f.endswith('.zip'))
with zipfile.ZipFile(os.path.join(site, name + '.zip'), 'w', zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for f in files:
        info = zipfile.ZipInfo(name + '/' + f, time.gmtime(epoch)[:6])
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(site, f), 'rb') as data:
            z.writestr(info, data.read())
PY
  zip=$site/$name.zip
}

fetch_allegro "$work/apt"
build_allegro "$work" configure_allegro ports/web/allegro/CMakeLists.txt ports/web/allegro-patches/*.patch
build_game
make_site
echo "$zip"

case "${1:-}" in
  serve)
    echo "Serving $site; open http://127.0.0.1:${2:-8640}/ (Ctrl+C stops it)"
    exec python3 tests/web/serve.py "$site" "${2:-8640}"
    ;;
  test)
    # Offline and reproducible: the same tree built again in another folder
    # with no network at all gives the same bytes.
    repro=$PWD/build/web-repro/elsewhere
    rm -rf "$PWD/build/web-repro"
    mkdir -p "$repro/build/web-build/apt"
    tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$repro"
    cp "$work/apt/$allegro_orig" "$repro/build/web-build/apt/"
    . tests/checks.sh
    offline=(unshare -n)
    [ "$(id -u)" -eq 0 ] || offline=(unshare -rn)
    check "the site builds offline" "${offline[@]}" "$repro/scripts/web.sh"
    check "the site builds the same in another folder" diff -r "$site" "$repro/build/web"
    rm -rf "$PWD/build/web-repro"
    # A guard against bloat (a library linked by mistake): about 605 KB now.
    check "vellomar.wasm is 620 KB or less" test "$(stat -c %s "$site/vellomar.wasm")" -le 620000
    # The native game beside it, for the board to be compared with.
    cmake -S . -B build -DCMAKE_BUILD_TYPE= >/dev/null
    cmake --build build -j"$jobs" --target vellomar >/dev/null
    [ -n "${DISPLAY:-}" ] || . scripts/xvfb.sh
    check "in Chromium, as a player uses it" python3 tests/web/test_web.py "$site" build/vellomar
    check "in Firefox, a short run" python3 tests/web/smoke.py "$site" firefox
    check "in WebKit, a short run" python3 tests/web/smoke.py "$site" webkit
    finish
    ;;
  bench)
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELLOMAR_TESTS=OFF -DVELLOMAR_BENCH=ON >/dev/null
    cmake --build build-bench -j"$jobs" --target bench_pass bench_latency >/dev/null
    . scripts/xvfb.sh
    exec python3 bench/bench_web.py "$site" build-bench/bench/bench_pass build-bench/bench/bench_latency "${@:2}"
    ;;
esac

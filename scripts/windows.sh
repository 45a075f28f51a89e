#!/usr/bin/env bash
# Vellomar for 64-bit Windows, built on Debian 12 or 13 with mingw-w64.
#   scripts/windows.sh         builds build/win/vellomar-<version>-win64.zip
#   scripts/windows.sh test    then tests it under Wine on a private Xvfb
#   scripts/windows.sh bench   then runs the pass benchmark under Wine
# Allegro 4.4.3.1 comes from Debian's own source package (scripts/ports.sh:
# the machine's own archive, through an apt state of our own under
# build/win/apt, checked against a pinned checksum and Debian's signed
# index). It is built as a static library with our patches
# (ports/windows/allegro-patches) and kept under build/win, keyed on the
# tarball, the patches and the toolchain file. Nothing is written outside
# the checkout but installed packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows

win=$PWD/build/win
. scripts/ports.sh
toolchain=$PWD/ports/windows/mingw-w64.cmake
jobs=$(nproc)

# The core library only: no add-ons, examples, tools, tests or manual.
configure_allegro() {
  cmake -S "$1" -B "$1/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DSHARED=OFF -DWANT_ALLEGROGL=OFF -DWANT_LOADPNG=OFF -DWANT_LOGG=OFF -DWANT_JPGALLEG=OFF \
    -DWANT_EXAMPLES=OFF -DWANT_TOOLS=OFF -DWANT_TESTS=OFF -DWANT_DOCS=OFF -DCMAKE_INSTALL_PREFIX="$2"
}

build_game() {
  # A build made with the toolchain file at another path starts afresh.
  [ -f "$win/game/CMakeCache.txt" ] && ! grep -qx "CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain" "$win/game/CMakeCache.txt" &&
    rm -rf "$win/game"
  cmake -S . -B "$win/game" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DALLEGRO_WINDOWS_PREFIX="$allegro" -DVELLOMAR_BENCH=ON >/dev/null
  cmake --build "$win/game" -j"$jobs" >/dev/null
}

make_zip() {
  local name=vellomar-$version-win64
  local stage=$win/zip/$name
  rm -rf "$win/zip" "$win/$name.zip"
  mkdir -p "$stage"
  x86_64-w64-mingw32-strip -o "$stage/vellomar.exe" "$win/game/vellomar.exe"
  # Text files with Windows line ends, for Notepad.
  sed 's/$/\r/' ports/windows/README.txt >"$stage/README.txt"
  sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
  sed 's/$/\r/' "$allegro/license.txt" >"$stage/ALLEGRO-LICENSE.txt"
  (cd "$win/zip" && cmake -E tar cf "$win/$name.zip" --format=zip "$name")
  zip=$win/$name.zip
}

fetch_allegro "$win/apt"
build_allegro "$win" configure_allegro "$toolchain" ports/windows/allegro-patches/*.patch
build_game
make_zip
echo "$zip"

[ "${1:-}" = test ] || [ "${1:-}" = bench ] || exit 0

# Wine, on a private X server, with a prefix of its own made once per run.
# The games run in Wine's virtual desktop, the shell that every Windows
# has: with no shell and no window manager, a game now and then never got
# the keyboard (2 starts in 95, and short taps lost), as Windows never
# activated its window.
. scripts/xvfb.sh
export WINEPREFIX=$win/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
xvfb_at_exit 'wineserver -k 2>/dev/null || true'
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
wineserver -w  # the desktop is set up when Wine next starts
wineserver -p  # kept up between the games, which then start faster

if [ "${1:-}" = bench ]; then
  wine "$win/game/bench/bench_pass.exe" "${2:-20}" "${3:-200}" | tr -d '\r'
  exit 0
fi

. tests/checks.sh
only_windows_dlls() {
  local allowed='^(kernel32|user32|gdi32|comdlg32|ole32|advapi32|msvcrt|ddraw|dinput|dsound|winmm)\.dll$'
  x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | grep -v -E "$allowed" | grep -q . && return 1
  return 0
}
zip_exe=$win/zip/vellomar-$version-win64/vellomar.exe
check "the exe needs no DLL beyond Windows' own" only_windows_dlls "$zip_exe"
# What Explorer shows of it: the icon in the sizes Explorer and the taskbar
# use, the version and licence (Details tab), and the manifest.
resources_as_meant() {
  local rc
  rc=$(x86_64-w64-mingw32-windres -i "$1" -O rc 2>/dev/null)
  grep -q 'Has 5 elements' <<<"$rc" &&
  for size in 000 060 040 030 020; do grep -qF "\"\\$size\\$size\\000\\000\"" <<<"$rc" || return 1; done &&
  grep -q "VALUE \"ProductName\", \"Vellomar\"" <<<"$rc" &&
  grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" &&
  grep -q 'VALUE "LegalCopyright", ".*MIT licence' <<<"$rc" &&
  grep -q '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' <<<"$rc" && grep -q 'asInvoker' <<<"$rc" &&
  grep -q '<dpiAware[^>]*>false<' <<<"$rc"
}
check "the exe carries its icon, version, licence and manifest" resources_as_meant "$zip_exe"
check "the zip holds the exe, the README and both licences" sh -c "cmake -E tar tf '$zip' | sort | tr '\n' ' ' |
  grep -qx 'vellomar-$version-win64/ vellomar-$version-win64/ALLEGRO-LICENSE.txt vellomar-$version-win64/LICENSE.txt vellomar-$version-win64/README.txt vellomar-$version-win64/vellomar.exe '"

# On a busy machine Wine's present lets the game run only a few dozen passes
# a second (with six busy loops on two cores: 30, against 400 quiet), so a
# dot takes seconds to cross the board; no key is lost (a held Space seen on
# every pass, the board cleared within 0.3 s, 10 of 10 rounds). The tests'
# waits for the board last as long as it keeps changing, however slowly.
# The end-to-end tests that hold for Windows, on the real exe: real keys,
# real pixels, the snapshot file's promises; then the game again with every
# allocation above 4 GB, where a pointer kept in 32 bits would crash it.
cmake -S . -B build -DCMAKE_BUILD_TYPE= -DVELLOMAR_TESTS=ON >/dev/null
cmake --build build -j"$jobs" --target test_e2e >/dev/null
e2e() {
  VELLOMAR_GAME="wine $1" VELLOMAR_HOLDER="wine $win/game/hold_temporary.exe" \
    build/tests/test_e2e --gtest_filter='EndToEnd.*' --gtest_brief=1
}
check "end to end under Wine" e2e "$win/game/vellomar.exe"
check "end to end under Wine, every allocation above 4 GB" e2e "$win/game/vellomar_high.exe"
finish

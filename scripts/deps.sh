#!/usr/bin/env bash
# Installs from Debian's archive whatever Vellomar needs and is missing.
#   scripts/deps.sh          to build and play
#   scripts/deps.sh package  also what building the Debian package needs
#   scripts/deps.sh test     also what the tests, benchmarks, fuzzing and the
#                            package's checks need
#   scripts/deps.sh windows  what building the Windows zip and testing it
#                            under Wine need (scripts/windows.sh)
#   scripts/deps.sh web      what building the web site and testing it in
#                            Chromium, Firefox and WebKit need (scripts/web.sh)
# Only packages that Debian 12 and Debian 13 both have are named. While
# another package manager runs (unattended upgrades, a software centre), it
# says so once and waits for it, up to ten minutes.
set -euo pipefail

pkgs=(g++ cmake make pkg-config liballegro4-dev libx11-dev)
if [ "${1:-}" = package ] || [ "${1:-}" = test ]; then
  pkgs+=(build-essential debhelper dpkg-dev)
fi
if [ "${1:-}" = windows ]; then
  pkgs+=(g++-mingw-w64-x86-64-win32 patch dpkg-dev imagemagick wine xvfb x11-xkb-utils xkb-data xdotool libgtest-dev libx11-dev libxtst-dev)
fi
if [ "${1:-}" = web ] || [ "${1:-}" = test ]; then
  pkgs+=(emscripten chromium firefox-esr webkit2gtk-driver python3 patch dpkg-dev imagemagick xvfb)
fi
if [ "${1:-}" = test ]; then
  pkgs+=(libgtest-dev xvfb x11-utils x11-xkb-utils xkb-data libx11-dev libxtst-dev xdotool imagemagick
         clang libclang-rt-dev valgrind desktop-file-utils groff-base mandoc man-db
         appstream lintian acl autopkgtest)
fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
limit=600
said=
waiting() {
  [ -n "$said" ] || echo "Waiting for another package manager to finish (${1:-it holds the lock}), up to $((limit / 60)) minutes..."
  said=1
}
give_up() {
  echo "deps: another package manager kept the package lock for $((limit / 60)) minutes; run this again when it has finished" >&2
  exit 1
}

echo "Installing: ${missing[*]}"
# apt-get update does not wait for the lock on the package lists: it is
# tried again until the other program lets go.
while ! out=$("${sudo[@]}" apt-get update -qq 2>&1); do
  if ! grep -q 'Could not get lock' <<<"$out"; then
    printf '%s\n' "$out" >&2
    exit 1
  fi
  [ "$SECONDS" -lt "$limit" ] || give_up
  waiting "$(grep -o 'held by process [0-9]* ([^)]*)' <<<"$out" | head -n 1)"
  sleep 5
done
# apt-get install waits for dpkg's lock itself; its notice, repeated every
# second, becomes our one line.
left=$((limit > SECONDS ? limit - SECONDS : 1))
if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout="$left" \
       "${missing[@]}" | awk -v said="$said" -v minutes=$((limit / 60)) '
         /^Waiting for cache lock/ && !said {
           held = $0; sub(/.*It is held by /, "held by ", held); sub(/\.\.\.$/, "", held)
           printf "Waiting for another package manager to finish (%s), up to %d minutes...\n", held, minutes
           fflush(); said = 1
         }'; then
  [ "$SECONDS" -lt "$limit" ] || give_up
  exit 1
fi

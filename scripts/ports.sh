# Sourced by the scripts that build a port (windows.sh, web.sh): the game's
# version, and Allegro 4.4.3.1 built from Debian's own source package,
# checked against a pinned checksum and Debian's signed index.
#
# apt works with a sources list and state of its own under $1 (the machine's
# apt configuration is left alone), but on the archive the machine already
# uses: the one its own apt sources name for its release, so a local mirror
# or a proxy that apt is set up for serves this too.
# The version debian/changelog gives, as every build names it.
version=$(dpkg-parsechangelog -l debian/changelog -SVersion)

allegro_orig=allegro4.4_4.4.3.1.orig.tar.gz
allegro_orig_sha256=ec19dbc9a021244582b4819b3583ee594b50141f9fcf6944a4ed8069cbf8d4d4

# The archive's address for this release's main component, as apt has it
# (one-line sources.list or deb822 .sources alike).
debian_archive() {
  local codename=$1
  apt-get indextargets --no-release-info --format '$(RELEASE) $(COMPONENT) $(REPO_URI)' 'Identifier: Packages' |
    awk -v want="$codename" '$1 == want && $2 == "main" { print $3; exit }'
}

# fetch_allegro DIR: leaves the checked tarball at DIR/$allegro_orig.
fetch_allegro() {
  local apt=$1
  if [ -f "$apt/$allegro_orig" ] && echo "$allegro_orig_sha256  $apt/$allegro_orig" | sha256sum -c --status; then
    return
  fi
  local codename archive
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  archive=$(debian_archive "$codename")
  if [ -z "$archive" ]; then
    echo "allegro: the machine's apt sources name no archive for $codename main" >&2
    return 1
  fi
  mkdir -p "$apt/lists/partial" "$apt/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive $codename main" >"$apt/sources.list"
  local opts=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o Dir::State="$apt" -o Dir::Cache="$apt" -o APT::Sandbox::User="$(id -un)")
  apt-get "${opts[@]}" -qq update
  local line uri
  line=$(apt-get "${opts[@]}" source --print-uris allegro4.4 | grep "/$allegro_orig' " || true)
  uri=$(cut -d"'" -f2 <<<"$line")
  if [ -z "$uri" ] || ! grep -q "SHA256:$allegro_orig_sha256" <<<"$line"; then
    echo "allegro: Debian's index does not offer $allegro_orig with the checksum this build knows" >&2
    return 1
  fi
  /usr/lib/apt/apt-helper "${opts[@]}" download-file "$uri" "$apt/$allegro_orig" "SHA256:$allegro_orig_sha256" >/dev/null
}

# build_allegro DIR CONFIGURE BUILD_FILE PATCHES... : Allegro with the
# port's patches, kept as DIR/allegro-KEY (KEY from the tarball, the patches
# and the port's BUILD_FILE), built once; sets $allegro to it. CONFIGURE is
# the port's function, called as CONFIGURE SRC PREFIX, that configures
# SRC/build to install into PREFIX.
build_allegro() {
  local dir=$1 configure=$2 build_file=$3
  shift 3
  local key
  key=$({ echo "$allegro_orig_sha256"; cat "$@" "$build_file"; } | sha256sum | cut -c1-16)
  allegro=$dir/allegro-$key
  [ -f "$allegro/lib/liballeg.a" ] && [ -f "$allegro/license.txt" ] && return
  rm -rf "$dir"/allegro-*
  local src=$dir/allegro-src p
  rm -rf "$src"
  mkdir -p "$src"
  tar -xzf "$dir/apt/$allegro_orig" -C "$src" --strip-components=1
  for p in "$@"; do
    patch -d "$src" -p1 --quiet --forward <"$p"
  done
  "$configure" "$src" "$allegro.part" >"$dir/allegro.log" 2>&1
  cmake --build "$src/build" -j"$(nproc)" >>"$dir/allegro.log" 2>&1
  cmake --install "$src/build" >>"$dir/allegro.log" 2>&1
  tar -xzOf "$dir/apt/$allegro_orig" allegro-4.4.3.1/docs/txt/license.txt >"$allegro.part/license.txt"
  mv "$allegro.part" "$allegro"
  rm -rf "$src"
}

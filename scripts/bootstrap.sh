#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need, and
# makes the archive's sources reachable for the Windows build's libjpeg-turbo
# and libpng (apt-get source; see scripts/build_image_libs.sh). Uses sudo only
# when not running as root; installs nothing already present.
set -euo pipefail

packages=(
  cmake ninja-build make pkg-config g++ clang ccache
  libjpeg62-turbo-dev libpng-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsdl2-dev libxvidcore-dev
  ffmpeg python3-pil
  python3-numpy python3-pytest python3-setuptools python3-venv python3-pip
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine wine64 xvfb xauth
  libz-mingw-w64-dev nasm dpkg-dev
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_get() { $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; }

# deb-src twins of the entries that name the Debian archive (a ".../debian"
# or ".../debian-security" URI), in both the deb822 and the one-line format.
source_entries() {
  local files=()
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$(basename "$f")" != vkcam-deb-src.sources ] && files+=("$f")
  done
  if [ ${#files[@]} -gt 0 ]; then
    awk 'BEGIN { RS = "" }
      {
        n = split($0, lines, "\n"); deb = 0; archive = 0; enabled = 1; out = ""
        for (i = 1; i <= n; i++) {
          line = lines[i]
          if (line ~ /^Types:/) {
            if (line ~ /[ \t]deb([ \t]|$)/) deb = 1
            line = "Types: deb-src"
          } else if (line ~ /^URIs:/ && line ~ /\/debian(-security)?\/?([ \t]|$)/) {
            archive = 1
          } else if (line ~ /^Enabled:[ \t]*[Nn]o/) {
            enabled = 0
          }
          out = out line "\n"
        }
        if (deb && archive && enabled) printf "%s\n", out
      }' "${files[@]}" | $sudo tee /etc/apt/sources.list.d/vkcam-deb-src.sources >/dev/null
  fi
  files=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && [ "$(basename "$f")" != vkcam-deb-src.list ] && files+=("$f")
  done
  if [ ${#files[@]} -gt 0 ]; then
    awk '/^[ \t]*deb[ \t]/ && /\/debian(-security)?\/?[ \t]/ { sub(/deb/, "deb-src"); print }' \
      "${files[@]}" | $sudo tee /etc/apt/sources.list.d/vkcam-deb-src.list >/dev/null
  fi
}

update=0
if ! apt-cache showsrc --only-source libjpeg-turbo libpng1.6 2>/dev/null | grep -q '^Package:'; then
  if ! apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx Sources; then
    echo "bootstrap: adding deb-src entries for the Debian archive"
    source_entries
  fi
  update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ $update -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
apt_get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
echo "bootstrap: installing ${missing[*]}"
apt_get install -y -qq --no-install-recommends "${missing[@]}"

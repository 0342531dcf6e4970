#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Uses sudo only when not running as root; installs nothing already present.
set -euo pipefail

packages=(
  cmake ninja-build make pkg-config g++ clang ccache
  libjpeg62-turbo-dev libpng-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsdl2-dev libxvidcore-dev
  ffmpeg python3-pil
  python3-numpy python3-pytest python3-setuptools python3-venv python3-pip
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine wine64 xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "bootstrap: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

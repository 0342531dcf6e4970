#!/usr/bin/env bash
# Release packages into dist/: a tarball for Linux (shared libraries with the
# host layer and simulated machine, header, pkg-config and CMake files,
# vkcam, PLV210.ds) and a zip for Windows (x64 and x86 SDK with import
# libraries, PLV210.ds, vkcam.exe, the SDK writing JPEG and PNG stills
# through the libjpeg-turbo and libpng linked into it; the header; the x64
# driver with its INF; README-Windows.md; those libraries' licences). Both
# carry the Python package in python/ (installable with pip, or used in
# place: it finds the SDK beside it) with its examples.
# Expects the builds of make build and make windows (not for "linux" alone).
# Usage: scripts/dist.sh [BUILD] [linux]   (default build; BUILD-win64, BUILD-win32)
set -euo pipefail
build=${1:-build}
only=${2:-}
version=$(sed -n 's/^project(vkcam VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# The Python package without what running it leaves behind.
copy_python() {
  mkdir -p "$1/python"
  cp python/pyproject.toml python/README.md "$1/python/"
  cp -r python/vkcam "$1/python/"
  mkdir -p "$1/python/examples"
  cp examples/python/*.py "$1/python/examples/"
  find "$1/python" -name __pycache__ -prune -exec rm -rf {} +
}

linux="vkcam-$version-linux-$(uname -m)"
cmake --install "$build" --prefix "$stage/$linux" >/dev/null
cp README.md "$stage/$linux/"
copy_python "$stage/$linux"
tar czf "dist/$linux.tar.gz" -C "$stage" "$linux"
echo "dist: dist/$linux.tar.gz"
if [ "$only" = linux ]; then exit 0; fi

windows="vkcam-$version-windows"
w="$stage/$windows"
mkdir -p "$w/x64" "$w/x86" "$w/include" "$w/driver"
for arch in x64:win64 x86:win32; do
  dir="$build-${arch##*:}"
  cp "$dir/sdk/api/VKCAMSDK.dll" "$dir/sdk/api/libVKCAMSDK.dll.a" \
     "$dir/twain/PLV210.ds" "$dir/tools/vkcam.exe" "$w/${arch%%:*}/"
done
cp sdk/include/VKCAMSDK.h "$w/include/"
cp "$build-win64/driver/vku2cam.sys" driver/vku2cam.inf "$w/driver/"
cp docs/README-Windows.md "$w/"
# The licences of the image libraries VKCAMSDK.dll carries (libjpeg-turbo's
# asks a binary release to reproduce its notices).
cp -r "$build-win64/image-libs/prefix/share/licenses" "$w/licenses"
copy_python "$w"
(cd "$stage" && cmake -E tar cf "$OLDPWD/dist/$windows.zip" --format=zip "$windows")
echo "dist: dist/$windows.zip"

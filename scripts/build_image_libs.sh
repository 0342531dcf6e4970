#!/usr/bin/env bash
# libjpeg-turbo and libpng as static MinGW-w64 libraries for the Windows
# build, which Debian does not ship: the pinned upstream releases, taken from
# the Debian archive's sources (apt-get source, so Debian's patches, security
# fixes included, are the ones its Linux packages carry), their upstream
# tarballs checked against the checksums below, cross-built with the build's
# own toolchain file, SIMD included (nasm) as in Debian's libjpeg62-turbo.
# zlib is Debian's libz-mingw-w64-dev. The result lands in DIR/prefix
# (include/, lib/, share/licenses/); a second run with the same pins, script
# and toolchain costs nothing and needs no network.
# Usage: scripts/build_image_libs.sh TOOLCHAIN_FILE SYSROOT DIR [LAUNCHER]
#   SYSROOT: the MinGW-w64 tree holding zlib (/usr/x86_64-w64-mingw32)
set -euo pipefail

# Debian 12's releases, so that Windows writes what Linux writes.
jpeg_package=libjpeg-turbo
jpeg_version=2.1.5
jpeg_sha256=254f3642b04e309fee775123133c6464181addc150499561020312ec61c1bf7c
png_package=libpng1.6
png_version=1.6.39
png_sha256=a00e9d2f2f664186e4202db9299397f851aea71b36a35e74910b8820e380d441

toolchain=$(realpath "$1")
sysroot=$2
dir=$3
launcher=${4:-}
script=$(realpath "$0")

mkdir -p "$dir"
dir=$(realpath "$dir")
prefix=$dir/prefix
stamp="$jpeg_version $jpeg_sha256 $png_version $png_sha256 \
$(sha256sum "$script" "$toolchain" | cut -d' ' -f1 | tr '\n' ' ')"
if [ -f "$prefix/stamp" ] && [ "$(head -n1 "$prefix/stamp")" = "$stamp" ] &&
   [ -f "$prefix/lib/libjpeg.a" ] && [ -f "$prefix/lib/libpng.a" ]; then
  exit 0
fi

log=$dir/build.log
: >"$log"
fail() {
  echo "image libraries: $*" >&2
  echo "image libraries: the last lines of $log:" >&2
  tail -n 30 "$log" >&2
  exit 1
}
started=$(date +%s)
rm -rf "$prefix" "$dir/src" "$dir/build"
mkdir -p "$dir/downloads" "$dir/src" "$dir/build" "$prefix/include" "$prefix/lib"

# fetch PACKAGE UPSTREAM SHA256: the newest Debian revision of that upstream
# release the archive serves (a mirror may list a revision it cannot serve
# yet), unpacked with Debian's patches into src/PACKAGE; prints its version.
fetch() {
  local package=$1 upstream=$2 sha256=$3 dsc="" version
  local orig
  cd "$dir/downloads"
  # A download of an earlier run with the same upstream tarball serves again.
  for f in "${package}_${upstream}"-*.dsc; do [ -f "$f" ] && dsc=$f; done
  if [ -z "$dsc" ]; then
    local apt_options=()
    # As root apt drops to its own user, who cannot write in a build tree.
    [ "$(id -u)" -eq 0 ] && apt_options=(-o APT::Sandbox::User=root)
    for version in $(apt-cache showsrc --only-source "$package" 2>/dev/null |
                     awk '/^Version:/ {print $2}' | sort -u -r -V); do
      local bare=${version#*:}
      [ "${bare%-*}" = "$upstream" ] || continue
      if apt-get source --download-only "${apt_options[@]}" "$package=$version" >>"$log" 2>&1; then
        dsc=${package}_${bare}.dsc
        break
      fi
      rm -f "${package}_${bare}".dsc "${package}_${bare}".debian.tar.*
    done
  fi
  [ -n "$dsc" ] || fail "no source of $package $upstream could be fetched: run scripts/bootstrap.sh (deb-src entries), or the archive has moved on and the pins in $script need updating"
  orig=$(ls "${package}_${upstream}".orig.tar.* 2>/dev/null | head -n1)
  [ -n "$orig" ] || fail "$package: no upstream tarball beside $dsc"
  echo "$sha256  $orig" | sha256sum -c --quiet >>"$log" 2>&1 ||
    fail "$orig does not match its pinned checksum"
  dpkg-source --no-copy -x "$dsc" "$dir/src/$package" >>"$log" 2>&1 ||
    fail "dpkg-source could not unpack $dsc"
  sed -n 's/^Version: //p' "$dsc"
}

jpeg_debian=$(fetch "$jpeg_package" "$jpeg_version" "$jpeg_sha256")
png_debian=$(fetch "$png_package" "$png_version" "$png_sha256")
echo "image libraries: cross-building libjpeg-turbo $jpeg_debian and libpng $png_debian for $(basename "$sysroot")"

# An install prefix of this machine: the default is a Windows path.
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX="$prefix")
[ -n "$launcher" ] && common+=(-DCMAKE_C_COMPILER_LAUNCHER="$launcher")

# Only the static library (no tools, no TurboJPEG API); REQUIRE_SIMD makes a
# missing nasm an error instead of a slower library. The build date it
# carries is the Debian changelog's, as in Debian's own build, so that the
# same sources give the same DLL on any day.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$dir/src/$jpeg_package/debian/changelog" -S Timestamp) \
cmake -S "$dir/src/$jpeg_package" -B "$dir/build/jpeg" "${common[@]}" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
  -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER=nasm >>"$log" 2>&1 ||
  fail "libjpeg-turbo: configuring failed"
cmake --build "$dir/build/jpeg" --target jpeg-static >>"$log" 2>&1 ||
  fail "libjpeg-turbo: building failed"
cp "$dir/build/jpeg/libjpeg.a" "$prefix/lib/"
cp "$dir/build/jpeg/jconfig.h" "$prefix/include/"
for h in jerror.h jmorecfg.h jpeglib.h; do cp "$dir/src/$jpeg_package/$h" "$prefix/include/"; done

# zlib by full path: the static archive, never the DLL's import library.
cmake -S "$dir/src/$png_package" -B "$dir/build/png" "${common[@]}" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
  -DZLIB_INCLUDE_DIR="$sysroot/include" -DZLIB_LIBRARY="$sysroot/lib/libz.a" >>"$log" 2>&1 ||
  fail "libpng: configuring failed"
cmake --build "$dir/build/png" --target png_static >>"$log" 2>&1 || fail "libpng: building failed"
cp "$(ls "$dir"/build/png/lib*png16*.a | head -n1)" "$prefix/lib/libpng.a"
cp "$dir/src/$png_package/png.h" "$dir/src/$png_package/pngconf.h" \
   "$dir/build/png/pnglibconf.h" "$prefix/include/"

# Their licences, which a release that links them carries: libjpeg-turbo's
# asks binary distributions to reproduce its notices.
licenses=$prefix/share/licenses
mkdir -p "$licenses/libjpeg-turbo" "$licenses/libpng" "$licenses/zlib"
cp "$dir/src/$jpeg_package/LICENSE.md" "$dir/src/$jpeg_package/README.ijg" "$licenses/libjpeg-turbo/"
cp "$dir/src/$png_package/LICENSE" "$licenses/libpng/"
cp /usr/share/doc/libz-mingw-w64-dev/copyright "$licenses/zlib/"

rm -rf "$dir/src" "$dir/build"
printf '%s\nlibjpeg-turbo %s\nlibpng %s\n' "$stamp" "$jpeg_debian" "$png_debian" >"$prefix/stamp"
echo "image libraries: done in $(($(date +%s) - started)) s, in $prefix"

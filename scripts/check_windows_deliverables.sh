#!/usr/bin/env bash
# What the Windows deliverables export and import, read from the PE files:
# PLV210.ds exports DS_Entry alone (undecorated on 32-bit too), the DLLs and
# programs need nothing beyond the system's own libraries (static runtime),
# VKCAMSDK.dll carries libjpeg-turbo and libpng (JPEG and PNG stills are
# not compiled out), and vku2cam.sys is a native image importing only the
# kernel's modules.
# Usage: scripts/check_windows_deliverables.sh BUILD_WIN64 BUILD_WIN32
set -euo pipefail
win64=$1
win32=$2
failures=0

exports() { # the names a PE file exports, one per line
  "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    awk '/\[/ && !/Table/ {print $3}'
}
imports() { # the modules a PE file imports, lower-case
  "$1" -p "$2" | awk '/DLL Name:/ {print tolower($3)}' | sort -u | tr '\n' ' '
}
expect() { # expect WHAT ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then
    echo "ok    $1"
  else
    echo "FAIL  $1: '$2', expected '$3'"
    failures=$((failures + 1))
  fi
}
only_system() { # only_system OBJDUMP FILE
  local extra
  extra=$(imports "$1" "$2" | tr ' ' '\n' | grep -v -E '^(|kernel32|user32|advapi32|gdi32|comdlg32|comctl32|msvcrt|avifil32|msvfw32|vkcamsdk)\.(dll|exe)?$' || true)
  expect "$(basename "$2") needs only system libraries" "$extra" ""
}

stills() { # the image libraries a DLL carries, or what it lacks
  local jpeg png
  jpeg=$(grep -a -o -m1 'libjpeg-turbo version [0-9.]*' "$1" | head -n1 || true)
  png=$(grep -a -o -m1 'libpng version [0-9.]*' "$1" | head -n1 || true)
  if grep -a -q 'compression is not available in this build' "$1"; then
    echo "JPEG compiled out"
  else
    echo "${jpeg:-no libjpeg-turbo}, ${png:-no libpng}"
  fi
}

# The releases scripts/build_image_libs.sh pins.
pins=$(dirname "$0")/build_image_libs.sh
jpeg_version=$(sed -n 's/^jpeg_version=//p' "$pins")
png_version=$(sed -n 's/^png_version=//p' "$pins")

for build in "$win64:x86_64-w64-mingw32-objdump" "$win32:i686-w64-mingw32-objdump"; do
  dir=${build%%:*}
  objdump=${build##*:}
  expect "$dir PLV210.ds exports" "$(exports "$objdump" "$dir/twain/PLV210.ds")" "DS_Entry"
  expect "$dir VKCAMSDK.dll writes JPEG and PNG" "$(stills "$dir/sdk/api/VKCAMSDK.dll")" \
    "libjpeg-turbo version $jpeg_version, libpng version $png_version"
  for module in "$dir/twain/PLV210.ds" "$dir/sdk/api/VKCAMSDK.dll" "$dir/tools/vkcam.exe"; do
    only_system "$objdump" "$module"
  done
done
sys="$win64/driver/vku2cam.sys"
expect "vku2cam.sys is a native image" \
  "$(x86_64-w64-mingw32-objdump -p "$sys" | awk '/^Subsystem/ {print $2}')" "00000001"
expect "vku2cam.sys imports" "$(imports x86_64-w64-mingw32-objdump "$sys")" "ntoskrnl.exe usbd.sys "
exit $((failures > 0))

#!/usr/bin/env bash
# The Windows deliverables on Windows' API as Wine implements it, in a
# throw-away 64-bit prefix, every run bounded in time:
#   - without a display (message boxes return at once, no window shows):
#     the SDK's device-free checks (registry, BMP and RAW, AVI through
#     AVIFile, read back by ffprobe); JPEG and PNG stills of a fixed picture
#     through the SDK's writers, decoded by Pillow and compared with the
#     Linux build's (byte for byte where both use the same libjpeg-turbo,
#     libpng and zlib); and vku2cam.sys installed as a kernel service,
#     started and stopped;
#   - on a virtual display of its own (Xvfb), which no one sees: PLV210.ds
#     through Wine's own source manager, which loads sources by fixed names
#     only (it is installed as twain_64\sane.ds in this prefix), and through
#     TWAINDSM.dll, a 2.x manager that behaves as the TWAIN Working Group's
#     (it finds the source as twain_64\VELMORAN\PLV210.ds and hands it its
#     entry points), with its real dialog and settings sheet driven by the
#     test application.
# Usage: scripts/wine_checks.sh [BUILD_DIR [LINUX_BUILD_DIR]]
#   (default build-win64 and build; the Linux build needs tests/still_sample)
set -euo pipefail
build=$(realpath "${1:-build-win64}")
linux=$(realpath "${2:-build}")
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;sane.ds=n"
unset DISPLAY WAYLAND_DISPLAY

run() {  # run SECONDS PROGRAM ARGS...: a Windows program, bounded in time
  local seconds=$1
  shift
  timeout --kill-after=10 "$seconds" wine "$@"
}

echo "wine-check: $(wine --version), prefix $WINEPREFIX"
timeout 300 wine wineboot --init >/dev/null 2>&1
wineserver -w

echo "wine-check: SDK without a camera"
(cd "$work" && run 120 "$build/tests/windows/wine_sdk_test.exe")
probe=$(ffprobe -v error -count_frames -show_entries \
  stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$work/wine_check.avi")
echo "ffprobe: $probe"
[ "$probe" = "rawvideo,64,48,10" ]

echo "wine-check: JPEG and PNG stills, against the Linux build's"
sample=$build/tests/windows/wine_still_sample.exe
if [ ! -f "$sample" ]; then
  echo "FAIL  $sample was not built: the Windows build has no libjpeg or libpng"
  exit 1
fi
if [ ! -x "$linux/tests/still_sample" ]; then
  echo "FAIL  no $linux/tests/still_sample to compare with (cmake --build $linux --target still_sample)"
  exit 1
fi
windows_said=$(cd "$work" && run 60 "$sample" wine_still | tr -d '\r')
linux_said=$("$linux/tests/still_sample" "$work/linux_still")
echo "windows: ${windows_said//$'\n'/, }"
echo "linux:   ${linux_said//$'\n'/, }"
size=$(sed -n 's/^size //p' <<<"$linux_said")
same=""
[ "$windows_said" = "$linux_said" ] && same=same-libraries
/usr/bin/python3 "$(dirname "$0")/compare_stills.py" "$size" \
  "$work/wine_still" "$work/linux_still" $same

if [ -f "$build/driver/vku2cam.sys" ]; then
  echo "wine-check: vku2cam.sys as a kernel service"
  "$(dirname "$0")/wine_driver_check.sh" "$build"
fi

echo "wine-check: PLV210.ds through the system's source manager, on a virtual display"
cp "$build/twain/PLV210.ds" "$WINEPREFIX/drive_c/windows/twain_64/sane.ds"
wineserver -k 2>/dev/null || true
wineserver -w
xvfb-run -a -s "-screen 0 1280x1024x24" \
  timeout --kill-after=10 120 wine "$build/tests/windows/wine_twain_app.exe" twain_32.dll
wineserver -k 2>/dev/null || true

echo "wine-check: PLV210.ds through a 2.x source manager (TWAINDSM.dll), on a virtual display"
rm "$WINEPREFIX/drive_c/windows/twain_64/sane.ds"
mkdir -p "$WINEPREFIX/drive_c/windows/twain_64/VELMORAN"
cp "$build/twain/PLV210.ds" "$WINEPREFIX/drive_c/windows/twain_64/VELMORAN/PLV210.ds"
wineserver -w
xvfb-run -a -s "-screen 0 1280x1024x24" \
  timeout --kill-after=10 120 wine "$build/tests/windows/wine_twain_app.exe" TWAINDSM.dll
wineserver -k 2>/dev/null || true
echo "wine-check: all passed"

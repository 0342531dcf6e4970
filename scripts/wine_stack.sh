#!/usr/bin/env bash
# The whole Windows stack moving frames under Wine, in a throw-away 64-bit
# prefix: the virtual USB bus (tests/wine_bus) installed as a root-enumerated
# device and vku2cam.inf installed through SetupAPI, so that Wine's
# plug-and-play manager finds vku2cam.sys for the camera the bus reports,
# loads it, calls its AddDevice and starts it; then vkcam.exe against it.
# Every Wine run is bounded in time; nothing shows a window to anyone (the
# data source's dialog is drawn on a virtual display).
# Usage: scripts/wine_stack.sh [BUILD_DIR [LINUX_BUILD_DIR]]
#   (default build-win64 and build; the Linux build needs tools/vkcam)
set -euo pipefail
build=$(realpath "${1:-build-win64}")
linux_build=$(realpath "${2:-build}")
scripts=$(realpath "$(dirname "$0")")
work=$(mktemp -d)
# WINE_STACK_KEEP=1 keeps the prefix (and the drivers' log) for a look.
# The wine machine itself always ends with the script.
finish() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  [ -n "${WINE_STACK_KEEP:-}" ] || rm -rf "$work"
}
trap finish EXIT

export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

run() {  # run SECONDS PROGRAM ARGS...: a Windows program, bounded in time
  local seconds=$1
  shift
  timeout --kill-after=10 "$seconds" wine "$@"
}
fail() {
  echo "wine-stack: $*" >&2
  exit 1
}
# until SECONDS COMMAND...: retries COMMAND until it succeeds, up to SECONDS.
until_ok() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.5
  done
}

# vkcam RUN_SECONDS ARGS...: vkcam.exe's output, its line ends Unix ones
# and the carriage returns of its progress lines line ends too.
vkcam() {
  local seconds=$1 out
  shift
  out=$(run "$seconds" "$bin/vkcam.exe" "$@" 2>&1 | sed 's/\r$//' | tr '\r' '\n' || true)
  echo "$out"
}

echo "wine-stack: $(wine --version), prefix $WINEPREFIX"
timeout 300 wine wineboot --init >"$work/wineboot.log" 2>&1 ||
  fail "the prefix was not created: $(tail -n 3 "$work/wineboot.log")"
wineserver -w
# A wineserver ends its machine (the drivers' processes, and with them the
# bus and its cameras) 3 s after the last program has gone: a persistent one
# keeps it through the pauses between programs, such as the snap's check.
wineserver -p >/dev/null 2>&1 || fail "no persistent wineserver"
# The drivers' processes report to the server's first client: its log.
WINEDEBUG="${WINE_STACK_DEBUG:-err+all}" timeout 60 wine sc query vkusbbus >"$work/wine.log" 2>&1 || true

# The installation disk: both INFs and what they copy. The camera's INF
# names a catalog that only signing produces; an empty one stands in.
disk="$work/disk"
mkdir -p "$disk" "$work/bin"
cp "$build/tests/wine_bus/"{vkusbbus.inf,vkusbbus.sys,vkbuscam.dll} "$disk/"
cp "$build/driver/vku2cam.sys" "$(dirname "$0")/../driver/vku2cam.inf" "$disk/"
: >"$disk/vku2cam.cat"
cp "$build/tools/vkcam.exe" "$build/sdk/api/VKCAMSDK.dll" \
  "$build/tests/wine_bus/vkbusctl.exe" "$work/bin/"
bin="$work/bin"
cd "$work"

echo "wine-stack: installing the bus and the camera driver through SetupAPI"
run 120 "$bin/vkbusctl.exe" install "$(winepath -w "$disk")" | tr -d '\r'
# Wine installs a newly found device's files from beside the installed INF,
# where Windows' driver store would hold them: the driver goes there too,
# or a second camera's installation retries its copy for ever.
cp "$disk/vku2cam.sys" "$WINEPREFIX/drive_c/windows/inf/"
bus_running() { run 30 sc query vkusbbus | tr -d '\r' | grep -q RUNNING; }
until_ok 60 bus_running || fail "the bus driver did not start"

echo "wine-stack: a camera plugged into port 0"
# The bus takes cameras once the plug-and-play manager has started it.
plug() { run 30 "$bin/vkbusctl.exe" plug "$1" noiseless; }
until_ok 60 plug 0 || fail "the bus took no camera"
camera_found() { run 30 "$bin/vkcam.exe" devices; }
until_ok 60 camera_found || fail "vkcam.exe devices found no camera"
devices=$(run 60 "$bin/vkcam.exe" devices | tr -d '\r')
echo "$devices"
echo "$devices" | grep -q 'trq5c-0' || fail "no link 0"
echo "$devices" | grep -q 'serial "' || fail "no serial number"
echo "$devices" | grep -q 'lot date' || fail "no lot date"
# The identity data through the driver's memory requests: written by the
# SDK, then read by vkcam.exe devices.
written=$(vkcam 60 identity TRQ5C-WINE-0001)
echo "  $written"
identity=$(sed -n 's/^\(serial "TRQ5C-WINE-0001", lot date [0-9-]*\) written$/\1/p' <<<"$written")
[ -n "$identity" ] || fail "the serial number and lot date were not written"
run 60 "$bin/vkcam.exe" devices | tr -d '\r' | grep -qF "$identity" ||
  fail "vkcam.exe devices does not list $identity"
echo "  vkcam.exe devices lists $identity"

# The driver's video-application entries, while the camera is plugged.
maker='HKLM\Software\Velmoran camera'
registered() { run 30 reg query "$maker" /s | tr -d '\r' | grep -q "LinkName.*trq5c-$1"; }
until_ok 30 registered 0 || fail "no registry entries for link 0"
run 60 "$bin/vkcam.exe" devices --registry | tr -d '\r' | sed -n '/^Cameras/,$p'

echo "wine-stack: an isochronous stream on the camera's alternate setting"
# 4 transfers of 8 packets of 1024 bytes in flight, into rings of 96
# packets, each request in a program of its own (the stream is the
# camera's, not a handle's). A read of the rings gives whole slices of data,
# then a record a packet (its offset in its slice, its length, its status),
# all carried by the bus's isochronous URBs.
ioctl() { run 60 "$bin/vkcam.exe" ioctl 0 "$@" | tr -d '\r'; }
iso_block=0100000000040000600000000800000004000000
ioctl 0x222040 0001 | grep -q ': ok' || fail "alternate setting 1 was not selected"
# The sensor's output on (register 7, which a program's teardown clears, by
# vendor request 11; the camera acknowledges with 8), then the camera told
# to stream (vendor request 1, value 1, index 15).
ioctl 0x222059 010200000b0002000700 1 | grep -q ': ok, 1 bytes: 08' ||
  fail "the sensor's output was not turned on"
ioctl 0x222059 00020000010001000f00 | grep -q ': ok' || fail "the camera was not told to stream"
ioctl 0x222078 "$iso_block" | grep -q ': ok' || fail "the isochronous stream did not start"
iso_read() {
  iso=$(ioctl 0x222082 "$iso_block" 99456)
  grep -q ': ok, [1-9][0-9]* bytes' <<<"$iso"
}
until_ok 30 iso_read || fail "the isochronous stream gave nothing: $(cut -c1-80 <<<"$iso")"
echo "$iso" >iso.txt
/usr/bin/python3 - iso.txt <<'PY' || fail "the isochronous stream's data and records do not agree"
import struct
import sys
with open(sys.argv[1]) as said:
    out = bytes.fromhex(said.read().partition(" bytes:")[2])
packets, rest = divmod(len(out), 1024 + 12)
if rest or packets == 0 or packets % 8:
    sys.exit(f"  {len(out)} bytes: not whole slices of 8 packets with their records")
for p in range(packets):
    record = struct.unpack_from("<IIi", out, packets * 1024 + 12 * p)
    if record != ((p % 8) * 1024, 1024, 0):
        sys.exit(f"  packet {p}: offset, length, status {record}")
print(f"  {packets} packets of 1024 bytes read, each record at its offset with status 0")
PY
ioctl 0x22207C | grep -q ': ok' || fail "the isochronous stream did not stop"
ioctl 0x222059 00020000010000000f00 | grep -q ': ok' || fail "the camera was not told to stop"
ioctl 0x222040 0000 | grep -q ': ok' || fail "alternate setting 0 was not selected again"

# stream RESOLUTION WIDTH HEIGHT [CAMERA]: a few seconds of frames, none bad.
stream() {
  local out
  out=$(vkcam 120 stream --resolution "$1" --seconds 4 --camera "${4:-1}")
  local summary
  summary=$(echo "$out" | grep 'frames of' || true)
  echo "  $summary"
  echo "$summary" | grep -q " of $2 x $3 in " || fail "stream $1: not $2 x $3"
  echo "$summary" | grep -q ' 0 bad frames' || fail "stream $1: bad frames"
  echo "$summary" | grep -q '^0 frames' && fail "stream $1: no frames"
  return 0
}
echo "wine-stack: streaming"
stream 0 2048 1536
stream 2 640 480

echo "wine-stack: a snap"
vkcam 120 snap --resolution 0 --settle 15 --out snap
for f in snap.raw snap.bmp snap.png snap.jpg; do [ -s "$f" ] || fail "no $f"; done
[ "$(stat -c %s snap.raw)" = $((2048 * 1536)) ] || fail "snap.raw is not 2048 x 1536 bytes"
# The PNG and JPEG come from the BMP's picture: decoded by Pillow, the PNG
# must be it exactly, and the JPEG within a mean difference of 1.0 per
# channel value of Pillow's own libjpeg encoding of the BMP at the same
# quality 90 and 4:2:0 sampling (equal libraries give 0; the scene is busy,
# so even a right JPEG is about 7 away from the BMP itself, and one upside
# down or in BGR order 45 and more).
/usr/bin/python3 - snap <<'PY' || fail "the snap's PNG or JPEG is not its picture"
import io
import sys
import numpy as np
from PIL import Image
def decode(source):
    with Image.open(source) as image:
        return np.asarray(image.convert("RGB"), dtype=np.int16)
base = sys.argv[1]
bmp, png, jpg = (decode(base + e) for e in (".bmp", ".png", ".jpg"))
for name, pixels in (("png", png), ("jpg", jpg)):
    if pixels.shape != (1536, 2048, 3):
        sys.exit(f"  {name}: {pixels.shape}, expected (1536, 2048, 3)")
if not np.array_equal(png, bmp):
    sys.exit("  png: differs from the bmp")
encoded = io.BytesIO()
with Image.open(base + ".bmp") as image:
    image.convert("RGB").save(encoded, "JPEG", quality=90, subsampling=2)
encoded.seek(0)
mean = float(np.abs(jpg - decode(encoded)).mean())
print(f"  png equals the bmp; jpg within {mean:.2f} of the bmp encoded by Pillow")
if mean > 1.0:
    sys.exit("  jpg: too far from the bmp's encoding")
PY

source "$scripts/wine_stack_twain.sh"

echo "wine-stack: a recording"
# Wine has no Xvid, and none of its own compressors compresses 24-bit
# frames: the recording goes uncompressed through Wine's AVIFile, which
# passes a 'DIB ' stream's frames through. ffprobe must read what vkcam.exe
# says it stored: 640 x 480 raw video at the recording's rate, as many
# frames as were counted at most, most of them images (a position the
# writer skipped is an empty frame).
recorded=$(vkcam 120 record --resolution 2 --seconds 2 --codec "Full Frames (Uncompressed)" \
  --out rec.avi)
recorded=$(grep 'stored' <<<"$recorded" || true)
echo "  $recorded"
[ -n "$recorded" ] || fail "the recording failed"
counted=$(sed -n 's/^rec.avi: \([0-9]*\) frames at .*/\1/p' <<<"$recorded")
stored=$(sed -n 's/.*; stored \([0-9]*\) frames at .*/\1/p' <<<"$recorded")
rate=$(sed -n 's/.* frames at \([0-9]*\) frames\/s$/\1/p' <<<"$recorded")
probe=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries \
  stream=codec_name,width,height,r_frame_rate,nb_frames,nb_read_frames \
  -of default=noprint_wrappers=1 rec.avi)
echo "  ffprobe: $(tr '\n' ' ' <<<"$probe")"
field() { sed -n "s/^$1=//p" <<<"$probe"; }
[ "$(field codec_name)" = rawvideo ] || fail "rec.avi: not raw video"
[ "$(field width)x$(field height)" = 640x480 ] || fail "rec.avi: not 640 x 480"
[ "$(field r_frame_rate)" = "$rate/1" ] || fail "rec.avi: not at $rate frames/s"
[ "$(field nb_frames)" = "$stored" ] || fail "rec.avi: ffprobe's frame count is not the $stored stored"
[ "$stored" -gt 0 ] && [ "$stored" -le "$counted" ] || fail "rec.avi: $stored frames of $counted counted"
[ $(( $(field nb_read_frames) * 2 )) -ge "$stored" ] || fail "rec.avi: most frames are empty"
rm -f rec.avi

echo "wine-stack: unplugged, then plugged back"
run 30 "$bin/vkbusctl.exe" unplug 0
gone() { ! run 30 reg query "$maker" /s 2>/dev/null | tr -d '\r' | grep -q 'LinkName.*trq5c-0'; }
until_ok 30 gone || fail "the registry entries outlived the camera"
echo "  registry entries gone"
until_ok 30 sh -c "! timeout 30 wine '$bin/vkcam.exe' devices" || fail "the camera outlived its unplug"
replug() {
  until_ok 60 plug 0 || fail "the bus took no camera again"
  until_ok 60 camera_found || fail "the camera did not come back"
  until_ok 30 registered 0 || fail "no registry entries after the replug"
}
replug

echo "wine-stack: unplugged while streaming, then plugged back"
# The stream must end with the capture engine's loss message, well before
# its own time limit, and vkcam.exe must get through CameraStop and the
# teardown to its exit status 1 (a hang is killed by the time bound: 124).
streaming() { tr '\r' '\n' <lost.txt | grep -q '^ *[1-9][0-9]* frames '; }
: >lost.txt  # read before the background program's output is opened
run 60 "$bin/vkcam.exe" stream --resolution 2 --seconds 30 >lost.txt 2>&1 &
streamer=$!
# Streaming, or gone.
until streaming || ! kill -0 "$streamer" 2>/dev/null; do sleep 0.2; done
streaming || { tr '\r' '\n' <lost.txt | tail -n 5; fail "the stream to be unplugged did not start"; }
run 30 "$bin/vkbusctl.exe" unplug 0
lost_status=0
wait "$streamer" || lost_status=$?
summary=$(tr -d '\r' <lost.txt | grep 'frames of' || true)
echo "  $summary (exit status $lost_status)"
[ "$lost_status" = 1 ] || fail "the unplugged stream's vkcam.exe ended with status $lost_status"
echo "$summary" | grep -q ', camera lost$' || fail "the unplugged stream did not report the loss"
echo "$summary" | grep -Eq ' in (30|[3-9][0-9])\.' && fail "the unplugged stream ran to its time limit"
until_ok 30 gone || fail "the registry entries outlived the streaming camera"
replug
stream 2 640 480

echo "wine-stack: two cameras"
until_ok 60 plug 1 || fail "the bus took no second camera"
two_found() { run 30 "$bin/vkcam.exe" devices | tr -d '\r' | grep -q 'trq5c-1'; }
until_ok 60 two_found || fail "no link 1"
run 60 "$bin/vkcam.exe" devices | tr -d '\r' | grep trq5c
until_ok 30 registered 1 || fail "no registry entries for link 1"
stream 2 640 480 1
stream 2 640 480 2

echo "wine-stack: the access token between the two cameras"
# A program that ends holding the token gives it back with its handle's
# close; then, as on Linux: granted, refused to its holder, waited for by
# the other camera and passed on by a release and by the holder's close; a
# waiting request ends when cancelled.
held=$(vkcam 60 ioctl 1 0x222098 0100000000000000 8)
echo "  a program on trq5c-1 that ends holding it: $held"
grep -q '^IOCTL_EXCLUSIVE_ACCESS: ok, 8 bytes: 01 01 ' <<<"$held" ||
  fail "the program on trq5c-1 did not get the token"
token=$(vkcam 120 token)
sed 's/^/  /' <<<"$token"
grep -q '^token: passed between trq5c-0 and trq5c-1$' <<<"$token" ||
  fail "the token did not pass between the cameras"

echo "wine-stack: both cameras streaming at once"
vkcam 120 stream --resolution 2 --seconds 4 --camera 1 >both1.txt &
first=$!
vkcam 120 stream --resolution 2 --seconds 4 --camera 2 >both2.txt &
second=$!
wait "$first" "$second"
for n in 1 2; do
  summary=$(grep 'frames of' "both$n.txt" || true)
  echo "  camera $n: $summary"
  grep -q ' of 640 x 480 in .* 0 bad frames$' <<<"$summary" || fail "camera $n beside the other: bad frames"
  grep -q '^[1-9][0-9]* frames ' <<<"$summary" || fail "camera $n beside the other: no frames"
done
echo "wine-stack: all passed"

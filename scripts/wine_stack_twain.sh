# The wine stack's TWAIN and RAW step: sourced by scripts/wine_stack.sh
# while camera 0 (noiseless) is plugged and idle. It uses that script's
# run, fail and vkcam, $build (the Windows build), $linux_build (the Linux
# build, for its vkcam), $bin, $work and $WINEPREFIX, and leaves the camera
# plugged and idle.
#
# Every picture is taken with the same fixed sensor settings (AE off,
# exposure and analog gain fixed, white balance at its default gains), so
# that on a noiseless camera every frame is the same bytes:
#   - RAW: the SDK's RAW still under Wine must equal, byte for byte, the one
#     the Linux build's vkcam takes of its own simulated camera with noise
#     off (VKCAM_SIM_NOISE=0);
#   - TWAIN: PLV210.ds, found as twain_64\VELMORAN\PLV210.ds by TWAINDSM.dll
#     (a 2.x manager as the Working Group's behaves) that wine_twain_app.exe
#     loads as applications load it, acquires without its user interface by
#     the native, memory and file transfers, then through its dialog; every
#     transfer must be the same picture exactly, and the SDK's BMP still's
#     picture upright with its colours right (scripts/compare_twain.py).

twain_exposure=350  # sensor rows (where AE settles on this scene: 348)
twain_gain=18       # analog gain index (AE: 18), the same register value for both

echo "wine-stack: RAW stills under Wine and on Linux, noiseless, fixed settings"
fixed=(--resolution 0 --ae off --awb off --exposure "$twain_exposure" --gain "$twain_gain")
said=$(vkcam 120 snap "${fixed[@]}" --settle 3 --formats raw,bmp --out fixed)
echo "  windows: $(grep 'after' <<<"$said" || echo "$said")"
[ -s fixed.raw ] && [ -s fixed.bmp ] || fail "the fixed-settings still was not written"
[ -x "$linux_build/tools/vkcam" ] ||
  fail "no $linux_build/tools/vkcam to compare with (cmake --build $linux_build --target vkcam)"
(
  cd "$work"
  export VKCAM_SIM_NOISE=0 VKCAM_SIM_CAMERAS=1 VKCAM_REGISTRY="$work/linux-registry"
  unset VKCAM_SIM_FAULTS VKCAM_SIM_NVRAM
  timeout 120 "$linux_build/tools/vkcam" snap "${fixed[@]}" --settle 3 --formats raw --out linux
) | sed 's/^/  linux:   /' || fail "the Linux build's vkcam took no still"
cmp fixed.raw linux.raw || fail "the RAW stills under Wine and on Linux differ"
echo "  fixed.raw equals linux.raw: $(stat -c %s fixed.raw) bytes"

echo "wine-stack: PLV210.ds through TWAINDSM.dll, the camera's images"
mkdir -p "$WINEPREFIX/drive_c/windows/twain_64/VELMORAN" "$bin/twain"
cp "$build/twain/PLV210.ds" "$WINEPREFIX/drive_c/windows/twain_64/VELMORAN/"
cp "$build/tests/windows/"{wine_twain_app.exe,TWAINDSM.dll} "$bin/twain/"
# The source's settings, as its settings sheet saves them: 2048 x 1536 and
# the sensor settings of the SDK's still above.
source_key='HKCU\Software\VELMORAN\PLV210\dshow'
for value in ePLV210Size=0 AutoExposure=0 "ExposureTime=$twain_exposure" "Gain=$twain_gain" \
  bAutoWB=0; do
  run 30 reg add "$source_key" /v "${value%=*}" /t REG_DWORD /d "${value#*=}" /f >/dev/null ||
    fail "the source's setting $value was not stored"
done
# The source's dialog needs a desktop with a display: a desktop of its own
# on a virtual display (the stack's own desktop has none), which the
# application's output and files pass through unchanged.
mkdir -p twain
twain_status=0
twain_out=$(xvfb-run -a -s "-screen 0 1280x1024x24" timeout --kill-after=10 240 \
  wine explorer /desktop=twain,1280x1024 "$(winepath -w "$bin/twain/wine_twain_app.exe")" \
  TWAINDSM.dll acquire "$(winepath -w "$work/twain")" ui 2>&1 | tr -d '\r') || twain_status=$?
echo "$twain_out" | sed 's/^/  /'
[ "$twain_status" = 0 ] || fail "the TWAIN application ended with status $twain_status"
grep -qx '0 failed' <<<"$twain_out" || fail "the TWAIN application failed (status $twain_status)"
/usr/bin/python3 "$scripts/compare_twain.py" 2048x1536 fixed.bmp twain \
  native.bmp memory.ppm file.bmp dialog.bmp | sed 's/^/  /' ||
  fail "the TWAIN transfers are not the camera's picture"

echo "wine-stack: vkcam.exe twain, as a new user runs it"
# The source's own defaults (1024 x 768, AE on), as a new user has them;
# its own 2.x source manager; the source taken at once without its user
# interface, then native, memory and file transfers, then through the
# dialog, each compared with the SDK's picture. On the virtual display, as
# above. (Its --ui click-through needs the Linux build's headless dialogs:
# refused here.)
run 30 reg delete "$source_key" /f >/dev/null || fail "the source's settings were not removed"
# Wine's desktop program ends with its own status, not the program's: the
# verdict is the program's last line.
vkcam_twain() {
  local status=0
  twain_said=$(xvfb-run -a -s "-screen 0 1280x1024x24" timeout --kill-after=10 240 \
    wine explorer /desktop=vkcamtwain,1280x1024 "$(winepath -w "$bin/vkcam.exe")" twain \
    --source 'C:\windows\twain_64\VELMORAN\PLV210.ds' --out "$(winepath -w "$work/vkcam-twain")" \
    "$@" 2>&1 | tr -d '\r') || status=$?
  grep -v '^ *0x' <<<"$twain_said" | sed 's/^/  /'
  [ "$status" = 0 ] || fail "vkcam.exe twain $* ended with status $status"
}
vkcam_twain
[ "$(tail -n 1 <<<"$twain_said")" = "every transfer shows the SDK's picture, upright, colours right" ] ||
  fail "vkcam.exe twain: not every transfer shows the SDK's picture"
vkcam_twain --ui
grep -q '^vkcam: twain --ui clicks through the headless dialogs' <<<"$twain_said" ||
  fail "vkcam.exe twain --ui was not refused"

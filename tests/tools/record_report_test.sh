#!/usr/bin/env bash
# vkcam record reports the frame count and rate that the file holds, as
# ffprobe reads them.
set -euo pipefail
vkcam="$1"
out="$2"
mkdir -p "$out"
rm -f "$out/report.avi"
report=$("$vkcam" record --resolution 2 --seconds 1 --settle 3 --out "$out/report.avi" | tr '\r' '\n' | tail -1)
echo "vkcam: $report"
stored=$(sed -n 's/.*stored \([0-9]*\) frames at \([0-9.]*\) frames\/s.*/\1 \2/p' <<<"$report")
[ -n "$stored" ] || { echo "no stored figures in the report"; exit 1; }
probe=$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames,r_frame_rate \
          -of default=nw=1 "$out/report.avi")
echo "ffprobe: $(tr '\n' ' ' <<<"$probe")"
frames=$(sed -n 's/^nb_frames=//p' <<<"$probe")
rate=$(sed -n 's/^r_frame_rate=\([0-9]*\)\/1$/\1/p' <<<"$probe")
[ "$stored" = "$frames $rate" ] || { echo "reported '$stored', the file holds '$frames $rate'"; exit 1; }

#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs the demo on the build tree and checks its table, its clean-up and that the snapshot is a
# real PNG of the test pattern.
#   check_demo.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=$1 build=$2
work=$(mktemp -d)
name="zorvtest_demo_$$_buffer"
trap 'rm -rf "$work"; "$build/tools/zorvgst-shm" remove "$name" >/dev/null 2>&1 || true' EXIT
fail() { echo "FAIL: $*"; echo "--- demo output"; cat "$work/out.txt"; exit 1; }

ZORVGST_DEMO_BUFFER=$name ZORVGST_DEMO_SECONDS=3 \
    "$source/scripts/run_demo.sh" "$build" "$work" >"$work/out.txt" 2>&1 || fail "demo exited with $?"

row() { grep -F "$1" "$work/out.txt" | head -n1; }
published=$(row "publisher (appsink)" | awk '{print $3}')
[ -n "$published" ] && [ "$published" -ge 45 ] || fail "published '$published' frames in 3 s at 30 fps"
for reader in "reader 1 (zorvdbsrc)" "reader 2 (API)"; do
    line=$(row "$reader")
    frames=$(awk '{print $4}' <<<"$line")
    fps=$(awk '{print $5}' <<<"$line")
    latency=$(awk '{print $6}' <<<"$line")
    [ -n "$frames" ] && [ "$frames" -ge $((published / 2)) ] && [ "$frames" -le "$published" ] ||
        fail "$reader received '$frames' of $published frames"
    awk -v f="$fps" 'BEGIN { exit !(f > 10 && f < 60) }' || fail "$reader at '$fps' fps"
    awk -v l="$latency" 'BEGIN { exit !(l > 0 && l < 100) }' || fail "$reader latency '$latency' ms"
done
grep -q "^$name  *posix  *1280x720  *[0-9]* (alive)" "$work/out.txt" || fail "listing lacks the live buffer"
grep -q "^removed $name (posix)$" "$work/out.txt" || fail "buffer not removed"
[ ! -e "/dev/shm/$name" ] || fail "buffer left in /dev/shm"

png=$work/snapshot.png
file "$png" | grep -q 'PNG image data, 1280 x 720' || fail "snapshot: $(file "$png")"
# Decode with GStreamer's own PNG decoder and look at the colour bars along one row.
gst-launch-1.0 -q filesrc location="$png" ! pngdec ! videoconvert ! video/x-raw,format=RGB \
    ! filesink location="$work/frame.rgb" >/dev/null || fail "snapshot does not decode"
python3 - "$work/frame.rgb" <<'PY' || fail "snapshot does not show the colour bars"
import sys
data = open(sys.argv[1], "rb").read()
width, height = 1280, 720
assert len(data) == width * height * 3, len(data)
def pixel(x, y):
    i = (y * width + x) * 3
    return tuple(data[i:i + 3])
# Seven bars across the top: white, yellow, cyan, green, magenta, red, blue.
expected = [(1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1)]
for bar, want in enumerate(expected):
    x = int((bar + 0.5) * width / 7)
    got = tuple(1 if c > 150 else 0 if c < 60 else None for c in pixel(x, 100))
    assert got == want, f"bar {bar} at x={x}: {pixel(x, 100)}"
PY
echo "demo OK: published $published frames"

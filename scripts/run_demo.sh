#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Runs the demo on a built tree: 1280x720 test video published into a double buffer for about
# five seconds, read by two processes (one through the zorvdbsrc element, one through the API),
# then a summary table, the supervisor's listing, and removal of the buffer.
#   scripts/run_demo.sh [BUILD_DIR [OUTPUT_DIR]]
# Environment: ZORVGST_DEMO_SECONDS (default 5), ZORVGST_DEMO_BUFFER (default demo_video_buffer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=${2:-$root/demo-output}
seconds=${ZORVGST_DEMO_SECONDS:-5}
name=${ZORVGST_DEMO_BUFFER:-demo_video_buffer}
width=1280 height=720 fps=30

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out/snapshot.png" "$out"/*.log "$out/list.txt"

shm=$build/tools/zorvgst-shm
plugin=$(find "$build" -name 'libgstzorvgst.so' -print -quit)
for program in "$shm" "$build"/examples/zorvgst-{publisher,subscriber,element-reader}; do
    [ -x "$program" ] || { echo "demo: $program is missing; build first (scripts/build.sh)" >&2; exit 1; }
done
[ -n "$plugin" ] || { echo "demo: the zorvgst GStreamer plugin is not built under $build" >&2; exit 1; }
export GST_PLUGIN_PATH="$(dirname "$plugin")${GST_PLUGIN_PATH:+:$GST_PLUGIN_PATH}"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    "$shm" remove "$name" >/dev/null 2>&1 || true
}
trap cleanup EXIT

# Every process runs under a hard limit, so nothing can outlive a broken run.
limit=$((seconds + 40))
"$shm" remove "$name" >/dev/null 2>&1 || true # left over by an interrupted run

# Readers first: they wait for the writer, so they see its first frame.
timeout -k 5 "$limit" "$build/examples/zorvgst-element-reader" --name "$name" \
    --snapshot "$out/snapshot.png" --timeout 30 >"$out/element-reader.log" 2>&1 &
element_pid=$!
timeout -k 5 "$limit" "$build/examples/zorvgst-subscriber" --name "$name" --wait 30 \
    >"$out/subscriber.log" 2>&1 &
api_pid=$!
pids+=("$element_pid" "$api_pid")
sleep 1

timeout -k 5 "$limit" "$build/examples/zorvgst-publisher" --name "$name" --width "$width" \
    --height "$height" --fps "$fps" --seconds "$seconds" >"$out/publisher.log" 2>&1 &
publisher_pid=$!
pids+=("$publisher_pid")

# Half-way through, what a supervisor sees.
sleep $(((seconds + 1) / 2))
"$shm" list >"$out/list.txt" 2>"$out/zorvgst-shm.log" || true

status=0
wait "$publisher_pid" || status=$?
sleep 0.5 # the last frame reaches both readers
kill -TERM "$element_pid" "$api_pid" 2>/dev/null || true
wait "$element_pid" || status=$?
wait "$api_pid" || status=$?
pids=()

frames() { sed -n 's/^\(published\|received\) \([0-9]*\) frames.*/\2/p' "$1" | tail -n1; }
rate() { sed -n 's/.* frames, \([0-9.]*\) fps.*/\1/p' "$1" | tail -n1; }
latency() { sed -n 's/.*latency \([0-9.]*\) ms.*/\1 ms/p' "$1" | tail -n1; }

echo
echo "zorvgst demo: ${width}x${height} test video at $fps fps through the double buffer '$name' for ${seconds} s"
echo
printf '%-24s %8s %8s %22s\n' "" frames fps "median publish-to-read"
printf '%-24s %8s %8s %22s\n' "publisher (appsink)" "$(frames "$out/publisher.log")" \
    "$(rate "$out/publisher.log")" "-"
printf '%-24s %8s %8s %22s\n' "reader 1 (zorvdbsrc)" "$(frames "$out/element-reader.log")" \
    "$(rate "$out/element-reader.log")" "$(latency "$out/element-reader.log")"
printf '%-24s %8s %8s %22s\n' "reader 2 (API)" "$(frames "$out/subscriber.log")" \
    "$(rate "$out/subscriber.log")" "$(latency "$out/subscriber.log")"
echo
if [ -s "$out/snapshot.png" ]; then
    echo "snapshot of reader 1's last frame: $out/snapshot.png"
else
    echo "no snapshot was written (see $out/element-reader.log)"
    status=1
fi
echo
echo "\$ zorvgst-shm list   (half-way through)"
cat "$out/list.txt"
echo
"$shm" remove "$name" 2>>"$out/zorvgst-shm.log" || status=1
echo "process logs: $out/*.log"

for log in publisher element-reader subscriber; do
    if [ -z "$(frames "$out/$log.log")" ] || [ "$(frames "$out/$log.log")" -eq 0 ]; then
        echo "demo: no frames in $out/$log.log:" >&2
        tail -n 5 "$out/$log.log" >&2
        status=1
    fi
done
exit "$status"

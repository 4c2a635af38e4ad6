#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# A camera that changes mode: a 1920x1080 zorvdbsink writer, the example subscriber reading the
# same buffer, then the writer restarted at 640x480. The subscriber must survive and follow.
#   check_writer_restart.sh BUILD_DIR [ROUNDS]
set -euo pipefail
build=$1 rounds=${2:-1}
work=$(mktemp -d)
name="zorvtest_restart_$$_buffer"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    "$build/tools/zorvgst-shm" remove "$name" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for f in "$work"/*.log; do echo "--- $f"; tail -n 20 "$f"; done; exit 1; }
export GST_PLUGIN_PATH=$build/plugin/gstreamer-1.0

writer_pid=
start_writer() { # WIDTH HEIGHT LOG
    # A sanitized build names the runtime to load ahead of the plug-in; its leak report at the
    # writer's end is GStreamer's, not ours.
    LD_PRELOAD=${ZORVGST_SANITIZER_PRELOAD:-} ASAN_OPTIONS=detect_leaks=0 \
        gst-launch-1.0 -q videotestsrc is-live=true \
        ! "video/x-raw,format=BGRA,width=$1,height=$2,framerate=30/1" \
        ! zorvdbsink buffer-name="$name" >"$3" 2>&1 &
    writer_pid=$!
    pids+=("$writer_pid")
}
header() { "$build/tools/zorvgst-shm" show "$name" --json 2>/dev/null | tr -d '\n'; }
frames_of() { header | sed -n 's/.*"frame_count": *\([0-9]*\).*/\1/p'; }
size_of() { header | sed -n 's/.*"width": *\([0-9]*\), *"height": *\([0-9]*\).*/\1x\2/p'; }
wait_for() { # CONDITION-COMMAND...
    for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
    return 1
}
publishing_at() { [ "$(size_of)" = "$1" ] && [ "${2:-0}" -lt "$(frames_of || echo 0)" ]; }

for round in $(seq "$rounds"); do
    start_writer 1920 1080 "$work/writer-large.log"
    large=$writer_pid
    wait_for publishing_at 1920x1080 5 || fail "round $round: no 1080p frames"
    "$build/examples/zorvgst-subscriber" --name "$name" --sink fakesink --seconds 5 \
        >"$work/subscriber.log" 2>&1 &
    subscriber=$!
    pids+=("$subscriber")
    wait_for grep -q "^reading 1920x1080" "$work/subscriber.log" || fail "round $round: subscriber did not start"
    sleep 0.5
    kill "$large"; wait "$large" 2>/dev/null || true
    start_writer 640 480 "$work/writer-small.log"
    small=$writer_pid
    wait_for publishing_at 640x480 10 || fail "round $round: no 480p frames"
    status=0
    wait "$subscriber" || status=$?
    [ "$status" -eq 0 ] || fail "round $round: subscriber ended with status $status"
    received=$(sed -n 's/^received \([0-9]*\) frames.*/\1/p' "$work/subscriber.log")
    [ -n "$received" ] && [ "$received" -ge 60 ] || fail "round $round: subscriber received '$received' frames"
    kill "$small"; wait "$small" 2>/dev/null || true
    "$build/tools/zorvgst-shm" remove "$name" >/dev/null 2>&1 || true
    echo "round $round: subscriber survived the restart, received $received frames"
done

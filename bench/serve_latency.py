# SPDX-License-Identifier: LGPL-2.1-or-later
"""Latency from a frame's publication to its decoded picture at an RTSP client of zorvgst-serve.

A writer publishes dark frames at 30 fps and, every `--period` seconds, one bright frame and
then dark ones again; it records when each bright frame was published. The client is
`gst-launch-1.0 rtspsrc ! decodebin` on loopback, writing 16x16 grey frames to a pipe as they
are decoded; this script reads them as they come and notes when each bright one arrives. The
latency of a bright frame is its arrival minus its publication: network, encoder, decoder and
both ends' queues together.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

from serve_bench_support import (argument_parser, markdown_table, paced_writer, port_of,
                                 remove_buffer, start_server, stop_process, write_figures)

SIDE = 16  # the client scales every frame to SIDE x SIDE grey bytes


def parse_arguments() -> argparse.Namespace:
    parser = argument_parser(__doc__.splitlines()[0])
    parser.add_argument("--encoder", default="x264", choices=("x264", "jpeg"))
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=720)
    parser.add_argument("--flashes", type=int, default=20)
    parser.add_argument("--period", type=float, default=0.5)
    return parser.parse_args()


def main() -> int:
    args = parse_arguments()
    sys.path.insert(0, args.pythonpath)
    import numpy as np
    import zorvgst

    environment = dict(os.environ, GST_PLUGIN_PATH=args.plugin_dir)
    name = f"latency_{os.getpid()}_buffer"
    dark = np.zeros((args.height, args.width, 4), np.uint8)
    dark[..., 3] = 255
    bright = np.full((args.height, args.width, 4), 255, np.uint8)
    published = []  # when each bright frame was published, in order
    stop = threading.Event()

    next_flash = [time.monotonic() + 2.0]  # the client joins first

    def next_frame():
        now = time.monotonic()
        if now >= next_flash[0] and len(published) < args.flashes:
            next_flash[0] = now + args.period
            return bright
        return dark

    def on_written(frame) -> None:
        if frame is bright:
            published.append(time.monotonic())

    server = start_server(args.serve, environment, "--encoder", args.encoder)
    client = None
    writer = paced_writer(zorvgst, name, args.width, args.height, stop, next_frame,
                          on_written)
    try:
        port = port_of(server, "rtsp")
        writer.start()
        time.sleep(0.5)
        client = subprocess.Popen(
            ["gst-launch-1.0", "-q", "rtspsrc", f"location=rtsp://127.0.0.1:{port}/{name}",
             "latency=0", "protocols=tcp", "!", "decodebin", "!", "videoconvert", "!",
             "videoscale", "!", f"video/x-raw,format=GRAY8,width={SIDE},height={SIDE}", "!",
             "fdsink", "fd=1", "sync=false"],
            stdout=subprocess.PIPE, env=environment)
        arrivals = []
        was_bright = False
        deadline = time.monotonic() + 4 + args.flashes * args.period * 2
        while len(arrivals) < args.flashes and time.monotonic() < deadline:
            frame = client.stdout.read(SIDE * SIDE)
            if len(frame) < SIDE * SIDE:
                break
            now = time.monotonic()
            is_bright = sum(frame) / len(frame) > 128
            if is_bright and not was_bright:
                arrivals.append(now)
            was_bright = is_bright
    finally:
        stop.set()
        if writer.is_alive():
            writer.join()
        for process in (client, server):
            stop_process(process, 10)
        remove_buffer(zorvgst, name)

    # A flash the client never showed would pair every later arrival with the wrong publication:
    # pair each arrival with the latest publication before it.
    latencies = []
    for arrival in arrivals:
        before = [moment for moment in published if moment <= arrival]
        if before:
            latencies.append((arrival - before[-1]) * 1000)
    if not latencies:
        print("no bright frame reached the client", file=sys.stderr)
        return 1
    figures = {
        "encoder": args.encoder,
        "size": f"{args.width}x{args.height}",
        "flashes_published": len(published),
        "flashes_seen": len(latencies),
        "median_ms": round(statistics.median(latencies), 1),
        "min_ms": round(min(latencies), 1),
        "max_ms": round(max(latencies), 1),
    }
    write_figures(
        figures, args.out,
        f"## zorvgst-serve: publication to decoded frame at an RTSP client "
        f"(bench/serve_latency.py)\n\n"
        f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}. A writer "
        f"publishes {figures['size']} frames at 30 fps, one bright among dark ones every "
        f"{args.period} s; `gst-launch-1.0 rtspsrc latency=0 protocols=tcp ! decodebin` "
        f"on loopback decodes them ({args.encoder}), and the time from a bright frame's "
        f"publication to its decoded picture at the client is its latency.\n\n"
        + markdown_table({"encoder": args.encoder,
                          "bright frames seen":
                              f"{figures['flashes_seen']} of {figures['flashes_published']}",
                          "median ms": figures["median_ms"], "min ms": figures["min_ms"],
                          "max ms": figures["max_ms"]}, left_columns=1),
        args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())

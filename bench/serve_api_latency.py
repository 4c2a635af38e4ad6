# SPDX-License-Identifier: LGPL-2.1-or-later
"""How long zorvgst-serve takes to answer GET /api/buffers while it streams MJPEG of a 4K buffer.

A writer publishes 3840x2160 frames at 30 fps (two textured pictures in turn, so that every frame
costs the JPEG encoder a full picture); six viewers read /stream/NAME.mjpeg as fast as it comes.
Once every viewer has its first part, 100 GET /api/buffers go out one after the other, 20 ms
apart, each timed from the request to the last byte of its answer. Everything runs on loopback.
The server answers HTTP on its main loop: an answer waits for whatever else the loop is doing.
"""

from __future__ import annotations

import argparse
import http.client
import os
import re
import statistics
import sys
import threading
import time

from serve_bench_support import (argument_parser, markdown_table, paced_writer, port_of,
                                 remove_buffer, start_server, stop_process, write_figures)

VIEWERS = 6


def parse_arguments() -> argparse.Namespace:
    parser = argument_parser(__doc__.splitlines()[0])
    parser.add_argument("--width", type=int, default=3840)
    parser.add_argument("--height", type=int, default=2160)
    parser.add_argument("--requests", type=int, default=100)
    return parser.parse_args()


class Viewer(threading.Thread):
    """One MJPEG stream read to the end, counting the part boundaries it sees."""

    def __init__(self, port: int, name: str, stop: threading.Event) -> None:
        super().__init__(daemon=True)
        self.port, self.name, self.stop = port, name, stop
        self.parts = 0
        self.first_part = threading.Event()

    def run(self) -> None:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            connection.request("GET", f"/stream/{self.name}.mjpeg")
            response = connection.getresponse()
            delimiter = b"--" + re.search(
                r'boundary="?([^";]+)', response.getheader("Content-Type")).group(1).encode()
            tail = b""
            while not self.stop.is_set():
                chunk = response.read1(1 << 20)
                if not chunk:
                    return
                seen = tail + chunk
                self.parts += seen.count(delimiter)
                if self.parts:
                    self.first_part.set()
                tail = seen[-len(delimiter):]
        except (OSError, http.client.HTTPException):
            # The server closes its streams when it stops, perhaps in the middle of a chunk.
            return
        finally:
            connection.close()


def main() -> int:
    args = parse_arguments()
    sys.path.insert(0, args.pythonpath)
    import numpy as np
    import zorvgst

    environment = dict(os.environ, GST_PLUGIN_PATH=args.plugin_dir)
    name = f"api_latency_{os.getpid()}_buffer"
    rows = np.arange(args.height, dtype=np.uint32)[:, None]
    columns = np.arange(args.width, dtype=np.uint32)[None, :]
    pictures = []
    for shift in (0, 7):
        frame = np.empty((args.height, args.width, 4), np.uint8)
        frame[..., 0] = ((rows * 3 + columns * 5 + shift) ^ (columns >> 3)) & 0xFF
        frame[..., 1] = ((rows * 7) ^ (columns + shift)) & 0xFF
        frame[..., 2] = ((rows + columns * 2) >> 2) & 0xFF
        frame[..., 3] = 255
        pictures.append(frame)
    stop = threading.Event()
    written = [0]

    def next_frame():
        return pictures[written[0] % 2]

    def on_written(_frame) -> None:
        written[0] += 1

    server = start_server(args.serve, environment)
    writer = paced_writer(zorvgst, name, args.width, args.height, stop, next_frame,
                          on_written)
    viewers = []
    latencies = []
    try:
        port = port_of(server, "http")
        writer.start()
        deadline = time.monotonic() + 10
        while written[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(1.5)  # the server's own look at the inventory, once a second
        viewers = [Viewer(port, name, stop) for _ in range(VIEWERS)]
        for viewer in viewers:
            viewer.start()
        for viewer in viewers:
            if not viewer.first_part.wait(20):
                print("a viewer got no part", file=sys.stderr)
                return 1
        parts_before = sum(viewer.parts for viewer in viewers)
        measured_from = time.monotonic()
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        for _ in range(args.requests):
            started = time.perf_counter()
            connection.request("GET", "/api/buffers")
            response = connection.getresponse()
            body = response.read()
            latencies.append((time.perf_counter() - started) * 1000)
            if response.status != 200 or name.encode() not in body:
                print(f"bad answer: {response.status}", file=sys.stderr)
                return 1
            time.sleep(0.02)
        connection.close()
        measured_s = time.monotonic() - measured_from
        parts_rate = (sum(viewer.parts for viewer in viewers) - parts_before) / measured_s / VIEWERS
    finally:
        stop.set()
        if writer.is_alive():
            writer.join()
        stop_process(server, 20)
        for viewer in viewers:
            viewer.join(timeout=5)
        remove_buffer(zorvgst, name)

    ordered = sorted(latencies)
    figures = {
        "size": f"{args.width}x{args.height}",
        "viewers": VIEWERS,
        "requests": len(latencies),
        "median_ms": round(statistics.median(latencies), 2),
        "p95_ms": round(ordered[int(0.95 * (len(ordered) - 1))], 2),
        "max_ms": round(max(latencies), 2),
        "mjpeg_parts_per_s_per_viewer": round(parts_rate, 1),
    }
    write_figures(
        figures, args.out,
        f"## zorvgst-serve: GET /api/buffers while streaming MJPEG "
        f"(bench/serve_api_latency.py)\n\n"
        f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}. A writer "
        f"publishes {figures['size']} frames at 30 fps; {VIEWERS} viewers read "
        f"/stream/NAME.mjpeg on loopback; {figures['requests']} GET /api/buffers, 20 ms "
        f"apart, are timed from request to the answer's last byte.\n\n"
        + markdown_table({"median ms": figures["median_ms"], "p95 ms": figures["p95_ms"],
                          "max ms": figures["max_ms"],
                          "MJPEG parts/s per viewer": figures["mjpeg_parts_per_s_per_viewer"]}),
        args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())

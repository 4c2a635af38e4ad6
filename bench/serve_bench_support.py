# SPDX-License-Identifier: LGPL-2.1-or-later
"""What the zorvgst-serve benchmarks share: their common options, a writer paced at 30 fps, the
server on loopback with ports of the system's choice, stopping processes and removing the buffer,
and writing the figures."""
from __future__ import annotations

import argparse
import json
import re
import signal
import subprocess
import threading
import time
from typing import Callable, Optional


def argument_parser(description: str) -> argparse.ArgumentParser:
    """The options every server benchmark takes (the programs and package it runs, where the
    figures go); each benchmark adds its own."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--serve", required=True, help="the zorvgst-serve program")
    parser.add_argument("--pythonpath", required=True, help="where the zorvgst package is")
    parser.add_argument("--plugin-dir", required=True, help="the zorvgst GStreamer plugin's dir")
    parser.add_argument("--json", help="write the figures here too")
    parser.add_argument("--out", help="write a Markdown section of results here")
    return parser


def paced_writer(zorvgst, name: str, width: int, height: int, stop: threading.Event,
                 next_frame: Callable[[], object],
                 on_written: Optional[Callable[[object], None]] = None,
                 fps: float = 30.0) -> threading.Thread:
    """A thread writing `next_frame()` into a BGRA double buffer `fps` times a second until
    `stop` is set, calling `on_written(frame)` right after each publication; not started."""
    def write() -> None:
        interval = 1 / fps
        with zorvgst.Writer(name, width, height) as writer:
            while not stop.is_set():
                started = time.monotonic()
                frame = next_frame()
                writer.write(frame)
                if on_written is not None:
                    on_written(frame)
                time.sleep(max(0.0, interval - (time.monotonic() - started)))

    return threading.Thread(target=write)


def start_server(serve: str, environment: dict, *options: str) -> subprocess.Popen:
    """zorvgst-serve on loopback; its first line names the ports it listens on."""
    return subprocess.Popen([serve, "--rtsp-port", "0", "--http-port", "0", *options],
                            stdout=subprocess.PIPE, text=True, env=environment)


def port_of(server: subprocess.Popen, protocol: str) -> int:
    """The port of `protocol` ("rtsp" or "http") the server's first line names."""
    line = server.stdout.readline()
    return int(re.search(protocol + r"://[^:]+:(\d+)/", line).group(1))


def stop_process(process: Optional[subprocess.Popen], timeout: float) -> None:
    """SIGTERM, then SIGKILL after `timeout` seconds; reaped either way."""
    if process is None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def remove_buffer(zorvgst, name: str) -> None:
    """Removes the benchmark's buffer; one that is already gone is fine."""
    try:
        zorvgst.remove(name)
    except zorvgst.Error:
        pass


def markdown_table(row: dict, left_columns: int = 0) -> str:
    """A Markdown table of one row: each key heads the column of its value. The first
    `left_columns` columns are aligned left, the figures after them right."""
    alignments = ["---"] * left_columns + ["---:"] * (len(row) - left_columns)
    return ("| " + " | ".join(row) + " |\n"
            + "|" + "|".join(alignments) + "|\n"
            + "| " + " | ".join(str(value) for value in row.values()) + " |\n")


def write_figures(figures: dict, out: Optional[str], section: str,
                  json_path: Optional[str]) -> None:
    """Prints the figures as JSON, and writes the Markdown section and the JSON where asked."""
    print(json.dumps(figures))
    if out:
        with open(out, "w", encoding="utf-8") as file:
            file.write(section)
    if json_path:
        with open(json_path, "w", encoding="utf-8") as file:
            json.dump(figures, file)

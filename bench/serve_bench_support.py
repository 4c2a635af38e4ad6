# SPDX-License-Identifier: LGPL-2.1-or-later
"""What the zorvgst-serve benchmarks share: a writer paced at 30 fps, the server on loopback with
ports of the system's choice, stopping processes, and writing the figures."""
from __future__ import annotations

import json
import re
import signal
import subprocess
import threading
import time
from typing import Callable, Optional


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

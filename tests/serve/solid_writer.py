# SPDX-License-Identifier: LGPL-2.1-or-later
# A writer of solid-colour frames at a steady rate: a thread of the test, or a child process that
# reports the rate it kept.
from __future__ import annotations

import json
import sys
import threading
import time
from typing import Sequence, Tuple

import zorvgst

Colour = Tuple[int, int, int]  # blue, green, red


class SolidWriter:
    """Publishes `colours[0]` for `period` seconds, then `colours[1]`, ... round and round, at
    `fps` frames per second. Like a camera with a short queue, it catches up on up to
    `QUEUED` frames it is late with; the frames it is later with are lost, so frames / seconds
    shows whether anything held the writer back."""

    QUEUED = 3

    def __init__(self, name: str, width: int, height: int, colours: Sequence[Colour],
                 fps: float = 30.0, period: float = 1.0, backend: str = "posix") -> None:
        self.name = name
        self.writer = zorvgst.Writer(name, width, height, backend)
        self.colours = [tuple(colour) for colour in colours]
        self.fps = fps
        self.period = period
        self.frames = 0
        self.seconds = 0.0
        self._stop = threading.Event()
        self._thread = None
        # A writer is for one thread at a time: resizing waits for the frame being drawn.
        self._lock = threading.Lock()

    def colour_at(self, elapsed: float) -> Colour:
        return self.colours[int(elapsed / self.period) % len(self.colours)]

    def run(self, duration: float = float("inf")) -> None:
        start = time.monotonic()
        slot = 0
        while not self._stop.is_set():
            elapsed = time.monotonic() - start
            if elapsed >= duration:
                break
            with self._lock, self.writer.frame() as frame:
                frame[..., :3] = self.colour_at(elapsed)
                frame[..., 3] = 255
            self.frames += 1
            slot = max(slot + 1, int((time.monotonic() - start) * self.fps) + 1 - self.QUEUED)
            self._stop.wait(max(0.0, start + slot / self.fps - time.monotonic()))
        self.seconds = time.monotonic() - start

    def resize(self, width: int, height: int) -> None:
        with self._lock:
            self.writer.resize(width, height)

    def start(self) -> "SolidWriter":
        self._thread = threading.Thread(target=self.run, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        self.writer.close()


def main(args: Sequence[str]) -> None:
    """NAME WIDTH HEIGHT FPS SECONDS B,G,R [B,G,R ...]: writes, then prints what it kept as JSON."""
    name, width, height, fps, seconds = args[0], int(args[1]), int(args[2]), float(args[3]), \
        float(args[4])
    colours = [tuple(int(c) for c in colour.split(",")) for colour in args[5:]]
    writer = SolidWriter(name, width, height, colours, fps)
    print("writing", flush=True)
    writer.run(seconds)
    writer.writer.close()
    print(json.dumps({"frames": writer.frames, "seconds": writer.seconds,
                      "fps": writer.frames / writer.seconds}), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])

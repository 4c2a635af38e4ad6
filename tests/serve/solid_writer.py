# SPDX-License-Identifier: LGPL-2.1-or-later
# A writer of solid-colour frames at a steady rate, into a double buffer or a frame ring of YUV
# frames: a thread of the test, or a child process that reports the rate it kept.
from __future__ import annotations

import json
import sys
import threading
import time
from typing import Sequence, Tuple

import cv2
import numpy as np

import zorvgst

Colour = Tuple[int, int, int]  # blue, green, red


def yuv_planes(bgr: np.ndarray, fmt: str) -> tuple:
    """A BGR picture of even sides as the planes of an NV12 or I420 frame: limited-range BT.601,
    which GStreamer takes frames of standard definition without a colorimetry to be."""
    height, width = bgr.shape[:2]
    i420 = cv2.cvtColor(bgr, cv2.COLOR_BGR2YUV_I420)
    luma = i420[:height]
    u, v = i420[height:].reshape(2, height // 2, width // 2)
    if fmt == "NV12":
        return luma, np.dstack([u, v])
    if fmt == "I420":
        return luma, u, v
    raise ValueError(f"no planes for {fmt}")


class SolidWriter:
    """Publishes `colours[0]` for `period` seconds, then `colours[1]`, ... round and round, at
    `fps` frames per second. Like a camera with a short queue, it catches up on up to
    `QUEUED` frames it is late with; the frames it is later with are lost, so frames / seconds
    shows whether anything held the writer back. With `fmt` NV12 or I420, a frame ring of such
    frames."""

    QUEUED = 3

    def __init__(self, name: str, width: int, height: int, colours: Sequence[Colour],
                 fps: float = 30.0, period: float = 1.0, backend: str = "posix",
                 fmt: str = "BGRA") -> None:
        self.name = name
        self.writer = zorvgst.Writer(name, width, height, backend, format=fmt)
        self.colours = [tuple(colour) for colour in colours]
        self._planes = self._ring_planes(width, height)
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
            with self._lock:
                if self._planes is not None:
                    self.writer.write(self._planes[self.colour_at(elapsed)])
                else:
                    with self.writer.frame() as frame:
                        frame[..., :3] = self.colour_at(elapsed)
                        frame[..., 3] = 255
            self.frames += 1
            slot = max(slot + 1, int((time.monotonic() - start) * self.fps) + 1 - self.QUEUED)
            self._stop.wait(max(0.0, start + slot / self.fps - time.monotonic()))
        self.seconds = time.monotonic() - start

    def resize(self, width: int, height: int) -> None:
        with self._lock:
            self.writer.resize(width, height)
            self._planes = self._ring_planes(width, height)

    def _ring_planes(self, width: int, height: int):
        """A ring's frame of each colour, made once and copied in; None for a double buffer."""
        if self.writer.format == "BGRA":
            return None
        return {colour: yuv_planes(np.full((height, width, 3), colour, np.uint8),
                                   self.writer.format) for colour in self.colours}

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

#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
# A writer that draws a moving pattern with numpy straight into a buffer's next frame.
"""Publishes a moving pattern: colour bands drifting to the right and a white square bouncing
around, drawn with numpy into the slot readers see next, with no copy of its own.

    PYTHONPATH=build/python /usr/bin/python3 examples/python/numpy_writer.py --buffer pattern_buffer

Runs until Ctrl-C, SIGTERM or --seconds, then removes the buffer unless --keep is given.
"""

import argparse
import signal
import sys
import time

import numpy as np

import zorvgst

SQUARE = 48  # side of the bouncing square, in pixels


def bands(width: int, height: int) -> np.ndarray:
    """Two frames' width of colour bands: each frame is a window sliding along them. Blue rises
    and falls once every frame width, so the window wraps around without a seam; no pixel comes
    near white, which stays the square's."""
    x = np.arange(2 * width) % width
    y = np.arange(height)
    pattern = np.empty((height, 2 * width, 4), np.uint8)
    pattern[..., 0] = (255 - np.abs(x * 510 // width - 255))[None, :]
    pattern[..., 1] = (y * 160 // max(height - 1, 1))[:, None]
    pattern[..., 2] = 64
    pattern[..., 3] = 255
    return pattern


def bounce(step: int, span: int) -> int:
    """Position after `step` pixels of travel back and forth over 0..span."""
    if span <= 0:
        return 0
    return span - abs(step % (2 * span) - span)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--buffer", default="pattern_buffer", help="buffer to publish into")
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=720)
    parser.add_argument("--fps", type=float, default=30.0)
    parser.add_argument("--seconds", type=float, help="stop after this long (default: never)")
    parser.add_argument("--backend", choices=("posix", "sysv"), default="posix")
    parser.add_argument("--keep", action="store_true", help="leave the buffer when stopping")
    args = parser.parse_args()
    if args.width < SQUARE or args.height < SQUARE or not args.fps > 0:
        parser.error(f"frames are at least {SQUARE}x{SQUARE}, and fps above 0")

    # SIGTERM stops the loop the way Ctrl-C does, so both leave through the same clean-up.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    pattern = bands(args.width, args.height)
    start = time.monotonic()
    end = None if args.seconds is None else start + args.seconds
    published = 0
    try:
        writer = zorvgst.Writer(args.buffer, args.width, args.height, args.backend)
    except zorvgst.Error as error:
        print(f"cannot publish into {args.buffer}: {error}", file=sys.stderr)
        return 1
    try:
        with writer:
            while end is None or time.monotonic() < end:
                with writer.frame() as slot:
                    offset = published * 4 % args.width
                    slot[:] = pattern[:, offset : offset + args.width]
                    x = bounce(published * 5, args.width - SQUARE)
                    y = bounce(published * 3, args.height - SQUARE)
                    slot[y : y + SQUARE, x : x + SQUARE] = 255
                published += 1
                # Paced on the clock, so that a slow frame does not slow every later one.
                time.sleep(max(0.0, start + published / args.fps - time.monotonic()))
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if not args.keep:
            zorvgst.remove(args.buffer)
    print(f"published {published} frames into {args.buffer}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
# A consumer that marks bright objects in each frame with OpenCV and republishes the result.
"""Reads every frame of one buffer, boxes its bright objects and labels it with OpenCV, and
publishes the annotated frames into a second buffer, at the input's size, which any reader, the
zorvdbsrc element among them, can show:

    PYTHONPATH=build/python /usr/bin/python3 examples/python/opencv_annotate.py \\
        --input pattern_buffer --output annotated_buffer
    GST_PLUGIN_PATH=build/plugin/gstreamer-1.0 gst-launch-1.0 \\
        zorvdbsrc buffer-name=annotated_buffer ! videoconvert ! autovideosink

Waits for the input's writer and follows it when it restarts or changes size. Runs until Ctrl-C,
SIGTERM or --seconds, then removes the output buffer unless --keep is given.
"""

import argparse
import datetime
import signal
import sys
import time

import cv2
import numpy as np

import zorvgst

GREEN = (0, 255, 0, 255)  # B, G, R, A
BRIGHT = 240  # grey level above which a pixel belongs to an object
LABEL_HEIGHT = 28


def annotate(image: np.ndarray, frame_number: int, age_ms: float) -> int:
    """Draws on `image` in place; returns how many objects it boxed."""
    grey = cv2.cvtColor(image, cv2.COLOR_BGRA2GRAY)
    _, bright = cv2.threshold(grey, BRIGHT, 255, cv2.THRESH_BINARY)
    contours, _ = cv2.findContours(bright, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    cv2.rectangle(image, (0, 0), (image.shape[1] - 1, LABEL_HEIGHT - 1), (0, 0, 0, 255), -1)
    for contour in contours:
        x, y, width, height = cv2.boundingRect(contour)
        cv2.rectangle(image, (x - 3, y - 3), (x + width + 2, y + height + 2), GREEN, 2)
    label = f"frame {frame_number}  {len(contours)} objects  {age_ms:.1f} ms old"
    cv2.putText(image, label, (6, 20), cv2.FONT_HERSHEY_SIMPLEX, 0.55, GREEN, 1, cv2.LINE_AA)
    return len(contours)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--input", default="pattern_buffer", help="buffer to read")
    parser.add_argument("--output", default="annotated_buffer", help="buffer to publish into")
    parser.add_argument("--seconds", type=float, help="stop after this long (default: never)")
    parser.add_argument("--backend", choices=("posix", "sysv"), default="posix",
                        help="backend of the output buffer (the input's is found by itself)")
    parser.add_argument("--keep", action="store_true", help="leave the output buffer when stopping")
    args = parser.parse_args()
    if args.input == args.output:
        parser.error("the output must be another buffer than the input")

    # SIGTERM stops the loop the way Ctrl-C does, so both leave through the same clean-up.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    end = None if args.seconds is None else time.monotonic() + args.seconds
    writer = None
    annotated = 0
    try:
        with zorvgst.Reader(args.input) as reader:
            while end is None or time.monotonic() < end:
                left = 0.5 if end is None else max(0.0, min(0.5, end - time.monotonic()))
                image = reader.read(timeout=left)  # a copy of its own, free to draw on
                if image is None:
                    continue  # no writer yet, or none that published in time
                age = datetime.datetime.now(datetime.timezone.utc) - reader.written
                annotate(image, reader.frame_number, age.total_seconds() * 1000)
                if writer is None:
                    writer = zorvgst.Writer(args.output, image.shape[1], image.shape[0],
                                            args.backend)
                elif writer.shape != image.shape:
                    writer.resize(image.shape[1], image.shape[0])
                writer.write(image)
                annotated += 1
    except KeyboardInterrupt:
        pass
    except zorvgst.Error as error:
        print(f"cannot publish into {args.output}: {error}", file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        if writer is not None and not args.keep:
            writer.close()
            zorvgst.remove(args.output)
    print(f"annotated {annotated} frames from {args.input} into {args.output}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

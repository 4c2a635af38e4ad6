# SPDX-License-Identifier: LGPL-2.1-or-later
# The Python examples together: the numpy writer feeds the OpenCV consumer, whose annotated
# stream reaches zorvgst readers and zorvdbsrc, and both stop cleanly and take their buffers away.
import contextlib
import os
import re
import shutil
import signal
import subprocess
from pathlib import Path

import numpy as np
import pytest
from conftest import PLUGIN_DIR, PYTHON, WAIT_S, Children, remove_quietly

import zorvgst

pytest.importorskip("cv2", reason="the OpenCV consumer needs python3-opencv")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "python"
WIDTH, HEIGHT = 320, 240
GREEN = (0, 255, 0, 255)  # what the consumer boxes objects with, B, G, R, A


class Examples:
    """The two example processes, their buffers, and a reader of the annotated one."""

    def __init__(self, children, writer, consumer, pattern, annotated, reader, first):
        self.children, self.writer, self.consumer = children, writer, consumer
        self.pattern, self.annotated = pattern, annotated
        self.reader, self.first = reader, first


@contextlib.contextmanager
def examples_running(children, tag, writer_seconds, consumer_seconds):
    """The writer, then, once it publishes, the consumer; yields when an annotated frame came.
    Ends both and removes both buffers on the way out, whatever happened."""
    # Names end in "_buffer": the inventory lists only those.
    pattern = f"pyex_{os.getpid()}_{tag}_buffer"
    annotated = f"pyex_{os.getpid()}_{tag}_annotated_buffer"

    def example(script, *arguments):
        return children.start(PYTHON, str(EXAMPLES / script), *arguments, stdout=subprocess.PIPE)

    try:
        with zorvgst.Reader(pattern) as source, zorvgst.Reader(annotated) as reader:
            size = ["--width", str(WIDTH), "--height", str(HEIGHT)]
            writer = example("numpy_writer.py", "--buffer", pattern, *size,
                             "--seconds", str(writer_seconds))
            assert source.read(timeout=WAIT_S) is not None, "the writer published nothing"
            consumer = example("opencv_annotate.py", "--input", pattern, "--output", annotated,
                               "--seconds", str(consumer_seconds))
            first = reader.read(timeout=WAIT_S)
            assert first is not None, "the consumer published nothing"
            yield Examples(children, writer, consumer, pattern, annotated, reader, first)
    finally:
        children.close()
        remove_quietly(pattern)
        remove_quietly(annotated)


@pytest.fixture(scope="module")
def running(tmp_path_factory):
    children = Children(tmp_path_factory.mktemp("examples"))
    with examples_running(children, "live", writer_seconds=120, consumer_seconds=120) as examples:
        yield examples


def test_annotated_frames_keep_the_input_size_and_box_the_square(running):
    frame = running.first
    assert frame.shape == (HEIGHT, WIDTH, 4)
    square = np.all(frame == 255, axis=2)
    rows, columns = np.nonzero(square)
    assert rows.size, "the writer's white square is missing"
    top, bottom, left, right = rows.min(), rows.max(), columns.min(), columns.max()
    around = frame[max(top - 6, 0) : bottom + 7, max(left - 6, 0) : right + 7]
    green = np.count_nonzero(np.all(around == GREEN, axis=2))
    # The box's sides are two pixels thick; even with its top under the label strip, the other
    # three sides hold more than this.
    assert green >= 2 * ((bottom - top) + (right - left)), f"{green} box pixels around the square"


def test_annotated_stream_follows_the_writer(running):
    numbers = []
    for _ in range(3):
        assert running.reader.read(timeout=WAIT_S) is not None
        numbers.append(running.reader.frame_number)
    assert numbers == sorted(set(numbers))


def test_zorvdbsrc_receives_the_annotated_frames(running):
    if not (Path(PLUGIN_DIR) / "libgstzorvgst.so").exists():
        pytest.skip(f"no zorvdbsrc: the plugin is not in {PLUGIN_DIR} (set GST_PLUGIN_PATH)")
    if shutil.which("gst-launch-1.0") is None:
        pytest.skip("gst-launch-1.0 is not installed")
    caps = f"video/x-raw,format=BGRA,width={WIDTH},height={HEIGHT}"
    launch = running.children.start(
        "gst-launch-1.0", "zorvdbsrc", f"buffer-name={running.annotated}", "num-buffers=5",
        "!", caps, "!", "fakesink")
    assert running.children.finish(launch) == 0, running.children.output(launch)


@pytest.mark.parametrize(
    "stop", ["seconds", signal.SIGINT, signal.SIGTERM], ids=["seconds", "SIGINT", "SIGTERM"]
)
def test_examples_stop_cleanly_and_remove_their_buffers(stop, children):
    # With --seconds, the consumer's own limit ends it while the writer still publishes, and the
    # writer's a few seconds later; with a signal, both are told to stop mid-stream.
    bounded = stop == "seconds"
    tag = f"stop_{getattr(stop, 'name', stop)}"
    writer_seconds, consumer_seconds = (6, 2) if bounded else (120, 120)
    with examples_running(children, tag, writer_seconds, consumer_seconds) as examples:
        if not bounded:
            examples.writer.send_signal(stop)
            examples.consumer.send_signal(stop)
        for process, report in ((examples.writer, "published"), (examples.consumer, "annotated")):
            assert children.finish(process) == 0
            out = process.stdout.read()
            assert re.search(rf"^{report} [1-9]\d* frames", out, re.MULTILINE), out
        left = {buffer["name"] for buffer in zorvgst.list_buffers()}
        assert not left & {examples.pattern, examples.annotated}

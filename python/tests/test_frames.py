# SPDX-License-Identifier: LGPL-2.1-or-later
# Reader and Writer in one process: arrays of any layout, arrays refused, timeouts, frames drawn
# in place, and waits that neither hold the GIL nor ignore Ctrl-C.
import select
import signal
import subprocess
import threading
import time

import numpy as np
import pytest
from conftest import WAIT_S, noise

import zorvgst


@pytest.fixture
def pair(buffer_name):
    """An 8x4 writer and a reader of its buffer."""
    with zorvgst.Writer(buffer_name, 8, 4) as writer, zorvgst.Reader(buffer_name) as reader:
        yield writer, reader


def _inside(outer: np.ndarray) -> np.ndarray:
    return outer[1:5, 2:10]  # rows and pixels further apart than the frame's


# Layouts the library copies to directly, and ones the package goes through a scratch copy for.
STRIDED = {
    "slice of a larger frame": lambda: _inside(np.zeros((6, 12, 4), np.uint8)),
    "every other row": lambda: np.zeros((8, 8, 4), np.uint8)[::2],
    "columns reversed": lambda: np.zeros((4, 8, 4), np.uint8)[:, ::-1],
    "channels apart": lambda: np.zeros((4, 8, 8), np.uint8)[:, :, ::2],
    "Fortran order": lambda: np.asfortranarray(np.zeros((4, 8, 4), np.uint8)),
}


@pytest.mark.parametrize("layout", STRIDED.values(), ids=STRIDED.keys())
def test_strided_arrays_are_written_and_read_in_place(pair, layout):
    writer, reader = pair
    frame = noise(4, 8)
    source = layout()
    source[...] = frame
    assert writer.write(source) == 1

    out = layout()
    assert reader.read(timeout=WAIT_S, out=out) is out
    np.testing.assert_array_equal(out, frame)
    assert reader.frame_number == 1


def test_read_out_leaves_the_rest_of_a_larger_array_alone(pair):
    writer, reader = pair
    writer.write(noise(4, 8))
    outer = np.full((6, 12, 4), 7, np.uint8)
    reader.read(timeout=WAIT_S, out=_inside(outer))
    _inside(outer)[...] = 7
    assert (outer == 7).all()


WRONG_FRAMES = {
    "float pixels": (np.zeros((4, 8, 4), np.float32), TypeError),
    "three channels": (np.zeros((4, 8, 3), np.uint8), ValueError),
    "another size": (np.zeros((8, 4, 4), np.uint8), ValueError),
    "flat bytes": (np.zeros(128, np.uint8), ValueError),
    "a list": ([[[0] * 4] * 8] * 4, TypeError),
}


@pytest.mark.parametrize("array, error", WRONG_FRAMES.values(), ids=WRONG_FRAMES.keys())
def test_writer_refuses_arrays_that_are_no_frame_of_its_size(pair, array, error):
    writer, _ = pair
    with pytest.raises(error):
        writer.write(array)
    assert writer.frame_number is None


WRONG_OUTS = {
    "float pixels": np.zeros((4, 8, 4), np.float32),
    "three channels": np.zeros((4, 8, 3), np.uint8),
    "another size": np.zeros((8, 4, 4), np.uint8),
    "read-only": np.broadcast_to(np.zeros(4, np.uint8), (4, 8, 4)),
}


@pytest.mark.parametrize("out", WRONG_OUTS.values(), ids=WRONG_OUTS.keys())
def test_read_refuses_an_out_that_cannot_take_the_frame(pair, out):
    writer, reader = pair
    writer.write(noise(4, 8))
    with pytest.raises(ValueError):
        reader.read(timeout=WAIT_S, out=out)
    # Refusing took nothing: the frame is still there for a fitting array.
    assert reader.read(timeout=0).shape == (4, 8, 4)


def test_waits_end_at_their_timeout_without_a_new_frame(pair):
    writer, reader = pair
    assert reader.read(timeout=0.05) is None  # nothing written yet
    with reader.frame(timeout=0.05) as frame:
        assert frame is None
    writer.write(noise(4, 8))
    assert reader.read(timeout=0.05) is not None
    assert reader.read(timeout=0.05) is None  # that frame was returned already
    assert list(reader.frames(timeout=0.05)) == []
    with pytest.raises(ValueError):
        reader.read(timeout=-1)


def test_reader_of_a_missing_buffer_times_out(buffer_name):
    with zorvgst.Reader(buffer_name) as reader:
        assert reader.read(timeout=0.05) is None
        assert not reader.ready
        assert reader.backend is None


def test_writer_frame_publishes_only_when_the_block_ends_normally(pair):
    writer, reader = pair
    with writer.frame() as slot:
        slot[...] = 1
    assert writer.frame_number == 1
    assert (reader.read(timeout=WAIT_S) == 1).all()

    with pytest.raises(RuntimeError, match="drawing failed"):
        with writer.frame() as slot:
            slot[...] = 2
            raise RuntimeError("drawing failed")
    assert writer.frame_number == 1
    assert reader.read(timeout=0.05) is None


def test_waiting_reader_lets_other_threads_run(pair):
    writer, reader = pair
    frame = noise(4, 8)
    # This thread can publish only while the waiting read has the GIL released.
    publisher = threading.Timer(0.2, writer.write, args=(frame,))
    publisher.start()
    try:
        received = reader.read(timeout=WAIT_S)
    finally:
        publisher.cancel()
        publisher.join(WAIT_S)
    np.testing.assert_array_equal(received, frame)


# Says when it waits on a buffer that never gets a writer, and what ended the wait.
WAIT_FOR_CTRL_C = """
import sys, zorvgst
reader = zorvgst.Reader(sys.argv[1])
print("waiting", flush=True)
try:
    reader.read()
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""


def next_line(child: subprocess.Popen) -> str:
    ready, _, _ = select.select([child.stdout], [], [], WAIT_S)
    return child.stdout.readline() if ready else "(nothing)"


def test_ctrl_c_interrupts_a_waiting_read(buffer_name, children):
    child = children.python(WAIT_FOR_CTRL_C, buffer_name, stdout=subprocess.PIPE)
    assert next_line(child) == "waiting\n"
    time.sleep(0.2)  # well into read()
    interrupted = time.monotonic()
    child.send_signal(signal.SIGINT)
    ended = next_line(child)
    elapsed = time.monotonic() - interrupted
    print(f"read() ended {elapsed * 1000:.0f} ms after SIGINT")
    assert ended == "KeyboardInterrupt\n"
    assert child.wait(timeout=WAIT_S) == 0
    assert elapsed < 1.0

# SPDX-License-Identifier: LGPL-2.1-or-later
# Frame rings from Python: frames of packed, planar and semi-planar formats as arrays shaped by
# the format, frames held while the writer laps the ring, timing and metadata, arrays refused.
import subprocess
import time

import numpy as np
import pytest
from conftest import WAIT_S

import zorvgst

# An odd size: chroma planes round up, YUY2 pairs its last pixel with padding.
WIDTH, HEIGHT = 9, 5

# What hosts are promised: each format's arrays, (shape, dtype) per plane.
FORMATS = {
    "BGRA": [((5, 9, 4), np.uint8)],
    "RGB": [((5, 9, 3), np.uint8)],
    "GRAY8": [((5, 9), np.uint8)],
    "GRAY16_LE": [((5, 9), np.uint16)],
    "NV12": [((5, 9), np.uint8), ((3, 5, 2), np.uint8)],
    "I420": [((5, 9), np.uint8), ((3, 5), np.uint8), ((3, 5), np.uint8)],
    "YUY2": [((5, 10, 2), np.uint8)],
}


def ring_writer(name, format, **options):
    return zorvgst.Writer(name, WIDTH, HEIGHT, format=format, layout="ring", **options)


def random_frame(format, seed=0):
    """Random samples in every plane of `format`: one array, or a tuple for several planes."""
    rng = np.random.default_rng(seed)
    planes = tuple(
        rng.integers(0, np.iinfo(dtype).max + 1, shape, dtype=dtype)
        for shape, dtype in FORMATS[format]
    )
    return planes[0] if len(planes) == 1 else planes


def as_planes(frame):
    return frame if isinstance(frame, tuple) else (frame,)


def assert_same_frame(received, sent, format):
    received, sent = as_planes(received), as_planes(sent)
    assert [(plane.shape, plane.dtype) for plane in received] == [
        (shape, np.dtype(dtype)) for shape, dtype in FORMATS[format]
    ]
    for got, expected in zip(received, sent):
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("format", FORMATS)
def test_frames_of_every_layout_arrive_whole_and_shaped_by_their_format(buffer_name, format):
    sent = random_frame(format)
    with ring_writer(buffer_name, format) as writer, zorvgst.Reader(buffer_name) as reader:
        expected_shape = tuple(shape for shape, _ in FORMATS[format])
        expected_shape = expected_shape[0] if len(expected_shape) == 1 else expected_shape
        assert writer.shape == expected_shape
        assert writer.write(sent) == 1

        copied = reader.read(timeout=WAIT_S)
        assert_same_frame(copied, sent, format)
        assert (reader.layout, reader.format, reader.shape) == ("ring", format, expected_shape)

        held = random_frame(format, seed=1)
        writer.write(held)
        with reader.frame(timeout=WAIT_S) as frame:
            assert frame.leased and frame.intact and frame.format == format
            assert_same_frame(frame.array, held, format)
            assert all(not plane.flags.writeable for plane in frame.planes)
        assert reader.frame_number == 2


# Input layouts: rows further apart than their pixels (copied as they lie), and layouts whose
# samples are not packed in rows (copied through a contiguous array first).
def inside_larger(plane):
    margins = [(1, 1), (2, 2)] + [(0, 0)] * (plane.ndim - 2)
    return np.pad(plane, margins)[1:-1, 2:-2]


STRIDED = {
    "slice of a larger array": inside_larger,
    "every other row": lambda plane: np.repeat(plane, 2, axis=0)[::2],
    "columns reversed": lambda plane: np.ascontiguousarray(plane[:, ::-1])[:, ::-1],
    "Fortran order": np.asfortranarray,
}


@pytest.mark.parametrize("layout", STRIDED.values(), ids=STRIDED.keys())
@pytest.mark.parametrize("format", ["NV12", "GRAY16_LE"])
def test_planes_of_any_strides_are_written_and_read_back(buffer_name, format, layout):
    sent = random_frame(format, seed=1)
    strided = tuple(layout(plane) for plane in as_planes(sent))
    assert all(np.array_equal(a, b) for a, b in zip(strided, as_planes(sent)))
    out = tuple(layout(np.zeros_like(plane)) for plane in as_planes(sent))
    with ring_writer(buffer_name, format) as writer, zorvgst.Reader(buffer_name) as reader:
        writer.write(strided if len(strided) > 1 else strided[0])
        received = reader.read(timeout=WAIT_S, out=out if len(out) > 1 else out[0])
        assert all(a is b for a, b in zip(as_planes(received), out))
    assert_same_frame(received, sent, format)


def test_a_held_frame_stays_whole_while_the_writer_laps_the_ring(buffer_name):
    first, later = random_frame("NV12", seed=2), random_frame("NV12", seed=3)
    # One reader holding one frame: three slots, lapped many times below.
    with ring_writer(buffer_name, "NV12", readers=1, leases_per_reader=1) as writer, \
            zorvgst.Reader(buffer_name) as reader:
        writer.write(first)
        with reader.frame(timeout=WAIT_S) as frame:
            assert frame.leased
            kept = frame.planes
            for _ in range(10):
                writer.write(later)
            assert_same_frame(frame.array, first, "NV12")
        # The kept arrays hold the lease beyond the block: this reader can hold no other frame.
        assert frame.array is None
        for _ in range(10):
            writer.write(later)
        assert_same_frame(kept, first, "NV12")
        with reader.frame(timeout=WAIT_S) as copied:
            assert not copied.leased and copied.intact
            assert_same_frame(copied.array, later, "NV12")

        del kept  # the lease ends with the last array
        writer.write(later)
        with reader.frame(timeout=WAIT_S) as held:
            assert held.leased
            last = held.array
    # The arrays keep the slot mapped after their reader is gone and the ring removed.
    zorvgst.remove(buffer_name)
    assert_same_frame(last, later, "NV12")


def test_a_reader_limited_to_no_leases_copies_every_frame(buffer_name):
    sent = random_frame("I420", seed=4)
    with ring_writer(buffer_name, "I420") as writer, zorvgst.Reader(buffer_name) as reader:
        reader.limit_leases(0)
        writer.write(sent)
        with reader.frame(timeout=WAIT_S) as frame:
            assert not frame.leased and frame.intact
            assert all(not plane.flags.writeable for plane in frame.planes)
            assert_same_frame(frame.array, sent, "I420")


def test_timing_flags_and_metadata_arrive_with_each_frame(buffer_name):
    sent = random_frame("GRAY8")
    with ring_writer(buffer_name, "GRAY8", metadata_bytes=64) as writer, \
            zorvgst.Reader(buffer_name) as reader:
        assert writer.metadata_capacity == 64
        captured = time.monotonic_ns()
        writer.write(sent, pts_ns=captured, duration_ns=33_333_333, flags=0x8000_0001,
                     metadata=bytearray(b"exposure=10ms"))
        reader.read(timeout=WAIT_S)
        assert (reader.pts_ns, reader.duration_ns, reader.flags, reader.metadata) == (
            captured, 33_333_333, 0x8000_0001, b"exposure=10ms")

        # Without a pts the writer stamps the publication; nothing else carries over.
        before = time.monotonic_ns()
        with writer.frame(metadata=b"\0" * 64) as slot:
            slot[...] = sent
        after = time.monotonic_ns()
        with reader.frame(timeout=WAIT_S) as frame:
            assert before <= frame.pts_ns <= after
            assert writer.info.pts_ns == frame.pts_ns  # the writer's record says the same
            assert (frame.duration_ns, frame.flags, frame.metadata) == (None, 0, b"\0" * 64)
            assert_same_frame(frame.array, sent, "GRAY8")


# A writer in another process: its slots are mapped read-only here, its clock is the same.
WRITE_ONE_FRAME = """
import sys, time, numpy as np, zorvgst
writer = zorvgst.Writer(sys.argv[1], 9, 5, format="NV12")
y = np.arange(45, dtype=np.uint8).reshape(5, 9)
uv = np.arange(30, dtype=np.uint8).reshape(3, 5, 2) + 100
writer.write((y, uv), pts_ns=time.monotonic_ns(), metadata=b"from the child")
print("written", flush=True)
time.sleep(60)  # keeps the ring's owner alive; the test kills it
"""


def test_frames_of_a_writer_in_another_process_are_held_in_place(buffer_name, children):
    child = children.python(WRITE_ONE_FRAME, buffer_name, stdout=subprocess.PIPE)
    assert child.stdout.readline() == "written\n"
    with zorvgst.Reader(buffer_name) as reader:
        with reader.frame(timeout=WAIT_S) as frame:
            assert frame.leased and frame.metadata == b"from the child"
            assert frame.pts_ns <= time.monotonic_ns()
            y, uv = frame.array
            np.testing.assert_array_equal(y, np.arange(45).reshape(5, 9))
            np.testing.assert_array_equal(uv, np.arange(30).reshape(3, 5, 2) + 100)


def nv12(y_shape=(5, 9), uv_shape=(3, 5, 2), dtype=np.uint8):
    return (np.zeros(y_shape, dtype), np.zeros(uv_shape, np.uint8))


WRONG_FRAMES = {
    "float luma": ("NV12", nv12(dtype=np.float32), TypeError, "uint8, not float32"),
    "chroma not in pairs": ("NV12", (np.zeros((5, 9), np.uint8), np.zeros((3, 10), np.uint8)),
                            ValueError, r"plane 1 .* shape \(3, 5, 2\), not \(3, 10\)"),
    "luma of another size": ("NV12", nv12(y_shape=(9, 5)), ValueError, r"\(5, 9\), not \(9, 5\)"),
    "one plane of two": ("NV12", np.zeros((5, 9), np.uint8), TypeError, "tuple of 2 plane arrays"),
    "three planes of two": ("NV12", nv12() + (np.zeros((3, 5), np.uint8),), TypeError,
                            "not one of 3"),
    "bytes for 16-bit samples": ("GRAY16_LE", np.zeros((5, 9), np.uint8), TypeError,
                                 "uint16, not uint8"),
    "16-bit samples as pairs": ("GRAY16_LE", np.zeros((5, 9, 2), np.uint8), TypeError, "uint16"),
    "a list": ("GRAY8", [[0] * 9] * 5, TypeError, "numpy array, not list"),
    "YUY2 cut at the odd pixel": ("YUY2", np.zeros((5, 9, 2), np.uint8), ValueError,
                                  r"\(5, 10, 2\), not \(5, 9, 2\)"),
}


@pytest.mark.parametrize("format, array, error, message", WRONG_FRAMES.values(),
                         ids=WRONG_FRAMES.keys())
def test_ring_writer_refuses_arrays_that_are_no_frame_of_its_format(
        buffer_name, format, array, error, message):
    with ring_writer(buffer_name, format) as writer:
        with pytest.raises(error, match=message):
            writer.write(array)
        assert writer.frame_number is None


WRONG_EXTRAS = {
    "metadata beyond the capacity": ({"metadata": b"x" * 17}, ValueError),
    "metadata as text": ({"metadata": "text"}, TypeError),
    "pts before the clock's start": ({"pts_ns": -5}, ValueError),
    "pts in seconds": ({"pts_ns": 1.5}, TypeError),
    "flags beyond 32 bits": ({"flags": 2**32}, ValueError),
}


@pytest.mark.parametrize("extras, error", WRONG_EXTRAS.values(), ids=WRONG_EXTRAS.keys())
def test_ring_writer_refuses_timing_and_metadata_it_cannot_carry(buffer_name, extras, error):
    with ring_writer(buffer_name, "GRAY8", metadata_bytes=16) as writer:
        with pytest.raises(error):
            writer.write(random_frame("GRAY8"), **extras)
        with pytest.raises(error):
            with writer.frame(**extras):
                pytest.fail("the block ran for a frame that cannot be published")
        assert writer.frame_number is None


WRONG_WRITERS = {
    "unknown format": ({"format": "NOPE"}, "no raw video format"),
    "NV12 double buffer": ({"format": "NV12", "layout": "double_buffer"}, "needs a ring"),
    "ring options for a double buffer": ({"readers": 2}, "readers: options of a ring"),
    "System V ring": ({"format": "NV12", "backend": "sysv"}, "POSIX"),
    "ring for no reader": ({"layout": "ring", "readers": 0}, "at least 1 reader"),
    "unknown layout": ({"layout": "triple"}, "layout must be"),
}


@pytest.mark.parametrize("arguments, message", WRONG_WRITERS.values(), ids=WRONG_WRITERS.keys())
def test_writer_refuses_a_buffer_it_cannot_make_and_makes_nothing(buffer_name, arguments,
                                                                  message):
    with pytest.raises(ValueError, match=message):
        zorvgst.Writer(buffer_name, WIDTH, HEIGHT, **arguments)
    with zorvgst.Reader(buffer_name) as reader:
        assert not reader.ready


def test_double_buffer_writer_carries_no_timing_or_metadata(buffer_name):
    with zorvgst.Writer(buffer_name, WIDTH, HEIGHT) as writer, \
            zorvgst.Reader(buffer_name) as reader:
        assert (writer.layout, writer.format, writer.metadata_capacity) == ("double_buffer",
                                                                           "BGRA", 0)
        with pytest.raises(ValueError, match="layout='ring'"):
            writer.write(random_frame("BGRA"), metadata=b"x")
        writer.write(random_frame("BGRA"))
        reader.read(timeout=WAIT_S)
        assert (reader.layout, reader.pts_ns, reader.metadata) == ("double_buffer", None, b"")


def test_read_out_that_does_not_fit_the_ring_takes_nothing(buffer_name):
    sent = random_frame("NV12", seed=5)
    with ring_writer(buffer_name, "NV12") as writer, zorvgst.Reader(buffer_name) as reader:
        writer.write(sent)
        read_only_luma = (np.broadcast_to(np.zeros(9, np.uint8), (5, 9)), nv12()[1])
        for out in (np.zeros((5, 9), np.uint8), nv12(uv_shape=(3, 10)), nv12(dtype=np.float32),
                    read_only_luma):
            with pytest.raises(ValueError):
                reader.read(timeout=WAIT_S, out=out)
        assert_same_frame(reader.read(timeout=0), sent, "NV12")

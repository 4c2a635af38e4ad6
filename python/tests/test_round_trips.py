# SPDX-License-Identifier: LGPL-2.1-or-later
# Frames crossing process and language boundaries: numpy to the GStreamer source, the GStreamer
# sink and the C++ frame writer to numpy, and a writer restarting at another size.
import signal

import numpy as np
import pytest
from conftest import WAIT_S, assert_gradient, noise, wait_until

import zorvgst


@pytest.mark.parametrize("backend", ["posix", "sysv"])
def test_numpy_writer_is_read_by_zorvdbsrc(buffer_name, children, tmp_path, backend):
    frame = noise(32, 64)
    output = tmp_path / "frame.raw"
    with zorvgst.Writer(buffer_name, 64, 32, backend) as writer:
        reader = children.start(
            "gst-launch-1.0", "-q", "zorvdbsrc", f"buffer-name={buffer_name}",
            f"backend={backend}", "num-buffers=1", "timeout=10000000000",
            "!", "filesink", f"location={output}",
        )
        # The same pixels again and again, so whenever the source attaches it finds them.
        wait_until(lambda: writer.write(frame) and reader.poll() is not None,
                   "zorvdbsrc to take a frame")
    assert reader.returncode == 0, children.output(reader)
    received = np.frombuffer(output.read_bytes(), np.uint8)
    np.testing.assert_array_equal(received.reshape(frame.shape), frame)


def test_zorvdbsink_writer_is_read_by_reader(buffer_name, children):
    # Solid ARGB 0xff402010: B, G, R, A = 0x10, 0x20, 0x40, 0xff in every pixel.
    writer = children.start(
        "gst-launch-1.0", "-q", "videotestsrc", "pattern=solid-color",
        "foreground-color=0xff402010", "num-buffers=30",
        "!", "video/x-raw,format=BGRA,width=8,height=4,framerate=30/1",
        "!", "zorvdbsink", f"buffer-name={buffer_name}",
    )
    with zorvgst.Reader(buffer_name) as reader:
        frame = reader.read(timeout=WAIT_S)
        assert frame is not None, children.output(writer)
        assert frame.shape == (4, 8, 4)
        assert (frame == [0x10, 0x20, 0x40, 0xFF]).all()
        assert reader.backend == "posix"
    assert children.finish(writer) == 0, children.output(writer)


def intact_frame(reader):
    """A copy of a frame looked at through `frame()` that the writer left alone meanwhile,
    with its number; only such a frame is known to be whole."""
    for _ in range(100):
        with reader.frame(timeout=WAIT_S) as frame:
            assert frame is not None, "no frame within the timeout"
            assert not frame.array.flags.writeable
            pixels = frame.array.copy()
        if frame.intact:
            return pixels, frame.frame_number
    pytest.fail("the writer drew over every frame looked at")


def test_cpp_frame_writer_is_read_through_frame(buffer_name, children):
    children.frames_writer(buffer_name, 64, 32)
    with zorvgst.Reader(buffer_name) as reader:
        pixels, number = intact_frame(reader)
        assert pixels.shape == (32, 64, 4)
        assert_gradient(pixels, number)
        assert reader.frame_number == number


def test_reader_follows_a_writer_restarting_at_another_size(buffer_name, children):
    first = children.frames_writer(buffer_name, 8, 4)
    with zorvgst.Reader(buffer_name) as reader:
        frame = reader.read(timeout=WAIT_S)
        assert frame.shape == (4, 8, 4)
        assert_gradient(frame, reader.frame_number)
        first.send_signal(signal.SIGINT)
        assert children.finish(first) == 0, children.output(first)

        children.frames_writer(buffer_name, 16, 8)
        frame = reader.read(timeout=WAIT_S)
        if frame is not None and frame.shape == (4, 8, 4):
            frame = reader.read(timeout=WAIT_S)  # the first writer's last, not yet returned
        assert frame is not None and frame.shape == (8, 16, 4)
        assert_gradient(frame, reader.frame_number)
        assert reader.shape == (8, 16, 4)

# SPDX-License-Identifier: LGPL-2.1-or-later
# The package's refusals as one class per reason, frames described by FrameInfo records, the
# listing's keys as the stubs type them, and the version the build gives the package.
from __future__ import annotations

import ast
import datetime
import errno
import pathlib
import re

import numpy as np
import pytest
from conftest import WAIT_S, noise, wait_until

import zorvgst
from zorvgst import _zorvgst

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]

OWN_UNTIL_KILLED = """
import sys, time, zorvgst
writer = zorvgst.Writer(sys.argv[1], 8, 4)
writer.write(__import__("numpy").zeros((4, 8, 4), "uint8"))
time.sleep(600)
"""


def _refusal(action) -> zorvgst.Error:
    with pytest.raises(zorvgst.Error) as refused:
        action()
    return refused.value


def test_each_refusal_is_its_own_class_and_the_builtin_that_fits(buffer_name, children):
    bad_name = _refusal(lambda: zorvgst.Writer("../escape", 8, 4))
    assert type(bad_name) is zorvgst.InvalidNameError
    assert isinstance(bad_name, ValueError) and "invalid buffer name" in str(bad_name)

    for action in (
        lambda: zorvgst.Writer(buffer_name, 0, 4),
        lambda: zorvgst.Writer(buffer_name, 8, 4, format="NOT_A_FORMAT"),
    ):
        assert type(_refusal(action)) is zorvgst.InvalidFormatError
    too_many = _refusal(lambda: zorvgst.Writer(buffer_name, 8, 4, layout="ring", readers=1000))
    assert type(too_many) is zorvgst.InvalidArgumentError
    assert isinstance(too_many, ValueError)

    owner = children.python(OWN_UNTIL_KILLED, buffer_name)
    wait_until(lambda: zorvgst.Reader(buffer_name).ready, "the child's buffer")
    alive = _refusal(lambda: zorvgst.Writer(buffer_name, 8, 4))
    assert type(alive) is zorvgst.OwnerAliveError
    assert isinstance(alive, FileExistsError) and alive.errno == errno.EEXIST
    assert f"live process {owner.pid}" in str(alive)
    owner.kill()
    owner.wait(timeout=WAIT_S)


def test_what_the_system_refuses_is_an_oserror_with_its_errno(buffer_name):
    # A directory under the name: neither a double buffer nor a ring can be opened as it.
    path = pathlib.Path("/dev/shm") / buffer_name
    path.mkdir()
    try:
        posix = _refusal(lambda: zorvgst.Writer(buffer_name, 8, 4))
        ring = _refusal(lambda: zorvgst.Writer(buffer_name, 8, 4, layout="ring"))
    finally:
        path.rmdir()
    for refused in (posix, ring):
        assert type(refused) is zorvgst.SystemCallError
        assert isinstance(refused, OSError) and refused.errno != 0
        assert refused.strerror.startswith("cannot ")  # the library's words, kept whole
    assert ring.errno == errno.EEXIST
    assert issubclass(zorvgst.NoSpaceError, OSError)
    assert issubclass(zorvgst.DestinationTooSmallError, ValueError)


def test_frames_are_described_by_read_only_records(buffer_name):
    with zorvgst.Writer(buffer_name, 8, 4) as writer, zorvgst.Reader(buffer_name) as reader:
        assert writer.info is None and reader.info is None
        before = datetime.datetime.now(datetime.timezone.utc)
        writer.write(noise(4, 8))
        assert reader.read(timeout=WAIT_S) is not None
        info = reader.info
        assert isinstance(info, zorvgst.FrameInfo)
        assert (info.number, info.width, info.height) == (1, 8, 4)
        assert (info.pts_ns, info.duration_ns, info.flags) == (None, None, 0)
        assert abs(info.written - before) < datetime.timedelta(seconds=WAIT_S)
        assert info.written_ns // 1000 == int(info.written.timestamp() * 1e6)
        assert writer.info.number == 1
        with pytest.raises(AttributeError):
            info.number = 5

        writer.write(noise(4, 8, seed=1))
        with reader.frame(timeout=WAIT_S) as frame:
            assert frame.info.number == 2 and frame.frame_number == 2


def test_a_ring_frame_record_carries_its_timing(buffer_name):
    with zorvgst.Writer(buffer_name, 8, 4, layout="ring") as writer, zorvgst.Reader(
        buffer_name
    ) as reader:
        writer.write(noise(4, 8), pts_ns=1000, duration_ns=40, flags=3)
        assert writer.info.pts_ns == 1000
        with reader.frame(timeout=WAIT_S) as frame:
            assert (frame.info.pts_ns, frame.info.duration_ns, frame.info.flags) == (1000, 40, 3)
        assert reader.info.number == frame.info.number == 1
        assert (reader.pts_ns, reader.duration_ns, reader.flags) == (1000, 40, 3)


def test_a_frame_larger_than_out_is_no_frame_not_an_error(buffer_name):
    with zorvgst.Writer(buffer_name, 8, 4) as writer:
        reader = _zorvgst._Reader(buffer_name)
        writer.write(noise(4, 8))
        assert reader.wait(WAIT_S)
        # Sized for a smaller frame, as after a resize between newest() and the copy.
        assert reader.read_into(np.empty((2, 8, 4), np.uint8)) is None
        out = np.empty((4, 8, 4), np.uint8)
        assert reader.read_into(out).number == 1
        np.testing.assert_array_equal(out, noise(4, 8))


def _stub_keys(name: str) -> set:
    """The keys of the TypedDict `name` in the package's stubs."""
    stubs = ast.parse((SOURCE_DIR / "python" / "zorvgst" / "__init__.pyi").read_text())
    for node in ast.walk(stubs):
        if isinstance(node, ast.Assign) and node.targets[0].id == name:
            return {key.value for key in node.value.args[1].keys}
        if isinstance(node, ast.ClassDef) and node.name == name:
            return {item.target.id for item in node.body if isinstance(item, ast.AnnAssign)}
    raise AssertionError(f"no {name} in the stubs")


def test_the_listing_has_the_keys_its_stubs_type(buffer_name):
    with zorvgst.Writer(buffer_name, 8, 4, layout="ring") as writer:
        writer.write(noise(4, 8))
        with zorvgst.Reader(buffer_name) as reader, reader.frame(timeout=WAIT_S):
            entry = next(b for b in zorvgst.list_buffers() if b["name"] == buffer_name)
    assert set(entry) == _stub_keys("BufferInfo")
    assert set(entry["ring"]) == _stub_keys("RingCounts")
    assert {key for holder in entry["lease_holders"] for key in holder} == _stub_keys("LeaseHolder")


def test_the_version_is_the_builds():
    project = (SOURCE_DIR / "CMakeLists.txt").read_text()
    version = re.search(r"project\(zorvgst VERSION ([0-9.]+)", project).group(1)
    assert zorvgst.__version__ == version == _zorvgst.__version__

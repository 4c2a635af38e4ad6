# SPDX-License-Identifier: LGPL-2.1-or-later
"""Live video frames shared between processes on one machine, as numpy arrays.

A writer publishes packed BGRA frames into a named shared-memory double buffer; any number of
readers, in any process and language, take them out. Frames are (height, width, 4) uint8 arrays
in B, G, R, A order.

    import zorvgst

    with zorvgst.Reader("camera_buffer") as reader:
        for frame in reader.frames(timeout=5):
            print(reader.frame_number, frame.shape)

The library's log lines go to Python's logging, logger "zorvgst".
"""

from __future__ import annotations

import contextlib
import datetime as _datetime
import json as _json
import logging as _logging
import threading as _threading
import time as _time
from typing import Iterator, List, Optional, Sequence

import numpy as np

from . import _zorvgst

__all__ = [
    "Error",
    "Frame",
    "Reader",
    "Writer",
    "expire",
    "list_buffers",
    "remove",
]
__version__ = "1.3.0"

Error = _zorvgst.Error
Error.__doc__ = (
    "What the library refuses: a buffer that cannot be made or sized (with the system's "
    "reason), an invalid name, a buffer owned by another live process, a frame that does not "
    "fit."
)
Error.__module__ = __name__

_log = _logging.getLogger("zorvgst")


def _written(nanoseconds: int) -> _datetime.datetime:
    return _datetime.datetime.fromtimestamp(nanoseconds / 1e9, tz=_datetime.timezone.utc)


def _frame_shape(array: np.ndarray) -> tuple:
    return tuple(array.shape)


def _copies_directly(array: np.ndarray) -> bool:
    """Whether the library can copy into or out of `array` itself: pixels 4 bytes apart in rows
    that do not overlap."""
    height, width = array.shape[0], array.shape[1]
    return (
        array.strides[2] == 1
        and array.strides[1] == 4
        and (height == 1 or array.strides[0] >= width * 4)
    )


def _check_frame_array(array: np.ndarray, dtype_error: type) -> None:
    if not isinstance(array, np.ndarray):
        raise TypeError(f"a frame is a numpy array, not {type(array).__name__}")
    if array.dtype != np.uint8:
        raise dtype_error(f"a frame is an array of uint8, not {array.dtype}")
    if array.ndim != 3 or array.shape[2] != 4:
        raise ValueError(f"a frame is an (height, width, 4) array, not one of shape {array.shape}")


class _Deadline:
    """What is left of a timeout in seconds (None: no limit)."""

    def __init__(self, timeout: Optional[float]) -> None:
        if timeout is not None and not timeout >= 0:
            raise ValueError("timeout must be a number of seconds, at least 0")
        self._end = None if timeout is None else _time.monotonic() + timeout

    def left(self) -> Optional[float]:
        if self._end is None:
            return None
        return max(0.0, self._end - _time.monotonic())


class Frame:
    """A frame looked at in shared memory without a copy, as `Reader.frame()` gives it.

    `array` is a read-only (height, width, 4) view of the buffer's memory; it keeps that memory
    mapped as long as it exists, but the writer may draw over it at any time. `intact` is None
    inside the `with` block and, after it, True only if the writer published nothing while the
    block ran: only then was `array` one frame throughout, and only then are results computed
    from it to be trusted.
    """

    __slots__ = ("array", "frame_number", "written", "intact")

    def __init__(self, array: np.ndarray, frame_number: int, written: _datetime.datetime):
        self.array = array
        self.frame_number = frame_number
        self.written = written
        self.intact: Optional[bool] = None

    @property
    def shape(self) -> tuple:
        return _frame_shape(self.array)

    def __repr__(self) -> str:
        return (
            f"<zorvgst.Frame {self.frame_number} {self.array.shape[1]}x{self.array.shape[0]}"
            f" intact={self.intact}>"
        )


class _BufferEnd:
    """What a reader and a writer share: the compiled object, closing, and the buffer's name."""

    _handle = None
    _role = "buffer end"

    def __enter__(self):
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def close(self) -> None:
        self._handle = None
        _zorvgst._flush_log()

    def _open(self):
        if self._handle is None:
            raise ValueError(f"the {self._role} is closed")
        return self._handle

    @property
    def name(self) -> str:
        """The buffer's name."""
        return self._open().name


class Reader(_BufferEnd):
    """A reader of the buffer `name`, usable as a context manager.

    `backend` is "posix", "sysv" or None (found from what exists under the name, again at each
    attachment). The reader attaches when a writer appears and follows it through restarts,
    resizes, removal and re-creation; nothing a writer does crashes it. Waits release the GIL,
    and Ctrl-C interrupts them within 100 ms. One thread at a time.
    """

    _role = "reader"

    def __init__(self, name: str, backend: Optional[str] = None) -> None:
        _zorvgst._follow_log_level()
        self._handle = _zorvgst._Reader(name, backend)
        self._last = None  # (number, written ns, width, height) of the last frame returned
        self._scratch: Optional[np.ndarray] = None
        # Held while the reader is in use: close() on another thread waits for it to be free.
        self._in_use = _threading.RLock()

    def close(self) -> None:
        """Lets go of the buffer. A wait in progress on another thread ends first (it returns
        None). Arrays from `frame()` keep their memory mapped regardless."""
        reader = self._handle
        if reader is None:
            return
        reader.interrupt()
        with self._in_use:
            self._scratch = None
            super().close()

    def read(
        self, timeout: Optional[float] = None, out: Optional[np.ndarray] = None
    ) -> Optional[np.ndarray]:
        """The newest frame not yet returned, copied, and intact: the writer published nothing
        while it was copied.

        Waits up to `timeout` seconds (None: without limit) and returns None when the timeout
        passes. Without `out`, returns a new (height, width, 4) uint8 array. With `out`, fills
        that array (of any strides, a slice of a larger array say) and returns it; raises
        ValueError when its shape or dtype does not fit the frame.
        """
        with self._in_use:
            return self._read(self._open(), timeout, out)

    def _read(self, reader, timeout: Optional[float], out: Optional[np.ndarray]):
        if out is not None:
            _check_frame_array(out, dtype_error=ValueError)
            if not out.flags.writeable:
                raise ValueError("out is read-only")
        deadline = _Deadline(timeout)
        newest = reader.newest()
        if out is not None and newest is not None and _frame_shape(out) != (newest[3], newest[2], 4):
            raise ValueError(f"out has shape {out.shape}, the frame {(newest[3], newest[2], 4)}")
        while True:
            if not reader.wait(deadline.left()):
                return None
            newest = reader.newest()
            if newest is None:
                continue
            shape = (newest[3], newest[2], 4)
            if out is not None and _frame_shape(out) != shape:
                raise ValueError(f"out has shape {out.shape}, the frame {shape}")
            target = out if out is not None else np.empty(shape, np.uint8)
            direct = _copies_directly(target)
            if not direct:
                if self._scratch is None or self._scratch.shape != shape:
                    self._scratch = np.empty(shape, np.uint8)
            try:
                info = reader.read_into(target if direct else self._scratch)
            except Error:
                continue  # the writer grew its frames after newest(): the next round fits
            if info is None or (info[3], info[2], 4) != shape:
                continue  # overtaken, or resized in between: the next round has it
            if not direct:
                np.copyto(target, self._scratch)
            self._last = info
            _zorvgst._flush_log()
            return target

    def frames(self, timeout: Optional[float] = None) -> Iterator[np.ndarray]:
        """Every new frame as `read()` returns it, until none comes within `timeout` seconds
        (None: until the caller stops)."""
        while True:
            frame = self.read(timeout)
            if frame is None:
                return
            yield frame

    @contextlib.contextmanager
    def frame(self, timeout: Optional[float] = None) -> Iterator[Optional[Frame]]:
        """The newest frame in shared memory, without a copy, as a `Frame`; None when no new
        frame came within `timeout` seconds (None: without limit).

        Read `frame.intact` after the block: True only if the writer published nothing while
        the block ran.
        """
        with self._in_use:
            reader = self._open()
            deadline = _Deadline(timeout)
            view = None
            while view is None:
                if not reader.wait(deadline.left()):
                    break
                view = reader.look()
            if view is None:
                yield None
                return
            number, written, _, _ = view.info
            frame = Frame(view.array(), number, _written(written))
            try:
                yield frame
            finally:
                frame.intact = reader.intact(view)
                if frame.intact:
                    self._last = view.info

    def interrupt(self) -> None:
        """Ends a wait in progress on another thread at once (it returns None)."""
        self._open().interrupt()

    @property
    def ready(self) -> bool:
        """Attached to a buffer whose frames can be read."""
        return self._open().ready

    @property
    def backend(self) -> Optional[str]:
        """"posix" or "sysv" for the buffer attached to; None while there is none to attach."""
        reader = self._open()
        return reader.backend if reader.ready else None

    @property
    def width(self) -> Optional[int]:
        """Width of the newest frame in the buffer; None before there is one."""
        newest = self._open().newest()
        return None if newest is None else newest[2]

    @property
    def height(self) -> Optional[int]:
        """Height of the newest frame in the buffer; None before there is one."""
        newest = self._open().newest()
        return None if newest is None else newest[3]

    @property
    def shape(self) -> Optional[tuple]:
        """(height, width, 4) of the newest frame: what to allocate for `read(out=...)`."""
        newest = self._open().newest()
        return None if newest is None else (newest[3], newest[2], 4)

    @property
    def frame_number(self) -> Optional[int]:
        """Number of the last frame this reader returned; None before the first."""
        return None if self._last is None else self._last[0]

    @property
    def written(self) -> Optional[_datetime.datetime]:
        """When the last frame this reader returned was published (UTC); None before."""
        return None if self._last is None else _written(self._last[1])

    @property
    def dropped(self) -> int:
        """Copies thrown away because the writer published while they ran."""
        return self._open().dropped

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else f"backend={self.backend}"
        return f"<zorvgst.Reader {self._handle.name if self._handle else ''} {state}>"


class Writer(_BufferEnd):
    """The one writer of the buffer `name`, for `width` x `height` frames; a context manager.

    Creates the buffer, or takes over one whose owner has exited; refuses one another live
    process owns (zorvgst.Error). `backend` is "posix" or "sysv". One thread at a time.
    """

    _role = "writer"

    def __init__(self, name: str, width: int, height: int, backend: str = "posix") -> None:
        _zorvgst._follow_log_level()
        try:
            self._handle = _zorvgst._Writer(name, width, height, backend)
        finally:
            _zorvgst._flush_log()
        self._last = None
        self._drawing = False

    def close(self) -> None:
        """Stops writing. The buffer stays for its readers; `remove()` takes it away."""
        super().close()

    def write(self, array: np.ndarray) -> int:
        """Copies `array`, a (height, width, 4) uint8 array of any strides, into the buffer and
        publishes it. Returns its frame number."""
        writer = self._open()
        _check_frame_array(array, dtype_error=TypeError)
        if _frame_shape(array) != (writer.height, writer.width, 4):
            raise ValueError(
                f"a frame of shape {array.shape} does not fit a writer of "
                f"{writer.width}x{writer.height}"
            )
        if not _copies_directly(array):
            array = np.ascontiguousarray(array)
        self._last = writer.write(array)
        return self._last[0]

    @contextlib.contextmanager
    def frame(self) -> Iterator[np.ndarray]:
        """The slot the next frame goes into, as a writable (height, width, 4) array: draw into
        it inside the block. Published when the block ends normally, not when it raises. The
        array is valid only inside the block."""
        writer = self._open()
        if self._drawing:
            raise RuntimeError("frame() is already open on this writer")
        self._drawing = True
        try:
            yield writer.slot()
            self._last = writer.publish()
        finally:
            self._drawing = False

    def resize(self, width: int, height: int) -> None:
        """Makes the buffer anew for frames of another size; readers follow."""
        if self._drawing:
            raise RuntimeError("cannot resize inside frame()")
        writer = self._open()
        try:
            writer.resize(width, height)
        finally:
            _zorvgst._flush_log()

    @property
    def backend(self) -> str:
        return self._open().backend

    @property
    def width(self) -> int:
        return self._open().width

    @property
    def height(self) -> int:
        return self._open().height

    @property
    def shape(self) -> tuple:
        writer = self._open()
        return (writer.height, writer.width, 4)

    @property
    def frame_number(self) -> Optional[int]:
        """Number of the last frame published; None before the first."""
        return None if self._last is None else self._last[0]

    def __repr__(self) -> str:
        if self._handle is None:
            return "<zorvgst.Writer closed>"
        return f"<zorvgst.Writer {self.name} {self.width}x{self.height} backend={self.backend}>"


def list_buffers() -> List[dict]:
    """Every buffer of both backends on this machine, sorted by name, as dicts with the keys of
    `zorvgst-shm list --json`: name, backend, ready, state, width, height, owner_pid,
    owner_alive, frame_count, last_write_time (local time text or None), age_ms (or None), size.
    Creates nothing."""
    try:
        return _json.loads(_zorvgst._list_buffers())["buffers"]
    finally:
        _zorvgst._flush_log()


def remove(name: str) -> None:
    """Removes the buffer `name`, all its pieces. Processes that have it open keep their
    mapping. Raises zorvgst.Error when there is no such buffer or something of it is left."""
    try:
        removed = _zorvgst._remove(name)
    finally:
        _zorvgst._flush_log()
    if removed is None:
        raise Error(f"no double buffer named '{name}'")
    if not removed:
        raise Error(f"could not remove '{name}'")


def expire(names: Optional[Sequence[str]] = None, dry_run: bool = False) -> List[dict]:
    """Removes the buffers whose owner process has exited (among `names`, or all), and System V
    key files left without a segment. Returns what was removed, or with `dry_run` what would
    be, as dicts like `list_buffers()`. Raises zorvgst.Error, after the sweep, naming the given
    names that name no buffer and the buffers that could not be removed entirely."""
    if isinstance(names, str):
        names = [names]
    try:
        expired_json, failed = _zorvgst._expire(list(names or []), dry_run)
    finally:
        _zorvgst._flush_log()
    if failed:
        reasons = {"not_found": "no such buffer", "left_behind": "not removed entirely"}
        raise Error(
            "; ".join(f"'{name}': {reasons.get(reason, reason)}" for name, reason in failed)
        )
    return _json.loads(expired_json)["buffers"]

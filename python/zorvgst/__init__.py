# SPDX-License-Identifier: LGPL-2.1-or-later
"""Live video frames shared between processes on one machine, as numpy arrays.

A writer publishes frames into a named shared-memory buffer; any number of readers, in any
process and language, take them out. A buffer is one of two kinds:

- a double buffer (what `Writer(name, width, height)` makes): packed BGRA frames, (height,
  width, 4) uint8 arrays in B, G, R, A order;
- a frame ring (`Writer(name, width, height, format="NV12")`, or `layout="ring"` for BGRA): any
  raw video format GStreamer describes, with CLOCK_MONOTONIC timestamps (`time.monotonic_ns()`),
  flags and metadata bytes per frame; readers hold frames in place without a copy.

A frame's arrays are shaped by its format:

- packed formats (BGRA, BGRx, RGBA, RGB, ...): (H, W, C) uint8, C the bytes of a pixel;
- YUY2, UYVY and their kin: (H, W, 2) uint8, W rounded up to even (pixels pair up to share
  their U and V, so an odd width carries the last pair whole);
- GRAY8: (H, W) uint8; GRAY16_LE: (H, W) uint16; other 16-bit samples uint16 too (big-endian
  ones as '>u2');
- planar and semi-planar formats: a tuple of one array per plane, NV12 (Y (H, W),
  UV (ceil(H/2), ceil(W/2), 2)), I420 (Y (H, W), U and V (ceil(H/2), ceil(W/2)));
- formats without whole bytes per pixel (v210, ...): (rows, bytes per row) uint8 per plane.

    import zorvgst

    with zorvgst.Reader("camera_buffer") as reader:
        for frame in reader.frames(timeout=5):
            print(reader.frame_number, reader.format, frame.shape)

The library's refusals raise `zorvgst.Error`, as the subclass of the reason, which is also the
built-in that fits: InvalidNameError, InvalidFormatError, InvalidArgumentError and
DestinationTooSmallError (ValueError), OwnerAliveError (FileExistsError), NoSpaceError and
SystemCallError (OSError, with `errno`). Frames are described by `FrameInfo` records
(`Reader.info`, `Writer.info`, `Frame.info`).

The library's log lines go to Python's logging, logger "zorvgst".
"""

from __future__ import annotations

import contextlib
import datetime as _datetime
import functools as _functools
import json as _json
import logging as _logging
import operator as _operator
import threading as _threading
import time as _time
from typing import Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _zorvgst

__all__ = [
    "DestinationTooSmallError",
    "Error",
    "Frame",
    "FrameInfo",
    "InvalidArgumentError",
    "InvalidFormatError",
    "InvalidNameError",
    "NoSpaceError",
    "OwnerAliveError",
    "Planes",
    "Reader",
    "SystemCallError",
    "Writer",
    "expire",
    "list_buffers",
    "remove",
]
__version__: str = _zorvgst.__version__

# The library's refusals: Error, and one subclass per reason, raised by the module from the
# library's error code. Each is also the built-in a caller would otherwise catch.
Error = _zorvgst.Error
Error.__doc__ = (
    "What the library refuses: a buffer that cannot be made or sized (with the system's "
    "reason), an invalid name, a buffer owned by another live process, a frame that does not "
    "fit. The subclass says which."
)
InvalidNameError = _zorvgst.InvalidNameError  # and ValueError
InvalidFormatError = _zorvgst.InvalidFormatError  # and ValueError
InvalidArgumentError = _zorvgst.InvalidArgumentError  # and ValueError
OwnerAliveError = _zorvgst.OwnerAliveError  # and FileExistsError, errno EEXIST
NoSpaceError = _zorvgst.NoSpaceError  # and OSError, errno ENOSPC
DestinationTooSmallError = _zorvgst.DestinationTooSmallError  # and ValueError
SystemCallError = _zorvgst.SystemCallError  # and OSError, with the system's errno
FrameInfo = _zorvgst.FrameInfo
for _public in (
    Error,
    InvalidNameError,
    InvalidFormatError,
    InvalidArgumentError,
    OwnerAliveError,
    NoSpaceError,
    DestinationTooSmallError,
    SystemCallError,
    FrameInfo,
):
    _public.__module__ = __name__
del _public

_log = _logging.getLogger("zorvgst")


def _written(nanoseconds: int) -> _datetime.datetime:
    return _datetime.datetime.fromtimestamp(nanoseconds / 1e9, tz=_datetime.timezone.utc)


def _frame_shape(array: np.ndarray) -> tuple:
    return tuple(array.shape)


# A frame as hosts see it: one array, or a tuple of one array per plane.
Planes = Union[np.ndarray, Tuple[np.ndarray, ...]]

_RING_DEFAULTS = {"readers": 4, "leases_per_reader": 2, "metadata_bytes": 4096}


def _as_frame(planes: tuple) -> Planes:
    """A frame of one plane is its array; one of several the tuple of them."""
    return planes[0] if len(planes) == 1 else planes


@_functools.lru_cache(maxsize=64)
def _plane_shapes(format: str, width: int, height: int) -> tuple:
    """((shape, dtype), ...) of each plane of a `format` frame of `width` x `height`."""
    return tuple(_zorvgst._plane_shapes(format, width, height))


def _shape_of(format: str, width: int, height: int):
    return _as_frame(tuple(shape for shape, _ in _plane_shapes(format, width, height)))


def _nanoseconds(value: Optional[int], what: str) -> int:
    """A time of a frame as the library takes it: -1 for none."""
    if value is None:
        return -1
    if isinstance(value, bool):
        raise TypeError(f"{what} is an int of nanoseconds, not bool")
    value = _operator.index(value)
    if value < 0:
        raise ValueError(f"{what} is at least 0 nanoseconds, not {value}")
    return value


def _frame_extras(pts_ns, duration_ns, flags, metadata) -> tuple:
    """(pts_ns, duration_ns, flags, metadata bytes) checked for the module."""
    flags = _operator.index(flags)
    if not 0 <= flags < 2**32:
        raise ValueError(f"flags are 32 bits, not {flags}")
    data = b"" if metadata is None else bytes(memoryview(metadata))
    return _nanoseconds(pts_ns, "pts_ns"), _nanoseconds(duration_ns, "duration_ns"), flags, data


def _check_frame_array(array, writing: bool) -> bool:
    """The module's one check of a BGRA frame array (TypeError, ValueError); whether the library
    copies into (`writing`) or out of it itself, without a contiguous copy between."""
    return _zorvgst._frame_rows(array, writing)


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
    """A frame in shared memory, as `Reader.frame()` gives it.

    Of a double buffer: `array` is a read-only (height, width, 4) view of the buffer's memory; it
    keeps that memory mapped as long as it exists, but the writer may draw over it at any time.
    `intact` is None inside the `with` block and, after it, True only if the writer published
    nothing while the block ran: only then was `array` one frame throughout, and only then are
    results computed from it to be trusted.

    Of a frame ring: `array` (shaped by `format`, a tuple of planes for planar formats) and
    `planes` (always a tuple) are read-only views of a slot the reader holds under a lease, which
    the writer leaves alone until the lease ends, so `intact` is True from the start. `leased` is
    False when the frame was copied instead (the reader held as many frames as it may). The
    lease lasts while the block runs and, after it, while any array of the frame exists: the
    block's end sets `array` and `planes` to None, and keeping an array keeps the slot. `pts_ns`
    and `duration_ns` are CLOCK_MONOTONIC nanoseconds (None where the writer gave none), `flags`
    and `metadata` (bytes) what the writer published with the frame.

    `info` is the frame's `FrameInfo`: number, written, width, height, pts_ns, duration_ns and
    flags as named read-only fields.
    """

    __slots__ = (
        "info",
        "array",
        "planes",
        "frame_number",
        "written",
        "intact",
        "format",
        "leased",
        "pts_ns",
        "duration_ns",
        "flags",
        "metadata",
    )

    def __init__(
        self,
        array: Planes,
        frame_number: int,
        written: _datetime.datetime,
        format: str = "BGRA",
        planes: Optional[tuple] = None,
        info: Optional[FrameInfo] = None,
    ):
        self.info = info
        self.array = array
        self.planes = planes if planes is not None else (array,)
        self.frame_number = frame_number
        self.written = written
        self.intact: Optional[bool] = None
        self.format = format
        self.leased = False
        self.pts_ns: Optional[int] = None
        self.duration_ns: Optional[int] = None
        self.flags = 0
        self.metadata = b""

    @classmethod
    def _taken(cls, taken) -> "Frame":
        planes = taken.planes()
        info = taken.info
        frame = cls(_as_frame(planes), info.number, info.written, taken.format, planes, info)
        frame.intact = True
        frame.leased = taken.leased
        frame.pts_ns = taken.pts_ns
        frame.duration_ns = taken.duration_ns
        frame.flags = taken.flags
        frame.metadata = taken.metadata
        return frame

    @property
    def shape(self):
        """The shape of `array`, a tuple of them for planar formats; None once let go."""
        if self.planes is None:
            return None
        return _as_frame(tuple(_frame_shape(plane) for plane in self.planes))

    def __repr__(self) -> str:
        return (
            f"<zorvgst.Frame {self.frame_number} {self.format} shape={self.shape}"
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


def _attached_attribute(name: str, doc: str) -> property:
    """A read-only property of a Reader: `name` of the buffer its library reader is attached to,
    None while it is attached to none."""

    def get(self):
        reader = self._open()
        return getattr(reader, name) if reader.ready else None

    return property(get, doc=doc)


def _newest_frame_attribute(name: str, doc: str) -> property:
    """A read-only property of a Reader: `name` of the buffer's newest frame, None before one."""

    def get(self):
        newest = self._open().newest()
        return None if newest is None else getattr(newest, name)

    return property(get, doc=doc)


class Reader(_BufferEnd):
    """A reader of the buffer `name`, usable as a context manager.

    `backend` is "posix", "sysv" or None (found from what exists under the name, again at each
    attachment). The reader attaches when a writer appears and follows it through restarts,
    resizes, removal and re-creation; nothing a writer does crashes it. Waits and copies release
    the GIL, and Ctrl-C interrupts waits within 100 ms. One thread at a time.

    A double buffer's frames are (height, width, 4) BGRA arrays. A frame ring's are shaped by
    its format (`layout` and `format` say which; the package's documentation lists the
    shapes), and come with `pts_ns`, `duration_ns`, `flags` and `metadata`.
    """

    _role = "reader"

    def __init__(self, name: str, backend: Optional[str] = None) -> None:
        _zorvgst._follow_log_level()
        self._handle = _zorvgst._Reader(name, backend)
        self._last: Optional[FrameInfo] = None  # the last frame returned
        self._metadata = b""  # what its writer published with it
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
        self, timeout: Optional[float] = None, out: Optional[Planes] = None
    ) -> Optional[Planes]:
        """The newest frame not yet returned, copied, and intact: the writer published nothing
        while it was copied.

        Waits up to `timeout` seconds (None: without limit) and returns None when the timeout
        passes. Without `out`, returns new arrays: (height, width, 4) uint8 for a double buffer,
        shaped by the format for a frame ring (see the package's documentation; a tuple of
        planes for planar formats). With `out`, fills that array, or tuple of arrays (of any
        strides, a slice of a larger array say) and returns it; raises ValueError when its shape
        or dtype does not fit the frame. The frame's timing and metadata are then `pts_ns`,
        `duration_ns`, `flags` and `metadata`.
        """
        with self._in_use:
            return self._read(self._open(), timeout, out)

    def _read(self, reader, timeout: Optional[float], out: Optional[Planes]):
        deadline = _Deadline(timeout)
        described = reader.format if out is not None else None
        if described is not None:
            _zorvgst._check_out(out, described)  # before the wait: a refusal takes nothing
        while True:
            if not reader.wait(deadline.left()):
                return None
            if reader.layout == "ring":
                frame = self._copy_from_ring(reader, out)
                if frame is None:
                    continue
                return frame
            newest = reader.newest()
            if newest is None:
                continue
            if out is not None:
                # Again: the writer may have changed size since the last look.
                described = reader.format
                if described is None:
                    continue
                _zorvgst._check_out(out, described)
            direct = out is None or _check_frame_array(out, writing=True)
            shape = (newest.height, newest.width, 4)
            target = out if out is not None else np.empty(shape, np.uint8)
            if not direct:
                if self._scratch is None or self._scratch.shape != shape:
                    self._scratch = np.empty(shape, np.uint8)
            info = reader.read_into(target if direct else self._scratch)
            if info is None or (info.height, info.width, 4) != shape:
                continue  # overtaken, or resized in between: the next round has it
            if not direct:
                np.copyto(target, self._scratch)
            self._last = info
            self._metadata = b""
            _zorvgst._flush_log()
            return target

    def _copy_from_ring(self, reader, out: Optional[Planes]) -> Optional[Planes]:
        """The newest frame of a ring, copied (into `out` if given); None when there was none
        intact."""
        described = reader.format
        if described is None:
            return None
        if out is not None:
            _zorvgst._check_out(out, described)  # before the copy: a refusal takes nothing
        taken = reader.copy_frame()
        if taken is None:
            return None
        planes = taken.planes(writable=True)
        if out is not None:
            # Again: the ring may have been made anew for other frames since.
            _zorvgst._check_out(out, taken.frame_format)
            for target, plane in zip((out,) if isinstance(out, np.ndarray) else out, planes):
                np.copyto(target, plane)
        self._took(taken)
        return out if out is not None else _as_frame(planes)

    def _took(self, taken) -> None:
        self._last = taken.info
        self._metadata = taken.metadata
        _zorvgst._flush_log()

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

        Of a double buffer, read `frame.intact` after the block: True only if the writer
        published nothing while the block ran. Of a frame ring, the frame is held under a lease
        until the block ends (longer if an array of it is kept), and is intact throughout; when
        this reader already holds as many frames as it may (`limit_leases()`, or the ring's
        leases per reader), the frame is a copy instead (`frame.leased` is False).
        """
        with self._in_use:
            reader = self._open()
            deadline = _Deadline(timeout)
            view = taken = None
            while view is None and taken is None:
                if not reader.wait(deadline.left()):
                    break
                if reader.layout == "ring":
                    taken = reader.hold() or reader.copy_frame()
                else:
                    view = reader.look()
            if taken is not None:
                self._took(taken)
                frame = Frame._taken(taken)
                del taken  # the frame's arrays alone keep the lease
                try:
                    yield frame
                finally:
                    # The lease ends with the last array: now, unless the block kept one.
                    frame.array = frame.planes = None
                return
            if view is None:
                yield None
                return
            info = view.info
            frame = Frame(view.array(), info.number, info.written, info=info)
            try:
                yield frame
            finally:
                frame.intact = reader.intact(view)
                if frame.intact:
                    self._last = view.info
                    self._metadata = b""

    def limit_leases(self, count: int) -> None:
        """Holds at most `count` frames of a ring at once through `frame()` (never more than the
        ring allows); `frame()` copies beyond that. 0 makes every frame a copy."""
        count = _operator.index(count)
        if count < 0:
            raise ValueError(f"count is at least 0, not {count}")
        self._open().limit_leases(count)

    def interrupt(self) -> None:
        """Ends a wait in progress on another thread at once (it returns None)."""
        self._open().interrupt()

    @property
    def ready(self) -> bool:
        """Attached to a buffer whose frames can be read."""
        return self._open().ready

    backend = _attached_attribute(
        "backend", '"posix" or "sysv" for the buffer attached to; None while there is none.'
    )
    width = _newest_frame_attribute(
        "width", "Width of the newest frame in the buffer; None before there is one."
    )
    height = _newest_frame_attribute(
        "height", "Height of the newest frame in the buffer; None before there is one."
    )

    @property
    def shape(self) -> Optional[tuple]:
        """The shape of the newest frame as `read()` returns it, what to allocate for
        `read(out=...)`: (height, width, 4) of a double buffer, shaped by the format for a
        ring (a tuple of shapes for planar formats); None before there is a frame."""
        reader = self._open()
        newest = reader.newest()
        described = reader.format
        if newest is None or described is None:
            return None
        if reader.layout == "ring":
            return _shape_of(described.name, described.width, described.height)
        return (newest.height, newest.width, 4)

    layout = _attached_attribute(
        "layout", '"double_buffer" or "ring" for the buffer attached to; None while there is none.'
    )

    @property
    def format(self) -> Optional[str]:
        """The format of the attached buffer's frames ("BGRA" for a double buffer, "NV12",
        ...); None while there is none to attach."""
        reader = self._open()
        described = reader.format if reader.ready else None
        return None if described is None else described.name

    @property
    def frame_number(self) -> Optional[int]:
        """Number of the last frame this reader returned; None before the first."""
        return None if self._last is None else self._last.number

    @property
    def info(self) -> Optional[FrameInfo]:
        """The FrameInfo of the last frame this reader returned; None before the first."""
        return self._last

    @property
    def written(self) -> Optional[_datetime.datetime]:
        """When the last frame this reader returned was published (UTC); None before."""
        return None if self._last is None else self._last.written

    @property
    def pts_ns(self) -> Optional[int]:
        """CLOCK_MONOTONIC nanoseconds at which the last frame returned was captured, as its
        writer gave them (a ring's writer stamps the publication when given none); None before
        the first and for double buffers."""
        return None if self._last is None else self._last.pts_ns

    @property
    def duration_ns(self) -> Optional[int]:
        """How long the last frame returned stands, in nanoseconds; None when not given."""
        return None if self._last is None else self._last.duration_ns

    @property
    def flags(self) -> int:
        """The flags published with the last frame returned (0 for double buffers)."""
        return 0 if self._last is None else self._last.flags

    @property
    def metadata(self) -> bytes:
        """The metadata published with the last frame returned (empty for double buffers)."""
        return self._metadata

    @property
    def dropped(self) -> int:
        """Copies thrown away because the writer published while they ran."""
        return self._open().dropped

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else f"backend={self.backend}"
        return f"<zorvgst.Reader {self._handle.name if self._handle else ''} {state}>"


def _open_writer_attribute(name: str, doc: str) -> property:
    """A read-only property that reads `name` of a Writer's open library writer (raising as
    `_open()` does once the Writer is closed)."""
    return property(lambda self: getattr(self._open(), name), doc=doc)


class Writer(_BufferEnd):
    """The one writer of the buffer `name`, for `width` x `height` frames; a context manager.

    Creates the buffer, or takes over one whose owner has exited; refuses one another live
    process owns (zorvgst.Error). One thread at a time.

    `Writer(name, width, height)` makes a double buffer of BGRA frames; `backend` is "posix" or
    "sysv". Any other `format` (a GStreamer raw video format name: "NV12", "I420", "GRAY8",
    "GRAY16_LE", "RGB", "YUY2", ...), or `layout="ring"` for BGRA, makes a frame ring instead
    (POSIX shared memory), whose frames carry timestamps, flags and metadata. A ring holds
    readers x leases_per_reader + 2 slots: `readers` readers (default 4) may each hold
    `leases_per_reader` frames (default 2) at once without a copy, and every frame may carry
    `metadata_bytes` of metadata (default 4096). Raises ValueError for a format GStreamer does
    not know, ring options for a double buffer, or a double buffer of another format than BGRA.
    """

    _role = "writer"

    def __init__(
        self,
        name: str,
        width: int,
        height: int,
        backend: str = "posix",
        *,
        format: str = "BGRA",
        layout: Optional[str] = None,
        readers: Optional[int] = None,
        leases_per_reader: Optional[int] = None,
        metadata_bytes: Optional[int] = None,
    ) -> None:
        options = {"readers": readers, "leases_per_reader": leases_per_reader,
                   "metadata_bytes": metadata_bytes}
        ring = self._ring_asked(format, layout, backend, options)
        _zorvgst._follow_log_level()
        try:
            if ring:
                sized = {key: _RING_DEFAULTS[key] if value is None else _operator.index(value)
                         for key, value in options.items()}
                if sized["readers"] < 1 or sized["leases_per_reader"] < 1:
                    raise ValueError("a ring is for at least 1 reader holding at least 1 frame")
                if sized["metadata_bytes"] < 0:
                    raise ValueError("metadata_bytes is at least 0")
                self._handle = _zorvgst._Writer.ring(name, format, width, height, **sized)
            else:
                self._handle = _zorvgst._Writer(name, width, height, backend)
        finally:
            _zorvgst._flush_log()
        self._last = None
        self._drawing = False

    @staticmethod
    def _ring_asked(format: str, layout: Optional[str], backend: str, options: dict) -> bool:
        if layout not in (None, "double_buffer", "ring"):
            raise ValueError(f"layout must be 'double_buffer' or 'ring', not {layout!r}")
        ring = layout == "ring" or (layout is None and format != "BGRA")
        if not ring:
            if format != "BGRA":
                raise ValueError(f"a double buffer holds BGRA frames; {format} needs a ring")
            given = [key for key, value in options.items() if value is not None]
            if given:
                raise ValueError(f"{', '.join(given)}: options of a ring, not a double buffer")
        elif backend != "posix":
            raise ValueError(f"a frame ring lives in POSIX shared memory, not {backend!r}")
        return ring

    def close(self) -> None:
        """Stops writing. The buffer stays for its readers; `remove()` takes it away."""
        super().close()

    def write(
        self,
        array: Planes,
        *,
        pts_ns: Optional[int] = None,
        duration_ns: Optional[int] = None,
        flags: int = 0,
        metadata: Optional[bytes] = None,
    ) -> int:
        """Copies `array` into the buffer and publishes it. Returns its frame number.

        For a double buffer, `array` is (height, width, 4) uint8 of any strides. For a ring, it
        is shaped by the format (see the package's documentation): one array, or a tuple of one
        per plane for planar formats, of any strides. Raises TypeError for anything but arrays
        of the format's dtype and ValueError for another shape.

        A ring's frames also carry `pts_ns` and `duration_ns` (CLOCK_MONOTONIC nanoseconds,
        `time.monotonic_ns()`; the publication's time and none when not given), 32 bits of
        `flags` and `metadata` (bytes, at most `metadata_capacity`). A double buffer carries
        none of them: giving one raises ValueError.
        """
        writer = self._open()
        extras = self._extras(writer, pts_ns, duration_ns, flags, metadata)
        if writer.layout == "ring":
            self._last = writer.write_planes(array, *extras)
            return self._last.number
        direct = _check_frame_array(array, writing=False)
        if _frame_shape(array) != (writer.height, writer.width, 4):
            raise ValueError(
                f"a frame of shape {array.shape} does not fit a writer of "
                f"{writer.width}x{writer.height}"
            )
        if not direct:
            array = np.ascontiguousarray(array)
        self._last = writer.write(array)
        return self._last.number

    @staticmethod
    def _extras(writer, pts_ns, duration_ns, flags, metadata) -> tuple:
        extras = _frame_extras(pts_ns, duration_ns, flags, metadata)
        if writer.layout != "ring":
            if extras != (-1, -1, 0, b""):
                raise ValueError(
                    "a double buffer carries no timestamps, flags or metadata: "
                    "make the writer with layout='ring'"
                )
        elif len(extras[3]) > writer.metadata_capacity:
            raise ValueError(
                f"metadata of {len(extras[3])} bytes does not fit the "
                f"{writer.metadata_capacity} bytes a frame carries"
            )
        return extras

    @contextlib.contextmanager
    def frame(
        self,
        *,
        pts_ns: Optional[int] = None,
        duration_ns: Optional[int] = None,
        flags: int = 0,
        metadata: Optional[bytes] = None,
    ) -> Iterator[Planes]:
        """The slot the next frame goes into, as writable arrays shaped as `write()` takes them
        ((height, width, 4) for a double buffer): draw into it inside the block. Published when
        the block ends normally, with the timing, flags and metadata `write()` takes, not when
        it raises. The arrays are valid only inside the block."""
        writer = self._open()
        if self._drawing:
            raise RuntimeError("frame() is already open on this writer")
        extras = self._extras(writer, pts_ns, duration_ns, flags, metadata)
        self._drawing = True
        try:
            if writer.layout == "ring":
                yield _as_frame(writer.slot_planes())
                self._last = writer.publish_frame(*extras)
            else:
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

    backend = _open_writer_attribute("backend", '"posix" or "sysv".')
    width = _open_writer_attribute("width", "Width of the frames in pixels.")
    height = _open_writer_attribute("height", "Height of the frames in pixels.")
    format = _open_writer_attribute("format", 'The frames\' format: "BGRA" for a double buffer.')
    layout = _open_writer_attribute("layout", '"double_buffer" or "ring".')
    metadata_capacity = _open_writer_attribute(
        "metadata_capacity", "Bytes of metadata a frame may carry (0 for a double buffer)."
    )

    @property
    def shape(self) -> tuple:
        """The shape `write()` takes: (height, width, 4) for a double buffer, shaped by the
        format for a ring (a tuple of shapes for planar formats)."""
        writer = self._open()
        if writer.layout == "ring":
            return _shape_of(writer.format, writer.width, writer.height)
        return (writer.height, writer.width, 4)

    @property
    def info(self) -> Optional[FrameInfo]:
        """The FrameInfo of the last frame published; None before the first."""
        return self._last

    @property
    def frame_number(self) -> Optional[int]:
        """Number of the last frame published; None before the first."""
        return None if self._last is None else self._last.number

    def __repr__(self) -> str:
        if self._handle is None:
            return "<zorvgst.Writer closed>"
        if self.layout == "ring":
            return f"<zorvgst.Writer {self.name} {self.width}x{self.height} {self.format} ring>"
        return f"<zorvgst.Writer {self.name} {self.width}x{self.height} backend={self.backend}>"


def list_buffers() -> List[dict]:
    """Every buffer of both backends on this machine, sorted by name, as dicts with the keys of
    `zorvgst-shm list --json`: name, backend, ready, state, width, height, owner_pid,
    owner_alive, frame_count, last_write_time (local time text or None), age_ms (or None), size,
    then kind ("double-buffer" or "ring"), format, leases, lease_holders (pid, alive, count) and
    ring (slot and reader counts of a ring, or None). Creates nothing."""
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

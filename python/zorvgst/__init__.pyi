# SPDX-License-Identifier: LGPL-2.1-or-later
# Type stubs of the zorvgst package.
import datetime
from contextlib import AbstractContextManager
from typing import Iterator, List, Literal, Optional, Sequence, Tuple, TypedDict, TypeVar, Union

import numpy as np
import numpy.typing as npt

__version__: str

# A double buffer's frame: (height, width, 4) uint8, B, G, R, A.
FrameArray = npt.NDArray[np.uint8]
# One plane of a ring's frame: uint8, or uint16 for 16-bit samples (GRAY16_LE, P010_10LE, ...).
PlaneArray = Union[npt.NDArray[np.uint8], npt.NDArray[np.uint16]]
# A frame shaped by its format: packed formats one array ((H, W, C) uint8, C the bytes of a
# pixel; YUY2 and UYVY (H, W rounded up to even, 2); GRAY8 (H, W) uint8; GRAY16_LE (H, W)
# uint16), planar and semi-planar formats a tuple of planes (NV12: Y (H, W) and UV
# (ceil(H/2), ceil(W/2), 2); I420: Y (H, W), U and V (ceil(H/2), ceil(W/2))).
Planes = Union[PlaneArray, Tuple[PlaneArray, ...]]
# The shape of such a frame: one shape, or a tuple of one per plane.
FrameShape = Union[Tuple[int, ...], Tuple[Tuple[int, ...], ...]]
Layout = Literal["double_buffer", "ring"]
_End = TypeVar("_End", bound="_BufferEnd")

class Error(Exception): ...
class InvalidNameError(Error, ValueError): ...
class InvalidFormatError(Error, ValueError): ...
class InvalidArgumentError(Error, ValueError): ...
class OwnerAliveError(Error, FileExistsError): ...
class NoSpaceError(Error, OSError): ...
class DestinationTooSmallError(Error, ValueError): ...
class SystemCallError(Error, OSError): ...

class FrameInfo:
    @property
    def number(self) -> int: ...
    @property
    def written_ns(self) -> int: ...
    @property
    def written(self) -> datetime.datetime: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def pts_ns(self) -> Optional[int]: ...
    @property
    def duration_ns(self) -> Optional[int]: ...
    @property
    def flags(self) -> int: ...

class LeaseHolder(TypedDict):
    pid: int
    alive: bool
    count: int

class RingCounts(TypedDict):
    slots: int
    readers: int
    leases_per_reader: int
    metadata_capacity: int
    frame_bytes: int

# One buffer of list_buffers() and expire(): the keys of `zorvgst-shm list --json`. These
# TypedDicts exist for type checkers only: import them under typing.TYPE_CHECKING.
BufferInfo = TypedDict(
    "BufferInfo",
    {
        "name": str,
        "backend": Literal["posix", "sysv"],
        "ready": bool,
        "state": Literal["ready", "not_ready", "orphan", "foreign"],
        "width": int,
        "height": int,
        "owner_pid": int,
        "owner_alive": bool,
        "frame_count": int,
        "last_write_time": Optional[str],
        "age_ms": Optional[float],
        "size": int,
        "kind": Optional[Literal["double-buffer", "ring"]],
        "format": Optional[str],
        "leases": int,
        "lease_holders": List[LeaseHolder],
        "ring": Optional[RingCounts],
    },
)

class Frame:
    info: Optional[FrameInfo]
    # None after the `with` block for a frame of a ring (its lease ends with its arrays).
    array: Optional[Planes]
    planes: Optional[Tuple[PlaneArray, ...]]
    frame_number: int
    written: datetime.datetime
    intact: Optional[bool]
    format: str
    leased: bool
    pts_ns: Optional[int]
    duration_ns: Optional[int]
    flags: int
    metadata: bytes
    @property
    def shape(self) -> Optional[FrameShape]: ...

class _BufferEnd:
    def __enter__(self: _End) -> _End: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def close(self) -> None: ...
    @property
    def name(self) -> str: ...

class Reader(_BufferEnd):
    def __init__(self, name: str, backend: Optional[str] = ...) -> None: ...
    def read(
        self, timeout: Optional[float] = ..., out: Optional[Planes] = ...
    ) -> Optional[Planes]: ...
    def frames(self, timeout: Optional[float] = ...) -> Iterator[Planes]: ...
    def frame(self, timeout: Optional[float] = ...) -> AbstractContextManager[Optional[Frame]]: ...
    def limit_leases(self, count: int) -> None: ...
    def interrupt(self) -> None: ...
    @property
    def ready(self) -> bool: ...
    @property
    def backend(self) -> Optional[str]: ...
    @property
    def width(self) -> Optional[int]: ...
    @property
    def height(self) -> Optional[int]: ...
    @property
    def shape(self) -> Optional[FrameShape]: ...
    @property
    def layout(self) -> Optional[Layout]: ...
    @property
    def format(self) -> Optional[str]: ...
    @property
    def info(self) -> Optional[FrameInfo]: ...
    @property
    def frame_number(self) -> Optional[int]: ...
    @property
    def written(self) -> Optional[datetime.datetime]: ...
    @property
    def pts_ns(self) -> Optional[int]: ...
    @property
    def duration_ns(self) -> Optional[int]: ...
    @property
    def flags(self) -> int: ...
    @property
    def metadata(self) -> bytes: ...
    @property
    def dropped(self) -> int: ...

class Writer(_BufferEnd):
    def __init__(
        self,
        name: str,
        width: int,
        height: int,
        backend: str = ...,
        *,
        format: str = ...,
        layout: Optional[Layout] = ...,
        readers: Optional[int] = ...,
        leases_per_reader: Optional[int] = ...,
        metadata_bytes: Optional[int] = ...,
    ) -> None: ...
    def write(
        self,
        array: Planes,
        *,
        pts_ns: Optional[int] = ...,
        duration_ns: Optional[int] = ...,
        flags: int = ...,
        metadata: Optional[bytes] = ...,
    ) -> int: ...
    def frame(
        self,
        *,
        pts_ns: Optional[int] = ...,
        duration_ns: Optional[int] = ...,
        flags: int = ...,
        metadata: Optional[bytes] = ...,
    ) -> AbstractContextManager[Planes]: ...
    def resize(self, width: int, height: int) -> None: ...
    @property
    def backend(self) -> str: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def shape(self) -> FrameShape: ...
    @property
    def format(self) -> str: ...
    @property
    def layout(self) -> Layout: ...
    @property
    def metadata_capacity(self) -> int: ...
    @property
    def info(self) -> Optional[FrameInfo]: ...
    @property
    def frame_number(self) -> Optional[int]: ...

def list_buffers() -> List[BufferInfo]: ...
def remove(name: str) -> None: ...
def expire(names: Optional[Sequence[str]] = ..., dry_run: bool = ...) -> List[BufferInfo]: ...

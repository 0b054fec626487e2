# Type stubs of the l3 package: every public name of l3 (tests/python/test_stubs.py keeps
# this list and the module's in step).
import os
from typing import Any, Iterator, Literal, NamedTuple, Sequence, overload

import numpy as np
import numpy.typing as npt

_Path = str | os.PathLike[str]
_Time = int | float | str

frame_dtype: np.dtype[Any]
record_dtype: np.dtype[Any]
record_head_dtype: np.dtype[Any]

class Error(Exception):
    message: str
    exit_code: int
    status: str
    def __init__(self, message: str) -> None: ...

class UsageError(Error, ValueError): ...
class FileError(Error, OSError): ...
class NotLayer3Error(Error, ValueError): ...
class DamagedError(Error, ValueError): ...
class NoUndoError(Error, ValueError): ...
class CannotFitError(Error, ValueError): ...
class BadRangeError(Error, ValueError): ...
class MismatchError(Error, ValueError): ...
class VerifyError(Error, RuntimeError): ...
class InexactError(Error, ValueError): ...
class BadValueError(Error, ValueError): ...

class Frame:
    def __init__(self, stream: Stream, index: int) -> None: ...
    @property
    def index(self) -> int: ...
    offset: int
    size: int
    header: int
    bitrate: int
    sample_rate: int
    mode_extension: int
    crc: bool
    padding: bool
    is_tag: bool
    @property
    def version(self) -> Literal["MPEG-1", "MPEG-2", "MPEG-2.5"]: ...
    @property
    def channels(self) -> int: ...
    @property
    def granules(self) -> int: ...
    @property
    def mode(self) -> Literal["stereo", "joint stereo", "dual channel", "mono"]: ...
    @property
    def band_edges(self) -> npt.NDArray[np.int32]: ...
    @property
    def problem(self) -> str | None: ...
    @property
    def main_data_begin(self) -> int: ...
    private_bits: int
    @property
    def scfsi(self) -> npt.NDArray[np.int32]: ...
    part2_3_length: npt.NDArray[np.int32]
    big_values: npt.NDArray[np.int32]
    global_gain: npt.NDArray[np.int32]
    scalefac_compress: npt.NDArray[np.int32]
    window_switching: npt.NDArray[np.int32]
    block_type: npt.NDArray[np.int32]
    mixed_block: npt.NDArray[np.int32]
    table_select: npt.NDArray[np.int32]
    subblock_gain: npt.NDArray[np.int32]
    region0_count: npt.NDArray[np.int32]
    region1_count: npt.NDArray[np.int32]
    preflag: npt.NDArray[np.int32]
    scalefac_scale: npt.NDArray[np.int32]
    count1table_select: npt.NDArray[np.int32]
    scalefactors: npt.NDArray[np.uint16]
    spectrum: npt.NDArray[np.int16]

class _Frames(Sequence[Frame]):
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> Frame: ...
    @overload
    def __getitem__(self, index: slice) -> list[Frame]: ...
    def __iter__(self) -> Iterator[Frame]: ...

class Stream:
    frames: _Frames
    def __init__(self, stream_object: Any) -> None: ...
    @property
    def values(self) -> npt.NDArray[np.void]: ...
    @property
    def audio(self) -> npt.NDArray[np.bool_]: ...
    @property
    def granules(self) -> npt.NDArray[np.integer[Any]]: ...
    @property
    def channels(self) -> npt.NDArray[np.integer[Any]]: ...
    @property
    def leading(self) -> bytes: ...
    @property
    def trailing(self) -> bytes: ...
    @property
    def source(self) -> bytes: ...
    def to_bytes(self) -> bytes: ...
    def write(self, path: _Path) -> None: ...
    def to_records(self) -> RecordFile: ...
    def __len__(self) -> int: ...

def read(source: _Path | bytes | bytearray | memoryview) -> Stream: ...

class RecordFile:
    records: npt.NDArray[np.void]
    ancillary: bytes
    output_limit: int
    unused: int
    def __init__(self, records: npt.NDArray[np.void], ancillary: bytes = ..., output_limit: int = ..., unused: int = ...) -> None: ...
    def head_bytes(self) -> bytes: ...
    def to_bytes(self) -> bytes: ...
    def __len__(self) -> int: ...

def read_records(path: _Path, ancillary_path: _Path | None = ..., mode: Literal["r", "r+", "c"] = ...) -> RecordFile: ...
def write_records(path: _Path, record_file: RecordFile, ancillary_path: _Path | None = ...) -> None: ...
def from_records(record_file: RecordFile) -> Stream: ...

class Fault(NamedTuple):
    kind: str
    frame: int | None
    offset: int
    message: str

class Note(NamedTuple):
    kind: str
    frame: int | None
    offset: int
    message: str

class Report:
    file: str
    verdict: Literal["ok", "damaged", "unsupported"]
    frames: int
    faults: list[Fault]
    notes: list[Note]
    unsupported: str | None
    salvageable: int
    def __init__(self, d: dict[str, Any]) -> None: ...
    @property
    def ok(self) -> bool: ...
    def as_dict(self) -> dict[str, Any]: ...

def check(path: _Path) -> Report: ...
def info(path: _Path, frames: bool = ...) -> dict[str, Any]: ...
def repack(
    src: _Path,
    dst: _Path,
    huffman: bool = ...,
    cbr: int | Literal["min"] | None = ...,
    min_bitrate: int = ...,
    crc: Literal["keep", "add", "drop"] = ...,
    salvage: bool = ...,
    vbr: bool = ...,
    force: bool = ...,
) -> _Path: ...
def gain(
    src: _Path,
    dst: _Path,
    steps: int | None = ...,
    undo: bool = ...,
    channel: Literal[0, 1] | None = ...,
    tag: bool = ...,
    force: bool = ...,
) -> _Path: ...
def cut(
    src: _Path,
    dst: _Path,
    start: _Time | None = ...,
    end: _Time | None = ...,
    length: _Time | None = ...,
    samples: bool = ...,
    salvage: bool = ...,
    force: bool = ...,
) -> _Path: ...
def split(
    src: _Path,
    points: Sequence[_Time] = ...,
    pattern: _Path = ...,
    every: _Time | None = ...,
    samples: bool = ...,
    salvage: bool = ...,
    force: bool = ...,
) -> list[str]: ...
def join(srcs: Sequence[_Path], dst: _Path, salvage: bool = ..., force: bool = ...) -> _Path: ...

"""MPEG audio Layer III streams as numpy arrays, read and written bit-exactly.

    s = l3.read("song.mp3")
    for f in s.frames:
        if not f.is_tag:
            f.global_gain += 2          # written in place: every other byte stays
    s.write("louder.mp3")

    r = l3.check("song.mp3")            # what `l3 check` says: r.verdict, r.faults, r.notes
    l3.info("song.mp3")["bitrate"]      # what `l3 info --json` prints, as a dict
    l3.repack("song.mp3", "small.mp3", huffman=True)
    l3.cut("song.mp3", "intro.mp3", end=30)
    try:
        l3.join(["a.mp3", "b.mp3"], "ab.mp3")
    except l3.Error as e:               # l3.MismatchError, ...: e.message, e.exit_code
        print(e.exit_code, e)

The edits (repack, gain, cut, split, join) are the l3 commands' own, with the same results
byte for byte; their failures raise one exception class per kind under l3.Error (see
l3._errors for the table of classes and exit codes).

A Stream holds the bytes it was read from and every frame's values in one block of
memory; the arrays a Frame gives are views into that block, so changing them changes the
stream. Writing compares the values with those read:

- nothing changed: the bytes read, byte for byte;
- global_gain, subblock_gain, scalefac_scale, preflag (MPEG-1) or private_bits changed:
  those fields are rewritten in place (a stored CRC changes as the computed one does);
- spectrum, scalefactors, block_type, window_switching or mixed_block changed: those
  granules are recoded with the fewest bits (their scalefactors, scalefac_scale and
  preflag as written) and the stream is laid out again, as `l3 repack --huffman` codes and
  `l3 repack` lays out;
- a field that says how values are coded (part2_3_length, big_values, table_select,
  region0_count, region1_count, count1table_select, scalefac_compress, scfsi,
  main_data_begin) or the header changed, or a value that no coding holds: BadValueError
  (a ValueError) naming frame, granule, channel, field and value, and nothing is written.

A Xing/Info frame's values and the granules and channels a frame does not use are not
looked at.
"""

import collections
import os
import warnings

import numpy as np

from . import _l3
from ._edits import cut, gain, info, join, repack, split
from ._errors import (
    BadRangeError,
    BadValueError,
    CannotFitError,
    DamagedError,
    Error,
    FileError,
    InexactError,
    MismatchError,
    NoUndoError,
    NotLayer3Error,
    UsageError,
    VerifyError,
)
from ._errors import raised as _raised

__all__ = [
    "BadRangeError",
    "BadValueError",
    "CannotFitError",
    "DamagedError",
    "Error",
    "Fault",
    "FileError",
    "Frame",
    "InexactError",
    "MismatchError",
    "NoUndoError",
    "Note",
    "NotLayer3Error",
    "RecordFile",
    "Report",
    "Stream",
    "UsageError",
    "VerifyError",
    "check",
    "cut",
    "frame_dtype",
    "from_records",
    "gain",
    "info",
    "join",
    "read",
    "read_records",
    "record_dtype",
    "record_head_dtype",
    "repack",
    "split",
    "write_records",
]

#: One frame's values as a Stream holds them (native byte order, aligned): header,
#: main_data_begin, private_bits, scfsi (2, 4), side (2, 2) granule/channel side
#: information, scalefactors (2, 2, 78) uint16, spectrum (2, 2, 576) int16.
frame_dtype = _l3.frame_dtype
#: One 5614-byte entry of a record file: the packed little-endian record and its
#: ancillary bit count, so numpy.memmap(path, dtype=record_dtype, offset=12) opens one.
record_dtype = _l3.record_dtype
#: The record file's 12-byte head: frame_count, unused, output_limit.
record_head_dtype = _l3.record_head_dtype

_VERSIONS = {3: "MPEG-1", 2: "MPEG-2", 0: "MPEG-2.5"}
_MODES = ("stereo", "joint stereo", "dual channel", "mono")


def _side_field(name, last=()):
    """A property: the side-information field name of the used granules and channels."""

    def get(self):
        return self._stream._side[name][self._index, : self._granules, : self._channels]

    def set_(self, value):
        get(self)[...] = value

    return property(get, set_, doc=f"{name}: (granules, channels{', 3' if last else ''}) int32 view")


def _table_field(name, convert, doc):
    """A property: the frame's entry in the stream's table of header fields."""
    return property(lambda self: convert(self._stream._table[name][self._index]), doc=doc)


class Frame:
    """One frame of a Stream: header fields, and its values as writable numpy views."""

    __slots__ = ("_stream", "_index", "_granules", "_channels")

    def __init__(self, stream, index):
        self._stream = stream
        self._index = index
        self._granules = int(stream._table["granules"][index])
        self._channels = int(stream._table["channels"][index])

    @property
    def index(self):
        return self._index

    offset = _table_field("offset", int, "Byte offset of the frame in the stream read.")
    size = _table_field("length", int, "Bytes of the frame.")
    header = _table_field("header", int, "The 32-bit frame header.")
    bitrate = _table_field("bitrate", int, "kbit/s.")
    sample_rate = _table_field("sample_rate", int, "Hz.")
    mode_extension = _table_field("mode_extension", int, "The header's mode extension bits.")
    crc = _table_field("crc", bool, "True when the frame carries a CRC-16.")
    padding = _table_field("padding", bool, "The header's padding bit.")
    is_tag = _table_field("is_tag", bool, "A Xing/Info (or VBRI) frame leading the stream: not audio.")

    @property
    def version(self):
        """'MPEG-1', 'MPEG-2' or 'MPEG-2.5'."""
        return _VERSIONS[int(self._stream._table["version_code"][self._index])]

    @property
    def channels(self):
        return self._channels

    @property
    def granules(self):
        return self._granules

    @property
    def mode(self):
        """'stereo', 'joint stereo', 'dual channel' or 'mono'."""
        return _MODES[int(self._stream._table["mode"][self._index])]

    @property
    def band_edges(self):
        """The long-block scalefactor bands of the frame's sample rate: 23 line numbers, the
        first line of each of the 22 bands, then 576."""
        return _l3.long_band_edges(self.header)

    @property
    def problem(self):
        """Why the frame's main data could not be decoded (its values are then zero), else None."""
        return self._stream._table["problem"][self._index]

    @property
    def main_data_begin(self):
        return int(self._stream._values["main_data_begin"][self._index])

    @property
    def private_bits(self):
        return int(self._stream._values["private_bits"][self._index])

    @private_bits.setter
    def private_bits(self, value):
        self._stream._values["private_bits"][self._index] = value

    @property
    def scfsi(self):
        """(channels, 4) int32 view; MPEG-1 only."""
        return self._stream._values["scfsi"][self._index, : self._channels]

    part2_3_length = _side_field("part2_3_length")
    big_values = _side_field("big_values")
    global_gain = _side_field("global_gain")
    scalefac_compress = _side_field("scalefac_compress")
    window_switching = _side_field("window_switching")
    block_type = _side_field("block_type")
    mixed_block = _side_field("mixed_block")
    table_select = _side_field("table_select", last=(3,))
    subblock_gain = _side_field("subblock_gain", last=(3,))
    region0_count = _side_field("region0_count")
    region1_count = _side_field("region1_count")
    preflag = _side_field("preflag")
    scalefac_scale = _side_field("scalefac_scale")
    count1table_select = _side_field("count1table_select")

    @property
    def scalefactors(self):
        """(granules, channels, 78) uint16 view. MPEG-1 long blocks: band b at entry b; short
        blocks: band s, window w at 39 + 3 s + w; MPEG-2/2.5: one list in stream order."""
        return self._stream._values["scalefactors"][self._index, : self._granules, : self._channels]

    @scalefactors.setter
    def scalefactors(self, value):
        self.scalefactors[...] = value

    @property
    def spectrum(self):
        """(granules, channels, 576) int16 view: the quantised values with their signs."""
        return self._stream._values["spectrum"][self._index, : self._granules, : self._channels]

    @spectrum.setter
    def spectrum(self, value):
        self.spectrum[...] = value

    def __repr__(self):
        kind = "tag frame" if self.is_tag else "frame"
        return (
            f"<l3.Frame {self._index}: {kind}, {self.version}, {self.bitrate} kbit/s, "
            f"{self.sample_rate} Hz, {self.mode}, {self.size} bytes>"
        )


class _Frames:
    """The frames of a Stream as a sequence; Frame objects are made on access."""

    __slots__ = ("_stream",)

    def __init__(self, stream):
        self._stream = stream

    def __len__(self):
        return self._stream._object.frame_count

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [Frame(self._stream, k) for k in range(*index.indices(len(self)))]
        n = len(self)
        k = index + n if index < 0 else index
        if not 0 <= k < n:
            raise IndexError(f"frame {index} of {n}")
        return Frame(self._stream, k)

    def __iter__(self):
        for k in range(len(self)):
            yield Frame(self._stream, k)


class Stream:
    """A Layer III stream: every complete frame (Xing/Info frame included), the bytes around
    them, and write() / to_bytes() to write it back."""

    def __init__(self, stream_object):
        self._object = stream_object
        self._values = stream_object.values()
        self._side = self._values["side"]
        self._table = stream_object.frame_table()
        self.frames = _Frames(self)

    @property
    def values(self):
        """Every frame's values as one structured array of frame_dtype (a view): for
        computing over the whole stream, e.g. values['spectrum'] of shape (frames, 2, 2, 576).
        Entries of unused granules and channels are zero and not written."""
        return self._values

    @property
    def audio(self):
        """A boolean mask over the frames: True for audio frames (not a Xing/Info frame)."""
        return ~self._table["is_tag"]

    @property
    def granules(self):
        """Per frame, the granules it uses (2 for MPEG-1, 1 for MPEG-2 and 2.5)."""
        return self._table["granules"]

    @property
    def channels(self):
        """Per frame, its channels (1 or 2)."""
        return self._table["channels"]

    @property
    def leading(self):
        """The bytes before the first frame (an ID3v2 tag, junk), kept."""
        return self._object.leading_bytes()

    @property
    def trailing(self):
        """The bytes after the last complete frame (ID3v1, APEv2 tags, a cut frame), kept."""
        return self._object.trailing_bytes()

    @property
    def source(self):
        """The bytes the stream was read from."""
        return self._object.source_bytes()

    def to_bytes(self):
        """The stream with its values as they are now (see the module's help for how)."""
        with _raised():
            data, notes = self._object.encode()
        _warn(notes)
        return data

    def write(self, path):
        """Writes to_bytes() to path through a temporary file renamed into place (a replaced
        file, the one read included, keeps its mode, owner and extended attributes); on an
        error nothing is written."""
        with _raised():
            notes = self._object.encode_to_file(os.fspath(path))
        _warn(notes)

    def to_records(self):
        """The RecordFile l3disassemble makes of to_bytes()."""
        records, ancillary = _l3.disassemble(self.to_bytes())
        return RecordFile._from_file_bytes(bytearray(records), ancillary)

    def __len__(self):
        return len(self.frames)

    def __repr__(self):
        return f"<l3.Stream: {len(self.frames)} frames, {len(self.source)} bytes>"


def _warn(notes):
    for note in notes:
        warnings.warn(note, stacklevel=3)


def read(source):
    """A Stream from a path (str or os.PathLike) or from bytes-like data; NotLayer3Error (a
    ValueError), with l3disassemble's message, when it holds no Layer III frame; FileError
    (an OSError) when the file cannot be read."""
    with _raised():
        if isinstance(source, (str, os.PathLike)):
            return Stream(_l3.StreamObject.from_file(os.fspath(source)))
        return Stream(_l3.StreamObject.from_bytes(memoryview(source).cast("B")))


class RecordFile:
    """A record file and its ancillary file, as l3assemble reads them and l3disassemble
    writes them: records (an array of record_dtype, possibly a numpy.memmap), the ancillary
    bytes, and the head's output_limit (and its uninterpreted unused field)."""

    def __init__(self, records, ancillary=b"", output_limit=-1, unused=0):
        self.records = records
        self.ancillary = bytes(ancillary)
        self.output_limit = int(output_limit)
        self.unused = int(unused)

    @classmethod
    def _from_file_bytes(cls, data, ancillary):
        head = np.frombuffer(data, dtype=record_head_dtype, count=1)[0]
        count = max(int(head["frame_count"]), 0)
        records = np.frombuffer(data, dtype=record_dtype, offset=record_head_dtype.itemsize, count=count)
        return cls(records, ancillary, int(head["output_limit"]), int(head["unused"]))

    def head_bytes(self):
        head = np.zeros(1, dtype=record_head_dtype)
        head["frame_count"] = len(self.records)
        head["unused"] = self.unused
        head["output_limit"] = self.output_limit
        return head.tobytes()

    def to_bytes(self):
        """The record file's bytes: head, then every entry."""
        return self.head_bytes() + np.ascontiguousarray(self.records, dtype=record_dtype).tobytes()

    def __len__(self):
        return len(self.records)


def read_records(path, ancillary_path=None, mode="r"):
    """A RecordFile whose records are a numpy.memmap of the file at path (mode as for
    numpy.memmap: 'r', 'r+' or 'c'), with the ancillary file's bytes when one is named."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        head_bytes = f.read(record_head_dtype.itemsize)
    if len(head_bytes) < record_head_dtype.itemsize:
        raise ValueError(f"{path}: the record file is shorter than its 12-byte head")
    head = np.frombuffer(head_bytes, dtype=record_head_dtype)[0]
    count = max(int(head["frame_count"]), 0)
    present = (os.path.getsize(path) - record_head_dtype.itemsize) // record_dtype.itemsize
    if present < count:
        raise ValueError(f"{path}: record file ends after {present} of {count} frames")
    if count == 0:
        records = np.zeros(0, dtype=record_dtype)
    else:
        records = np.memmap(path, dtype=record_dtype, mode=mode, offset=record_head_dtype.itemsize, shape=(count,))
    ancillary = b""
    if ancillary_path is not None:
        with open(os.fspath(ancillary_path), "rb") as f:
            ancillary = f.read()
    return RecordFile(records, ancillary, int(head["output_limit"]), int(head["unused"]))


def write_records(path, record_file, ancillary_path=None):
    """Writes a RecordFile's record file to path and, when named, its ancillary file: each
    through a temporary file renamed into place (a replaced file keeps its mode, owner and
    extended attributes), never both to one file."""
    paths = [os.fspath(path)]
    data = [record_file.to_bytes()]
    if ancillary_path is not None:
        paths.append(os.fspath(ancillary_path))
        data.append(record_file.ancillary)
    with _raised():
        _l3.write_files(paths, data)


def from_records(record_file):
    """The Stream l3assemble writes from a RecordFile."""
    return read(_l3.assemble(record_file.to_bytes(), record_file.ancillary))


#: A fault of a checked file (it makes the file damaged): kind (e.g. "huffman_error"), frame
#: (its index among all the file's frames, a Xing/Info frame counted; None where no frame
#: applies), offset in bytes, message.
Fault = collections.namedtuple("Fault", "kind frame offset message")
#: A note: what is legal and plays the same in every decoder; the fields as a Fault's.
Note = collections.namedtuple("Note", "kind frame offset message")


class Report:
    """What `l3 check` says of one file: verdict ("ok", "damaged" or "unsupported"), frames
    (audio frames, a Xing/Info frame left out), faults and notes (lists of Fault and Note),
    unsupported (what the file holds for that verdict, else None) and salvageable (how many
    faults `l3 repack --salvage` repairs)."""

    __slots__ = ("file", "verdict", "frames", "faults", "notes", "unsupported", "salvageable")

    def __init__(self, d):
        self.file = d["file"]
        self.verdict = d["verdict"]
        self.frames = d["frames"]
        self.faults = [Fault(**f) for f in d["faults"]]
        self.notes = [Note(**n) for n in d["notes"]]
        self.unsupported = d.get("unsupported")
        self.salvageable = d["salvageable"]

    @property
    def ok(self):
        return self.verdict == "ok"

    def as_dict(self):
        """The object `l3 check --json` prints for the file (json.dumps writes it)."""
        d = {"file": self.file, "verdict": self.verdict, "frames": self.frames}
        if self.unsupported is not None:
            d["unsupported"] = self.unsupported
        d["faults"] = [f._asdict() for f in self.faults]
        d["notes"] = [n._asdict() for n in self.notes]
        d["salvageable"] = self.salvageable
        return d

    def __repr__(self):
        return f"<l3.Report {self.file}: {self.verdict}, {self.frames} frames, {len(self.faults)} faults, {len(self.notes)} notes>"


def check(path):
    """Decodes every frame of the file at path down to its Huffman data, as `l3 check` does,
    and gives its Report. FileError (an OSError) when the file cannot be read;
    NotLayer3Error (a ValueError), as read() raises it, when it holds no Layer III frame.
    The GIL is released while the file is checked."""
    with _raised():
        return Report(_l3.check(os.fspath(path)))

"""l3.info and the lossless edits: what `l3 info --json`, `l3 repack`, `l3 gain`, `l3 cut`,
`l3 split` and `l3 join` do, through the same library calls, with the same results byte
for byte. Each output is written through a temporary file renamed into place, every output
of a call or none; an output never names an input, and an existing file is replaced only
with force=True. What the command prints as a note on standard error (junk dropped, values
held at 0 or 255) is a warning; a failure raises the l3.Error of its kind (see _errors)."""

import json
import numbers
import os
import re
import warnings

from . import _l3
from ._errors import UsageError, raised

_CRC = {"keep": 0, "add": 1, "drop": 2}


def _warn(notes):
    for note in notes:
        warnings.warn(note, stacklevel=3)


def _count(name, value, least=0):
    """A whole number argument as the commands take one: least up to a million."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not least <= value <= 1_000_000:
        raise UsageError(f"{name} wants a whole number from {least} to 1000000, not {value!r}")
    return int(value)


def _time(value):
    """A point as the commands' text: seconds (int, float, or a string such as '1:23.5'), or
    with samples=True a sample index; negative counts back from the end."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise UsageError(f"not a time: {value!r}")
    if isinstance(value, numbers.Integral):
        return str(int(value))
    # The commands take at most six decimals.
    return f"{float(value):.6f}".rstrip("0").rstrip(".")


def info(path, frames=False):
    """The object `l3 info --json` prints for the file at path, as a dict (with frames=True,
    as `--frames` adds it: one dict per frame under 'frame_list')."""
    with raised():
        return json.loads(_l3.info(os.fspath(path), bool(frames)))


def repack(src, dst, huffman=False, cbr=None, min_bitrate=0, crc="keep", salvage=False, vbr=False, force=False):
    """`l3 repack SRC DST`: the smallest layout, every decoded value kept. cbr: None (any
    rate per frame), a rate in kbit/s, or 'min' (the smallest single rate); crc: 'keep',
    'add' or 'drop'. Returns dst."""
    if crc not in _CRC:
        raise UsageError(f"crc is 'keep', 'add' or 'drop', not {crc!r}")
    rate = 0 if cbr is None else -1 if cbr == "min" else _count("cbr", cbr, 1)
    with raised():
        notes = _l3.repack(os.fspath(src), os.fspath(dst), bool(huffman), rate, _count("min_bitrate", min_bitrate), _CRC[crc], bool(salvage), bool(vbr), bool(force))
    _warn(notes)
    return dst


def gain(src, dst, steps=None, undo=False, channel=None, tag=True, force=False):
    """`l3 gain -g STEPS SRC DST` (steps of 1.5 dB added to every global_gain, the undo kept
    in an APEv2 tag unless tag=False; channel 0 or 1 for one channel of a stereo stream) or,
    with undo=True, `l3 gain --undo SRC DST`. Returns dst."""
    if undo == (steps is not None):
        raise UsageError("give steps or undo=True")
    if undo and (channel is not None or not tag):
        raise UsageError("channel and tag go with steps")
    if channel not in (None, 0, 1):
        raise UsageError(f"channel is 0 or 1, not {channel!r}")
    n = 0
    if not undo:
        if isinstance(steps, bool) or not isinstance(steps, numbers.Integral) or not -255 <= steps <= 255:
            raise UsageError(f"steps wants a whole number from -255 to 255, not {steps!r}")
        n = int(steps)
    with raised():
        notes = _l3.gain(os.fspath(src), os.fspath(dst), n, bool(undo), -1 if channel is None else channel, bool(tag), bool(force))
    _warn(notes)
    return dst


def cut(src, dst, start=None, end=None, length=None, samples=False, salvage=False, force=False):
    """`l3 cut SRC DST`: the part from start (default the start) to end, or of length,
    (default the end) in seconds, or with samples=True in samples of the timeline every
    decoder plays; a negative start or end counts back from the end. Returns dst."""
    if end is not None and length is not None:
        raise UsageError("give one of end and length")
    to = _time(end if length is None else length)
    with raised():
        notes = _l3.cut(os.fspath(src), os.fspath(dst), _time(start), to, length is not None, bool(samples), bool(salvage), bool(force))
    _warn(notes)
    return dst


# The conversion of a piece's number in a pattern: %d with flag 0 and a width below 100
# (a "%%" is taken out first).
_NUMBER = re.compile(r"%(0?)(\d{0,2})d")


def _piece_names(pattern):
    """The function naming piece k (from 1) after pattern, as `l3 split` names its pieces:
    one %d (or %02d, %3d, ...) for the number, '%%' for a percent sign."""
    parts = _NUMBER.split(pattern.replace("%%", "\0"))
    texts = parts[::3]
    numbers_ = len(parts) // 3
    if numbers_ != 1 or any("%" in t for t in texts):
        raise UsageError(f"pattern needs one %d (or %02d, ...): {pattern}")
    before, after = texts[0].replace("\0", "%"), texts[1].replace("\0", "%")
    fill, width = ("0" if parts[1] else " "), int(parts[2] or 0)
    return lambda k: f"{before}{str(k).rjust(width, fill)}{after}"


def split(src, points=(), pattern="part-%02d.mp3", every=None, samples=False, salvage=False, force=False):
    """`l3 split --at POINTS | --every EVERY SRC PATTERN`: consecutive pieces cut at each
    point (seconds, or samples with samples=True; negative counts back from the end), or
    every so often; piece k (from 1) named by pattern's %d. Every piece is written or none.
    Returns the pieces' paths."""
    if (every is None) == (not points):
        raise UsageError("give points or every")
    name_of = _piece_names(os.fspath(pattern))
    with raised():
        names, notes = _l3.split(os.fspath(src), [_time(p) for p in points], _time(every), bool(samples), name_of, bool(salvage), bool(force))
    _warn(notes)
    return names


def join(srcs, dst, salvage=False, force=False):
    """`l3 join -o DST SRCS...`: the audio frames of every input, in order, as one stream,
    the reservoir laid out across each seam. Returns dst."""
    paths = [os.fspath(s) for s in srcs]
    if not paths:
        raise UsageError("join wants at least one input")
    with raised():
        notes = _l3.join(paths, os.fspath(dst), bool(salvage), bool(force))
    _warn(notes)
    return dst

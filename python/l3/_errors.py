"""The exceptions of the l3 package: one class per way a call can fail, each an l3.Error
carrying the message the l3 command prints for the same failure (without "l3 COMMAND: ")
and the exit code it gives. Each also derives from the built-in exception that fits, so
that code catching OSError, ValueError or RuntimeError keeps working:

    exception        exit code  also a     raised when
    UsageError       1          ValueError an argument the command would refuse (a bad time)
    FileError        2          OSError    a file cannot be read or written; an output names
                                           an input or another output, is a directory, has
                                           hard links, or exists (without force=True)
    NotLayer3Error   3          ValueError no Layer III frame in the file
    DamagedError     4          ValueError a frame whose main data cannot be decoded, junk
                                           between frames, a cut last frame (without
                                           salvage=True)
    NoUndoError      4          ValueError gain(undo=True) on a file without undo information
    CannotFitError   5          ValueError repack: the cbr rate is too small; the frames fit
                                           no layout
    BadRangeError    5          ValueError cut, split: a range empty or outside the stream, a
                                           point where no piece can start
    MismatchError    5          ValueError join: an input unlike the first in version,
                                           sampling rate or channel count
    VerifyError      6          RuntimeError the result does not read back as the input (an
                                           internal fault)
    InexactError     6          ValueError gain: the change could not be undone exactly
    BadValueError    7          ValueError Stream.write: a value the format cannot code

A FileError for a file that cannot be read also derives from the OSError subclass the
system's error gives (FileNotFoundError, IsADirectoryError, PermissionError, ...), with
errno, strerror and filename set.
"""

import contextlib
import os

from . import _l3


class Error(Exception):
    """A failure of an l3 call: message (as the l3 command prints it), exit_code (the
    command's exit code for it) and status (the library's name for it: "io", "damaged",
    "cannotFit", ...; see include/l3/status.h)."""

    exit_code = 1
    status = "usage"

    def __init__(self, message):
        super().__init__(message)
        self.message = message

    def __str__(self):
        return self.message


class UsageError(Error, ValueError):
    """An argument the command would refuse (a bad time, pattern or option value)."""

    exit_code = 1


class FileError(Error, OSError):
    """A file that cannot be read or written, or an output name the command refuses."""

    exit_code = 2


class NotLayer3Error(Error, ValueError):
    """A file without a Layer III frame."""

    exit_code = 3


class DamagedError(Error, ValueError):
    """Damage that decoders differ on: main data that does not decode, junk between frames,
    a cut last frame."""

    exit_code = 4


class NoUndoError(Error, ValueError):
    """An undo asked of a file without undo information."""

    exit_code = 4


class CannotFitError(Error, ValueError):
    """Frames that fit no layout: a constant bit rate too small, main data too long."""

    exit_code = 5


class BadRangeError(Error, ValueError):
    """A range or point of a cut or split that is empty, outside the stream, or where no
    piece can start."""

    exit_code = 5


class MismatchError(Error, ValueError):
    """A join input unlike the first in version, sampling rate or channel count."""

    exit_code = 5


class VerifyError(Error, RuntimeError):
    """A result that does not read back as its input: an internal fault, please report it."""

    exit_code = 6


class InexactError(Error, ValueError):
    """A gain change that could not be undone exactly; nothing is written."""

    exit_code = 6


class BadValueError(Error, ValueError):
    """A changed value or field that the format cannot code."""

    exit_code = 7


for _cls in (Error, UsageError, FileError, NotLayer3Error, DamagedError, NoUndoError, CannotFitError, BadRangeError, MismatchError, VerifyError, InexactError, BadValueError):
    _cls.__module__ = "l3"  # shown as l3.NotLayer3Error, where it is public

# FileError joined with the OSError subclass an errno gives, made once per subclass.
_file_errors = {}


def _file_error(error):
    builtin = type(OSError(error, ""))
    if builtin is OSError:
        return FileError
    if builtin not in _file_errors:
        _file_errors[builtin] = type(builtin.__name__, (FileError, builtin), {"__module__": "l3"})
    return _file_errors[builtin]


def _from_failure(kind, status, message, error, path):
    cls = _file_error(error) if kind == "FileError" and error else globals()[kind]
    e = cls(message)
    e.status = status
    if isinstance(e, OSError) and error:
        e.errno, e.strerror, e.filename = error, os.strerror(error), path
    return e


@contextlib.contextmanager
def raised():
    """Turns the extension's failures in the block into their l3.Error classes."""
    try:
        yield
    except _l3.Failure as failure:
        raise _from_failure(*failure.args) from None

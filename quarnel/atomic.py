"""Output files that appear whole or not at all."""

import contextlib
import errno
import os
import re
import tempfile
from pathlib import Path

from .interrupt import check_interrupt

# Errors of a file that cannot grow: whichever write meets them, it is the
# output that could not be written.
_FULL = (errno.ENOSPC, errno.EDQUOT, errno.EFBIG)
# The extension's OSErrors carry their number only in the message.
_NATIVE_NUMBER = re.compile(r"\(os error (\d+)\)$")


def _umask():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022


def error_number(error: OSError):
    if error.errno is not None:
        return error.errno
    found = _NATIVE_NUMBER.search(str(error))
    return int(found.group(1)) if found else None


def naming(error: OSError, path) -> OSError:
    """`error` naming `path`, where it names no file: "No space left on
    device" alone does not say which disk is full."""
    number = error_number(error)
    if error.filename is not None or number is None:
        return error
    return type(error)(number, os.strerror(number), os.fsdecode(os.fspath(path)))


def is_full(error: BaseException) -> bool:
    """An error of a disk or a file size limit that is full."""
    return isinstance(error, OSError) and error.filename is None and error_number(error) in _FULL


@contextlib.contextmanager
def _named_when_full(path):
    try:
        yield
    except OSError as error:
        if not is_full(error):
            raise
        raise naming(error, path) from None


@contextlib.contextmanager
def atomic_output(path, mode="wb"):
    """Yields a file object writing to a temporary file beside `path`; on
    success it is flushed, synced and renamed over `path`, on any failure
    (Ctrl-C included) it is removed and `path` is left as it was.  A path
    that is not a regular file (a device, a FIFO) is written directly.  A
    full disk is reported as an OSError naming `path`."""
    target = Path(os.fspath(path))
    if target.exists() and not target.is_file():
        # A device, a FIFO, /dev/stdout: written in place.  Renaming over it
        # would replace /dev/null itself with a file.
        with _named_when_full(target), open(target, mode, encoding=None if "b" in mode else "utf-8") as stream:
            yield stream
        return
    try:
        handle = tempfile.NamedTemporaryFile(
            mode, dir=target.parent, prefix=f".{target.name}.", suffix=".part", delete=False,
            encoding=None if "b" in mode else "utf-8")
    except OSError as error:
        # Name the user's file, not the temporary one beside it.
        raise type(error)(error.errno, error.strerror, os.fspath(target)) from None
    try:
        # As open() would have made it, not private to the owner.
        os.chmod(handle.fileno(), 0o666 & ~_umask())
        with _named_when_full(target), handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        # A Ctrl-C that came during the work stops it here, before the
        # output appears under its name.
        check_interrupt()
        os.replace(handle.name, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(handle.name)
        raise

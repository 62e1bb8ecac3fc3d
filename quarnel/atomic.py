"""Output files that appear whole or not at all."""

import contextlib
import os
import tempfile
from pathlib import Path

from .interrupt import check_interrupt


def _umask():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except OSError:
        pass
    return 0o022


@contextlib.contextmanager
def atomic_output(path, mode="wb"):
    """Yields a file object writing to a temporary file beside `path`; on
    success it is flushed, synced and renamed over `path`, on any failure
    (Ctrl-C included) it is removed and `path` is left as it was.  A path
    that is not a regular file (a device, a FIFO) is written directly."""
    target = Path(os.fspath(path))
    if target.exists() and not target.is_file():
        # A device, a FIFO, /dev/stdout: written in place.  Renaming over it
        # would replace /dev/null itself with a file.
        with open(target, mode, encoding=None if "b" in mode else "utf-8") as stream:
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
        with handle:
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

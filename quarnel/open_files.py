"""Fingerprint files kept open between calls.

A `Database` searched again and again (a notebook loop, a service) should
not map its file, count every row's bits and read its sidecars on every
call.  An `OpenFile` keeps the extension's prepared form of one file (the
mapping, each row's bit count and the rows grouped by count, so that a
search reads only the rows that can qualify) from first use until
`close`.  Each use first compares the file and its sidecars with what was
opened: `quarnel fingerprint` renames a finished file into place, so a
replaced file is a new inode, noticed here and opened afresh, while the old
mapping stays whole until then."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Optional, Tuple

from . import scoring
from .fingerprint_file import metadata_path, names_path

Identity = Tuple[Optional[Tuple[int, int, int, int]], ...]


def _stat(path):
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return None
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns


def file_identity(paths) -> Identity:
    """What says that the file and its sidecars are still those opened."""
    return tuple(_stat(path) for path in paths)


class OpenFile:
    """One fingerprint file as opened at `identity`; the prepared rows are
    made on first use."""

    def __init__(self, path: Path):
        self.path = path
        # As strings: making Path objects costs more than the stats.
        self._watched = [os.fspath(p) for p in (path, names_path(path), metadata_path(path))]
        self.identity = file_identity(self._watched)
        self._prepared = None

    def replaced(self) -> bool:
        """A new file (or sidecar) in the place of the one opened.  A file
        removed is not: what was opened stays readable, as an open file
        does, and whoever opens the path next finds it gone."""
        now = file_identity(self._watched)
        return now[0] is not None and now != self.identity

    def prepared(self):
        """The extension's prepared rows; grouped by bit count where the
        copy fits in memory, else counted only."""
        if self._prepared is None:
            try:
                self._prepared = scoring.prepare(self.path, group=True)
            except MemoryError:
                self._prepared = scoring.prepare(self.path, group=False)
        return self._prepared

    def close(self) -> None:
        self._prepared = None

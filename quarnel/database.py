"""Fingerprint databases: `Database` for one fingerprint file with its
sidecars (`quarnel.fingerprint_file`), `ShardedDatabase` for several
(`quarnel.shards`), behind one interface: ``len``, ``n_bits``, ``names``,
``metadata``, ``fingerprint_spec``, ``windows`` and ``search``."""

from __future__ import annotations

import contextlib
import os
from pathlib import Path
from typing import List, Optional, Sequence

import numpy as np

from . import functions
from .arrays import as_rows, is_array
from .errors import QuarnelError
from .fingerprint_file import (FingerprintFile, check_metadata, metadata_path, names_path, read_header,
                               write_metadata, write_names, write_rows)
from .fps import write_fps as write_fps_file
from .resolve import is_stored, resolved
from .search import search
from .file_kinds import SHARD_SET_SUFFIX, misread_database_name
from .fingerprint_file import Window
from .open_files import OpenFile
from .overwrite import refuse_overwrite
from .shards import ShardSet


class Database(FingerprintFile):
    """A fingerprint database on disk.  Opening it reads the header (checked
    against the file's size) and the metadata.  The first search keeps the
    file open, counted and its rows grouped by bit count, so that later
    searches read only the rows that can qualify; `close()` (or the end of
    a ``with`` block, or dropping the object) lets it go.  A file replaced
    on disk (as ``quarnel fingerprint`` replaces one) is noticed by the next
    call and opened afresh.  A ``.qfpset`` manifest opens as a
    `ShardedDatabase`.

    >>> with quarnel.Database("nci.qfp") as db:
    ...     len(db), db.n_bits
    ...     hits = db.search("CCO", k=5)
    (4993, 2048)
    """

    def __new__(cls, path=None, *args, **kwargs):
        if cls is Database and path is not None and Path(os.fspath(path)).suffix == SHARD_SET_SUFFIX:
            cls = ShardedDatabase
        return super().__new__(cls)

    def __init__(self, path):
        super().__init__(path)
        self._open = OpenFile(self.path)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()

    def close(self) -> None:
        """Lets go of what searching kept open (the mapping, the counts, the
        grouped rows); the next search opens the file again."""
        self._open.close()

    def reopen_if_replaced(self) -> None:
        """Reads the header, metadata and names afresh where the file or a
        sidecar is no longer the one opened."""
        if self._open.replaced():
            self._open.close()
            FingerprintFile.__init__(self, self.path)
            self._open = OpenFile(self.path)

    def windows(self, window_rows: Optional[int] = None) -> List[Window]:
        """The file's windows; by default one, over the rows kept open."""
        if window_rows is not None or self.rows == 0:
            return super().windows(window_rows)
        return [Window(self.path, 0, self.rows, 0, self.rows, self.n_bits, prepared=self._open.prepared())]

    def __repr__(self) -> str:
        return f"Database({str(self.path)!r}, rows={self.rows}, n_bits={self.n_bits})"

    def search(self, queries, k: Optional[int] = None, n_threads: int = -1, *, threshold: Optional[float] = None,
               metric="tanimoto", window_rows: Optional[int] = None, progress: bool = False,
               allow_mismatch: bool = False, name_field: Optional[str] = None, smiles_column=None,
               name_column=None):
        """`quarnel.search` of `queries` in this database: the k most similar
        rows of every query (10 unless `k` is given), or with `threshold`
        every row scoring at least that (the best k where `k` is given).
        Queries may be given in any form (a fingerprint file, a SMILES,
        SDF, CSV or TSV file, a SMILES string, ExplicitBitVect or Mol objects
        or sequences of them); molecules are fingerprinted as this
        database's metadata says."""
        return search(queries, self, k, threshold=threshold, metric=metric, n_threads=n_threads,
                      window_rows=window_rows, progress=progress, allow_mismatch=allow_mismatch,
                      name_field=name_field, smiles_column=smiles_column, name_column=name_column)

    def to_numpy(self) -> np.ndarray:
        """The rows as a read-only (rows, words) uint64 array mapped from the
        file, not copied: bit i of a row in word i // 64 at bit i % 64."""
        return self.words()

    def write_fps(self, path, *, progress: bool = False) -> int:
        """Writes the database as an FPS file (``.fps``, or ``.fps.gz``
        compressed; or a binary stream) and returns the row count: a
        ``#type`` line from the fingerprint settings where known, then one
        ``hex<TAB>id`` line per row, the ids from the names (row numbers
        without them).  The file appears only when complete, and never
        over a file of this database (its own, a sidecar, a shard)."""
        refuse_overwrite(path, [self])
        return write_fps_file(self, path, progress=progress)


class ShardedDatabase(ShardSet, Database):
    """A database of several fingerprint files, searched as one; rows are
    numbered globally, shard after shard.  ``quarnel.Database(path)`` gives
    one for a ``.qfpset`` manifest; `from_files` and `from_folder` open
    files without a manifest.

    >>> db = quarnel.Database("library.qfpset")
    >>> len(db), db.n_bits, len(db.shards)
    (4993, 2048, 5)
    """

    def __init__(self, path, *, _entries=None):
        ShardSet.__init__(self, path, _entries=_entries)
        self._given = (path, _entries)
        self._open = {shard.path: OpenFile(shard.path) for shard in self.shards}

    def close(self) -> None:
        for opened in self._open.values():
            opened.close()

    def reopen_if_replaced(self) -> None:
        """Reads the manifest and shards afresh where a shard (or a shard's
        sidecar) is no longer the one opened."""
        if any(opened.replaced() for opened in self._open.values()):
            self.close()
            path, entries = self._given
            self.__init__(path, _entries=entries)

    def windows(self, window_rows: Optional[int] = None) -> List[Window]:
        """Each shard's windows; by default one a shard, over its rows kept
        open."""
        if window_rows is not None:
            return ShardSet.windows(self, window_rows)
        return [Window(shard.path, 0, shard.rows, shard.first_row, shard.rows, shard.n_bits,
                       prepared=self._open[shard.path].prepared())
                for shard in self.shards if shard.rows]

    def __repr__(self) -> str:
        return (f"ShardedDatabase({str(self.path)!r}, shards={len(self.shards)}, rows={self.rows}, "
                f"n_bits={self.n_bits})")

    def words(self):
        raise QuarnelError(f"{self.path}: a sharded database has no single array of rows; read its shards")

    def to_numpy(self) -> np.ndarray:
        """All the rows in one (rows, words) uint64 array: a copy, since
        the shards are separate files."""
        return to_numpy(self)


def to_numpy(fingerprints) -> np.ndarray:
    """The (N, W) uint64 rows of fingerprints in any form the package takes
    (a database, a path, molecules, bit vectors, an array): bit i of a row
    in word i // 64 at bit i % 64, least significant first.  A new array;
    `Database.to_numpy` maps a database's rows without copying them."""
    with resolved(fingerprints) as given:
        if given.rows == 0:
            return np.zeros((0, (given.n_bits + 63) // 64), np.uint64)
        return np.array(FingerprintFile(given.single_file()).words())


def write_fps(database, path, *, progress: bool = False) -> int:
    """Writes a database as an FPS file and returns the row count, as
    `Database.write_fps` and ``quarnel export`` do.

    Parameters
    ----------
    database
        A `Database` or `ShardedDatabase`, or the path of one (a ``.qfp``
        file or a ``.qfpset`` manifest).
    path
        The FPS file: ``.fps``, or ``.fps.gz`` compressed, which appears
        only when complete; or an open binary stream.
    progress : bool
        Show a bar on standard error, when it is a terminal.

    The header holds a ``#type`` line from the fingerprint settings where
    they are known; then one ``hex<TAB>id`` line per row, the ids from the
    names (row numbers without them).

    Examples
    --------
    >>> quarnel.write_fps("nci.qfp", "nci.fps.gz")
    4993
    """
    if isinstance(database, (str, bytes, os.PathLike)):
        database = Database(os.fsdecode(os.fspath(database)))
    elif not is_stored(database):
        raise TypeError(f"write_fps writes a database (a Database, or the path of a .qfp or .qfpset), not "
                        f"{type(database).__name__}; save fingerprints in memory with quarnel.save_database first")
    return write_fps_file(database, path, progress=progress)


def _checked_names(names) -> list:
    """The names as a list of strings: anything else in it would be stored
    as its str(), None as the name 'None'."""
    if isinstance(names, (str, bytes)):
        raise TypeError(f"names must be a sequence of strings, one per fingerprint, not a {type(names).__name__}")
    names = list(names)
    for position, name in enumerate(names):
        if not isinstance(name, str):
            raise TypeError(f"names[{position}] is {type(name).__name__} {name!r:.40}, not a string; give a string "
                            "for every row (\"\" for none), or names=None to name rows by number")
    return names


def save_database(fps, path, names: Optional[Sequence] = None, metadata: Optional[dict] = None) -> Database:
    """Saves fingerprints as a database, with names (strings, one per row;
    default: none, rows are named by number) and metadata sidecars.  `fps`
    is a sequence of ExplicitBitVect objects or a NumPy array in a form
    `quarnel.arrays.as_rows` takes (uint64 rows, packed uint8 bytes, bool
    or 0/1 uint8 bits).  Nothing is written when anything is wrong: a name
    count that is not the row count, a bad vector or array, a full disk."""
    packed = as_rows(fps) if is_array(fps) else None
    fps = fps if packed is not None else list(fps)
    count = len(packed[0]) if packed is not None else len(fps)
    if names is not None:
        names = _checked_names(names)
        if len(names) != count:
            raise QuarnelError(f"{len(names)} names for {count} fingerprints")
    target = Path(os.fspath(path))
    if metadata is not None:
        check_metadata(metadata, "metadata")
    if (misread := misread_database_name(target)) is not None:
        raise QuarnelError(misread)
    if packed is not None:
        write_rows(target, *packed)
    else:
        functions.save_fingerprints(fps, target)
    try:
        rows, n_bits = read_header(target)
        for sidecar in (names_path(target), metadata_path(target)):
            with contextlib.suppress(FileNotFoundError):
                sidecar.unlink()  # a stale one would describe other rows
        if names is not None:
            write_names(target, names)
        if metadata is not None:
            write_metadata(target, dict(metadata, n_bits=n_bits, rows=rows))
    except BaseException:
        for leftover in (target, names_path(target), metadata_path(target)):
            with contextlib.suppress(OSError):
                leftover.unlink()
        raise
    return Database(target)

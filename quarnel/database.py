"""Fingerprint databases: `Database` for one fingerprint file with its
sidecars (`quarnel.fingerprint_file`), `ShardedDatabase` for several
(`quarnel.shards`), behind one interface: ``len``, ``n_bits``, ``names``,
``metadata``, ``fingerprint_spec``, ``windows`` and ``search``."""

from __future__ import annotations

import contextlib
import os
from pathlib import Path
from typing import Optional, Sequence

from . import functions
from .errors import QuarnelError
from .fingerprint_file import (FingerprintFile, metadata_path, names_path, read_header, write_metadata,
                               write_names)
from .search import search
from .file_kinds import SHARD_SET_SUFFIX
from .shards import ShardSet


class Database(FingerprintFile):
    """A fingerprint database on disk.  Opening it reads the header (checked
    against the file's size) and the metadata; no file stays open between
    calls.  A ``.qfpset`` manifest opens as a `ShardedDatabase`.

    >>> db = quarnel.Database("nci.qfp")
    >>> len(db), db.n_bits
    (4993, 2048)
    >>> hits = db.search("CCO", k=5)
    """

    def __new__(cls, path=None, *args, **kwargs):
        if cls is Database and path is not None and Path(os.fspath(path)).suffix == SHARD_SET_SUFFIX:
            cls = ShardedDatabase
        return super().__new__(cls)

    def __repr__(self) -> str:
        return f"Database({str(self.path)!r}, rows={self.rows}, n_bits={self.n_bits})"

    def search(self, queries, k: Optional[int] = 10, n_threads: int = -1, *, threshold: Optional[float] = None,
               window_rows: Optional[int] = None, progress: bool = False, allow_mismatch: bool = False,
               name_field: Optional[str] = None):
        """`quarnel.search` of `queries` in this database: the k most similar
        rows of every query, or with `threshold` every row scoring at least
        that.  Queries may be given in any form (a fingerprint file, a
        SMILES or SDF file, a SMILES string, ExplicitBitVect or Mol objects
        or sequences of them); molecules are fingerprinted as this
        database's metadata says."""
        return search(queries, self, k, threshold=threshold, n_threads=n_threads, window_rows=window_rows,
                      progress=progress, allow_mismatch=allow_mismatch, name_field=name_field)


class ShardedDatabase(ShardSet, Database):
    """A database of several fingerprint files, searched as one; rows are
    numbered globally, shard after shard.  ``quarnel.Database(path)`` gives
    one for a ``.qfpset`` manifest; `from_files` and `from_folder` open
    files without a manifest.

    >>> db = quarnel.Database("library.qfpset")
    >>> len(db), db.n_bits, len(db.shards)
    (4993, 2048, 5)
    """

    def __repr__(self) -> str:
        return (f"ShardedDatabase({str(self.path)!r}, shards={len(self.shards)}, rows={self.rows}, "
                f"n_bits={self.n_bits})")

    def words(self):
        raise QuarnelError(f"{self.path}: a sharded database has no single array of rows; read its shards")


def save_database(fps, path, names: Optional[Sequence] = None, metadata: Optional[dict] = None) -> Database:
    """Saves ExplicitBitVect objects as a database, with names (default:
    none, rows are named by number) and metadata sidecars.  Nothing is
    written when anything is wrong: a name count that is not the vector
    count, a bad vector, a full disk."""
    fps = list(fps)
    if names is not None:
        names = list(names)
        if len(names) != len(fps):
            raise QuarnelError(f"{len(names)} names for {len(fps)} fingerprints")
    if metadata is not None and not isinstance(metadata, dict):
        raise QuarnelError(f"metadata must be a dict, not {type(metadata).__name__}")
    target = Path(os.fspath(path))
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

"""Fingerprint databases: a fingerprint file (``NAME.qfp``, the format every
`_quarnel` function reads) with two optional sidecars beside it:
``NAME.qfp.names``, one molecule name per row, and ``NAME.qfp.json``, how the
fingerprints were made.  A bare fingerprint file works everywhere; its rows
are then named by their numbers."""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import struct
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Iterable, Iterator, List, Optional, Union

import numpy as np

from . import functions
from .atomic import atomic_output
from .errors import QuarnelError

HEADER = struct.Struct("<II")
MAX_ROWS = 2**32 - 1
DEFAULT_WINDOW_ROWS = 1 << 20


def names_path(path) -> Path:
    return Path(os.fspath(path) + ".names")


def metadata_path(path) -> Path:
    return Path(os.fspath(path) + ".json")


def words_per_row(n_bits: int) -> int:
    return (n_bits + 63) // 64


def read_header(path):
    """(rows, bits) of a fingerprint file, checked against its size."""
    path = Path(os.fspath(path))
    with open(path, "rb") as stream:
        head = stream.read(HEADER.size)
        size = os.fstat(stream.fileno()).st_size
    if len(head) < HEADER.size:
        raise QuarnelError(f"{path}: not a fingerprint file (shorter than its 8-byte header)")
    rows, n_bits = HEADER.unpack(head)
    needed = HEADER.size + 8 * rows * words_per_row(n_bits)
    if size < needed:
        raise QuarnelError(f"{path}: truncated fingerprint file: its header announces {rows} rows of "
                           f"{n_bits} bits ({needed} bytes) but it has {size} bytes")
    return rows, n_bits


class RowNames(Sequence):
    """The names of a database's rows: from the names sidecar, or the row
    numbers themselves where there is none."""

    def __init__(self, names: Optional[List[str]], rows: int):
        self._names = names
        self._rows = rows

    def __len__(self):
        return self._rows

    def __getitem__(self, row):
        if isinstance(row, slice):
            return [self[r] for r in range(*row.indices(self._rows))]
        row = int(row)
        if row < 0:
            row += self._rows
        if not 0 <= row < self._rows:
            raise IndexError("row out of range")
        return self._name(row)

    def _name(self, row: int) -> str:
        return self._names[row] if self._names is not None else str(row)

    @property
    def from_sidecar(self) -> bool:
        return self._names is not None


def read_names(path, rows: int) -> RowNames:
    sidecar = names_path(path)
    if not sidecar.exists():
        return RowNames(None, rows)
    with open(sidecar, encoding="utf-8", newline="\n") as stream:
        names = stream.read().split("\n")
    if names and names[-1] == "":
        names.pop()
    if len(names) != rows:
        raise QuarnelError(f"{sidecar}: {len(names)} names for {rows} rows")
    return RowNames(names, rows)


def read_metadata(path) -> dict:
    sidecar = metadata_path(path)
    if not sidecar.exists():
        return {}
    try:
        with open(sidecar, encoding="utf-8") as stream:
            return json.load(stream)
    except json.JSONDecodeError as error:
        raise QuarnelError(f"{sidecar}: not valid JSON ({error})") from None


class Database:
    """A fingerprint database on disk.  Opening it reads the header and the
    sidecars; no file stays open between calls.

    >>> db = quarnel.Database("library.qfp")
    >>> len(db), db.n_bits
    (4999, 2048)
    >>> hits = db.search("queries.qfp", k=5)
    """

    def __new__(cls, path, *args, **kwargs):
        # A manifest (.qfpset) or a folder opens as the sharded kind.
        if cls is Database:
            from .shards import ShardedDatabase, is_shard_set

            if is_shard_set(path):
                cls = ShardedDatabase
        return super().__new__(cls)

    def __init__(self, path):
        self.path = Path(os.fspath(path))
        self.rows, self.n_bits = read_header(self.path)
        self.metadata = read_metadata(self.path)
        self._names: Optional[RowNames] = None

    def __len__(self) -> int:
        return self.rows

    def __repr__(self) -> str:
        return f"Database({str(self.path)!r}, rows={self.rows}, n_bits={self.n_bits})"

    @property
    def names(self) -> RowNames:
        if self._names is None:
            self._names = read_names(self.path, self.rows)
        return self._names

    @property
    def fingerprint_spec(self):
        """How the database's fingerprints were made, or None when it has no
        metadata sidecar."""
        from .molecules import FingerprintSpec

        settings = self.metadata.get("fingerprint")
        return FingerprintSpec.from_metadata(settings) if settings else None

    def windows(self, window_rows: Optional[int] = None):
        """The windows covering the rows in order (`quarnel.shards.Window`;
        a window never spans two shards)."""
        from .shards import database_windows

        return database_windows(self, window_rows)

    def search(self, queries, k: int = 10, n_threads: int = -1, *, window_rows: Optional[int] = None,
               progress: bool = False) -> "SearchResult":
        """The k most similar rows of this database for every query.

        `queries` is a fingerprint file or Database, a SMILES or SDF file
        (fingerprinted as this database's metadata says), or a sequence of
        ExplicitBitVect.  The database is searched in windows of
        `window_rows` rows, merged as `quarnel.topk_merge` describes; with a
        single window the hits are exactly those of
        `bulk_tanimoto_mmap_topk`.
        """
        from .search import search_database

        return search_database(self, queries, k=k, n_threads=n_threads, window_rows=window_rows,
                               progress=progress)


class SearchResult:
    """Top-k hits: `indices` (int64 database rows) and `scores` (float64),
    both (queries, k'), best first, with the names of both sides."""

    def __init__(self, indices, scores, query_names, target_names):
        self.indices = indices
        self.scores = scores
        self.query_names = query_names
        self.target_names = target_names

    def __len__(self):
        return len(self.indices)

    def hit_names(self, query_row: int) -> List[str]:
        return [self.target_names[row] for row in self.indices[query_row]]

    def hits(self) -> Iterator[tuple]:
        """(query, query_row, rank, target, target_row, score) per hit,
        ranks from 1."""
        for query_row, (rows, scores) in enumerate(zip(self.indices.tolist(), self.scores.tolist())):
            query = self.query_names[query_row]
            for rank, (row, score) in enumerate(zip(rows, scores), start=1):
                yield query, query_row, rank, self.target_names[row], row, score

    def write_tsv(self, stream) -> None:
        """Tab-separated hits with a header line; scores in the shortest
        form that reads back as the same float64."""
        stream.write("query\tquery_row\trank\ttarget\ttarget_row\tscore\n")
        for query, query_row, rank, target, row, score in self.hits():
            stream.write(f"{query}\t{query_row}\t{rank}\t{target}\t{row}\t{score!r}\n")


# ---------------------------------------------------------------------------
# Writing


class DatabaseWriter:
    """Writes a database row batch by row batch: the fingerprint file with a
    provisional header whose count is filled in at the end, and the names.
    Nothing appears under the final names until `commit`, and then the
    fingerprint file last."""

    def __init__(self, path, n_bits: int):
        self.path = Path(os.fspath(path))
        self.n_bits = n_bits
        self.rows = 0
        self._committed = False
        self._stack = contextlib.ExitStack()
        self._words = self._stack.enter_context(atomic_output(self.path, "wb"))
        self._names = self._stack.enter_context(atomic_output(names_path(self.path), "wb"))
        self._words.write(HEADER.pack(0, n_bits))

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        if failure[0] is None and not self._committed:
            failure = (QuarnelError, QuarnelError("database left unfinished"), None)
        return self._stack.__exit__(*failure)

    def append(self, words: bytes, names: Iterable[str]) -> None:
        names = list(names)
        if self.rows + len(names) > MAX_ROWS:
            raise QuarnelError(f"a fingerprint file holds at most {MAX_ROWS} rows")
        self._words.write(words)
        self._names.write("".join(clean_name(name) + "\n" for name in names).encode("utf-8"))
        self.rows += len(names)

    def commit(self, metadata: dict) -> None:
        """Completes the files; `metadata` is written as the JSON sidecar,
        with the row and bit counts added."""
        self._words.seek(0)
        self._words.write(HEADER.pack(self.rows, self.n_bits))
        metadata = dict(metadata, n_bits=self.n_bits, rows=self.rows)
        with atomic_output(metadata_path(self.path), "w") as stream:
            json.dump(metadata, stream, indent=2)
            stream.write("\n")
        # Closing in reverse order renames the names, then the fingerprints.
        self._stack.close()
        self._committed = True


def clean_name(name: str) -> str:
    return name.replace("\r", " ").replace("\n", " ")


def creation_time() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def save_database(fps, path, names: Optional[Sequence] = None, metadata: Optional[dict] = None) -> Database:
    """Saves ExplicitBitVect objects as a database, with names (default: none)
    and metadata sidecars."""
    functions.save_fingerprints(fps, path)
    rows, n_bits = read_header(path)
    if names is not None:
        if len(names) != rows:
            raise QuarnelError(f"{len(names)} names for {rows} fingerprints")
        with atomic_output(names_path(path), "w") as stream:
            stream.writelines(clean_name(str(name)) + "\n" for name in names)
    if metadata is not None:
        with atomic_output(metadata_path(path), "w") as stream:
            json.dump(dict(metadata, n_bits=n_bits, rows=rows), stream, indent=2)
    return Database(path)


@contextlib.contextmanager
def temporary_folder():
    with tempfile.TemporaryDirectory(prefix="quarnel-") as folder:
        yield Path(folder)

"""Sharded databases: one database made of several fingerprint files.

A fingerprint file holds at most 2^32 - 1 rows, and a cluster searches
files side by side, so a large database is a list of shards, each an
ordinary ``.qfp`` database with its own sidecars.  The list is a manifest,
``NAME.qfpset``::

    {"format": "quarnel-shards", "version": 1, "n_bits": 2048, "rows": 9000,
     "shards": [{"path": "NAME-00000.qfp", "rows": 5000, "n_bits": 2048},
                {"path": "NAME-00001.qfp", "rows": 4000, "n_bits": 2048}],
     "metadata": {...how the fingerprints were made...}}

(shard paths relative to the manifest's folder), or a list of files given
explicitly (`ShardSet.from_files`, `ShardSet.from_folder`).  A folder is
never taken for a database by itself: a backup copy lying beside the
shards would give every hit twice.  Rows are numbered globally, shard by
shard in that order, as int64: the total may exceed 2^32.
"""

from __future__ import annotations

import bisect
import contextlib
import dataclasses
import json
import os
from pathlib import Path
from typing import List, Optional

from .atomic import atomic_output
from .checks import MAX_ROWS
from .errors import QuarnelError
from .file_kinds import SHARD_SET_SUFFIX
from .fingerprint_file import (DatabaseWriter, RowNames, Window, file_windows, metadata_path, names_path,
                               read_header, read_metadata, read_names, row_bytes, settings_of)

MANIFEST_FORMAT = "quarnel-shards"
MANIFEST_VERSION = 1


@dataclasses.dataclass(frozen=True)
class Shard:
    """One fingerprint file of a sharded database; `first_row` is the global
    number of its row 0."""

    path: Path
    rows: int
    n_bits: int
    first_row: int


# ---------------------------------------------------------------------------
# Reading


def _manifest_entries(path: Path):
    """(shard path, rows or None, bits or None) per shard, and the metadata."""
    if path.is_dir():
        raise QuarnelError(f"{path}: a folder, not a sharded database; open one through its manifest "
                           "(NAME.qfpset), or its files with quarnel.ShardedDatabase.from_folder")
    try:
        with open(path, encoding="utf-8") as stream:
            manifest = json.load(stream)
    except json.JSONDecodeError as error:
        raise QuarnelError(f"{path}: not a shard manifest (invalid JSON: {error})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != MANIFEST_FORMAT:
        raise QuarnelError(f"{path}: not a shard manifest (no \"format\": \"{MANIFEST_FORMAT}\")")
    if manifest.get("version") != MANIFEST_VERSION:
        raise QuarnelError(f"{path}: shard manifest version {manifest.get('version')!r}; this quarnel "
                           f"reads version {MANIFEST_VERSION}")
    shards = manifest.get("shards")
    if not isinstance(shards, list):
        raise QuarnelError(f"{path}: the manifest has no list of \"shards\"")
    entries = []
    for number, entry in enumerate(shards):
        if not (isinstance(entry, dict) and isinstance(entry.get("path"), str)
                and isinstance(entry.get("rows"), int) and isinstance(entry.get("n_bits"), int)):
            raise QuarnelError(f"{path}: shard {number} needs a \"path\" (text), \"rows\" and \"n_bits\" "
                               "(whole numbers)")
        entries.append((path.parent / entry["path"], entry["rows"], entry["n_bits"]))
    metadata = manifest.get("metadata")
    if metadata is not None and not isinstance(metadata, dict):
        raise QuarnelError(f"{path}: the manifest's \"metadata\" must be an object")
    return entries, metadata


def manifest_shard_paths(path) -> List[Path]:
    """The shard files a manifest lists; none where it cannot be read as
    one."""
    try:
        entries, _ = _manifest_entries(Path(os.fspath(path)))
    except (QuarnelError, OSError, UnicodeDecodeError):
        return []
    return [shard_path for shard_path, _, _ in entries]


def _checked_shards(path: Path, entries) -> List[Shard]:
    shards: List[Shard] = []
    first_row = 0
    for shard_path, rows, n_bits in entries:
        try:
            file_rows, file_bits = read_header(shard_path)
        except FileNotFoundError:
            raise QuarnelError(f"{path}: shard {shard_path} is missing") from None
        except QuarnelError as error:
            raise QuarnelError(f"{path}: shard {error}") from None
        if rows is not None and (rows, n_bits) != (file_rows, file_bits):
            raise QuarnelError(f"{path}: shard {shard_path} has {file_rows} rows of {file_bits} bits but the "
                               f"manifest says {rows} rows of {n_bits} bits")
        # An empty shard holds no fingerprint whose length could disagree.
        sized = next((shard for shard in shards if shard.rows), None)
        if sized is not None and file_rows and file_bits != sized.n_bits:
            raise QuarnelError(f"{path}: shards of different bit lengths cannot form one database: "
                               f"{sized.path} has {sized.n_bits} bits, {shard_path} has {file_bits}")
        shards.append(Shard(shard_path, file_rows, file_bits, first_row))
        first_row += file_rows
    return shards


class ShardNames(RowNames):
    """Row names across shards, by global row; each shard's names sidecar
    is read the first time one of its rows is asked for."""

    def __init__(self, shards: List[Shard], rows: int):
        self._shards = [shard for shard in shards if shard.rows]
        self._starts = [shard.first_row for shard in self._shards]
        self._names: dict = {}
        self._rows = rows

    def _shard_names(self, number: int) -> RowNames:
        if number not in self._names:
            shard = self._shards[number]
            self._names[number] = read_names(shard.path, shard.rows)
        return self._names[number]

    def _name(self, row: int) -> str:
        number = bisect.bisect_right(self._starts, row) - 1
        shard = self._shards[number]
        names = self._shard_names(number)
        # Rows of a shard without names are named by their global number.
        return names[row - shard.first_row] if names.from_sidecar else str(row)

    @property
    def from_sidecar(self) -> bool:
        return all(names_path(shard.path).exists() for shard in self._shards)


class ShardSet:
    """Several fingerprint files searched as one.  Opening it reads the
    manifest and every shard's header (nothing stays open)."""

    def __init__(self, path, *, _entries=None):
        self.path = Path(os.fspath(path))
        entries, metadata = _entries if _entries is not None else _manifest_entries(self.path)
        self.shards = _checked_shards(self.path, entries)
        self.rows = sum(shard.rows for shard in self.shards)
        sized = [shard for shard in self.shards if shard.rows] or self.shards
        self.n_bits = sized[0].n_bits if sized else 0
        if metadata is None:
            metadata = next((read_metadata(shard.path) for shard in self.shards
                             if metadata_path(shard.path).exists()), {})
        self.metadata = metadata
        self.fingerprint_spec = settings_of(metadata, self.path)
        self._names = None

    @classmethod
    def from_files(cls, paths):
        """The fingerprint files `paths`, in that order, as one database."""
        paths = [Path(os.fspath(path)) for path in paths]
        if not paths:
            raise QuarnelError("a sharded database needs at least one file")
        where = paths[0].parent if len(paths) > 1 else paths[0]
        return cls(where, _entries=([(path, None, None) for path in paths], None))

    @classmethod
    def from_folder(cls, folder):
        """Every ``.qfp`` file of `folder`, in name order, as one database."""
        folder = Path(os.fspath(folder))
        files = sorted(entry for entry in folder.iterdir() if entry.suffix == ".qfp" and entry.is_file())
        if not files:
            raise QuarnelError(f"{folder}: no .qfp file to open as shards")
        shards = cls.from_files(files)
        shards.path = folder
        return shards

    def __len__(self) -> int:
        return self.rows

    @property
    def names(self) -> "ShardNames":
        if self._names is None:
            self._names = ShardNames(self.shards, self.rows)
        return self._names

    def windows(self, window_rows: Optional[int] = None) -> List[Window]:
        """The windows covering the rows in global order: those of each
        shard in turn (a window never spans two shards)."""
        return [window for shard in self.shards
                for window in file_windows(shard.path, shard.rows, shard.n_bits, shard.first_row, window_rows)]


# ---------------------------------------------------------------------------
# Writing


def shard_path(manifest: Path, number: int) -> Path:
    stem = manifest.name[:-len(SHARD_SET_SUFFIX)] if manifest.name.endswith(SHARD_SET_SUFFIX) else manifest.name
    return manifest.parent / f"{stem}-{number:05d}.qfp"


class ShardSetWriter:
    """Writes a sharded database row batch by row batch, with the interface
    of `DatabaseWriter`: a new shard of `shard_rows` rows each time one is
    full, each with its names and a metadata sidecar holding
    `shard_metadata`; the manifest, with the full metadata, is written last,
    so the database appears only when it is whole.  On failure the shards
    already written are removed again."""

    def __init__(self, path, n_bits: int, shard_rows: int, shard_metadata: Optional[dict] = None):
        if not 1 <= shard_rows <= MAX_ROWS:
            raise QuarnelError(f"a shard holds 1 to {MAX_ROWS} rows, not {shard_rows}")
        self.path = Path(os.fspath(path))
        if self.path.suffix != SHARD_SET_SUFFIX:
            raise QuarnelError(f"{self.path}: a sharded database is written as a manifest NAME{SHARD_SET_SUFFIX}")
        self.n_bits = n_bits
        self.shard_rows = shard_rows
        self.shard_metadata = dict(shard_metadata or {})
        self.rows = 0
        self._row_bytes = row_bytes(n_bits)
        self._current: Optional[DatabaseWriter] = None
        self._written: List[Shard] = []
        self._committed = False

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is None and self._committed:
            return False
        if kind is None:
            error = QuarnelError("database left unfinished")
            self._abandon((QuarnelError, error, None))
            raise error
        self._abandon((kind, error, trace))
        return False

    def _abandon(self, failure) -> None:
        try:
            if self._current is not None:
                current, self._current = self._current, None
                # Closing an unfinished shard on a full disk fails again;
                # the shards written before it go all the same.
                current.__exit__(*failure)
        finally:
            for shard in self._written:
                for leftover in (shard.path, names_path(shard.path), metadata_path(shard.path)):
                    with contextlib.suppress(OSError):
                        leftover.unlink()

    def append(self, words: bytes, names) -> None:
        names = list(names)
        start = 0
        while start < len(names):
            if self._current is None:
                self._current = DatabaseWriter(shard_path(self.path, len(self._written)), self.n_bits)
            take = min(len(names) - start, self.shard_rows - self._current.rows)
            self._current.append(words[start * self._row_bytes:(start + take) * self._row_bytes],
                                 names[start:start + take])
            start += take
            self.rows += take
            if self._current.rows == self.shard_rows:
                self._finish_shard()

    def _finish_shard(self) -> None:
        writer = self._current
        writer.commit(dict(self.shard_metadata, shard=len(self._written)))
        self._written.append(Shard(writer.path, writer.rows, self.n_bits, self.rows - writer.rows))
        self._current = None

    def commit(self, metadata: dict) -> None:
        """Completes the last shard (an empty one where no row was written,
        so that the database still knows its bit length) and writes the
        manifest with `metadata`."""
        if self._current is not None or not self._written:
            if self._current is None:
                self._current = DatabaseWriter(shard_path(self.path, 0), self.n_bits)
            self._finish_shard()
        manifest = {
            "format": MANIFEST_FORMAT,
            "version": MANIFEST_VERSION,
            "n_bits": self.n_bits,
            "rows": self.rows,
            "shards": [{"path": shard.path.name, "rows": shard.rows, "n_bits": shard.n_bits}
                       for shard in self._written],
            "metadata": dict(metadata, n_bits=self.n_bits, rows=self.rows),
        }
        with atomic_output(self.path, "w") as stream:
            json.dump(manifest, stream, indent=2)
            stream.write("\n")
        self._committed = True

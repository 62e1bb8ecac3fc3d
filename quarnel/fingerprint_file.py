"""The fingerprint file on disk, and everything beside it.

A fingerprint file (``NAME.qfp``, the format every `_quarnel` function
reads) is an 8-byte header, the row count and the bit length as
little-endian uint32, then the rows, ceil(bits / 64) little-endian uint64
words each.  Two optional sidecars sit beside it: ``NAME.qfp.names``, one
molecule name per row, and ``NAME.qfp.json``, how the fingerprints were
made.  This module is the one place that knows the layout: everything that
opens, windows or writes a file goes through it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import json
import os
import struct
from collections.abc import Sequence
from pathlib import Path
from typing import Iterable, List, Optional

import numpy as np

from .atomic import atomic_output, naming
from .checks import MAX_ROWS, check_window_rows
from .errors import QuarnelError
from .file_kinds import FINGERPRINT_SUFFIX, is_fps_file, misread_database_name, molecule_file_kind, not_a_database
from .settings import FingerprintSpec
from .text_content import SAMPLE_BYTES, text_instead_of_fingerprints

HEADER = struct.Struct("<II")
DEFAULT_WINDOW_ROWS = 1 << 20


def words_per_row(n_bits: int) -> int:
    return (n_bits + 63) // 64


def row_bytes(n_bits: int) -> int:
    return 8 * words_per_row(n_bits)


def file_bytes(rows: int, n_bits: int) -> int:
    return HEADER.size + rows * row_bytes(n_bits)


def names_path(path) -> Path:
    return Path(os.fspath(path) + ".names")


def metadata_path(path) -> Path:
    return Path(os.fspath(path) + ".json")


def read_header(path):
    """(rows, bits) of a fingerprint file whose size is exactly what its
    header announces: a longer file is as wrong as a shorter one (another
    format, or a header that lies), and searching it would silently leave
    rows out."""
    path = Path(os.fspath(path))
    with open(path, "rb") as stream:
        sample = stream.read(SAMPLE_BYTES)
        size = os.fstat(stream.fileno()).st_size
    problem = _header_problem(path, sample[:HEADER.size], size)
    if problem is not None:
        # Text read as a header announces absurd sizes: say what it is instead.
        raise QuarnelError(text_instead_of_fingerprints(path, sample, whole=len(sample) == size) or problem)
    return HEADER.unpack(sample[:HEADER.size])


def _header_problem(path: Path, head: bytes, size: int) -> Optional[str]:
    if len(head) < HEADER.size:
        return f"{path}: not a fingerprint database (shorter than the 8-byte header)"
    rows, n_bits = HEADER.unpack(head)
    needed = file_bytes(rows, n_bits)
    if size != needed:
        problem = "truncated fingerprint file" if size < needed and path.suffix == FINGERPRINT_SUFFIX \
            else "not a fingerprint database"
        return (f"{path}: {problem}: its header announces {rows} rows of {n_bits} bits "
                f"({needed} bytes) but the file has {size} bytes")
    if rows and n_bits == 0:
        return f"{path}: not a fingerprint database: {rows} rows of 0 bits"
    return None


# ---------------------------------------------------------------------------
# Names


def clean_name(name) -> str:
    """A name as stored and printed: tabs, newlines and carriage returns
    become spaces, so that a name is always one field of one line."""
    return str(name).replace("\t", " ").replace("\r", " ").replace("\n", " ")


class RowNames(Sequence):
    """The names of a set's rows: from a list, or the row numbers themselves
    where there is none."""

    def __init__(self, names: Optional[List[str]], rows: int):
        self._names = names
        self._rows = rows

    def __len__(self):
        return self._rows

    def __getitem__(self, row):
        if isinstance(row, slice):
            return [self._name(r) for r in range(*row.indices(self._rows))]
        if isinstance(row, np.ndarray) or (isinstance(row, (list, tuple)) and not isinstance(row, str)):
            rows = np.asarray(row)
            if rows.dtype == bool:
                rows = np.flatnonzero(rows)
            return [self[r] for r in rows.tolist()]
        try:
            row = int(row.__index__())
        except (AttributeError, TypeError):
            raise TypeError(f"row numbers must be integers, not {type(row).__name__}") from None
        if row < 0:
            row += self._rows
        if not 0 <= row < self._rows:
            raise IndexError(f"row {row} out of range for {self._rows} rows")
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
    with open(sidecar, encoding="utf-8", errors="replace", newline="\n") as stream:
        names = stream.read().split("\n")
    if names and names[-1] == "":
        names.pop()
    if len(names) != rows:
        raise QuarnelError(f"{sidecar}: {len(names)} names for {rows} rows")
    return RowNames(names, rows)


def write_names(path, names: Iterable) -> None:
    with atomic_output(names_path(path), "w") as stream:
        stream.writelines(clean_name(name) + "\n" for name in names)


# ---------------------------------------------------------------------------
# Metadata


def read_metadata(path) -> dict:
    """The metadata sidecar, checked for the shape the package relies on."""
    sidecar = metadata_path(path)
    if not sidecar.exists():
        return {}
    try:
        with open(sidecar, encoding="utf-8") as stream:
            metadata = json.load(stream)
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise QuarnelError(f"{sidecar}: not valid JSON ({error})") from None
    if not isinstance(metadata, dict):
        raise QuarnelError(f"{sidecar}: the metadata must be a JSON object, not {type(metadata).__name__}")
    return metadata


def settings_of(metadata: dict, where) -> Optional[FingerprintSpec]:
    settings = metadata.get("fingerprint")
    return None if settings is None else FingerprintSpec.from_metadata(settings, str(where))


def check_metadata(metadata, where) -> None:
    """Metadata that a database can be opened with again: a dict, JSON
    through and through, whose fingerprint settings are valid.  Checked
    before anything is written."""
    if not isinstance(metadata, dict):
        raise QuarnelError(f"metadata must be a dict, not {type(metadata).__name__}")
    try:
        json.dumps(metadata)
    except (TypeError, ValueError) as error:
        raise QuarnelError(f"the metadata cannot be written as JSON: {error}") from None
    settings_of(metadata, where)


def write_metadata(path, metadata: dict) -> None:
    with atomic_output(metadata_path(path), "w") as stream:
        json.dump(metadata, stream, indent=2)
        stream.write("\n")


def creation_time() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


# ---------------------------------------------------------------------------
# Windows


@dataclasses.dataclass(frozen=True)
class Window:
    """Rows `offset` .. `offset + limit - 1` of the fingerprint file `path`,
    whose row 0 has the global number `first_row`.  The engine numbers its
    top-k rows from the start of the file, so a global row is the engine's
    index plus `first_row`."""

    path: Optional[Path]
    offset: int
    limit: int
    first_row: int
    file_rows: int
    n_bits: int
    # Rows held in memory instead of a file: a (file_rows, words) uint64 array.
    array: Optional[np.ndarray] = dataclasses.field(default=None, compare=False, repr=False)
    # The file as an open database keeps it (`quarnel.open_files`).
    prepared: object = dataclasses.field(default=None, compare=False, repr=False)

    def source(self):
        """What the extension reads the rows from: the open database's
        prepared rows, the file's path, or the (rows, n_bits) pair of an
        array."""
        if self.prepared is not None:
            return self.prepared
        return (self.array, self.n_bits) if self.array is not None else self.path

    def words(self) -> np.ndarray:
        """The window's rows as a read-only (limit, words) uint64 array."""
        if self.array is not None:
            return self.array[self.offset:self.offset + self.limit]
        return FingerprintFile(self.path).words()[self.offset:self.offset + self.limit]


def file_windows(path, rows: int, n_bits: int, first_row: int = 0,
                 window_rows: Optional[int] = None) -> List[Window]:
    size = check_window_rows(window_rows) or DEFAULT_WINDOW_ROWS
    return [Window(Path(path), start, min(size, rows - start), first_row, rows, n_bits)
            for start in range(0, rows, size)]


def array_windows(array: np.ndarray, n_bits: int, window_rows: Optional[int] = None) -> List[Window]:
    size = check_window_rows(window_rows) or DEFAULT_WINDOW_ROWS
    rows = len(array)
    return [Window(None, start, min(size, rows - start), 0, rows, n_bits, array) for start in range(0, rows, size)]


# ---------------------------------------------------------------------------
# An opened file


class FingerprintFile:
    """A fingerprint file with its sidecars.  Opening it reads the header
    (checked against the file's size) and the metadata; the names are read
    when first asked for; no file stays open."""

    def __init__(self, path):
        self.path = Path(os.fspath(path))
        if self.path.is_dir():
            raise QuarnelError(f"{self.path}: a folder, not a fingerprint database; open a sharded database "
                               "through its manifest (NAME.qfpset), or its shards with "
                               "quarnel.ShardedDatabase.from_files")
        if molecule_file_kind(self.path) is not None or is_fps_file(self.path):
            raise QuarnelError(not_a_database(self.path))
        self.rows, self.n_bits = read_header(self.path)
        self.metadata = read_metadata(self.path)
        self.fingerprint_spec = settings_of(self.metadata, metadata_path(self.path))
        self._names: Optional[RowNames] = None

    def __len__(self) -> int:
        return self.rows

    @property
    def names(self) -> RowNames:
        if self._names is None:
            self._names = read_names(self.path, self.rows)
        return self._names

    def windows(self, window_rows: Optional[int] = None) -> List[Window]:
        """The windows covering the rows in order."""
        return file_windows(self.path, self.rows, self.n_bits, 0, window_rows)

    def words(self) -> np.ndarray:
        """The rows as a read-only (rows, words) uint64 array, mapped."""
        width = words_per_row(self.n_bits)
        if self.rows == 0:
            return np.zeros((0, width), np.uint64)
        return np.memmap(self.path, dtype="<u8", mode="r", offset=HEADER.size, shape=(self.rows, width))


def mean_bits_set(files) -> float:
    """The mean number of bits set per row over fingerprint files, counting
    only the bits within the bit length, as the engine does."""
    total = rows = 0
    table = np.array([bin(b).count("1") for b in range(256)], dtype=np.uint64)
    for opened in files:
        if opened.rows == 0:
            continue
        words = opened.words()
        tail = opened.n_bits % 64
        step = max(1, (1 << 22) // words.shape[1])
        for start in range(0, opened.rows, step):
            block = np.array(words[start:start + step])
            if tail:
                block[:, -1] &= np.uint64((1 << tail) - 1)
            total += int(table[block.view(np.uint8)].sum())
        rows += opened.rows
    return total / rows if rows else 0.0


# ---------------------------------------------------------------------------
# Writing


class DatabaseWriter:
    """Writes a database row batch by row batch: the fingerprint file with a
    provisional header whose count is filled in at the end, and the names.
    Nothing appears under the final names until `commit`, and then the
    fingerprint file last."""

    def __init__(self, path, n_bits: int):
        self.path = Path(os.fspath(path))
        if (misread := misread_database_name(self.path)) is not None:
            raise QuarnelError(misread)
        self.n_bits = n_bits
        self.rows = 0
        self._row_bytes = row_bytes(n_bits)
        self._committed = False
        self._stack = contextlib.ExitStack()
        try:
            self._words = self._stack.enter_context(atomic_output(self.path, "wb"))
            self._names = self._stack.enter_context(atomic_output(names_path(self.path), "wb"))
        except BaseException:
            self._stack.close()
            raise
        self._words.write(HEADER.pack(0, n_bits))

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        if failure[0] is None and not self._committed:
            failure = (QuarnelError, QuarnelError("database left unfinished"), None)
        return self._stack.__exit__(*failure)

    def append(self, words: bytes, names: Iterable[str]) -> None:
        names = list(names)
        self.append_encoded(words, "".join(clean_name(name) + "\n" for name in names).encode("utf-8"), len(names))

    def append_encoded(self, words, names: bytes, rows: int) -> None:
        """Appends `rows` rows whose names are already one line each (clean,
        each ending in a newline): bulk readers skip the per-name work."""
        size = memoryview(words).nbytes
        if size != rows * self._row_bytes:
            raise QuarnelError(f"{size} bytes of rows for {rows} names")
        if self.rows + rows > MAX_ROWS:
            raise QuarnelError(f"a fingerprint file holds at most {MAX_ROWS} rows")
        self._write(self._words, words, self.path)
        self._write(self._names, names, names_path(self.path))
        self.rows += rows

    @staticmethod
    def _write(stream, data, path) -> None:
        try:
            stream.write(data)
        except OSError as error:
            raise naming(error, path) from None

    def commit(self, metadata: dict) -> None:
        """Completes the files; `metadata` is written as the JSON sidecar,
        with the row and bit counts added."""
        self._words.seek(0)
        self._write(self._words, HEADER.pack(self.rows, self.n_bits), self.path)
        self._words.seek(0, os.SEEK_END)
        # Everything that needs space is on disk before the first file takes
        # its name: a full disk fails here, with nothing in place, rather
        # than after the metadata has replaced the sidecar of the database
        # this one was to replace.
        for stream, path in ((self._words, self.path), (self._names, names_path(self.path))):
            try:
                stream.flush()
                os.fsync(stream.fileno())
            except OSError as error:
                raise naming(error, path) from None
        write_metadata(self.path, dict(metadata, n_bits=self.n_bits, rows=self.rows))
        # Closing in reverse order renames the names, then the fingerprints.
        self._stack.close()
        self._committed = True


def write_rows(path, words: np.ndarray, n_bits: int) -> None:
    """A fingerprint file of the (rows, words) uint64 array `words`."""
    with atomic_output(path, "wb") as stream:
        stream.write(HEADER.pack(len(words), n_bits))
        stream.write(np.ascontiguousarray(words, dtype="<u8").tobytes())

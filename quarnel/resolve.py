"""Fingerprints in every form, resolved in one place.

Every function of the package that takes fingerprints takes them through
`resolved`, which turns any accepted form into rows the engine reads in
place (a fingerprint file it maps, or a uint64 array in memory) with their
names, and where known how they were made:

- a fingerprint database: a `Database` or `ShardedDatabase`, the path of a
  ``.qfp`` file (or of a bare fingerprint file of any other name) or of a
  ``.qfpset`` manifest;
- molecules: a SMILES or SDF file or a CSV or TSV table (``.smi``,
  ``.smiles``, ``.sdf``, ``.sd``, ``.csv``, ``.tsv``, gzip-compressed too),
  a SMILES string, or a sequence of SMILES strings or RDKit ``Mol``
  objects, fingerprinted as the other side's metadata says (or with the
  settings given);
- RDKit ``ExplicitBitVect`` objects: one, or a list, tuple or generator of
  them;
- an FPS file (``.fps``, ``.fps.gz``), read with its ids as names, as
  queries and as a database alike;
- a NumPy array of rows (uint64), packed bytes (uint8) or bits (bool, or
  uint8 of 0s and 1s), or one wrapped as `BitArray` or `PackedBits` (the
  rules are `quarnel.arrays`'); rows are named by number.

Molecules that RDKit cannot parse (or ``None`` in a list of molecules) give
no row; each row keeps the position of its input record, and the skipped
ones are listed, so that results never drift from their inputs.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import tempfile
from pathlib import Path
from typing import List, Optional, Sequence

import numpy as np

from . import scoring
from .arrays import as_rows, is_array, zero_one_bits
from .errors import QuarnelError
from .file_kinds import FINGERPRINT_SUFFIX, KNOWN_SUFFIXES, SHARD_SET_SUFFIX, is_fps_file, molecule_file_kind
from .fingerprint_file import HEADER, FingerprintFile, RowNames, Window, array_windows, write_rows
from .fps import read_fps
from .fps_types import read_type
from .molecules import fingerprint_molecules
from .settings import FingerprintSpec
from .shards import ShardSet
from .tables import Column

# The origins of fingerprints given in memory, which say nothing of how
# they were made.
IN_MEMORY_VECTORS = "the given fingerprints"
IN_MEMORY_ARRAY = "the given array"
ACCEPTED = ("a fingerprint database (a .qfp or .qfpset path, or a Database), an FPS file, a SMILES or SDF file, "
            "a SMILES string, an RDKit ExplicitBitVect or Mol, a sequence of them, or a NumPy array")


@dataclasses.dataclass(frozen=True)
class Skipped:
    """An input record that gave no fingerprint: its position among the
    input's records (from 0) and where it was ("line 4", "item 2")."""

    position: int
    where: str


@dataclasses.dataclass
class Fingerprints:
    """Resolved fingerprints: rows of one bit length in files, in order.

    `positions` gives each row's position among the input's records where
    some records were skipped (None: row i is record i)."""

    source: object  # a FingerprintFile or ShardSet
    origin: str
    settings: Optional[FingerprintSpec]
    skipped: List[Skipped]
    positions: Optional[np.ndarray]
    _scratch: "Scratch"

    @property
    def rows(self) -> int:
        return self.source.rows

    @property
    def n_bits(self) -> int:
        return self.source.n_bits

    @property
    def names(self) -> Sequence[str]:
        return self.source.names

    def __len__(self) -> int:
        return self.rows

    @property
    def record_positions(self) -> np.ndarray:
        return np.arange(self.rows, dtype=np.int64) if self.positions is None else self.positions

    @property
    def records(self) -> int:
        """Input records, the skipped ones included."""
        return self.rows + len(self.skipped)

    def at_records(self, rows: np.ndarray) -> np.ndarray:
        """Row numbers as the positions of their input records."""
        return rows if self.positions is None else self.positions[rows]

    @property
    def record_names(self) -> Sequence[str]:
        """The names by input record ("" for a skipped one, which no row
        refers to)."""
        if self.positions is None:
            return self.names
        names = [""] * self.records
        for position, name in zip(self.positions.tolist(), self.names):
            names[position] = name
        return names

    def windows(self, window_rows: Optional[int] = None) -> List[Window]:
        return self.source.windows(window_rows)

    @property
    def array(self) -> Optional[np.ndarray]:
        """The rows, where they are held in memory as a uint64 array."""
        return getattr(self.source, "array", None)

    def whole(self):
        """All the rows as the extension reads them: an array in place, or
        one fingerprint file."""
        return (self.array, self.n_bits) if self.array is not None else self.single_file()

    def single_file(self) -> Path:
        """One fingerprint file holding all the rows in order: the source's
        own, or (for an array or several shards) a copy made once."""
        if self.array is not None:
            path = self._scratch.path("array")
            write_rows(path, self.array, self.n_bits)
            return path
        windows = self.windows(None)
        if not windows:
            path = self._scratch.path("empty")
            write_rows(path, np.zeros((0, 0), np.uint64), self.n_bits)
            return path
        first = windows[0]
        if all(w.path == first.path for w in windows) and first.offset == 0 \
                and sum(w.limit for w in windows) == first.file_rows:
            return first.path
        path = self._scratch.path("joined")
        with open(path, "wb") as joined:
            joined.write(HEADER.pack(self.rows, self.n_bits))
            for window in windows:
                words = FingerprintFile(window.path).words()
                for start in range(window.offset, window.offset + window.limit, 1 << 16):
                    stop = min(start + (1 << 16), window.offset + window.limit)
                    joined.write(np.ascontiguousarray(words[start:stop]).tobytes())
        return path

    def batches(self, batch_rows: int):
        """The rows in consecutive batches of at most `batch_rows`, each as
        the extension reads it: the whole set when one batch holds them
        all, else slices of the rows (mapped, not copied)."""
        whole = self.whole()
        if self.rows <= batch_rows:
            yield whole
            return
        words = self.array if self.array is not None else FingerprintFile(whole).words()
        for start in range(0, self.rows, batch_rows):
            yield words[start:start + batch_rows], self.n_bits


class Scratch:
    """A temporary folder, made on first use and removed at the end."""

    def __init__(self):
        self._folder: Optional[tempfile.TemporaryDirectory] = None
        self._count = 0

    def path(self, stem: str) -> Path:
        if self._folder is None:
            self._folder = tempfile.TemporaryDirectory(prefix="quarnel-")
        self._count += 1
        return Path(self._folder.name) / f"{stem}-{self._count}{FINGERPRINT_SUFFIX}"

    def close(self) -> None:
        if self._folder is not None:
            self._folder.cleanup()


def is_stored(value) -> bool:
    return isinstance(value, (FingerprintFile, ShardSet))


def open_stored(path):
    """A fingerprint database by its path: a manifest (``.qfpset``) or one
    file, whose size must be exactly what its header announces."""
    path = Path(os.fspath(path))
    if path.suffix == SHARD_SET_SUFFIX:
        return ShardSet(path)
    return FingerprintFile(path)


def _looks_like_path(text: str) -> bool:
    return os.path.exists(text) or text.lower().endswith(KNOWN_SUFFIXES) or text.endswith(os.sep)


@contextlib.contextmanager
def resolved(fingerprints, *, like: Optional[Fingerprints] = None, settings: Optional[FingerprintSpec] = None,
             name_field: Optional[str] = None, database: bool = False, progress: bool = False,
             n_workers: Optional[int] = None, smiles_column: Column = None, name_column: Column = None):
    """Yields `Fingerprints` for any accepted form; temporary files are
    removed at the end.

    Molecules are fingerprinted with `settings`, else as `like` (the other
    side, normally the database) was made, else with the default settings.
    With `database`, a path must name a fingerprint database: a molecule
    file there is refused rather than fingerprinted.  `name_field` (SD
    files), `smiles_column` and `name_column` (tables) say where a
    molecule file's SMILES and names are."""
    scratch = Scratch()
    columns = dict(name_field=name_field, smiles_column=smiles_column, name_column=name_column)
    try:
        yield _resolve(fingerprints, scratch, like=like, settings=settings, columns=columns,
                       database=database, progress=progress, n_workers=n_workers)
    finally:
        scratch.close()


def _resolve(value, scratch, *, like, settings, columns, database, progress, n_workers) -> Fingerprints:
    if isinstance(value, Fingerprints):
        return value
    if is_stored(value):
        if hasattr(value, "reopen_if_replaced"):
            value.reopen_if_replaced()
        return Fingerprints(value, str(value.path), value.fingerprint_spec, [], None, scratch)
    if is_array(value):
        rows = _ArrayRows(*as_rows(value), zero_one=zero_one_bits(value))
        return Fingerprints(rows, IN_MEMORY_ARRAY, None, [], None, scratch)
    if isinstance(value, str) and not _looks_like_path(value):
        if database:
            raise QuarnelError(f"{value!r}: no such fingerprint database")
        if not value.strip():
            # RDKit reads it as a molecule of no atoms, which scores 0.0
            # against everything.
            raise QuarnelError("an empty SMILES is no molecule; give a SMILES, a molecule file or fingerprints")
        return _from_molecules([value], scratch, _molecule_settings(settings, like), "the SMILES", True)
    if isinstance(value, (str, bytes, os.PathLike)):
        path = Path(os.fsdecode(os.fspath(value)))
        if is_fps_file(path):
            report = read_fps(path, scratch.path("fps"), progress=progress)
            return Fingerprints(FingerprintFile(report.path), str(path), report.settings, [], None, scratch)
        if molecule_file_kind(path) is not None and not database:
            return _from_molecule_file(path, scratch, _molecule_settings(settings, like), columns, progress,
                                       n_workers)
        stored = open_stored(path)
        return Fingerprints(stored, str(path), stored.fingerprint_spec, [], None, scratch)
    items = _items(value)
    kind = _item_kind(items)
    if kind == "vector":
        return Fingerprints(_ArrayRows(*scoring.vector_rows(items)), IN_MEMORY_VECTORS, None, [], None, scratch)
    if kind in ("smiles", "molecule"):
        return _from_molecules(items, scratch, _molecule_settings(settings, like), "the given molecules",
                               kind == "smiles")
    raise TypeError(f"cannot use {_describe(value)} as fingerprints; expected {ACCEPTED}")


def _describe(value) -> str:
    if isinstance(value, np.ndarray):
        return f"a NumPy array of {value.dtype}"
    return f"{type(value).__name__} object {value!r:.40}"


def _items(value) -> list:
    from rdkit import Chem, DataStructs

    if isinstance(value, (DataStructs.ExplicitBitVect, Chem.Mol)):
        return [value]
    if isinstance(value, (dict, set, frozenset)) or not hasattr(value, "__iter__"):
        raise TypeError(f"cannot use {_describe(value)} as fingerprints; expected {ACCEPTED}")
    return list(value)


def _item_kind(items: list) -> str:
    """"vector", "smiles" or "molecule" from the items' types; all of one
    kind (None counts as a molecule RDKit could not read)."""
    from rdkit import Chem, DataStructs

    kinds = {DataStructs.ExplicitBitVect: "vector", str: "smiles", Chem.Mol: "molecule"}
    found = None
    for position, item in enumerate(items):
        if item is None:
            kind = "missing"
        else:
            kind = next((name for cls, name in kinds.items() if isinstance(item, cls)), None)
            if kind is None:
                raise TypeError(f"item {position} is {_describe(item)}; expected ExplicitBitVect, Mol or SMILES "
                                "items (all of one kind)")
        if kind == "missing":
            continue
        if found is not None and kind != found:
            raise TypeError(f"item {position} is {_describe(item)} among {found} items; give items of one kind")
        found = kind
    if found is None:
        return "vector" if not any(item is None for item in items) else "molecule"
    if found == "vector" and any(item is None for item in items):
        raise TypeError(f"item {items.index(None)} is None among ExplicitBitVect items")
    return found


def _molecule_settings(settings, like) -> FingerprintSpec:
    if settings is not None:
        return settings
    if like is None:
        return FingerprintSpec()
    if like.settings is not None:
        return like.settings
    unknown = "so it is not known how to fingerprint the molecules given; give them as fingerprints"
    if like.origin in (IN_MEMORY_VECTORS, IN_MEMORY_ARRAY):
        raise QuarnelError(f"{like.origin}: fingerprints in memory do not say how they were made, {unknown} too")
    metadata = getattr(like.source, "metadata", None) or {}
    read_from = metadata.get("fps")
    if is_fps_file(like.origin) or isinstance(read_from, dict):
        problem = read_type(read_from.get("type") if isinstance(read_from, dict) else None, like.n_bits).problem
        made = "" if is_fps_file(like.origin) else " made from an FPS file:"
        raise QuarnelError(f"{like.origin}:{made} {problem}, {unknown}")
    if metadata:
        raise QuarnelError(f"{like.origin}: its metadata does not say how its fingerprints were made (no "
                           f"\"fingerprint\" settings), {unknown} (a .qfp file)")
    if isinstance(like.source, ShardSet):
        raise QuarnelError(f"{like.origin}: no metadata says how its shards were made (neither a manifest's "
                           f"\"metadata\" nor a shard's NAME.qfp.json), {unknown} (a .qfp file)")
    raise QuarnelError(f"{like.origin} has no metadata sidecar ({like.origin}.json), {unknown} (a .qfp file)")


def _from_molecule_file(path, scratch, settings, columns, progress, n_workers) -> Fingerprints:
    target = scratch.path("molecules")
    report = fingerprint_molecules(path, target, settings=settings, progress=progress, n_workers=n_workers,
                                   **columns)
    skipped = [Skipped(position, f"{report.unit} {number}")
               for position, number in zip(report.skipped_positions, report.skipped)]
    positions = report.row_positions() if skipped else None
    return Fingerprints(FingerprintFile(target), str(path), settings, skipped, positions, scratch)


def _from_molecules(items, scratch, settings, origin, smiles: bool) -> Fingerprints:
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")  # the skipped items are reported by position instead
    fingerprint = settings.fingerprinter()
    vectors, names, skipped, positions = [], [], [], []
    for position, item in enumerate(items):
        molecule = item
        if smiles and item is not None:
            # An empty SMILES would be a molecule of no atoms.
            molecule = Chem.MolFromSmiles(item) if item.strip() else None
        if molecule is None:
            skipped.append(Skipped(position, f"item {position}"))
            continue
        vectors.append(fingerprint(molecule))
        positions.append(position)
        names.append(item if smiles else (molecule.GetProp("_Name") if molecule.HasProp("_Name") else str(position)))
    if smiles and len(items) == 1 and skipped:
        raise QuarnelError(f"{items[0]!r} is neither a file nor a SMILES that RDKit can parse")
    stored = _ArrayRows(*scoring.vector_rows(vectors), names=names)
    return Fingerprints(stored, origin, settings, skipped,
                        np.asarray(positions, np.int64) if skipped else None, scratch)


class _ArrayRows:
    """Rows held in a uint64 array, read in place by the extension."""

    def __init__(self, array: np.ndarray, n_bits: int, zero_one: bool = False,
                 names: Optional[List[str]] = None):
        self.array = array
        # Given as uint8 0s and 1s, which packed bytes could have been too.
        self.zero_one = zero_one
        self.path = None
        self.rows = len(array)
        self.n_bits = n_bits
        self.names = RowNames(names, self.rows)
        self.fingerprint_spec = None

    def windows(self, window_rows=None) -> List[Window]:
        return array_windows(self.array, self.n_bits, window_rows)


def check_comparable(queries: Fingerprints, database: Fingerprints, *, allow_mismatch: bool = False,
                     role: str = "queries", can_allow: bool = True) -> None:
    """Two sets can be compared: the same bit length (unless one is empty),
    and made the same way where both say how (unless asked otherwise).

    `role` names what the first set is to the caller ("queries",
    "references"); `can_allow` False where the caller offers no way to
    allow a mismatch of settings, so that the message offers none."""
    if queries.rows and database.rows and queries.n_bits != database.n_bits:
        raise QuarnelError(f"the {role} ({queries.origin}) have {queries.n_bits} bits and {database.origin} has "
                           f"{database.n_bits}: fingerprints of different lengths cannot be compared"
                           f"{_packed_hint(queries, database)}")
    if allow_mismatch or queries.settings is None or database.settings is None or queries.settings == database.settings:
        return
    allow = " (allow it with --allow-mismatch, or allow_mismatch=True)" if can_allow else ""
    raise QuarnelError(f"the {role} ({queries.origin}) were fingerprinted as {queries.settings.describe()} but "
                       f"{database.origin} as {database.settings.describe()}; their scores would mean nothing{allow}")


def _packed_hint(queries: Fingerprints, database: Fingerprints) -> str:
    """Where one side is a uint8 array of 0s and 1s read as bits, and read
    as packed bytes it would have the other's length: how to say so."""
    for side, other in ((queries, database), (database, queries)):
        if getattr(side.source, "zero_one", False) and 8 * side.n_bits == other.n_bits:
            return (f"; {side.origin} holds only 0s and 1s, read as one bit each ({side.n_bits} bits): "
                    f"quarnel.PackedBits(array) reads its {side.n_bits} columns as packed bytes "
                    f"({other.n_bits} bits)")
    return ""


def skipped_summary(skipped: List[Skipped], one: str = "query", many: str = "queries") -> str:
    """"skipped 2 queries RDKit could not parse: line 3, line 9", with only
    the first few listed."""
    listed = ", ".join(s.where for s in skipped[:5]) + (", ..." if len(skipped) > 5 else "")
    return f"skipped {len(skipped)} {one if len(skipped) == 1 else many} RDKit could not parse: {listed}"


__all__ = ["Fingerprints", "Skipped", "resolved", "check_comparable", "open_stored", "skipped_summary"]

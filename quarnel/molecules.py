"""From molecule files to fingerprint databases.

SMILES and SDF files and CSV or TSV tables (`quarnel.tables`;
gzip-compressed too) are read as a stream of records,
fingerprinted by RDKit's generators in worker processes (RDKit's Python
calls hold the interpreter lock), and written in input order, so memory
stays flat whatever the input size.
"""

from __future__ import annotations

import collections
import dataclasses
import gzip
import itertools
import multiprocessing
import os
import signal
import tempfile
import zlib
from pathlib import Path
from typing import Iterator, List, Optional, Tuple

import _quarnel

from .atomic import naming
from .checks import check_workers
from .errors import QuarnelError
from .file_kinds import MOLECULE_FILES, counts_lines, molecule_file_kind
from .fingerprint_file import DatabaseWriter, creation_time
from .interrupt import check_interrupt
from .progress import progress_bar
from .settings import FINGERPRINT_TYPES, FingerprintSpec
from .shards import ShardSetWriter
from .tables import Column, table_records

TABLE_KINDS = ("csv", "tsv")
# Records per task: large enough that sending a task costs little beside
# fingerprinting it, small enough to keep every worker busy to the end.
CHUNK_RECORDS = 1024


# ---------------------------------------------------------------------------
# Reading molecule files


def _open_binary(path):
    path = os.fspath(path)
    return gzip.open(path, "rb") if os.fsdecode(path).lower().endswith(".gz") else open(path, "rb")


def _position(stream) -> int:
    """Bytes of the file on disk read so far (of the compressed file for
    .gz), for progress."""
    raw = getattr(stream, "fileobj", stream)
    try:
        return raw.tell()
    except (OSError, ValueError):
        return 0


def smiles_line_chunks(stream, size) -> Iterator[Tuple[int, List[bytes]]]:
    """(number of the first line, up to `size` raw lines): the reading
    process only cuts the file, the workers decode and parse it."""
    first = 1
    while True:
        lines = list(itertools.islice(stream, size))
        if not lines:
            return
        for offset, line in enumerate(lines):
            if b"\0" in line:
                raise QuarnelError(f"line {first + offset} holds binary data: not a SMILES file")
        yield first, lines
        first += len(lines)


def smiles_records(first: int, lines: List[bytes]) -> Iterator[Tuple[int, str, str]]:
    """(line number, SMILES, name) for each non-blank line: the SMILES, then
    whatever follows the first run of whitespace as the name."""
    for number, raw in enumerate(lines, start=first):
        fields = raw.decode("utf-8", errors="replace").split(None, 1)
        if fields:
            yield number, fields[0], fields[1].strip() if len(fields) > 1 else ""


def sdf_records(stream) -> Iterator[Tuple[int, str]]:
    """(record number, record text) for each record of an SD file."""
    lines: List[str] = []
    number = 0
    for raw in stream:
        line = raw.decode("utf-8", errors="replace")
        if line.rstrip("\r\n") == "$$$$":
            number += 1
            yield number, "".join(lines) + "$$$$\n"
            lines = []
        else:
            lines.append(line)
    if any(line.strip() for line in lines):
        yield number + 1, "".join(lines) + "$$$$\n"


def _chunks(records, size):
    chunk = []
    for record in records:
        chunk.append(record)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


# ---------------------------------------------------------------------------
# Fingerprinting, in worker processes or in this one


@dataclasses.dataclass
class _Batch:
    """What one chunk of records gave: the rows' words and names, the
    records that could not be parsed as (position in the chunk, line or
    record number), how many records it held and how many of its molecules
    had the name field asked for."""

    words: bytes
    names: List[str]
    skipped: List[Tuple[int, int]]
    records: int
    named: int


class _Fingerprinter:
    """One per process: the generator and the SDF reader's settings."""

    def __init__(self, settings: FingerprintSpec, kind: str, name_field: Optional[str], scratch: Path):
        from rdkit import RDLogger

        RDLogger.DisableLog("rdApp.*")  # the skipped records are reported by number instead
        self.fingerprint = settings.fingerprinter()
        self.n_bits = settings.n_bits
        self.kind = kind
        self.name_field = name_field
        # The extension turns vectors into file rows far faster than any
        # per-vector conversion in Python; its file is this process's own.
        self.scratch = scratch / f"rows-{os.getpid()}.fp"

    def molecules(self, chunk):
        """(record number, molecule or None, name or None) for each record."""
        from rdkit import Chem

        if self.kind == "smiles":
            for number, smiles, name in smiles_records(*chunk):
                yield number, Chem.MolFromSmiles(smiles), name
            return
        if self.kind in TABLE_KINDS:
            # An empty cell would parse as a molecule of no atoms.
            for number, smiles, name in chunk:
                yield number, Chem.MolFromSmiles(smiles) if smiles else None, name
            return
        for number, text in chunk:
            supplier = Chem.SDMolSupplier()
            supplier.SetData(text)
            molecule = supplier[0] if len(supplier) else None
            yield number, molecule, self.sdf_name(molecule)

    def sdf_name(self, molecule) -> Optional[str]:
        if molecule is None:
            return None
        field = self.name_field or "_Name"
        return molecule.GetProp(field) if molecule.HasProp(field) else None

    def batch(self, chunk) -> _Batch:
        fingerprints, names, skipped = [], [], []
        records = named = 0
        for position, (number, molecule, name) in enumerate(self.molecules(chunk)):
            records += 1
            if molecule is None:
                skipped.append((position, number))
                continue
            fingerprints.append(self.fingerprint(molecule))
            named += name is not None
            names.append(name or "")
        return _Batch(self.rows_bytes(fingerprints), names, skipped, records, named)

    def rows_bytes(self, fingerprints) -> bytes:
        if not fingerprints:
            return b""
        try:
            _quarnel._checked.save_fingerprints(fingerprints, self.scratch)
        except OSError as error:
            # The temporary file's own disk, not the output's, is full.
            raise naming(error, self.scratch) from None
        with open(self.scratch, "rb") as rows:
            rows.seek(8)  # the header
            return rows.read()


_worker: Optional[_Fingerprinter] = None


def _start_worker(settings, kind, name_field, scratch):
    global _worker
    # Ctrl-C is the parent's to handle: it stops the pool and removes the
    # unfinished output.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _worker = _Fingerprinter(settings, kind, name_field, scratch)


def _work(chunk) -> _Batch:
    return _worker.batch(chunk)


def _default_workers() -> int:
    return len(os.sched_getaffinity(0))


def _batches(chunks, settings, kind, name_field, n_workers, scratch) -> Iterator[Tuple[_Batch, int]]:
    """(batch, bytes of the input read) in input order.  At most a few
    chunks per worker are in flight, so a huge input is never read ahead
    into memory."""
    if n_workers <= 1:
        local = _Fingerprinter(settings, kind, name_field, scratch)
        for chunk, position in chunks:
            yield local.batch(chunk), position
        return
    context = multiprocessing.get_context("fork")
    initargs = (settings, kind, name_field, scratch)
    with context.Pool(n_workers, initializer=_start_worker, initargs=initargs) as pool:
        pending = collections.deque()
        for chunk, position in chunks:
            pending.append((pool.apply_async(_work, (chunk,)), position))
            if len(pending) >= 4 * n_workers:
                done, at = pending.popleft()
                yield done.get(), at
        while pending:
            done, at = pending.popleft()
            yield done.get(), at


def _check_options(shown, kind, name_field, smiles_column, name_column) -> None:
    """Options of one kind of molecule file, given for another, are an
    error rather than ignored."""
    if name_field is not None and kind != "sdf":
        raise QuarnelError(f"{shown}: a name field applies to SDF input only")
    if (smiles_column is not None or name_column is not None) and kind not in TABLE_KINDS:
        raise QuarnelError(f"{shown}: SMILES and name columns apply to CSV and TSV tables only")


def _record_chunks(stream, kind, smiles_column, name_column):
    if kind == "smiles":
        return smiles_line_chunks(stream, CHUNK_RECORDS)
    if kind in TABLE_KINDS:
        return _chunks(table_records(stream, kind, smiles_column, name_column), CHUNK_RECORDS)
    return _chunks(sdf_records(stream), CHUNK_RECORDS)


def fingerprint_batches(source, settings: FingerprintSpec, *, name_field=None, n_workers=None, kind=None,
                        smiles_column: Column = None, name_column: Column = None) -> Iterator[Tuple[_Batch, int]]:
    """Fingerprints the molecules of a SMILES or SDF file or a CSV or TSV
    table, in input order, as (batch of rows, bytes of the file read so
    far)."""
    kind = kind or molecule_file_kind(source)
    shown = os.fsdecode(os.fspath(source))
    if kind is None:
        raise QuarnelError(f"{shown}: not a molecule file (expected {MOLECULE_FILES}, optionally .gz)")
    _check_options(shown, kind, name_field, smiles_column, name_column)
    n_workers = check_workers(n_workers) or _default_workers()
    with _open_binary(source) as stream, tempfile.TemporaryDirectory(prefix="quarnel-") as scratch:
        chunks = _record_chunks(stream, kind, smiles_column, name_column)
        located = ((chunk, _position(stream)) for chunk in chunks)
        try:
            yield from _batches(located, settings, kind, name_field, n_workers, Path(scratch))
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise QuarnelError(f"{shown}: the compressed file is damaged or cut short ({error})") from None
        except QuarnelError as error:
            raise QuarnelError(f"{shown}: {error}") from None


# ---------------------------------------------------------------------------
# Molecule files to databases


@dataclasses.dataclass
class FingerprintReport:
    """What `fingerprint_molecules` did: the database written, its row
    count, the numbers (lines of a SMILES file or table, records of an SD
    file) of
    the molecules RDKit could not parse, which became no row, and their
    positions among the input's records (from 0, blank lines aside)."""

    path: Path
    rows: int
    skipped: List[int]
    kind: str
    records: int = 0
    skipped_positions: List[int] = dataclasses.field(default_factory=list)

    @property
    def unit(self) -> str:
        return "line" if counts_lines(self.kind) else "record"

    def row_positions(self):
        """Each row's position among the input's records."""
        import numpy as np

        return np.delete(np.arange(self.records, dtype=np.int64), self.skipped_positions)


def fingerprint_molecules(source, output, *, fingerprint: str = "morgan", radius: Optional[int] = None,
                          n_bits: Optional[int] = None, features: bool = False, min_path: Optional[int] = None,
                          max_path: Optional[int] = None, name_field: Optional[str] = None,
                          n_workers: Optional[int] = None, progress: bool = False,
                          shard_rows: Optional[int] = None, settings: Optional[FingerprintSpec] = None,
                          smiles_column: Column = None, name_column: Column = None) -> FingerprintReport:
    """Fingerprints every molecule of a SMILES or SDF file or of a CSV or
    TSV table (``.gz`` too) into a database: ``output`` (``.qfp``) with its
    names and metadata sidecars.

    Each row equals what RDKit's generator gives for the molecule with these
    settings (`settings`, or the options of its type: `radius` and
    `features` for Morgan, `min_path` and `max_path` for RDKit paths; an
    option the type does not take is an error).  Molecules RDKit cannot
    parse are skipped and listed in the report and in the metadata; names
    stay aligned with rows.  Input that gives no fingerprint at all is an
    error, and so is a `name_field` that no record has.  The work runs on
    `n_workers` processes (default: every CPU this process may use) and the
    files appear only when all is written.  With `shard_rows`, ``output``
    is a sharded database (``NAME.qfpset``) of shards of that many rows.

    In a table (``.csv``, ``.tsv``) the SMILES are in `smiles_column` and
    the names in `name_column`, each a header name or a position counted
    from 0 as RDKit's ``SmilesMolSupplier`` counts them; by default the
    header's ``smiles`` column (any case, else the first column) and the
    first other column (`quarnel.tables`).

    >>> report = quarnel.fingerprint_molecules("first_5K.smi", "nci.qfp")
    >>> report.rows, len(report.skipped)
    (4993, 6)
    """
    if settings is None:
        settings = FingerprintSpec.from_options(fingerprint, n_bits, radius=radius, features=features,
                                                min_path=min_path, max_path=max_path)
    source = Path(os.fspath(source))
    kind = molecule_file_kind(source)
    total = source.stat().st_size if kind is not None else None
    batches = fingerprint_batches(source, settings, name_field=name_field, n_workers=n_workers, kind=kind,
                                  smiles_column=smiles_column, name_column=name_column)
    skipped: List[int] = []
    positions: List[int] = []
    records = named = 0
    writer = (ShardSetWriter(output, settings.n_bits, shard_rows, {"fingerprint": settings.as_metadata()})
              if shard_rows is not None else DatabaseWriter(output, settings.n_bits))
    with progress_bar(progress, "fingerprint", "B", total=total, unit_scale=True) as bar, writer:
        for batch, read in batches:
            check_interrupt()
            writer.append(batch.words, batch.names)
            skipped.extend(number for _, number in batch.skipped)
            positions.extend(records + position for position, _ in batch.skipped)
            records += batch.records
            named += batch.named
            bar.update(read - bar.n)
        check_interrupt()
        _check_outcome(source, kind, writer.rows, records, skipped, name_field, named)
        metadata = _database_metadata(settings, source, kind, skipped, name_field, creation_time())
        if kind in TABLE_KINDS:
            metadata.update(smiles_column=smiles_column, name_column=name_column)
        writer.commit(metadata)
    return FingerprintReport(Path(os.fspath(output)), writer.rows, skipped, kind, records, positions)


def describe_skipped(count: int, numbers: List[int], unit: str, shown: int = 5) -> str:
    """"3 molecules RDKit could not parse: lines 4, 9, 12", with only the
    first few numbers when there are many."""
    listed = ", ".join(map(str, numbers[:shown])) + (", ..." if count > shown else "")
    plural = "s" if count > 1 else ""
    return f"{count} molecule{plural} RDKit could not parse: {unit}{plural} {listed}"


def _check_outcome(source, kind, rows, records, skipped, name_field, named) -> None:
    """Input that gave nothing is a failure, not an empty success."""
    unit = "line" if counts_lines(kind) else "record"
    if records == 0:
        raise QuarnelError(f"{source}: no molecules in the file")
    if rows == 0:
        raise QuarnelError(f"{source}: no fingerprint written: all {describe_skipped(len(skipped), skipped, unit)}")
    if name_field is not None and named == 0:
        raise QuarnelError(f"{source}: no record has the name field {name_field!r}")


def _database_metadata(settings, source, kind, skipped, name_field, created) -> dict:
    import rdkit

    return {
        "fingerprint": settings.as_metadata(),
        "rdkit_version": rdkit.__version__,
        "source": str(source.resolve()),
        "name_field": name_field,
        "skipped": len(skipped),
        "skipped_lines" if counts_lines(kind) else "skipped_records": skipped,
        "created": created,
    }

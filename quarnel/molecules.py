"""From molecule files to fingerprint databases.

SMILES and SDF files (gzip-compressed too) are read as a stream of records,
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
from pathlib import Path
from typing import Iterator, List, Optional, Tuple

import _quarnel

from .errors import QuarnelError
from .interrupt import check_interrupt
from .progress import progress_bar

FINGERPRINT_TYPES = ("morgan", "rdkit", "atompair", "torsion", "maccs")
MACCS_BITS = 167

SMILES_SUFFIXES = (".smi", ".smiles", ".ism", ".can")
SDF_SUFFIXES = (".sdf", ".sd")

# Records per task: large enough that sending a task costs little beside
# fingerprinting it, small enough to keep every worker busy to the end.
CHUNK_RECORDS = 1024


@dataclasses.dataclass(frozen=True)
class FingerprintSpec:
    """How molecules become fingerprints: the RDKit generator and its
    settings.  Stored in a database's metadata so that queries given as
    molecules are fingerprinted the same way."""

    type: str = "morgan"
    n_bits: int = 2048
    radius: int = 2
    features: bool = False
    min_path: int = 1
    max_path: int = 7

    def __post_init__(self):
        if self.type not in FINGERPRINT_TYPES:
            raise QuarnelError(f"unknown fingerprint type {self.type!r}; "
                               f"choose one of {', '.join(FINGERPRINT_TYPES)}")
        if self.type == "maccs":
            if self.n_bits not in (MACCS_BITS, 2048):
                raise QuarnelError("MACCS keys have 167 bits; --bits cannot change that")
            object.__setattr__(self, "n_bits", MACCS_BITS)
        if not 1 <= self.n_bits <= 2**31:
            raise QuarnelError(f"the bit count must be between 1 and 2^31, not {self.n_bits}")
        if self.radius < 0:
            raise QuarnelError(f"the Morgan radius must be 0 or more, not {self.radius}")
        if not 1 <= self.min_path <= self.max_path:
            raise QuarnelError(f"paths need 1 <= min_path <= max_path, not {self.min_path}..{self.max_path}")

    def as_metadata(self) -> dict:
        """The settings that matter for this type, for the JSON sidecar."""
        settings = {"type": self.type, "n_bits": self.n_bits}
        if self.type == "morgan":
            settings.update(radius=self.radius, features=self.features)
        elif self.type == "rdkit":
            settings.update(min_path=self.min_path, max_path=self.max_path)
        return settings

    @classmethod
    def from_metadata(cls, settings: dict) -> "FingerprintSpec":
        known = {f.name for f in dataclasses.fields(cls)}
        return cls(**{key: value for key, value in settings.items() if key in known})

    def fingerprinter(self):
        """A function from an RDKit molecule to its ExplicitBitVect, with the
        generator built once."""
        from rdkit.Chem import rdFingerprintGenerator as generators
        from rdkit.Chem import rdMolDescriptors

        if self.type == "maccs":
            return rdMolDescriptors.GetMACCSKeysFingerprint
        if self.type == "morgan":
            extra = {}
            if self.features:
                extra["atomInvariantsGenerator"] = generators.GetMorganFeatureAtomInvGen()
            generator = generators.GetMorganGenerator(radius=self.radius, fpSize=self.n_bits, **extra)
        elif self.type == "rdkit":
            generator = generators.GetRDKitFPGenerator(
                minPath=self.min_path, maxPath=self.max_path, fpSize=self.n_bits)
        elif self.type == "atompair":
            generator = generators.GetAtomPairGenerator(fpSize=self.n_bits)
        else:
            generator = generators.GetTopologicalTorsionGenerator(fpSize=self.n_bits)
        return generator.GetFingerprint


# ---------------------------------------------------------------------------
# Reading molecule files


def molecule_file_kind(path) -> Optional[str]:
    """"smiles" or "sdf" from the file name (a trailing .gz aside), or None."""
    name = os.fsdecode(os.fspath(path)).lower()
    if name.endswith(".gz"):
        name = name[:-3]
    if name.endswith(SMILES_SUFFIXES):
        return "smiles"
    if name.endswith(SDF_SUFFIXES):
        return "sdf"
    return None


def _open_binary(path):
    path = os.fspath(path)
    return gzip.open(path, "rb") if os.fsdecode(path).lower().endswith(".gz") else open(path, "rb")


def smiles_line_chunks(stream, size) -> Iterator[Tuple[int, List[bytes]]]:
    """(number of the first line, up to `size` raw lines): the reading
    process only cuts the file, the workers decode and parse it."""
    first = 1
    while True:
        lines = list(itertools.islice(stream, size))
        if not lines:
            return
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
    """What one chunk of records gave: the rows' words, their names, the
    numbers of the records that could not be parsed, and how many records
    it held."""

    words: bytes
    names: List[str]
    skipped: List[int]
    records: int


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
        """(record number, molecule or None, name) for each record."""
        from rdkit import Chem

        if self.kind == "smiles":
            for number, smiles, name in smiles_records(*chunk):
                yield number, Chem.MolFromSmiles(smiles), name
            return
        for number, text in chunk:
            supplier = Chem.SDMolSupplier()
            supplier.SetData(text)
            molecule = supplier[0] if len(supplier) else None
            yield number, molecule, self.sdf_name(molecule)

    def sdf_name(self, molecule) -> str:
        if molecule is None:
            return ""
        field = self.name_field or "_Name"
        return molecule.GetProp(field) if molecule.HasProp(field) else ""

    def batch(self, chunk) -> _Batch:
        fingerprints, names, skipped = [], [], []
        for number, molecule, name in self.molecules(chunk):
            if molecule is None:
                skipped.append(number)
                continue
            fingerprints.append(self.fingerprint(molecule))
            names.append(name)
        records = len(chunk[1]) if self.kind == "smiles" else len(chunk)
        return _Batch(self.rows_bytes(fingerprints), names, skipped, records)

    def rows_bytes(self, fingerprints) -> bytes:
        if not fingerprints:
            return b""
        _quarnel._checked.save_fingerprints(fingerprints, self.scratch)
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


def _batches(chunks, settings, kind, name_field, n_workers, scratch) -> Iterator[_Batch]:
    """The batches in input order.  At most a few chunks per worker are in
    flight, so a huge input is never read ahead into memory."""
    if n_workers <= 1:
        local = _Fingerprinter(settings, kind, name_field, scratch)
        for chunk in chunks:
            yield local.batch(chunk)
        return
    context = multiprocessing.get_context("fork")
    initargs = (settings, kind, name_field, scratch)
    with context.Pool(n_workers, initializer=_start_worker, initargs=initargs) as pool:
        pending = collections.deque()
        for chunk in chunks:
            pending.append(pool.apply_async(_work, (chunk,)))
            if len(pending) >= 4 * n_workers:
                yield pending.popleft().get()
        while pending:
            yield pending.popleft().get()


def fingerprint_batches(source, settings: FingerprintSpec, *, name_field=None, n_workers=None,
                        kind=None) -> Iterator[_Batch]:
    """Fingerprints the molecules of a SMILES or SDF file, in input order,
    as batches of rows."""
    kind = kind or molecule_file_kind(source)
    if kind is None:
        raise QuarnelError(f"{os.fsdecode(source)}: not a molecule file "
                           "(expected .smi, .smiles, .sdf or .sd, optionally .gz)")
    if name_field is not None and kind != "sdf":
        raise QuarnelError("--name-field applies to SDF input only")
    n_workers = _default_workers() if n_workers is None or n_workers <= 0 else n_workers
    with _open_binary(source) as stream, tempfile.TemporaryDirectory(prefix="quarnel-") as scratch:
        chunks = (smiles_line_chunks(stream, CHUNK_RECORDS) if kind == "smiles"
                  else _chunks(sdf_records(stream), CHUNK_RECORDS))
        yield from _batches(chunks, settings, kind, name_field, n_workers, Path(scratch))


# ---------------------------------------------------------------------------
# Molecule files to databases


@dataclasses.dataclass
class FingerprintReport:
    """What `fingerprint_molecules` did: the database written, its row
    count, and the numbers (lines of a SMILES file, records of an SD file)
    of the molecules RDKit could not parse, which became no row."""

    path: Path
    rows: int
    skipped: List[int]
    kind: str


def fingerprint_molecules(source, output, *, fingerprint: str = "morgan", radius: int = 2,
                          n_bits: int = 2048, features: bool = False, min_path: int = 1, max_path: int = 7,
                          name_field: Optional[str] = None, n_workers: Optional[int] = None,
                          progress: bool = False, shard_rows: Optional[int] = None) -> FingerprintReport:
    """Fingerprints every molecule of a SMILES or SDF file (``.gz`` too) into
    a database: ``output`` (``.qfp``) with its names and metadata sidecars.

    Each row equals what RDKit's generator gives for the molecule with these
    settings.  Molecules RDKit cannot parse are skipped; names stay aligned
    with rows.  The work runs on `n_workers` processes (default: every CPU
    this process may use) and the files appear only when all is written.
    With `shard_rows`, ``output`` is a sharded database (``NAME.qfpset``)
    of shards of that many rows (`quarnel.shards`).

    >>> report = quarnel.fingerprint_molecules("first_5K.smi", "nci.qfp")
    >>> report.rows, len(report.skipped)
    (4999, 1)
    """
    from .database import DatabaseWriter, creation_time
    from .shards import ShardSetWriter

    settings = FingerprintSpec(type=fingerprint, n_bits=n_bits, radius=radius, features=features,
                           min_path=min_path, max_path=max_path)
    source = Path(os.fspath(source))
    kind = molecule_file_kind(source)
    batches = fingerprint_batches(source, settings, name_field=name_field, n_workers=n_workers, kind=kind)
    skipped: List[int] = []
    writer = (ShardSetWriter(output, settings.n_bits, shard_rows, {"fingerprint": settings.as_metadata()})
              if shard_rows is not None else DatabaseWriter(output, settings.n_bits))
    with progress_bar(progress, "fingerprint", "mol") as bar, writer:
        for batch in batches:
            check_interrupt()
            writer.append(batch.words, batch.names)
            skipped.extend(batch.skipped)
            bar.update(batch.records)
        check_interrupt()
        writer.commit(_database_metadata(settings, source, skipped, name_field, creation_time()))
    return FingerprintReport(Path(os.fspath(output)), writer.rows, skipped, kind)


def _database_metadata(settings, source, skipped, name_field, created) -> dict:
    import rdkit

    return {
        "fingerprint": settings.as_metadata(),
        "rdkit_version": rdkit.__version__,
        "source": str(source.resolve()),
        "name_field": name_field,
        "skipped": len(skipped),
        "created": created,
    }


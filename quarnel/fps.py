"""FPS files: the text format fingerprint tools exchange, read into
databases and written from them.

An FPS file is header lines starting with ``#`` (``#FPS1`` first, then
``#num_bits=N``, ``#type=...``, ``#software=...`` and any others), then one
line per fingerprint: its bytes in hex, bit 0 the least significant bit of
the first byte (the byte order of our rows' little-endian words), a tab and
its id (the rest of the line, UTF-8 text; a line without a tab has an
empty id).  Without ``#num_bits`` the bit length is 8 times the bytes of
the first fingerprint.  Blank lines and a UTF-8 byte-order mark are
skipped; line numbers in errors count them.

Both directions work on blocks of a few megabytes with NumPy and
`binascii`, never line by line in Python, so that a million rows take
about a second or two.  The ``#type`` written for a database made here
names RDKit's generator and its settings, e.g. ``RDKit-Morgan radius=2
fpSize=2048``; reading such a line back, or one of chemfp's RDKit types,
restores the settings (`quarnel.fps_types`), so molecules given with the
database are fingerprinted the same way.
"""

from __future__ import annotations

import binascii
import contextlib
import dataclasses
import gzip
import os
import zlib
from pathlib import Path
from typing import Optional

import numpy as np

from .arrays import MAX_BITS, row_bytes_view
from .atomic import atomic_output
from .errors import QuarnelError
from .fingerprint_file import DatabaseWriter, FingerprintFile, clean_name, creation_time, row_bytes
from .fps_types import read_type, type_line
from .interrupt import check_interrupt
from .progress import progress_bar
from .settings import FingerprintSpec
from .version import __version__

BLOCK_BYTES = 1 << 22
WRITE_ROWS = 1 << 13
_NEWLINE, _TAB, _CR = 10, 9, 13
_HEX = np.zeros(256, bool)
_HEX[np.frombuffer(b"0123456789abcdefABCDEF", np.uint8)] = True
_BYTE_ORDER_MARK = b"\xef\xbb\xbf"

# ---------------------------------------------------------------------------
# Reading


@dataclasses.dataclass
class FpsReport:
    """What `read_fps` wrote: the database, its rows and bit length, the
    header's fields, and the fingerprint settings where the ``#type`` line
    names settings quarnel reproduces (`quarnel.fps_types`), else why it
    does not."""

    path: Path
    rows: int
    n_bits: int
    header: dict
    settings: Optional[FingerprintSpec]
    type_problem: Optional[str] = None


def _open(path, mode):
    return gzip.open(path, mode) if os.fsdecode(os.fspath(path)).lower().endswith(".gz") else open(path, mode)


def read_fps(source, output, *, progress: bool = False) -> FpsReport:
    """Reads an FPS file (``.fps``, or ``.fps.gz``) into a database:
    ``output`` with its names (the ids) and metadata sidecars, the header's
    fields under ``"fps"``.  Rows keep the input's order.  A malformed line
    is an error naming the file and the line, and nothing is written."""
    source = Path(os.fspath(source))
    try:
        with _open(source, "rb") as stream, \
                progress_bar(progress, "read FPS", "B", total=source.stat().st_size, unit_scale=True) as bar:
            reader = _Reader(source, stream)
            return reader.read(output, bar)
    except (EOFError, zlib.error, gzip.BadGzipFile) as error:
        raise QuarnelError(f"{source}: the compressed file is damaged or cut short ({error})") from None


class _Reader:
    def __init__(self, source: Path, stream):
        self.source = source
        self.stream = stream
        self.header: dict = {}
        self.n_bits: Optional[int] = None
        self.width = 0  # hex digits per fingerprint
        self.first_line = 0  # the line that set the width, where no #num_bits did
        self.line = 0  # lines before the block at hand

    def fail(self, number: int, problem: str):
        raise QuarnelError(f"{self.source}: line {number}: {problem}")

    def read_header(self) -> bytes:
        """Reads the header lines (blank lines among them skipped); returns
        the first fingerprint line."""
        line = self.stream.readline()
        self.line = 1
        if line.startswith(_BYTE_ORDER_MARK):
            line = line[len(_BYTE_ORDER_MARK):]
        if line.rstrip(b"\r\n") != b"#FPS1":
            self.fail(1, "not an FPS file: the first line must be #FPS1")
        while True:
            line = self.stream.readline()
            if line in (b"\n", b"\r\n"):
                self.line += 1
                continue
            if not line.startswith(b"#"):
                return line
            self.line += 1
            text = line.rstrip(b"\r\n").decode("utf-8", errors="replace")[1:]
            key, equals, value = text.partition("=")
            if key == "num_bits":
                self.n_bits = self._bit_count(value)
                self.width = 2 * (-(-self.n_bits // 8))
            else:
                self.header[key] = value if equals else None

    def _bit_count(self, text: str) -> int:
        try:
            n_bits = int(text)
        except ValueError:
            n_bits = 0
        if not 1 <= n_bits <= MAX_BITS:
            self.fail(self.line, f"#num_bits must be a whole number from 1 to {MAX_BITS}, not {text!r}")
        return n_bits

    def read(self, output, bar) -> FpsReport:
        pending = self.read_header()
        writer = None
        with contextlib.ExitStack() as stack:
            while True:
                check_interrupt()
                chunk = self.stream.read(BLOCK_BYTES)
                block = pending + chunk
                if chunk:
                    cut = block.rfind(b"\n") + 1
                    block, pending = block[:cut], block[cut:]
                elif block and not block.endswith(b"\n"):
                    block += b"\n"
                if block:
                    rows, names, count, lines = self.decode(block)
                    if writer is None and count:
                        writer = stack.enter_context(DatabaseWriter(output, self.n_bits))
                    if count:
                        writer.append_encoded(rows, names, count)
                    self.line += lines
                bar.update(_compressed_position(self.stream) - bar.n)
                if not chunk:
                    break
            if writer is None:
                if self.n_bits is None:
                    raise QuarnelError(f"{self.source}: no fingerprints and no #num_bits line: the bit length "
                                       "is unknown")
                writer = stack.enter_context(DatabaseWriter(output, self.n_bits))
            reading = read_type(self.header.get("type"), writer.n_bits)
            metadata = {"fps": self.header, "source": str(self.source.resolve()), "created": creation_time()}
            if reading.settings is not None:
                metadata["fingerprint"] = reading.settings.as_metadata()
            writer.commit(metadata)
        return FpsReport(Path(os.fspath(output)), writer.rows, writer.n_bits, self.header, reading.settings,
                         reading.problem)

    def decode(self, block: bytes):
        """(rows as bytes, names as lines, row count, line count) of a block
        of whole lines; blank lines give no row."""
        data = np.frombuffer(block, np.uint8)
        ends = np.flatnonzero(data == _NEWLINE)
        starts = np.empty_like(ends)
        starts[0] = 0
        starts[1:] = ends[:-1] + 1
        stops = ends - (data[ends - 1] == _CR) * (ends > starts)
        lines = len(ends)
        numbers = np.arange(self.line + 1, self.line + 1 + lines)
        filled = stops > starts
        if not filled.all():
            starts, stops, ends, numbers = starts[filled], stops[filled], ends[filled], numbers[filled]
            if not len(starts):
                return np.zeros((0, row_bytes(self.n_bits or 0)), np.uint8), b"", 0, lines
        if not self.width:
            self.set_width(block[starts[0]:stops[0]], int(numbers[0]))
        width = self.width
        lengths = stops - starts
        after = data[np.minimum(starts + width, len(data) - 1)]
        good = (lengths == width) | ((lengths > width) & (after == _TAB))
        if not good.all():
            self.diagnose(block, starts, stops, numbers, int(np.argmin(good)))
        digits = np.lib.stride_tricks.sliding_window_view(data, width)[starts]
        try:
            packed = np.frombuffer(binascii.unhexlify(digits), np.uint8).reshape(len(starts), width // 2)
        except binascii.Error:
            self.diagnose(block, starts, stops, numbers, int(np.argmin(_HEX[digits].all(axis=1))))
        tail = self.n_bits % 8
        if tail:
            spill = packed[:, -1] >> tail
            if spill.any():
                bad = int(np.argmax(spill != 0))
                self.fail(numbers[bad], f"bits set at or past bit {self.n_bits} (the bit length); the engine "
                                        "would ignore them")
        full = row_bytes(self.n_bits)
        if full != packed.shape[1]:
            rows = np.zeros((len(packed), full), np.uint8)
            rows[:, :packed.shape[1]] = packed
            packed = rows
        names = self.names(data, starts, stops, ends, lengths)
        self.check_text(names, numbers)
        return packed, names, len(starts), lines

    def check_text(self, names: bytes, numbers) -> None:
        """Ids are UTF-8 text, as the format says; another encoding would be
        stored as something else than the file holds."""
        try:
            names.decode("utf-8")
        except UnicodeDecodeError as error:
            row = names.count(b"\n", 0, error.start)
            bad = names[error.start:error.end]
            self.fail(int(numbers[row]), f"the id is not UTF-8 text (it holds the byte {bad[:1]!r}); FPS files "
                                         "are UTF-8")

    def set_width(self, first: bytes, number: int) -> None:
        """The width of the first fingerprint, where no #num_bits gave one."""
        digits = first.split(b"\t", 1)[0]
        self.check_digits(number, digits)
        self.width, self.n_bits, self.first_line = len(digits), 4 * len(digits), number

    def check_digits(self, number: int, digits: bytes) -> None:
        if not digits:
            self.fail(number, "no fingerprint: each line after the header is the fingerprint in hex, a tab and "
                              "its id")
        if digits.startswith(b"#"):
            self.fail(number, "a header line after the first fingerprint")
        bad = next((chr(byte) for byte in digits if not _HEX[byte]), None)
        if bad is not None:
            self.fail(number, f"{bad!r} is not a hex digit")
        if len(digits) % 2:
            self.fail(number, f"an odd number of hex digits ({len(digits)}); each byte takes two")
        if self.width and len(digits) != self.width:
            said = "#num_bits says" if not self.first_line else f"the first fingerprint (line {self.first_line}) has"
            self.fail(number, f"a fingerprint of {len(digits) // 2} bytes where {said} {self.width // 2}")

    def diagnose(self, block: bytes, starts, stops, numbers, row: int):
        """Raises the error of a line that the bulk checks refused."""
        text = block[starts[row]:stops[row]]
        self.check_digits(int(numbers[row]), text.split(b"\t", 1)[0])
        self.fail(int(numbers[row]), "not a fingerprint line (the fingerprint in hex, a tab and its id)")

    def names(self, data: np.ndarray, starts, stops, ends, lengths) -> bytes:
        """Each line's id, cleaned as names are stored, one per line.  An
        id runs from after the tab to the end of the line (its carriage
        return aside); the line's own newline ends it in the sidecar."""
        first = starts + self.width + (lengths > self.width)
        spans = stops - first + 1
        offsets = np.cumsum(spans) - spans
        where = np.arange(int(spans.sum())) + np.repeat(first - offsets, spans)
        where[offsets + spans - 1] = ends
        names = data[where].tobytes()
        if b"\t" in names or b"\r" in names:
            names = names.replace(b"\t", b" ").replace(b"\r", b" ")
        return names


def _compressed_position(stream) -> int:
    raw = getattr(stream, "fileobj", stream)
    try:
        return raw.tell()
    except (OSError, ValueError):
        return 0


# ---------------------------------------------------------------------------
# Writing


def header_lines(n_bits: int, metadata: dict, settings: Optional[FingerprintSpec]) -> str:
    """The header: ``#FPS1``, the bit length, the type (from the settings,
    else the type of the FPS file the database was read from), this
    software, the source, the date, then any other line that FPS file had."""
    kept = metadata.get("fps") if isinstance(metadata.get("fps"), dict) else {}
    fields = {"num_bits": n_bits, "type": type_line(settings) if settings is not None else kept.get("type"),
              "software": f"quarnel/{__version__}", "source": kept.get("source") or metadata.get("source"),
              "date": creation_time()}
    lines = ["#FPS1"] + [f"#{key}={value}" for key, value in fields.items() if value is not None]
    lines += [f"#{key}" if value is None else f"#{key}={value}" for key, value in kept.items() if key not in fields]
    return "".join(_one_line(line) + "\n" for line in lines)


def _one_line(text: str) -> str:
    return text.replace("\r", " ").replace("\n", " ")


def write_fps(database, target, *, progress: bool = False) -> int:
    """Writes a database (a `Database` or `ShardedDatabase`) as an FPS file
    and returns the row count.  `target` is a path (``.fps``, or
    ``.fps.gz`` compressed), which appears only when complete, or a binary
    stream.  Each row's id is its name, or its row number where the
    database has no names."""
    if hasattr(target, "write"):
        _write_rows(database, target, progress)
        return database.rows
    path = Path(os.fspath(target))
    with atomic_output(path, "wb") as stream:
        if path.name.lower().endswith(".gz"):
            with gzip.GzipFile(filename=path.name[:-3], mode="wb", fileobj=stream, compresslevel=6) as packed:
                _write_rows(database, packed, progress)
        else:
            _write_rows(database, stream, progress)
    return database.rows


def _write_rows(database, stream, progress: bool) -> None:
    n_bits = database.n_bits
    stream.write(header_lines(n_bits, database.metadata, database.fingerprint_spec).encode("utf-8"))
    names = database.names
    with progress_bar(progress, "write FPS", "row", total=database.rows) as bar:
        for window in database.windows():
            words = FingerprintFile(window.path).words()
            for start in range(window.offset, window.offset + window.limit, WRITE_ROWS):
                check_interrupt()
                stop = min(start + WRITE_ROWS, window.offset + window.limit)
                first = window.first_row + start
                ids = names[first:first + stop - start]
                stream.write(_lines(row_bytes_view(words[start:stop], n_bits), ids))
                bar.update(stop - start)


def _lines(packed: np.ndarray, ids) -> np.ndarray:
    """``hex<TAB>id`` lines of packed rows, assembled in one buffer."""
    digits = np.frombuffer(binascii.hexlify(packed), np.uint8).reshape(len(packed), 2 * packed.shape[1])
    width = digits.shape[1]
    names = np.frombuffer(("\n".join(ids) + "\n").encode("utf-8"), np.uint8)
    spans = np.diff(np.flatnonzero(names == _NEWLINE), prepend=-1)  # each id with its newline
    if len(spans) != len(packed):  # names from a list, not a sidecar, may hold line breaks
        names = np.frombuffer(("\n".join(map(clean_name, ids)) + "\n").encode("utf-8"), np.uint8)
        spans = np.diff(np.flatnonzero(names == _NEWLINE), prepend=-1)
    lengths = width + 1 + spans
    starts = np.cumsum(lengths) - lengths
    lines = np.empty(int(lengths.sum()), np.uint8)
    np.lib.stride_tricks.sliding_window_view(lines, width, writeable=True)[starts] = digits
    lines[starts + width] = _TAB
    offsets = np.cumsum(spans) - spans
    lines[np.arange(len(names)) + np.repeat(starts + width + 1 - offsets, spans)] = names
    return lines

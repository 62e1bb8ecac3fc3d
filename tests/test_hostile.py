"""Hostile and broken inputs: files of every short length, headers that
announce more than any machine holds, paths that are not regular files or
cannot be read, and Python sequences that lie, raise or change while they are
read.  Each has one exact outcome; none may crash or hang the interpreter."""

import collections.abc
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import pytest
from rdkit import DataStructs

import _quarnel as q
from reference import fingerprint

SHORT_READ = "failed to fill whole buffer"
INVALID = "Invalid or empty binary footprint file"
NOT_A_VECTOR = ("TypeError: No registered converter was able to extract a C++ reference to type "
                "ExplicitBitVect from this Python object of type {}")
INCONSISTENT = "ValueError: Inconsistent fingerprint lengths"
MAX32 = 2**32 - 1
FP = fingerprint(100, [0, 99])


def header(count, n_bits):
    return struct.pack("<II", count, n_bits)


def raises_exactly(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert (type(info.value), str(info.value)) == (exc_type, message)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def mapped_calls(path, other):
    """Each file-backed function with `path` in each of its file positions."""
    return [
        lambda: q.bulk_tanimoto_mmap(path, other),
        lambda: q.bulk_tanimoto_mmap(other, path, agg="max"),
        lambda: q.bulk_tanimoto_mmap_topk(path, other),
        lambda: q.bulk_tanimoto_mmap_topk(other, path, db_offset=1, db_limit=1),
        lambda: q.internal_tanimoto_mmap(path, agg="mean"),
    ]


def in_child(code, timeout=60, user=None):
    """Runs `code` in a fresh interpreter (as `user` if given); its stdout lines."""
    command = [sys.executable, "-c", textwrap.dedent(code)]
    if user is not None:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + command
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


# ---------------------------------------------------------------------------
# Every short length, and every cut through the rows


def words_to_bits(row_bytes, n_bits):
    value = int.from_bytes(row_bytes, "little")
    return [i for i in range(n_bits) if value >> i & 1]


def check_file(path, empty):
    """load_fingerprints and the mapped functions give what the layout says of this file."""
    data = path.read_bytes()
    if len(data) < 8:
        raises_exactly(OSError, SHORT_READ, q.load_fingerprints, path)
        for call in mapped_calls(str(path), empty):
            raises_exactly(ValueError, INVALID, call)
        return
    count, n_bits = struct.unpack_from("<II", data)
    row = 8 * ((n_bits + 63) // 64)
    needed = 8 + count * row
    if count and len(data) < needed:
        raises_exactly(OSError, SHORT_READ, q.load_fingerprints, path)
        message = f"Truncated binary footprint file: expected {needed} bytes, found {len(data)}"
        for call in mapped_calls(str(path), empty):
            raises_exactly(ValueError, message, call)
        return

    loaded = q.load_fingerprints(path)
    assert [fp.GetNumBits() for fp in loaded] == [n_bits] * count
    for r, fp in enumerate(loaded):
        assert list(fp.GetOnBits()) == words_to_bits(data[8 + r * row:8 + (r + 1) * row], n_bits)
    p = str(path)
    if count == 0:
        assert q.bulk_tanimoto_mmap(p, p).shape == (0, 0)
        assert q.internal_tanimoto_mmap(p, agg="max").shape == (0,)
        assert [a.shape for a in q.bulk_tanimoto_mmap_topk(p, p)] == [(0, 0), (0, 0)]
        return
    for agg in (None, "max"):
        assert np.array_equal(q.bulk_tanimoto_mmap(p, p, agg=agg),
                              q.bulk_tanimoto_parallel(loaded, loaded, agg=agg))
        assert np.array_equal(q.internal_tanimoto_mmap(p, agg=agg),
                              q.internal_tanimoto_parallel(loaded, agg=agg))
    topk = q.bulk_tanimoto_parallel_topk(loaded, loaded, k=2)
    for got, want in zip(q.bulk_tanimoto_mmap_topk(p, p, 2), topk):
        assert np.array_equal(got, want)


STRAY = (2**64 - 1).to_bytes(8, "little")

PREFIXES = {
    # Two 100-bit rows with bits set past the length: whole only at 40 bytes.
    "two-rows": header(2, 100) + bytes.fromhex("0123456789abcdef") + STRAY + STRAY + bytes(8),
    # One 64-bit row, then junk that is never read.
    "one-row-then-junk": header(1, 64) + STRAY + b"junk" * 6,
    "no-rows-then-junk": header(0, 1024) + b"\xff" * 32,
    "zero-width-rows": header(3, 0) + b"\xee" * 32,
    "all-ones": b"\xff" * 40,
}


@pytest.mark.parametrize("name", PREFIXES)
def test_every_length_up_to_40_bytes(tmp_path, name):
    empty = tmp_path / "empty.bin"
    empty.write_bytes(bytes(8))
    path = tmp_path / "f.bin"
    before = open_fds()
    for size in range(41):
        path.write_bytes(PREFIXES[name][:size])
        check_file(path, str(empty))
    assert open_fds() == before


def test_cuts_through_2048_bit_rows(tmp_path):
    rng = np.random.default_rng(5)
    whole = header(3, 2048) + rng.integers(0, 2**63, size=96, dtype=np.uint64).tobytes()
    assert len(whole) == 776
    empty = tmp_path / "empty.bin"
    empty.write_bytes(bytes(8))
    path = tmp_path / "f.bin"
    # Around each row boundary, and inside a word of each row.
    for size in (8, 9, 12, 263, 264, 265, 300, 519, 520, 521, 700, 775, 776):
        path.write_bytes(whole[:size])
        check_file(path, str(empty))


# ---------------------------------------------------------------------------
# Headers announcing far more than the file or the machine holds


def memory_ceiling():
    """Physical memory plus swap, as the module counts it."""
    with open("/proc/meminfo") as meminfo:
        fields = dict(line.split(":", 1) for line in meminfo)
    return (int(fields["MemTotal"].split()[0]) + int(fields["SwapTotal"].split()[0])) * 1024


def test_huge_headers_fail_before_allocating(tmp_path):
    """In a child whose address space is capped, so that an attempt to
    allocate what the header announces would show as a MemoryError."""
    cases = {
        "max-max": (header(MAX32, MAX32), f"ValueError: Truncated binary footprint file: expected "
                    f"{8 + 8 * MAX32 * 2**26} bytes, found 8"),
        "max-64": (header(MAX32, 64) + bytes(8), f"ValueError: Truncated binary footprint file: expected "
                   f"{8 + 8 * MAX32} bytes, found 16"),
        "one-max": (header(1, MAX32) + bytes(64), f"ValueError: Truncated binary footprint file: expected "
                    f"{8 + 8 * 2**26} bytes, found 72"),
    }
    for name, (data, _) in cases.items():
        (tmp_path / name).write_bytes(data)
    code = f"""
        import os, resource
        import _quarnel as q
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            with open("/proc/self/statm") as statm:
                size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            resource.setrlimit(resource.RLIMIT_AS, (size + 2**30, resource.RLIM_INFINITY))
        for name in {list(cases)!r}:
            path = os.path.join({str(tmp_path)!r}, name)
            for call in (lambda: q.load_fingerprints(path), lambda: q.internal_tanimoto_mmap(path),
                         lambda: q.bulk_tanimoto_mmap_topk(path, path, db_offset=2**64 - 1)):
                try:
                    call()
                    print("returned")
                except BaseException as error:
                    print(f"{{type(error).__name__}}: {{error}}")
    """
    want = []
    for _, mapped in cases.values():
        want += [f"OSError: {SHORT_READ}", mapped, mapped]
    assert in_child(code) == want


def test_many_zero_width_rows(tmp_path):
    # 8 bytes, complete: 2^32 - 1 rows of no words.  Mapped, it is searched
    # in windows; loaded, its vectors could never fit, and that is said at once.
    path = tmp_path / "huge.bin"
    path.write_bytes(header(MAX32, 0))
    one = tmp_path / "one.bin"
    one.write_bytes(header(1, 0))
    wide = tmp_path / "wide.bin"
    q.save_fingerprints([FP], wide)

    indices, scores = q.bulk_tanimoto_mmap_topk(one, path, k=5, db_offset=MAX32 - 2)
    assert sorted(indices[0].tolist()) == [MAX32 - 2, MAX32 - 1]
    assert scores.tolist() == [[0.0, 0.0]]
    assert q.bulk_tanimoto_mmap(one, path, db_offset=MAX32, db_limit=7).shape == (1, 0)
    raises_exactly(ValueError, "Fingerprint bit mismatch", q.bulk_tanimoto_mmap, wide, path, agg="max")

    # Zero-width rows score 0.0 against everything: four billion pairs, no work.
    assert q.bulk_tanimoto_mmap(one, path, agg="mean").tolist() == [0.0]
    assert q.bulk_tanimoto_mmap_topk(one, path, k=3)[0].tolist() == [[0, 1, 2]]
    # Results for every row the header announces are refused before any row
    # is touched (a machine that could hold 2^32 - 1 top-1 results would
    # compute them).
    if MAX32 * 12 > memory_ceiling():
        for call in (lambda: q.bulk_tanimoto_mmap_topk(path, path, k=1),
                     lambda: q.bulk_tanimoto_mmap(path, path, agg="max"),
                     lambda: q.internal_tanimoto_mmap(path, agg="min")):
            with pytest.raises(MemoryError):
                call()

    if 8 + MAX32 * 80 <= memory_ceiling():
        pytest.skip("this machine could hold 2^32 - 1 empty vectors")
    raises_exactly(MemoryError, f"cannot load {MAX32} fingerprints of 0 bits: they need more memory than "
                   "this machine has", q.load_fingerprints, path)


# ---------------------------------------------------------------------------
# Paths that are not regular files


def test_directories(tmp_path):
    good = tmp_path / "good.bin"
    q.save_fingerprints([FP], good)
    before = open_fds()
    for call in mapped_calls(str(tmp_path), str(good)):
        raises_exactly(IsADirectoryError, "Is a directory (os error 21)", call)
    assert open_fds() == before


def test_devices(tmp_path):
    for call in mapped_calls("/dev/null", "/dev/zero") + mapped_calls("/dev/zero", "/dev/null"):
        raises_exactly(ValueError, INVALID, call)
    # Loading reads them as any reader would: no header, or a header of zeros.
    raises_exactly(OSError, SHORT_READ, q.load_fingerprints, "/dev/null")
    assert q.load_fingerprints("/dev/zero") == []


def test_fifo_without_writer_is_refused_at_once(tmp_path):
    # A child, so that a wait for a writer fails the test instead of hanging it.
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    good = tmp_path / "good.bin"
    q.save_fingerprints([FP], good)
    code = f"""
        import os
        import _quarnel as q
        fifo, good = {str(fifo)!r}, {str(good)!r}
        before = len(os.listdir("/proc/self/fd"))
        for call in (lambda: q.bulk_tanimoto_mmap(fifo, good), lambda: q.bulk_tanimoto_mmap(good, fifo),
                     lambda: q.bulk_tanimoto_mmap_topk(good, fifo), lambda: q.internal_tanimoto_mmap(fifo)):
            try:
                call()
            except ValueError as error:
                print(error)
        print(len(os.listdir("/proc/self/fd")) - before)
    """
    assert in_child(code, timeout=30) == [INVALID] * 4 + ["0"]


def feed_fifo(fifo, data):
    """A writer process that sends `data` through the FIFO and closes it."""
    code = f"open({str(fifo)!r}, 'wb').write({data!r})"
    return subprocess.Popen([sys.executable, "-c", code])


def test_broken_streams_through_a_pipe(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    cases = [
        (header(2, 64) + bytes(8), OSError, SHORT_READ),  # the second row never comes
        (header(1, 64)[:5], OSError, SHORT_READ),
        # A pipe has no size to check first; what no machine could hold is
        # refused without allocating it.
        (header(MAX32, MAX32), MemoryError, f"cannot allocate {MAX32 * 2**26} elements of 8 bytes"),
    ]
    for data, exc_type, message in cases:
        writer = feed_fifo(fifo, data)
        try:
            raises_exactly(exc_type, message, q.load_fingerprints, fifo)
        finally:
            assert writer.wait(timeout=60) == 0


# ---------------------------------------------------------------------------
# Files that cannot be read


@pytest.fixture
def locked_dir():
    """A directory anyone may enter, holding a file and a subdirectory that
    only their owner (this user) may read or write."""
    with tempfile.TemporaryDirectory() as name:
        os.chmod(name, 0o755)
        locked = os.path.join(name, "locked.bin")
        q.save_fingerprints([FP], locked)
        os.chmod(locked, 0o200)
        sealed = os.path.join(name, "sealed")
        os.mkdir(sealed, 0o555)
        good = os.path.join(name, "good.bin")
        q.save_fingerprints([FP], good)
        os.chmod(good, 0o644)
        yield name
        os.chmod(sealed, 0o755)


def test_without_read_permission(locked_dir):
    user = None
    if os.geteuid() == 0:
        user = "65534"  # nobody: root reads anything
        if shutil.which("setpriv") is None:
            pytest.skip("running as root, and setpriv is missing to drop privileges")
        probe = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                sys.executable, "-c", "import _quarnel"], capture_output=True)
        if probe.returncode != 0:
            pytest.skip("running as root, and the module cannot be imported as nobody")
    code = f"""
        import os, sys
        import _quarnel as q
        d = {locked_dir!r}
        locked, good = os.path.join(d, "locked.bin"), os.path.join(d, "good.bin")
        for call in (lambda: q.load_fingerprints(locked), lambda: q.bulk_tanimoto_mmap(locked, good),
                     lambda: q.bulk_tanimoto_mmap_topk(good, locked),
                     lambda: q.internal_tanimoto_mmap(locked)):
            try:
                call()
            except PermissionError as error:
                print(error)
        sys.stderr = sys.stdout  # the writer reports on standard error
        q.save_fingerprints([], os.path.join(d, "sealed", "new.bin"))
    """
    sealed = os.path.join(locked_dir, "sealed", "new.bin")
    assert in_child(code, user=user) == ["Permission denied (os error 13)"] * 4 + [
        f"ValueError: cannot open '{sealed}' for writing: Permission denied (os error 13)"]
    assert not os.path.exists(sealed)


# ---------------------------------------------------------------------------
# Sequences that are not what they say


def stderr_lines(capfd):
    return capfd.readouterr().err.splitlines()


def read_by_every_reader(seq, capfd, tmp_path):
    """The set each reader makes of `seq` (rows it read, or 0 after a report),
    with what each printed; `seq` is rebuilt for every reader."""
    results = []
    results.append((q.internal_tanimoto_parallel(seq(), agg="max").shape[0], stderr_lines(capfd)))
    results.append((q.bulk_tanimoto_parallel(seq(), [FP], agg="min").shape[0], stderr_lines(capfd)))
    results.append((q.bulk_tanimoto_parallel_topk([FP], seq(), k=10)[0].shape[1], stderr_lines(capfd)))
    path = tmp_path / "saved.bin"
    q.save_fingerprints(seq(), path)
    data = path.read_bytes()
    rows = struct.unpack_from("<I", data)[0] if len(data) >= 8 else None
    results.append((rows, stderr_lines(capfd)))
    return results


class Seq(collections.abc.Sequence):
    """A Sequence read through the default __iter__, which calls __getitem__
    until IndexError; `length` is what __len__ claims."""

    def __init__(self, items, length=None):
        self.items, self.length = list(items), length

    def __len__(self):
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]


class ListWithLen(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


@pytest.mark.parametrize("length", [0, 1, -1, 2**64])
def test_lying_len_is_not_believed(length, capfd, tmp_path):
    # Readers take what iteration yields; __len__ is never asked.
    for make in (lambda: Seq([FP] * 3, length), lambda: ListWithLen([FP] * 3, length)):
        assert read_by_every_reader(make, capfd, tmp_path) == [(3, [])] * 4


class ClearedAfter(Seq):
    """Empties its own list once item `at` has been handed out."""

    def __init__(self, items, at):
        super().__init__(items)
        self.at = at

    def __getitem__(self, i):
        item = self.items[i]
        if i == self.at:
            self.items.clear()
        return item


class GrowsWhileRead(Seq):
    def __getitem__(self, i):
        if len(self.items) < 5:
            self.items.append(FP)
        return self.items[i]


class SpoilsTheNext(Seq):
    def __getitem__(self, i):
        if i + 1 < len(self.items):
            self.items[i + 1] = 7
        return self.items[i]


class ListIterClears(list):
    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if i == 1:
                self.clear()
            yield item


class ListIterRaises(list):
    def __iter__(self):
        yield self[0]
        raise KeyError("gone")


class SeqIterRaises(Seq):
    def __iter__(self):
        yield self.items[0]
        yield self.items[1]
        raise ZeroDivisionError("iteration broke")


class GetitemRaises(Seq):
    def __getitem__(self, i):
        if i == 2:
            raise LookupError("unreadable row")
        return self.items[i]


@pytest.mark.parametrize("make, rows", [
    (lambda: ClearedAfter([FP] * 4, at=1), 2),
    (lambda: GrowsWhileRead([FP, FP]), 5),
    (lambda: ListIterClears([FP] * 4), 2),
])
def test_sequences_changing_while_read(make, rows, capfd, tmp_path):
    # The set is what the iteration yielded, as list(seq) would give.
    assert read_by_every_reader(make, capfd, tmp_path) == [(rows, [])] * 4


@pytest.mark.parametrize("make, last_line, saved", [
    (lambda: SpoilsTheNext([FP] * 3), NOT_A_VECTOR.format("int"), 3),
    (lambda: ListIterRaises([FP] * 3), "KeyError: 'gone'", None),
    (lambda: SeqIterRaises([FP] * 3), "ZeroDivisionError: iteration broke", None),
    (lambda: GetitemRaises([FP] * 4), "LookupError: unreadable row", None),
])
def test_sequences_failing_while_read(make, last_line, saved, capfd, tmp_path):
    # Each reader prints the failure and reads nothing.  The writer leaves an
    # empty file when iteration itself failed, else the header and the rows
    # before the bad element.
    results = read_by_every_reader(make, capfd, tmp_path)
    assert [rows for rows, _ in results] == [0, 0, 0, saved]
    for _, lines in results:
        assert lines[-1] == last_line
        assert lines[:-1] == [] or lines[0] == "Traceback (most recent call last):"
    size = (tmp_path / "saved.bin").stat().st_size
    assert size == (0 if saved is None else 8 + 16)


@pytest.mark.parametrize("bad, line, rows_saved", [
    ([FP, 5], NOT_A_VECTOR.format("int"), 1),
    ([FP, FP, None], NOT_A_VECTOR.format("NoneType"), 2),
    ([FP, DataStructs.SparseBitVect(100)], NOT_A_VECTOR.format("SparseBitVect"), 1),
    ([5, FP], NOT_A_VECTOR.format("int"), None),
    ([FP, fingerprint(101, [0])], INCONSISTENT, 1),
    ([fingerprint(0), fingerprint(64)], INCONSISTENT, 1),
])
def test_unreadable_lists_are_reported_exactly(bad, line, rows_saved, capfd, tmp_path):
    results = read_by_every_reader(lambda: bad, capfd, tmp_path)
    # Raised in C++, so no traceback: the report is exactly one line.
    assert results[:3] == [(0, [line])] * 3
    assert results[3][1] == [line]
    data = (tmp_path / "saved.bin").read_bytes()
    if rows_saved is None:
        assert data == b""
    else:
        n_bits = bad[0].GetNumBits()
        assert data[:8] == header(len(bad), n_bits)
        assert len(data) == 8 + rows_saved * 8 * ((n_bits + 63) // 64)

"""Long runs that look for what only shows after many calls: threads,
descriptors, mappings or memory that a call fails to give back, state that a
failed call leaves behind, and calls from several Python threads or with far
more workers than cores.  Run with `pytest tests -m stress`."""

import gc
import os
import struct
import threading
import time

import numpy as np
import pytest

import _quarnel as q
import reference
from reference import fingerprint

pytestmark = pytest.mark.stress

CALLS = 10_000


def task_count():
    return len(os.listdir("/proc/self/task"))


def settled_task_count(limit=None, quiet=0.3, timeout=30):
    """The thread count once earlier calls' workers have left (or, with a
    limit, as soon as it is down to it)."""
    deadline = time.monotonic() + timeout
    last, since = task_count(), time.monotonic()
    while time.monotonic() < deadline:
        if limit is not None and last <= limit:
            break
        time.sleep(0.01)
        now = task_count()
        if now != last:
            last, since = now, time.monotonic()
        elif limit is None and time.monotonic() - since >= quiet:
            break
    return last


def descriptors_into(directory):
    """Open descriptors, and those that name a file under `directory`."""
    names = os.listdir("/proc/self/fd")
    inside = []
    for name in names:
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
        except OSError:  # the descriptor of the listing itself, now closed
            continue
        if target.startswith(str(directory)):
            inside.append(target)
    return len(names), inside


def mappings_of(directory):
    with open("/proc/self/maps") as maps:
        return [line for line in maps if str(directory) in line]


def resident_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


class Sets:
    """Queries and database in memory and on disk, every kind of bad file,
    and the results the good calls must keep giving."""

    def __init__(self, directory, fps):
        # Results of tens of kilobytes, so that losing them adds up quickly.
        self.queries, self.db = fps[:40], fps[40:240]
        self.wide = [fingerprint(4096, [1, 2000, 4095])] * 3
        self.dir = directory
        self.query_file = self.save("queries.fp", self.queries)
        self.db_file = self.save("db.fp", self.db)
        self.wide_file = self.save("wide.fp", self.wide)
        self.empty_file = self.save("empty.fp", [])
        self.scratch = str(directory / "scratch.fp")
        self.missing = str(directory / "missing.fp")
        self.no_dir = str(directory / "no-dir" / "x.fp")
        # A header announcing five rows with two behind it, and a header cut short.
        with open(self.db_file, "rb") as whole:
            data = whole.read()
        self.truncated = self.write("truncated.fp", struct.pack("<II", 5, 2048) + data[8:8 + 2 * 256])
        self.stub = self.write("stub.fp", b"\x01\x00\x00")

        self.full = reference.cross(self.queries, self.db)
        self.maxima = reference.cross(self.queries, self.db, "max")
        self.pairs = reference.internal(self.db)
        self.means = reference.internal(self.db, "mean")
        self.top = reference.top_k(self.queries, self.db, 3)
        # db_offset counts from the file's first row, and so do top-k indices.
        window = reference.tanimoto_matrix(self.queries, self.db[5:15])
        best = [reference.top_k_row(row, 4, 5) for row in window]
        self.window_top = (np.array([i for i, _ in best], dtype=np.uint32), np.array([v for _, v in best]))
        self.window_min = np.array([min(row) for row in window])
        self.near = reference.cross_threshold(self.queries, self.db, 0.4)
        self.window_near = reference.threshold_rows(window, 0.4, index_offset=5)
        self.near_pairs = reference.internal_threshold(self.db, 0.4)

    def save(self, name, fps):
        path = str(self.dir / name)
        q.save_fingerprints(fps, path)
        return path

    def write(self, name, data):
        path = self.dir / name
        path.write_bytes(data)
        return str(path)


def same(expected):
    if isinstance(expected, tuple):
        return lambda got: all(np.array_equal(g, e) for g, e in zip(got, expected, strict=True))
    return lambda got: np.array_equal(got, expected)


def shaped(*shapes):
    """Arrays of these shapes (one per array returned), all zero."""
    def check(got):
        arrays = got if isinstance(got, tuple) else (got,)
        return [a.shape for a in arrays] == list(shapes) and not any(a.any() for a in arrays)
    return check


def calls(s):
    """(call, outcome, reports on stderr) for every function and its failure
    paths; outcome is an exception type or a check of the result."""
    n1, n2 = len(s.queries), len(s.db)
    return [
        # The twelve functions, answering right.
        (lambda: q.bulk_tanimoto_parallel(s.queries, s.db), same(s.full), 0),
        (lambda: q.bulk_tanimoto_parallel(s.queries, s.db, agg="max"), same(s.maxima), 0),
        (lambda: q.bulk_tanimoto_parallel_topk(s.queries, s.db, k=3), same(s.top), 0),
        (lambda: q.internal_tanimoto_parallel(s.db), same(s.pairs), 0),
        (lambda: q.internal_tanimoto_parallel(s.db, agg="mean"), same(s.means), 0),
        (lambda: q.save_fingerprints(s.db, s.scratch), lambda got: got is None, 0),
        (lambda: q.load_fingerprints(s.scratch), lambda got: [fp.ToBitString() for fp in got]
         == [fp.ToBitString() for fp in s.db], 0),
        (lambda: q.bulk_tanimoto_mmap(s.query_file, s.db_file), same(s.full), 0),
        (lambda: q.bulk_tanimoto_mmap(s.query_file, s.db_file, agg="min", db_offset=5, db_limit=10),
         same(s.window_min), 0),
        (lambda: q.bulk_tanimoto_mmap_topk(s.query_file, s.db_file, k=4, db_offset=5, db_limit=10),
         same(s.window_top), 0),
        (lambda: q.internal_tanimoto_mmap(s.db_file, agg="mean"), same(s.means), 0),
        (lambda: q.bulk_tanimoto_parallel_threshold(s.queries, s.db, 0.4), same(s.near), 0),
        (lambda: q.internal_tanimoto_parallel_threshold(s.db, 0.4), same(s.near_pairs), 0),
        (lambda: q.bulk_tanimoto_mmap_threshold(s.query_file, s.db_file, 0.4, db_offset=5, db_limit=10),
         same(s.window_near), 0),
        (lambda: q.internal_tanimoto_mmap_threshold(s.db_file, 0.4), same(s.near_pairs), 0),
        # Bad arguments.
        (lambda: q.bulk_tanimoto_parallel(s.queries), TypeError, 0),
        (lambda: q.bulk_tanimoto_parallel(5, s.db), TypeError, 0),
        (lambda: q.bulk_tanimoto_parallel(s.queries, s.db, agg="median"), ValueError, 0),
        (lambda: q.bulk_tanimoto_parallel_topk(s.queries, s.db, k=-1), OverflowError, 0),
        (lambda: q.internal_tanimoto_parallel(s.db, n_threads=2**31), OverflowError, 0),
        (lambda: q.internal_tanimoto_mmap(s.db_file, agg=1), TypeError, 0),
        (lambda: q.bulk_tanimoto_mmap(s.query_file, s.db_file, threads=2), TypeError, 0),
        (lambda: q.load_fingerprints(s.db_file.encode()), TypeError, 0),
        (lambda: q.internal_tanimoto_parallel_threshold(s.db, float("nan")), ValueError, 0),
        (lambda: q.save_fingerprints(s.db, s.scratch, s.scratch), TypeError, 0),
        # Missing files and paths that cannot be written.
        (lambda: q.load_fingerprints(s.missing), FileNotFoundError, 0),
        (lambda: q.bulk_tanimoto_mmap(s.missing, s.db_file), FileNotFoundError, 0),
        (lambda: q.bulk_tanimoto_mmap_topk(s.query_file, s.missing), FileNotFoundError, 0),
        (lambda: q.load_fingerprints(s.dir), IsADirectoryError, 0),
        (lambda: q.save_fingerprints(s.db, s.no_dir), lambda got: got is None, 1),
        # Truncated files.
        (lambda: q.load_fingerprints(s.truncated), OSError, 0),
        (lambda: q.load_fingerprints(s.stub), OSError, 0),
        (lambda: q.bulk_tanimoto_mmap(s.query_file, s.truncated, agg="max"), ValueError, 0),
        (lambda: q.bulk_tanimoto_mmap_topk(s.stub, s.db_file), ValueError, 0),
        (lambda: q.internal_tanimoto_mmap(s.truncated), ValueError, 0),
        # Elements that are not bit vectors: reported, then read as an empty set.
        (lambda: q.bulk_tanimoto_parallel([s.queries[0], "x"], s.db), shaped((0, n2)), 1),
        (lambda: q.bulk_tanimoto_parallel_topk(s.queries, [None]), shaped((n1, 0), (n1, 0)), 1),
        (lambda: q.internal_tanimoto_parallel([1.5] * 3, agg="max"), shaped((0,)), 1),
        (lambda: q.save_fingerprints([s.db[0], 7], s.scratch), lambda got: got is None, 1),
        # Bit lengths that differ.
        (lambda: q.bulk_tanimoto_parallel(s.queries, s.wide), ValueError, 0),
        (lambda: q.bulk_tanimoto_parallel_topk(s.wide, s.db), ValueError, 0),
        (lambda: q.bulk_tanimoto_mmap(s.wide_file, s.db_file, agg="mean"), ValueError, 0),
        (lambda: q.bulk_tanimoto_mmap_topk(s.query_file, s.wide_file), ValueError, 0),
        (lambda: q.bulk_tanimoto_mmap_threshold(s.query_file, s.wide_file, 0.5), ValueError, 0),
        # Empty inputs.
        (lambda: q.bulk_tanimoto_parallel([], s.db, agg="min"), shaped((0,)), 0),
        (lambda: q.bulk_tanimoto_parallel(s.queries, [], agg="max"), shaped((n1,)), 0),
        (lambda: q.bulk_tanimoto_parallel_topk([], []), shaped((0, 0), (0, 0)), 0),
        (lambda: q.internal_tanimoto_parallel([]), shaped((0,)), 0),
        (lambda: q.internal_tanimoto_mmap(s.empty_file, agg="min"), shaped((0,)), 0),
        (lambda: q.bulk_tanimoto_mmap(s.query_file, s.empty_file), shaped((n1, 0)), 0),
        (lambda: q.bulk_tanimoto_mmap(s.query_file, s.db_file, db_offset=n2), shaped((n1, 0)), 0),
        (lambda: q.bulk_tanimoto_parallel_threshold(s.queries, [], 0.0), shaped((n1 + 1,), (0,), (0,)), 0),
        (lambda: q.load_fingerprints(s.empty_file), lambda got: got == [], 0),
    ]


def run(call, outcome):
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            call()
    else:
        assert outcome(call())


@pytest.fixture
def sets(tmp_path, molecule_fps):
    return Sets(tmp_path, molecule_fps)


def test_many_calls_give_everything_back(sets, capfd):
    table = calls(sets)
    # Everything made once per process (the NumPy API, the default thread
    # count, allocator arenas) is made by the warm-up.
    for _ in range(3):
        for call, outcome, _ in table:
            run(call, outcome)
    capfd.readouterr()
    gc.collect()
    threads = settled_task_count()
    fds, held = descriptors_into(sets.dir)
    rss = resident_kib()
    assert held == [] and mappings_of(sets.dir) == []

    for i in range(CALLS):
        call, outcome, _ = table[i % len(table)]
        try:
            run(call, outcome)
        except BaseException as error:
            raise AssertionError(f"call {i} (entry {i % len(table)} of the table)") from error

    # Each reported failure printed one exception, no good call printed anything.
    reports = [line for line in capfd.readouterr().err.splitlines() if "Error: " in line]
    rounds, rest = divmod(CALLS, len(table))
    assert len(reports) == rounds * sum(r for _, _, r in table) + sum(r for _, _, r in table[:rest])

    gc.collect()
    assert settled_task_count(limit=threads) <= threads
    assert descriptors_into(sets.dir) == (fds, [])
    assert mappings_of(sets.dir) == []
    # Losing only the result buffers would add some 60 MiB.
    assert resident_kib() - rss < 8 * 1024


def test_python_threads_calling_at_once(sets):
    # Without the calls that print: one of them leaves a partial scratch file.
    table = [(call, outcome) for call, outcome, reports in calls(sets) if reports == 0]
    base = settled_task_count()
    barrier = threading.Barrier(8)
    failures = []

    def worker(shift):
        try:
            barrier.wait()
            for i in range(40 * len(table)):
                call, outcome = table[(i + shift) % len(table)]
                run(call, outcome)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append((shift, error))

    threads = [threading.Thread(target=worker, args=(5 * n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert settled_task_count(limit=base) <= base


@pytest.mark.parametrize("n_threads", [64, 256])
def test_far_more_workers_than_cores(n_threads, molecule_fps, tmp_path):
    fps = molecule_fps
    path = str(tmp_path / "all.fp")
    q.save_fingerprints(fps, path)
    base = settled_task_count()
    engine_calls = [
        lambda n: q.bulk_tanimoto_parallel(fps[:40], fps, n_threads=n),
        lambda n: q.bulk_tanimoto_parallel(fps[:40], fps, n_threads=n, agg="mean"),
        lambda n: q.bulk_tanimoto_parallel_topk(fps[:40], fps, k=7, n_threads=n),
        lambda n: q.internal_tanimoto_parallel(fps, n_threads=n),
        lambda n: q.internal_tanimoto_parallel(fps, n_threads=n, agg="max"),
        lambda n: q.bulk_tanimoto_mmap(path, path, n_threads=n, agg="min", db_offset=100),
        lambda n: q.bulk_tanimoto_mmap_topk(path, path, k=5, n_threads=n, db_limit=150),
        lambda n: q.internal_tanimoto_mmap(path, n_threads=n, agg="mean"),
        lambda n: q.internal_tanimoto_mmap_threshold(path, 0.3, n_threads=n),
    ]
    for engine_call in engine_calls:
        expected = engine_call(1)
        for _ in range(3):
            assert same(expected)(engine_call(n_threads))
    # Fewer rows than workers: most of them find nothing to do.
    few = q.internal_tanimoto_parallel(fps[:3], n_threads=1, agg="max")
    assert same(few)(q.internal_tanimoto_parallel(fps[:3], n_threads=n_threads, agg="max"))
    assert settled_task_count(limit=base) <= base

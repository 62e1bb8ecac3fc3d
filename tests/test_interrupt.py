"""Ctrl-C during the checked functions, end to end: a long call in a child
process stops with KeyboardInterrupt soon after SIGINT and leaves the
process able to go on; calls that are not interrupted give what the public
functions give; and a SIGINT that lands while the module first imports
NumPy comes out as KeyboardInterrupt, not as a fault kept for good."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import _quarnel as q


def write_fingerprints(path, n_rows, n_bits, seed):
    """Random rows in the file format: two little-endian uint32 (rows, bits),
    then each row as little-endian uint64 words."""
    rng = np.random.default_rng(seed)
    shape = (n_rows, (n_bits + 63) // 64)
    # Two draws ANDed: about a quarter of the bits set.
    words = rng.integers(0, 2**63, shape, dtype=np.uint64) & rng.integers(0, 2**63, shape, dtype=np.uint64)
    with open(path, "wb") as out:
        out.write(np.array([n_rows, n_bits], dtype="<u4").tobytes())
        out.write(words.astype("<u8").tobytes())
    return str(path)


@pytest.fixture(scope="module")
def long_workload(tmp_path_factory):
    """Sets that keep two threads busy for several seconds in any mode."""
    folder = tmp_path_factory.mktemp("long")
    return (write_fingerprints(folder / "queries.fp", 25_000, 2048, 1),
            write_fingerprints(folder / "db.fp", 100_000, 2048, 2))


@pytest.fixture(scope="module")
def small_workload(tmp_path_factory):
    folder = tmp_path_factory.mktemp("small")
    return (write_fingerprints(folder / "queries.fp", 70, 2048, 3),
            write_fingerprints(folder / "db.fp", 3000, 2048, 4))


# The long calls, one per kind of engine path: a cross-set aggregate and a
# threshold search over files, and top-k over in-memory vectors.
LONG_CALLS = {
    "mmap-mean": "fn = lambda: c.bulk_tanimoto_mmap(Q, DB, n_threads=2, agg='mean')",
    "mmap-internal-threshold": "fn = lambda: c.internal_tanimoto_mmap_threshold(DB, 0.9, n_threads=2)",
    "memory-topk": textwrap.dedent("""\
        queries, db = q.load_fingerprints(Q), q.load_fingerprints(DB)
        fn = lambda: c.bulk_tanimoto_parallel_topk(queries, db, k=5, n_threads=2)"""),
}

CHILD = """
import os, sys, time
import numpy as np
import _quarnel as q
c = q._checked
Q, DB, SMALL_Q, SMALL_DB = sys.argv[1:5]
{setup}
threads_before = len(os.listdir("/proc/self/task"))
print("started", flush=True)
try:
    fn()
    print("completed", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
# The process goes on: the workers leave, and the next call is whole.
deadline = time.monotonic() + 10
while len(os.listdir("/proc/self/task")) > threads_before and time.monotonic() < deadline:
    time.sleep(0.01)
print("threads", len(os.listdir("/proc/self/task")) - threads_before)
again = c.bulk_tanimoto_mmap(SMALL_Q, SMALL_DB, n_threads=2, agg="mean")
print("next call", np.array_equal(again, q.bulk_tanimoto_mmap(SMALL_Q, SMALL_DB, n_threads=2, agg="mean")))
"""


@pytest.mark.parametrize("call", LONG_CALLS)
def test_sigint_stops_a_long_checked_call(call, long_workload, small_workload, tmp_path):
    # Standard output is read only through its file object, so no line that
    # one read buffered is lost to another kind of read.
    with open(tmp_path / "stderr", "w+") as errors:
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD.format(setup=LONG_CALLS[call]), *long_workload, *small_workload],
            stdout=subprocess.PIPE, stderr=errors, text=True)
        try:
            assert child.stdout.readline() == "started\n"
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            outcome = child.stdout.readline()
            stop_latency = time.monotonic() - sent
            child.wait(timeout=60)
            rest = child.stdout.read()
        finally:
            child.kill()
            child.wait()
            child.stdout.close()
        errors.seek(0)
        assert outcome == "interrupted\n", errors.read()
    # Promised: about a second.  Generous, for a loaded machine.
    assert stop_latency < 5, stop_latency
    assert rest.splitlines() == ["threads 0", "next call True"]


# Every engine path the checked functions reach, against the public
# functions, which never poll for signals.
SAME_CALLS = {
    "mmap-full": lambda m, Q, DB: m.bulk_tanimoto_mmap(Q, DB, n_threads=2),
    "mmap-min": lambda m, Q, DB: m.bulk_tanimoto_mmap(Q, DB, n_threads=2, agg="min"),
    "mmap-topk": lambda m, Q, DB: m.bulk_tanimoto_mmap_topk(Q, DB, k=7, n_threads=2, db_offset=5),
    "mmap-threshold": lambda m, Q, DB: m.bulk_tanimoto_mmap_threshold(Q, DB, 0.3, n_threads=2),
    "mmap-internal-full": lambda m, Q, DB: m.internal_tanimoto_mmap(Q, n_threads=2),
    "mmap-internal-max": lambda m, Q, DB: m.internal_tanimoto_mmap(DB, n_threads=2, agg="max"),
    "mmap-internal-mean": lambda m, Q, DB: m.internal_tanimoto_mmap(DB, n_threads=2, agg="mean"),
    "mmap-internal-threshold": lambda m, Q, DB: m.internal_tanimoto_mmap_threshold(DB, 0.3, n_threads=2),
    "memory-mean": lambda m, Q, DB: m.bulk_tanimoto_parallel(
        q.load_fingerprints(Q), q.load_fingerprints(DB), n_threads=2, agg="mean"),
    "memory-threshold": lambda m, Q, DB: m.internal_tanimoto_parallel_threshold(
        q.load_fingerprints(Q), 0.3, n_threads=2),
}


@pytest.mark.parametrize("call", SAME_CALLS)
def test_checked_results_equal_the_public_ones(call, small_workload):
    checked = SAME_CALLS[call](q._checked, *small_workload)
    public = SAME_CALLS[call](q, *small_workload)
    checked = checked if isinstance(checked, tuple) else (checked,)
    public = public if isinstance(public, tuple) else (public,)
    assert len(checked) == len(public)
    for mine, theirs in zip(checked, public):
        assert mine.dtype == theirs.dtype
        np.testing.assert_array_equal(mine, theirs)


NUMPY_IMPORT_CHILD = """
import json, os, signal, sys
import _quarnel as q
Q, DB = sys.argv[1:3]
assert "numpy" not in sys.modules

class CtrlCDuringNumpyImport:
    # A SIGINT that arrives while NumPy's import runs Python code.
    def find_spec(self, name, path=None, target=None):
        if name == "numpy":
            os.kill(os.getpid(), signal.SIGINT)
        return None

def outcome(fn):
    try:
        return fn(Q, DB, n_threads=2, agg="mean").tolist()
    except BaseException as error:
        return type(error).__name__

hook = CtrlCDuringNumpyImport()
sys.meta_path.insert(0, hook)
outcomes = [outcome(q._checked.bulk_tanimoto_mmap), outcome(q.bulk_tanimoto_mmap)]
sys.meta_path.remove(hook)
outcomes += [outcome(q.bulk_tanimoto_mmap), outcome(q._checked.bulk_tanimoto_mmap)]
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(os.environ.get("QUARNEL_SANITIZER") == "address",
                    reason="the sanitizer run imports NumPy in every process at start-up")
def test_sigint_during_numpy_import_is_keyboard_interrupt_and_not_kept(tmp_path):
    Q = write_fingerprints(tmp_path / "q.fp", 3, 167, 5)
    DB = write_fingerprints(tmp_path / "db.fp", 4, 167, 6)
    done = subprocess.run([sys.executable, "-c", NUMPY_IMPORT_CHILD, Q, DB], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    outcomes = json.loads(done.stdout)
    assert outcomes[:2] == ["KeyboardInterrupt", "KeyboardInterrupt"]
    expected = q.bulk_tanimoto_mmap(Q, DB, agg="mean").tolist()
    assert outcomes[2:] == [expected, expected]


def maps(pid, path) -> bool:
    """Whether process `pid` has `path` mapped."""
    try:
        with open(f"/proc/{pid}/maps") as mappings:
            return any(line.rstrip().endswith(str(path)) for line in mappings)
    except OSError:
        return False


def test_sigint_stops_a_search_and_leaves_no_output(long_workload, tmp_path):
    queries, database = long_workload
    process = subprocess.Popen([sys.executable, "-m", "quarnel", "search", queries, database, "-k", "10",
                                "--threads", "2", "-o", "hits.tsv"], cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    # Into the engine: the database is mapped (a SIGINT during the
    # interpreter's own start-up would be another test).
    deadline = time.monotonic() + 120
    while not maps(process.pid, database) and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    sent = time.monotonic()
    _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (130, "quarnel: interrupted\n")
    assert time.monotonic() - sent < 5
    assert list(tmp_path.iterdir()) == []

"""Other Python threads run while the package's native calls work: a call
lets go of the interpreter lock while its workers compute and takes it back
only to poll for Ctrl-C, report progress and build its result.  A thread
that sleeps 10 ms at a time counts its wake-ups during the calls; it should
get about as many as over the same wall time with the main thread asleep."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import quarnel


def write_fingerprints(path, n_rows, n_bits, seed):
    """Random rows, about a quarter of the bits set, in the file format."""
    rng = np.random.default_rng(seed)
    shape = (n_rows, (n_bits + 63) // 64)
    words = rng.integers(0, 2**63, shape, dtype=np.uint64) & rng.integers(0, 2**63, shape, dtype=np.uint64)
    with open(path, "wb") as out:
        out.write(np.array([n_rows, n_bits], dtype="<u4").tobytes())
        out.write(words.astype("<u8").tobytes())
    return str(path)


@pytest.fixture(scope="module")
def workload(tmp_path_factory):
    """A set whose internal mean, and a pool whose MaxMin pick, each keep
    one thread busy for most of a second."""
    folder = tmp_path_factory.mktemp("threads")
    return (write_fingerprints(folder / "set.fp", 12_000, 2048, 1),
            write_fingerprints(folder / "pool.fp", 50_000, 2048, 2))


class Ticker:
    """A thread that sleeps 10 ms at a time and counts its wake-ups."""

    def __init__(self):
        self.ticks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            time.sleep(0.01)
            self.ticks += 1

    def __enter__(self):
        self._thread.start()
        while self.ticks == 0:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def ticks_during_and_bare(call, at_least=1.0):
    """Ticks while `call` runs (again until `at_least` seconds have passed,
    whatever the machine's speed), and ticks over the same wall time with
    the main thread asleep: what the ticker gets when nobody holds the lock."""
    with Ticker() as ticker:
        first, start = ticker.ticks, time.monotonic()
        while time.monotonic() - start < at_least:
            call()
        during, elapsed = ticker.ticks - first, time.monotonic() - start
        first = ticker.ticks
        time.sleep(elapsed)
        bare = ticker.ticks - first
    return during, bare


# One call from each native family, as a user writes it, on one worker so
# that the other core is the ticker's: the ratio then measures the lock,
# not a share of the processors.
CALLS = {
    "scoring-internal": lambda fps, pool: quarnel.similarity(fps, agg="mean", n_threads=1),
    "checked-internal-mmap": lambda fps, pool: quarnel.internal_tanimoto_mmap(fps, n_threads=1, agg="mean"),
    "pickers-maxmin": lambda fps, pool: quarnel.maxmin_pick(pool, 5000, seed=7, n_threads=1),
}


@pytest.mark.parametrize("call", CALLS)
def test_another_thread_keeps_ticking_during_a_native_call(call, workload):
    during, bare = ticks_during_and_bare(lambda: CALLS[call](*workload))
    assert during >= 0.8 * bare, (during, bare)


# A daemon thread that loops over calls while the main thread ticks, then
# ends the program while the daemon is still inside a call.
DAEMON_CHILD = """
import sys, threading, time
import quarnel
fps = sys.argv[1]
inside = threading.Event()
def search_forever():
    while True:
        inside.set()
        quarnel.internal_tanimoto_mmap(fps, n_threads=1, agg="mean")
threading.Thread(target=search_forever, daemon=True).start()
inside.wait()
ticks, start = 0, time.monotonic()
while time.monotonic() - start < 0.5:
    time.sleep(0.01)
    ticks += 1
print(ticks, flush=True)
"""


@pytest.mark.skipif(os.environ.get("QUARNEL_SANITIZER") == "address",
                    reason="UBSan's type check reports the catch of glibc's forced unwind, by which the "
                           "interpreter ends a daemon thread at exit")
def test_a_program_ends_cleanly_while_a_daemon_thread_is_in_a_call(workload):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(DAEMON_CHILD), workload[0]],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    # The main thread ran during the call (the lock was free), so the
    # program ended in the middle of one.
    assert int(done.stdout) >= 20

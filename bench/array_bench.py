"""Fingerprints from a NumPy array against the same rows mapped from a file,
measured in the same run.

    .venv/bin/python bench/array_bench.py [--rows 1000000] [--queries 64] [--repeat 5]

An (N, W) uint64 array is read in place by the extension, like a mapped
file; the goal is that it costs no more than 5 ns per database row over the
file.  Each case is a top-10 search of `--queries` random 2048-bit rows
through `quarnel.search` (the package's own path, resolver included), with
the database given as the file and as the array; best of `--repeat`.
"""

import argparse
import platform
import tempfile
import time
from pathlib import Path

import numpy as np

import quarnel
from quarnel.fingerprint_file import write_rows


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def random_rows(rng, n, words=32):
    # Two draws ANDed: about a quarter of the bits set, like a dense fingerprint.
    return rng.integers(0, 2**63, (n, words), dtype=np.uint64) & rng.integers(0, 2**63, (n, words), dtype=np.uint64)


def best_time(call, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    rows, queries = random_rows(rng, args.rows), random_rows(rng, args.queries)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "db.qfp"
        write_rows(path, rows, 2048)
        by_file = quarnel.search(queries, path, k=10)
        by_array = quarnel.search(queries, rows, k=10)
        assert np.array_equal(by_file.scores, by_array.scores) and np.array_equal(by_file.indices, by_array.indices)
        file_s = best_time(lambda: quarnel.search(queries, path, k=10), args.repeat)
        array_s = best_time(lambda: quarnel.search(queries, rows, k=10), args.repeat)
    print(f"CPU: {cpu_model()}")
    print(f"{args.queries} queries x {args.rows} rows, top-10, 2048 bits, all threads")
    print(f"  mapped file: {file_s:.3f} s")
    print(f"  uint64 array: {array_s:.3f} s")
    print(f"  array over file: {(array_s - file_s) / args.rows * 1e9:+.2f} ns per row (goal: at most +5)")


if __name__ == "__main__":
    main()

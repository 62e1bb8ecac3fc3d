"""Latency of single-query searches over a prepared database.

One query at a time, top-10 and threshold 0.7 and 0.5 (Tanimoto) over
1,000,000 Morgan radius-2 2048-bit rows (Debian's NCI molecules grown by
flipping bits, as bench/data.py builds them), from an object that
`_quarnel._scoring.prepare` made once, on 1 and 2 threads, against the
same calls on the plain fingerprint file and on the plain (array, n_bits)
pair.  Queries are 100 of the real molecules; each figure is the median
call time over them, after one untimed call per case.  It also times the
preparation itself and one call with all 100 queries, and checks that
every prepared answer equals the plain one.

    .venv/bin/python bench/latency_bench.py [--rows N] [--queries Q] [--workdir DIR]

The grown database is written to --workdir (default bench/results/, which
git ignores) and reused by later runs with the same --rows.  Not a test.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data  # noqa: E402

import _quarnel  # noqa: E402

N_BITS = 2048
scoring = _quarnel._scoring


def database(workdir: Path, n_rows: int):
    """The grown rows, mapped from their file, and the molecules' own rows."""
    path = workdir / f"latency_{N_BITS}_{n_rows}.fps"
    base_path = workdir / f"latency_{N_BITS}_base.npy"
    if not path.exists() or not base_path.exists():
        workdir.mkdir(parents=True, exist_ok=True)
        base = data.pack([data.fingerprint(m, N_BITS) for m in data.read_molecules()], N_BITS)
        rows = data.grow(base, n_rows, N_BITS, np.random.default_rng(20240611))
        data.write_fps(path, rows, N_BITS)
        np.save(base_path, base)
    rows = np.memmap(path, dtype="<u8", mode="r", offset=8).reshape(-1, N_BITS // 64)
    return path, np.ascontiguousarray(rows), np.load(base_path)


def median_ms(call, queries):
    """The median time of call(query) over the queries, in milliseconds."""
    call(queries[0])
    times = []
    for query in queries:
        start = time.perf_counter()
        call(query)
        times.append(time.perf_counter() - start)
    return 1e3 * statistics.median(times)


def same(a, b):
    return all(np.array_equal(x, y) for x, y in zip(a, b))


def cpu_name():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    names = [line.split(":", 1)[1].strip() for line in out.splitlines() if line.startswith("Model name")]
    return names[0] if names else "unknown"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=100)
    parser.add_argument("--workdir", type=Path, default=Path(__file__).resolve().parent / "results")
    args = parser.parse_args(argv)

    path, rows, base = database(args.workdir, args.rows)
    picks = np.random.default_rng(7).choice(len(base), args.queries, replace=False)
    queries = [(base[i : i + 1].copy(), N_BITS) for i in picks]
    batch = (base[picks].copy(), N_BITS)
    plain = {"file": str(path), "array": (rows, N_BITS)}
    print(f"CPU: {cpu_name()}; {len(rows):,} rows of {N_BITS} bits; {len(queries)} queries")

    cases = {
        "top-10": lambda q, db, t: scoring.cross_topk(q, db, k=10, n_threads=t),
        "threshold 0.7": lambda q, db, t: scoring.cross_threshold(q, db, 0.7, n_threads=t),
        "threshold 0.5": lambda q, db, t: scoring.cross_threshold(q, db, 0.5, n_threads=t),
    }
    print(f"{'case':<15}{'threads':>8}{'file ms':>10}{'array ms':>10}{'prepared ms':>13}{'batch file':>12}"
          f"{'batch prep':>12}")
    for n_threads in (1, 2):
        start = time.perf_counter()
        prepared = scoring.prepare(str(path), n_threads=n_threads)
        built = time.perf_counter() - start
        for name, call in cases.items():
            for query in queries[:5]:
                assert same(call(query, prepared, n_threads), call(query, plain["array"], n_threads)), name
            times = [median_ms(lambda q: call(q, db, n_threads), queries)
                     for db in (plain["file"], plain["array"], prepared)]
            batch_times = []
            for db in (plain["file"], prepared):
                start = time.perf_counter()
                result = call(batch, db, n_threads)
                batch_times.append(1e3 * (time.perf_counter() - start))
            assert same(result, call(batch, plain["array"], n_threads)), name
            print(f"{name:<15}{n_threads:>8}{times[0]:>10.2f}{times[1]:>10.2f}{times[2]:>13.2f}"
                  f"{batch_times[0]:>12.1f}{batch_times[1]:>12.1f}")
        print(f"{'prepare':<15}{n_threads:>8}{'':>10}{'':>10}{1e3 * built:>13.1f}   "
              f"({prepared.nbytes / 2**20:.0f} MiB)")
        del prepared


if __name__ == "__main__":
    main()

"""The quarnel functions' cost over calling _quarnel directly, on in-memory
cases small enough that a per-call or per-element cost would show.

    .venv/bin/python bench/package_overhead.py
"""

import time

import numpy as np

import _quarnel
import quarnel
from fingerprint_bench import cpu_model

import data


def best_of_both(direct, package, args, kwargs, repeat=40):
    """Best times of the two, measured in turn so that other work on the
    machine weighs on both alike."""
    times = {direct: [], package: []}
    for _ in range(repeat):
        for function in (direct, package):
            start = time.perf_counter()
            function(*args, **kwargs)
            times[function].append(time.perf_counter() - start)
    return min(times[direct]), min(times[package])


def load_rows(n_rows, n_bits=2048):
    import tempfile
    from pathlib import Path

    base = data.pack([data.fingerprint(m, n_bits) for m in data.read_molecules()], n_bits)
    rows = data.grow(base, n_rows, n_bits, np.random.default_rng(7))
    with tempfile.TemporaryDirectory() as folder:
        return _quarnel.load_fingerprints(data.write_fps(Path(folder) / "db.fp", rows, n_bits))


def main():
    fps = load_rows(20_000)
    queries = fps[:20]
    cases = {
        "max, 20 x 20,000": ("bulk_tanimoto_parallel", (queries, fps), {"agg": "max"}),
        "top-10, 20 x 20,000": ("bulk_tanimoto_parallel_topk", (queries, fps), {"k": 10}),
        "internal max, 2,000": ("internal_tanimoto_parallel", (fps[:2000],), {"agg": "max"}),
    }
    print(cpu_model())
    for name, (function, args, kwargs) in cases.items():
        direct, package = best_of_both(getattr(_quarnel, function), getattr(quarnel, function), args, kwargs)
        print(f"{name:24s} _quarnel {direct * 1e3:8.3f} ms   quarnel {package * 1e3:8.3f} ms   "
              f"{100 * (package / direct - 1):+5.1f}%")


if __name__ == "__main__":
    main()

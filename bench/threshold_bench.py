"""Threshold search and Butina clustering, measured.

    .venv/bin/python bench/threshold_bench.py [--rows 200000] [--out FILE]

1. Internal threshold search at 0.7 over the first `--rows` rows of the
   benchmark's grown 2048-bit database (see data.py), from a mapped file,
   with 1 and 2 threads: pairs answered per second per core, N(N-1)/2 pairs
   credited whether computed or skipped by the bit-count bound.
2. Butina at 0.6 on the NCI molecules: quarnel.butina against RDKit's
   Butina.ClusterData fed by BulkTanimotoSimilarity, one query at a time.
3. Butina at 0.6 on `--rows` rows: time and peak memory beside the size of
   the neighbour lists (the CSR arrays the threshold search returns).

Each case runs in a fresh process so that its peak memory is its own.
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from worker import status_mib

BENCH = Path(__file__).resolve().parent


def peak_mib():
    return status_mib("VmHWM")


def rss_mib():
    return status_mib("VmRSS")


def case_internal(path, threads):
    import _quarnel

    _quarnel.internal_tanimoto_mmap_threshold(path, 0.7, threads)  # warms the page cache
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        indptr, indices, scores = _quarnel.internal_tanimoto_mmap_threshold(path, 0.7, threads)
        best = min(best, time.perf_counter() - start)
    n = len(indptr) - 1
    pairs = n * (n - 1) / 2
    return {"rows": n, "threads": threads, "seconds": best, "hits": int(indptr[-1]),
            "M_pairs_per_s_per_core": pairs / best / threads / 1e6}


def case_butina(path, reordering):
    import quarnel

    before = rss_mib()
    start = time.perf_counter()
    clusters = quarnel.butina(path, 0.6, reordering=reordering)
    seconds = time.perf_counter() - start
    import _quarnel

    indptr, indices, scores = _quarnel.internal_tanimoto_mmap_threshold(path, 0.6)
    lists = (indptr.nbytes + indices.nbytes + scores.nbytes) / 2**20
    return {"seconds": seconds, "clusters": len(clusters), "reordering": reordering,
            "neighbour_lists_mib": lists, "peak_mib_over_start": peak_mib() - before,
            "peak_over_lists": (peak_mib() - before) / lists if lists else None}


def case_rdkit_butina(smiles_limit, reordering):
    from rdkit import DataStructs
    from rdkit.ML.Cluster import Butina

    import data
    import quarnel

    fps = [data.fingerprint(m, 2048) for m in data.read_molecules()][:smiles_limit]
    start = time.perf_counter()
    distances = []
    for i in range(1, len(fps)):
        distances.extend(1 - s for s in DataStructs.BulkTanimotoSimilarity(fps[i], fps[:i]))
    expected = Butina.ClusterData(distances, len(fps), 1 - 0.6, isDistData=True, reordering=reordering)
    rdkit_seconds = time.perf_counter() - start
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        got = quarnel.butina(fps, 0.6, reordering=reordering)
        best = min(best, time.perf_counter() - start)
    return {"molecules": len(fps), "reordering": reordering, "rdkit_seconds": rdkit_seconds,
            "quarnel_seconds": best, "speedup": rdkit_seconds / best, "identical": got == expected}


def run_case(name, *args):
    done = subprocess.run([sys.executable, __file__, "--case", json.dumps([name, *args])],
                          capture_output=True, text=True, cwd=BENCH, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--out")
    parser.add_argument("--case")
    args = parser.parse_args()
    if args.case:
        name, *rest = json.loads(args.case)
        print(json.dumps(globals()[name](*rest)))
        return
    import data
    from fingerprint_bench import cpu_model

    with tempfile.TemporaryDirectory() as folder:
        base = data.pack([data.fingerprint(m, 2048) for m in data.read_molecules()], 2048)
        rows = data.grow(base, args.rows, 2048, np.random.default_rng(20240611))
        path = str(data.write_fps(Path(folder) / "db.fp", rows, 2048))
        results = {"cpu": cpu_model(), "rows": args.rows}
        results["internal_0.7"] = [run_case("case_internal", path, t) for t in (1, 2)]
        one, two = results["internal_0.7"]
        results["internal_0.7_scaling"] = two["M_pairs_per_s_per_core"] * 2 / one["M_pairs_per_s_per_core"]
        results["butina_nci"] = [run_case("case_rdkit_butina", 10**9, r) for r in (False, True)]
        results["butina_rows"] = run_case("case_butina", path, False)
    text = json.dumps(results, indent=2)
    print(text)
    if args.out:
        Path(args.out).write_text(text + "\n")


if __name__ == "__main__":
    main()

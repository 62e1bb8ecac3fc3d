"""MaxMin and Leader picking, measured against RDKit's pickers.

    .venv/bin/python bench/pick_bench.py [--quick] [--out FILE]

Data: the benchmark's 2048-bit database grown from real molecules (see
data.py), written to a fingerprint file and mapped.

1. MaxMin, 1,000 picks (seed 0) from 1,000,000 rows with 1 and 2 threads:
   time, and peak memory over the start beside the file's size plus 16
   bytes a row.  RDKit's LazyBitVectorPick runs in the same process on the
   first 100,000 rows; its time is scaled by rows (the lazy picker's work
   grows with the rows for a fixed number of picks).  Our picks on those
   100,000 rows are checked against RDKit's.
2. Leader at similarity 0.6 over the first 100,000 rows, against RDKit's on
   the same rows, picks checked equal.

`--quick`: 100 picks from 200,000 rows, RDKit on 20,000; Leader on 20,000.
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


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def case_maxmin(path, n, threads):
    import quarnel

    before = status_mib("VmRSS")
    picks, seconds = timed(lambda: quarnel.maxmin_pick(path, n, seed=0, n_threads=threads))
    rows = quarnel.Database(path).rows
    file_mib = Path(path).stat().st_size / 2**20
    peak = status_mib("VmHWM") - before
    return {"rows": rows, "picks": len(picks), "threads": threads, "seconds": seconds,
            "peak_mib_over_start": peak, "allowed_mib": file_mib + 16 * rows / 2**20}


def case_rdkit_maxmin(path, n):
    from rdkit.SimDivFilters.rdSimDivPickers import MaxMinPicker

    import quarnel

    fps = quarnel.load_fingerprints(path)
    expected, seconds = timed(lambda: list(MaxMinPicker().LazyBitVectorPick(fps, len(fps), n, seed=0)))
    ours, our_seconds = timed(lambda: quarnel.maxmin_pick(path, n, seed=0, n_threads=1))
    return {"rows": len(fps), "picks": n, "rdkit_seconds": seconds, "quarnel_1_thread_seconds": our_seconds,
            "identical": ours.tolist() == expected}


def case_leader(path, threshold):
    from rdkit.SimDivFilters.rdSimDivPickers import LeaderPicker

    import quarnel

    fps = quarnel.load_fingerprints(path)
    expected, seconds = timed(lambda: list(LeaderPicker().LazyBitVectorPick(fps, len(fps), 1 - threshold)))
    result = {"rows": len(fps), "threshold": threshold, "picks": len(expected), "rdkit_seconds": seconds}
    for threads in (1, 2):
        ours, our_seconds = timed(lambda: quarnel.leader_pick(path, threshold, n_threads=threads))
        result[f"quarnel_{threads}_thread_seconds"] = our_seconds
        result[f"identical_{threads}"] = ours.tolist() == expected
    result["speedup_1_thread"] = seconds / result["quarnel_1_thread_seconds"]
    result["speedup_2_threads"] = seconds / result["quarnel_2_thread_seconds"]
    return result


def run_case(name, *args):
    done = subprocess.run([sys.executable, __file__, "--case", json.dumps([name, *args])],
                          capture_output=True, text=True, cwd=BENCH, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--case")
    args = parser.parse_args()
    if args.case:
        name, *rest = json.loads(args.case)
        print(json.dumps(globals()[name](*rest)))
        return
    import data
    from fingerprint_bench import cpu_model

    rows, rdkit_rows, picks, leader_rows = (200_000, 20_000, 100, 20_000) if args.quick else \
        (1_000_000, 100_000, 1000, 100_000)
    with tempfile.TemporaryDirectory() as folder:
        base = data.pack([data.fingerprint(m, 2048) for m in data.read_molecules()], 2048)
        grown = data.grow(base, rows, 2048, np.random.default_rng(20240611))
        path = str(data.write_fps(Path(folder) / "db.fp", grown, 2048))
        rdkit_path = str(data.write_fps(Path(folder) / "rdkit.fp", grown[:rdkit_rows], 2048))
        leader_path = str(data.write_fps(Path(folder) / "leader.fp", grown[:leader_rows], 2048))
        del grown
        results = {"cpu": cpu_model(), "quick": args.quick}
        maxmin = [run_case("case_maxmin", path, picks, t) for t in (1, 2)]
        rdkit = run_case("case_rdkit_maxmin", rdkit_path, picks)
        rdkit_scaled = rdkit["rdkit_seconds"] * rows / rdkit_rows
        results["maxmin"] = maxmin
        results["maxmin_rdkit_rows"] = rdkit
        results["maxmin_rdkit_seconds_scaled_to_rows"] = rdkit_scaled
        results["maxmin_speedup_per_thread"] = [rdkit_scaled / (m["seconds"] * m["threads"]) for m in maxmin]
        results["maxmin_2_over_1_threads"] = maxmin[0]["seconds"] / maxmin[1]["seconds"]
        results["leader_0.6"] = run_case("case_leader", leader_path, 0.6)
    text = json.dumps(results, indent=2)
    print(text)
    if args.out:
        Path(args.out).write_text(text + "\n")


if __name__ == "__main__":
    main()

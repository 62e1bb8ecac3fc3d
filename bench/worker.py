"""Runs one benchmark case in a fresh process, so each peak-memory reading
belongs to that case alone, and prints its measurements as one JSON line.

    worker.py '{"func": "bulk", "agg": "max", "queries": ..., "db": ..., ...}'
    worker.py '{"func": "rdkit", ...}'
    worker.py '{"func": "read_lists", "db": ..., "min_time": ...}'
    worker.py '{"func": "hostile", "path": ...}'
"""

import json
import os
import resource
import sys
import time

import numpy as np
from rdkit import DataStructs  # registers the converters load_fingerprints needs

import _quarnel as q


def status_mib(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise KeyError(field)


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def machine_busy_seconds():
    """CPU time the whole machine spent busy (steal included: time the host
    gave to someone else), from /proc/stat."""
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:9]]
    idle, iowait = ticks[3], ticks[4]
    return (sum(ticks) - idle - iowait) / os.sysconf("SC_CLK_TCK")


def reset_peak():
    """Restarts VmHWM at the current RSS, so loading the inputs does not
    count towards the call's peak; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def ours(case):
    func, agg, threads = case["func"], case.get("agg"), case["threads"]
    qp, dp = case.get("queries"), case["db"]
    if func in ("bulk", "topk"):
        queries, db = q.load_fingerprints(qp), q.load_fingerprints(dp)
    elif func == "internal":
        db = q.load_fingerprints(dp)
    calls = {
        "bulk": lambda: q.bulk_tanimoto_parallel(queries, db, n_threads=threads, agg=agg),
        "topk": lambda: q.bulk_tanimoto_parallel_topk(queries, db, k=case["k"], n_threads=threads),
        "internal": lambda: q.internal_tanimoto_parallel(db, n_threads=threads, agg=agg),
        "bulk_mmap": lambda: q.bulk_tanimoto_mmap(qp, dp, n_threads=threads, agg=agg),
        "topk_mmap": lambda: q.bulk_tanimoto_mmap_topk(qp, dp, k=case["k"], n_threads=threads),
        "internal_mmap": lambda: q.internal_tanimoto_mmap(dp, n_threads=threads, agg=agg),
    }
    call = calls[func]

    exact_peak = reset_peak()
    before = status_mib("VmRSS")
    start = time.perf_counter()
    result = call()  # also the warm-up: pulls mapped files into this process
    first = time.perf_counter() - start
    peak = status_mib("VmHWM")
    result_bytes = sum(a.nbytes for a in (result if isinstance(result, tuple) else (result,)))
    del result

    times, cpu_before, busy_before = [], cpu_seconds(), machine_busy_seconds()
    while not times or sum(times) < case["min_time"]:
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return {
        "seconds": min(times), "first_seconds": first, "calls": len(times),
        # Near the thread count when the workers are busy; lower means idle
        # workers or a machine shared with other work.
        "cpu_per_wall": (cpu_seconds() - cpu_before) / sum(times),
        # Cores' worth of other work meanwhile: timings with much of it are suspect.
        "others_cores": max(0.0, machine_busy_seconds() - busy_before - (cpu_seconds() - cpu_before)) / sum(times),
        "rss_before_mib": before, "call_peak_mib": peak - before, "exact_peak": exact_peak,
        "result_bytes": result_bytes,
        "ru_maxrss_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def read_lists(case):
    """What reading an ExplicitBitVect list costs per object: a top-k call
    with k = 0 reads both lists and scores nothing, and the same call with a
    one-vector database gives the fixed cost to take away."""
    fps = q.load_fingerprints(case["db"])
    one = fps[:1]
    read = lambda db: q.bulk_tanimoto_parallel_topk(one, db, k=0, n_threads=1)

    def best(db):
        read(db)  # warm-up
        times = []
        while not times or sum(times) < case["min_time"]:
            start = time.perf_counter()
            read(db)
            times.append(time.perf_counter() - start)
        return min(times), len(times)

    seconds, calls = best(fps)
    fixed, _ = best(one)
    return {"objects": len(fps), "seconds": seconds, "fixed_seconds": fixed, "calls": calls,
            "ns_per_object": (seconds - fixed) / (len(fps) - 1) * 1e9}


def bandwidth(case):
    """Bytes per second of one thread, and of two threads, each summing its
    part of a buffer far larger than the cache: the memory the scans share.
    NumPy's reduction leaves the interpreter lock while it runs."""
    import threading
    words = np.ones(case["mib"] << 17, dtype=np.uint64)  # written once, so its pages exist

    def rate(parts):
        best = 0.0
        for _ in range(case.get("tries", 3)):
            threads = [threading.Thread(target=np.add.reduce, args=(part,)) for part in parts]
            start = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            best = max(best, words.nbytes / (time.perf_counter() - start))
        return best

    half = len(words) // 2
    return {"mib": case["mib"], "bytes_per_s_1t": rate([words]), "bytes_per_s_2t": rate([words[:half], words[half:]])}


HOSTILE = {
    "bulk_tanimoto_mmap_topk(p, p, k=1)": lambda p: q.bulk_tanimoto_mmap_topk(p, p, k=1),
    "bulk_tanimoto_mmap(p, p, agg='max')": lambda p: q.bulk_tanimoto_mmap(p, p, agg="max"),
    "internal_tanimoto_mmap(p)": lambda p: q.internal_tanimoto_mmap(p),
    "load_fingerprints(p)": lambda p: q.load_fingerprints(p),
}


def hostile(case):
    """How long each function takes to refuse an 8-byte file announcing
    2^32 - 1 rows of 0 bits (results no machine here can hold)."""
    out = []
    for name, call in HOSTILE.items():
        start = time.perf_counter()
        try:
            call(case["path"])
            outcome = "returned"
        except Exception as error:
            outcome = type(error).__name__
        out.append({"call": name, "outcome": outcome, "seconds": time.perf_counter() - start})
    return {"calls": out}


def top(row, k):
    best = np.argpartition(-row, k - 1)[:k] if k < len(row) else np.arange(len(row))
    best = best[np.argsort(-row[best], kind="stable")]
    return best, row[best]


def rdkit(case):
    """RDKit's BulkTanimotoSimilarity over the same files, one thread, on a
    few queries (or a few rows of the triangle for the internal modes), and
    whether ours gives the same answers for those queries: timings of wrong
    answers would mean nothing."""
    queries = q.load_fingerprints(case["queries"])[: case["n_queries"]]
    db = q.load_fingerprints(case["db"])
    bulk = DataStructs.BulkTanimotoSimilarity
    aggs = {"mean": np.mean, "max": np.max, "min": np.min}
    out, agrees = {}, {}

    def timed(name, pairs, run):
        start = time.perf_counter()
        result = run()
        out[name] = {"pairs": pairs, "seconds": time.perf_counter() - start}
        return result

    pairs = len(queries) * len(db)
    for mode in case["modes"]:
        if mode == "full":
            theirs = timed(mode, pairs, lambda: np.array([bulk(f, db) for f in queries]))
            agrees[mode] = np.array_equal(q.bulk_tanimoto_parallel(queries, db), theirs)
        elif mode in aggs:
            theirs = timed(mode, pairs, lambda: np.array([aggs[mode](np.asarray(bulk(f, db))) for f in queries]))
            mine = q.bulk_tanimoto_parallel(queries, db, agg=mode)
            # NumPy sums pairwise, the module left to right: means agree to rounding.
            agrees[mode] = np.allclose(mine, theirs, rtol=1e-12, atol=0) if mode == "mean" else np.array_equal(mine, theirs)
        else:
            k = int(mode.removeprefix("top"))
            theirs = timed(mode, pairs, lambda: [top(np.asarray(bulk(f, db)), k) for f in queries])
            # Ties may pick other rows; the scores must match.
            mine = q.bulk_tanimoto_parallel_topk(queries, db, k=k)[1]
            agrees[mode] = np.array_equal(mine, np.array([scores for _, scores in theirs]))
    out["agrees"] = {mode: bool(ok) for mode, ok in agrees.items()}
    if not case.get("internal"):
        return out

    fps = q.load_fingerprints(case["internal"])
    rows = np.linspace(0, len(fps) - 2, case["n_rows"]).astype(int)
    tri_pairs = int(sum(len(fps) - 1 - i for i in rows))

    def internal_max():
        best = np.full(len(fps), -1.0)
        for i in rows:  # each pair once: the row's best and its columns' best
            s = np.asarray(bulk(fps[i], fps[i + 1:]))
            best[i] = max(best[i], s.max())
            np.maximum(best[i + 1:], s, out=best[i + 1:])

    timed("internal_full", tri_pairs, lambda: np.concatenate([bulk(fps[i], fps[i + 1:]) for i in rows]))
    timed("internal_max", tri_pairs, internal_max)
    return out


if __name__ == "__main__":
    job = json.loads(sys.argv[1])
    run = {"rdkit": rdkit, "read_lists": read_lists, "hostile": hostile, "bandwidth": bandwidth}.get(job["func"], ours)
    print(json.dumps(run(job)))

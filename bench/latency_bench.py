"""One query at a time: the latency of `quarnel.Database(path).search([q])`
over an open database, beside the exhaustive scan and the RDKit PostgreSQL
cartridge.

The database: Morgan radius-2 2048-bit fingerprints of Debian's NCI
molecules and the RDKit PAINS test set (``wehi_mols.csv``), grown by
flipping a few bits per copy (seeded, as bench/data.py grows them) to each
size asked for.  Queries: 100 of the real molecules, given as the user
gives them, one ``ExplicitBitVect`` in a list.  For each size, on 1 and 2
threads: top-10, and every hit at thresholds 0.7 and 0.5 (Tanimoto), median
and p95 over the queries after one untimed call; the same through the
exhaustive scan (``window_rows`` set, which maps and scans the whole file
on every call); all the queries in one call, per query; the first search's
cost (opening and grouping the rows).  Then a 1,000-row database's top-10,
the fixed cost of a call.

Where PostgreSQL with the RDKit cartridge runs (`scripts/setup_postgres.sh`;
`bench/postgres_peer.py` says how it is loaded), the same fingerprints in a
table with a GiST index, queried from this client after a warm-up pass:
the exact search ``WHERE fp % q ORDER BY tanimoto_sml(fp, q) DESC LIMIT 10``
at 0.7 and 0.5, and the GiST nearest neighbours ``ORDER BY fp <%> q LIMIT
10``, with the agreement of their hits with quarnel's: threshold hits (ids
and scores) and top-10 scores.

    .venv/bin/python bench/latency_bench.py [--rows 100000,1000000] [--queries 100] [--no-postgres]

Results go to bench/latency_results.json; the grown databases are kept in
bench/results/ (ignored by git) for later runs.  Not a test.
"""

from __future__ import annotations

import argparse
import csv
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import data  # noqa: E402
import postgres_peer  # noqa: E402

import quarnel  # noqa: E402

N_BITS = 2048
PAINS_CSV = "/usr/share/RDKit/Data/Pains/test_data/wehi_mols.csv"
THRESHOLDS = (0.7, 0.5)


def molecules():
    from rdkit import Chem

    found = data.read_molecules()
    with open(PAINS_CSV, newline="") as table:
        found += [Chem.MolFromSmiles(row[0]) for row in csv.reader(table) if row]
    return [m for m in found if m is not None and m.GetNumAtoms()]


def grown_database(workdir: Path, base: np.ndarray, n_rows: int) -> Path:
    path = workdir / f"latency_{N_BITS}_{n_rows}.qfp"
    if not path.exists():
        workdir.mkdir(parents=True, exist_ok=True)
        rows = data.grow(base, max(n_rows, len(base)), N_BITS, np.random.default_rng(20240611))[:n_rows]
        data.write_fps(path.with_suffix(".part"), rows, N_BITS)
        path.with_suffix(".part").rename(path)
    return path


def timed(call, queries):
    """(median ms, p95 ms) of call(query) over the queries, after one untimed call."""
    call(queries[0])
    times = []
    for query in queries:
        start = time.perf_counter()
        call(query)
        times.append(1e3 * (time.perf_counter() - start))
    return statistics.median(times), float(np.percentile(times, 95))


def cpu_name() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    names = [line.split(":", 1)[1].strip() for line in out.splitlines() if line.startswith("Model name")]
    return names[0] if names else "unknown"


def quarnel_cases(path: Path, queries, n_rows: int):
    report = {}
    with quarnel.Database(path) as db:
        start = time.perf_counter()
        db.search([queries[0]], k=10)
        report["first search ms (opens and groups the rows)"] = 1e3 * (time.perf_counter() - start)
        for n_threads in (1, 2):
            cases = {"top-10": dict(k=10)}
            cases.update({f"threshold {t}": dict(threshold=t) for t in THRESHOLDS})
            for name, options in cases.items():
                open_ms = timed(lambda q: db.search([q], n_threads=n_threads, **options), queries)
                scan_ms = timed(lambda q: db.search([q], n_threads=n_threads, window_rows=n_rows, **options),
                                queries[:20])
                start = time.perf_counter()
                db.search(queries, n_threads=n_threads, **options)
                batch = 1e3 * (time.perf_counter() - start) / len(queries)
                start = time.perf_counter()
                db.search(queries, n_threads=n_threads, window_rows=n_rows, **options)
                batch_scan = 1e3 * (time.perf_counter() - start) / len(queries)
                report[f"{name}, {n_threads} thread(s)"] = {
                    "open median ms": open_ms[0], "open p95 ms": open_ms[1],
                    "exhaustive median ms": scan_ms[0], "exhaustive p95 ms": scan_ms[1],
                    "all queries in one call, ms per query": batch,
                    "the same exhaustively, ms per query": batch_scan}
                print(f"  {name:<14} {n_threads} thr: open {open_ms[0]:7.2f} ms (p95 {open_ms[1]:7.2f}), "
                      f"exhaustive {scan_ms[0]:7.2f} ms; batch {batch:6.3f} against {batch_scan:6.3f} ms a query",
                      flush=True)
    return report


def fixed_cost(workdir: Path, base: np.ndarray, queries):
    workdir.mkdir(parents=True, exist_ok=True)
    path = workdir / f"latency_{N_BITS}_1000.qfp"
    data.write_fps(path, base[:1000], N_BITS)
    with quarnel.Database(path) as db:
        result = {}
        for n_threads in (1, 2):
            median, p95 = timed(lambda q: db.search([q], k=10, n_threads=n_threads), queries * 5)
            result[f"{n_threads} thread(s)"] = {"median us": 1e3 * median, "p95 us": 1e3 * p95}
            print(f"  1,000 rows, top-10, {n_threads} thr: {1e3 * median:.1f} us (p95 {1e3 * p95:.1f})")
    return result


def cartridge_cases(path: Path, queries, n_rows: int):
    from rdkit import DataStructs

    connection = postgres_peer.connect()
    words = np.memmap(path, dtype="<u8", mode="r", offset=8).reshape(-1, N_BITS // 64)
    report = {"load s": postgres_peer.load(connection, words, N_BITS)}
    texts = [DataStructs.BitVectToBinaryText(q) for q in queries]
    db = quarnel.Database(path)
    with connection.cursor() as cursor:
        for query in texts:  # the warm-up pass
            postgres_peer.threshold_topk(cursor, "fps", query, 0.7, 10)
        for threshold in THRESHOLDS:
            exact = timed(lambda q: postgres_peer.threshold_topk(cursor, "fps", q, threshold, 10), texts)
            agree = 0
            for query, text in zip(queries, texts):
                theirs = postgres_peer.threshold_all(cursor, "fps", text, threshold)
                ours = db.search([query], threshold=threshold)
                mine = sorted(zip(ours.indices.tolist(), ours.scores.tolist()))
                agree += [(i, s) for i, s in theirs] == mine
            report[f"exact at {threshold}, top-10"] = {"median ms": exact[0], "p95 ms": exact[1],
                                                      "queries whose threshold hits agree": agree}
            print(f"  cartridge exact {threshold}: {exact[0]:7.2f} ms (p95 {exact[1]:7.2f}); "
                  f"hits agree in {agree} of {len(queries)}", flush=True)
        knn = timed(lambda q: postgres_peer.nearest(cursor, "fps", q, 10), texts)
        wrong = 0
        for query, text in zip(queries, texts):
            _, scores = postgres_peer.nearest(cursor, "fps", text, 10)
            wrong += scores != db.search([query], k=10).scores[0].tolist()
        report["nearest neighbours <%>, top-10"] = {"median ms": knn[0], "p95 ms": knn[1],
                                                   "queries with a wrong top-10": wrong}
        print(f"  cartridge <%>: {knn[0]:7.2f} ms (p95 {knn[1]:7.2f}); wrong top-10 in {wrong} of {len(queries)}")
    connection.close()
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", default="100000,1000000", help="database sizes, comma-separated")
    parser.add_argument("--queries", type=int, default=100)
    parser.add_argument("--no-postgres", action="store_true", help="leave the cartridge out")
    parser.add_argument("--workdir", type=Path, default=HERE / "results")
    args = parser.parse_args(argv)

    mols = molecules()
    fps = [data.fingerprint(m, N_BITS) for m in mols]
    base = data.pack(fps, N_BITS)
    picks = np.random.default_rng(7).choice(len(fps), args.queries, replace=False)
    queries = [fps[i] for i in picks]
    with_postgres = not args.no_postgres and postgres_peer.available()
    results = {"cpu": cpu_name(), "molecules": len(fps), "queries": len(queries), "sizes": {}}
    print(f"CPU: {results['cpu']}; {len(fps)} molecules grown; {len(queries)} queries; "
          f"cartridge {'on' if with_postgres else 'off'}", flush=True)
    results["1,000 rows"] = fixed_cost(args.workdir, base, queries)
    for n_rows in (int(n) for n in args.rows.split(",")):
        print(f"{n_rows:,} rows", flush=True)
        path = grown_database(args.workdir, base, n_rows)
        size = {"quarnel": quarnel_cases(path, queries, n_rows)}
        if with_postgres:
            size["cartridge"] = cartridge_cases(path, queries, n_rows)
        results["sizes"][str(n_rows)] = size
    (HERE / "latency_results.json").write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()

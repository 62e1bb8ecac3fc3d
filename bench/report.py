"""Ratios, pass/fail against the targets, the printed table and the plot."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

BIG = "top10_1M"
VS_RDKIT = {"full": 25, "mean": 40, "max": 40, "min": 40, BIG: 150}  # at 2048 bits
TARGET_WIDTH = 2048
SCALING, INTERNAL, MAPPED, MEMORY = 1.8, 0.85, 0.95, 1.05
BUSY = 0.2
CROSS_OF = {"internal_full": "full", "internal_max": "max"}


def rdkit_rate(rdkit_runs, width, mode):
    db, key = ("db", "top10") if mode == BIG else ("subset", mode)
    for run in rdkit_runs:
        if run["width"] == width and run["db"] == db and key in run:
            return run[key]["pairs"] / run[key]["seconds"]
    return None  # internal modes are timed under their own names; errors leave no rate


def ratio(a, b):
    return a / b if a and b else None


def analyse(cases, rdkit_runs):
    rate = {(c["width"], c["mode"], c["source"], c["threads"]): c.get("pairs_per_s") for c in cases}
    rows, checks = [], []

    def check(target, row, value, limit, at_most=False):
        if value is not None:
            ok = value <= limit if at_most else value >= limit
            checks.append({"target": target, "width": row["width"], "mode": row["mode"], "source": row["source"],
                           "value": value, "limit": limit, "pass": ok, "others_cores": row["others"]})
            return ok

    for key in dict.fromkeys((c["width"], c["mode"], c["source"]) for c in cases):
        width, mode, source = key
        group = [c for c in cases if (c["width"], c["mode"], c["source"]) == key]
        one, two = rate.get((*key, 1)), rate.get((*key, 2))
        row = {"width": width, "mode": mode, "source": source, "pairs": group[0]["pairs"],
               "words": -(-width // 64),
               "rate_1t": one, "rate_2t": two, "rdkit_rate": rdkit_rate(rdkit_runs, width, mode)}
        row["vs_rdkit"] = ratio(one, row["rdkit_rate"])
        row["others"] = max((c["others_cores"] for c in group if "seconds" in c), default=None)
        row["cpu_2t"] = next((c["cpu_per_wall"] for c in group if c["threads"] == 2 and "seconds" in c), None)
        row["scaling"] = ratio(two, one)
        row["input_rows"] = group[0]["input_bytes"] // (8 * row["words"])
        if source == "mmap":
            row["vs_mem"] = [ratio(rate.get(key[:2] + ("mmap", t)), rate.get(key[:2] + ("mem", t))) for t in (1, 2)]
        if mode in CROSS_OF:
            row["vs_cross"] = [ratio(rate.get((width, mode, source, t)), rate.get((width, CROSS_OF[mode], source, t)))
                               for t in (1, 2)]
        done = [c for c in group if "seconds" in c]
        row["peak_mib"] = max((c["call_peak_mib"] for c in done), default=None)
        row["peak_vs_budget"] = max((c["call_peak_mib"] * 2**20 / (c["input_bytes"] + c["result_bytes"])
                                     for c in done), default=None)

        row["checks"] = {}
        if width == TARGET_WIDTH and mode in VS_RDKIT:
            row["checks"]["vs_rdkit"] = check(f"ours per thread >= {VS_RDKIT[mode]}x RDKit per thread",
                                              row, row["vs_rdkit"], VS_RDKIT[mode])
        row["checks"]["scaling"] = check(f"2 threads >= {SCALING}x 1 thread", row, row["scaling"], SCALING)
        for name, limit, values in (("vs_mem", MAPPED, row.get("vs_mem")), ("vs_cross", INTERNAL, row.get("vs_cross"))):
            if values and any(v is not None for v in values):
                target = "mapped >= 95% of in-memory" if name == "vs_mem" else "internal >= 85% of cross pairs/s"
                row["checks"][name] = all(check(target, row, v, limit) is not False for v in values)
        row["checks"]["peak"] = check("peak <= 105% of inputs + result", row, row["peak_vs_budget"], MEMORY, at_most=True)
        rows.append(row)
    return rows, checks


GROUP = 32  # query rows that share one pass over the database (engine/query_groups.hpp)


def stream_rate(row, threads):
    """Database bytes per second streamed, counting one pass per group of up
    to GROUP queries: what the case asks of memory."""
    rate, words = row.get(f"rate_{threads}t"), row.get("words")
    return rate * words * 8 / GROUP if rate and words else None


def reading_bound(row, list_reading):
    """The most two threads can gain on an in-memory case whose lists are
    read on the calling thread alone, at the whole-call rate measured for
    reading a list of this width: (reading + scan) / (reading + scan / 2)."""
    per_object = next((r["seconds"] / r["objects"] for r in list_reading
                       if r["width"] == row["width"] and "seconds" in r), None)
    if row["source"] != "mem" or not per_object or not row.get("rate_1t") or "input_rows" not in row:
        return None
    whole = row["pairs"] / row["rate_1t"]
    reading = min(whole, row["input_rows"] * per_object)
    return whole / (reading + (whole - reading) / 2)


def goals(results):
    """The round's goals, each a ratio from this run: value, limit, pass."""
    out = []

    def goal(name, value, limit, at_most=False, note=""):
        ok = None if value is None else (value <= limit if at_most else value >= limit)
        out.append({"goal": name, "value": value, "limit": limit, "pass": ok, "note": note})

    kb = results.get("kernel_bench", {}).get("backends", {})
    new, old = kb.get("avx2", {}).get("l2"), kb.get("avx2-lookup", {}).get("l2")
    clock = results.get("kernel_bench", {}).get("clock_hz")
    cycles = (f"{clock / new:.1f} against {clock / old:.1f} cycles a pair at {clock / 1e9:.2f} GHz"
              if clock and new and old else "")
    goal("kernel_bench AVX2 2048 bits from L2 / the lookup loop it replaced", ratio(new, old), 1.5,
         note=cycles if kb else results.get("kernel_bench", {}).get("error", ""))
    rd = {m: run[m]["pairs"] / run[m]["seconds"] for run in results["rdkit"] if run.get("db") == "goal"
          for m in ("full", "mean", "max", "top10") if m in run}
    for g in results.get("goal_cases", []):
        if g["threads"] == 1 and not g["case"].startswith("max between"):
            limit = 25 if g["case"].startswith("full 8x") else 40
            goal(f"{g['case']} 1 thread / RDKit", ratio(g.get("pairs_per_s"), rd.get(g["mode"])), limit,
                 note=f"others {g.get('others_cores', 0):.1f} cores")
    for r in results.get("list_reading", []):
        if r["width"] == 2048 and "seconds" in r:
            goal("reading 200,000 2048-bit ExplicitBitVect, whole call, ns per object",
                 r["seconds"] / r["objects"] * 1e9, 50, at_most=True,
                 note=f"net of fixed cost {r['ns_per_object']:.1f}")
    rows = {(r["mode"], r["source"]): r for r in results["rows"] if r["width"] == TARGET_WIDTH}
    big = rows.get((BIG, "mmap"), {})
    goal("top10 over a mapped 1,000,000 rows / RDKit", big.get("vs_rdkit"), 150)
    imax = rows.get(("internal_max", "mem"), {}).get("vs_cross") or [None]
    halves = next((g.get("pairs_per_s") for g in results.get("goal_cases", [])
                   if g["case"].startswith("max between")), None)
    same_data = ratio(rows.get(("internal_max", "mem"), {}).get("rate_1t"), halves)
    goal("internal max / cross-set max pairs/s, 1 thread", imax[0], 0.85,
         note="" if same_data is None else f"{same_data:.2f} against the max between its own halves")
    goal("mean mapped / RDKit", rows.get(("mean", "mmap"), {}).get("vs_rdkit"), 40)
    mapped = [v for r in rows.values() for v in (r.get("vs_mem") or []) if v is not None]
    widest = results["machine"].get("forced_kernel") or next((n for n in ("avx512", "avx2") if n in kb), None)
    straddling = ratio(kb.get(f"{widest}+8B", {}).get("l2"), kb.get(widest, {}).get("l2"))
    goal("mapped / in-memory, worst case", min(mapped, default=None), 0.95,
         note="" if straddling is None else
         f"{widest} on rows one word into their lines, as a file's are: {straddling:.2f} of its rate from L2")
    bw2 = results.get("bandwidth", {}).get("bytes_per_s_2t")
    worst = None
    for r in rows.values():
        if r["scaling"] is None:
            continue
        share = ratio(stream_rate(r, 2), bw2)
        score = max(r["scaling"] / SCALING, (share or 0) / 0.9)
        if worst is None or score < worst[0]:
            worst = (score, r, share)
    if worst:
        _, r, share = worst
        bound = reading_bound(r, results.get("list_reading", []))
        goal(f"2 threads / 1 >= {SCALING}x or >= 90% of the probe, worst: {r['mode']} {r['source']}",
             r["scaling"], SCALING, note=f"{share or 0:.0%} of the 2-thread probe" + (
                 "" if bound is None else f"; reading the lists on the calling thread bounds it at {bound:.2f}"))
    return out


def mark(value, ok, digits=2):
    if value is None:
        return "-"
    text = f"{value:.{digits}f}" if not isinstance(value, list) else "/".join(
        "-" if v is None else f"{v:.{digits}f}" for v in value)
    return text if ok is None else f"{text} {'ok' if ok else 'FAIL'}"


def cpu_line(m):
    """Which of the kernels' instruction sets the CPU has, and any cap."""
    flags = m.get("cpu_flags", {})
    text = " ".join(f for f, present in flags.items() if present) or "no x86 flags read"
    vpopcnt = "with" if flags.get("avx512_vpopcntdq") else "without"
    return f"{vpopcnt} AVX-512 VPOPCNTDQ; flags: {text}; QUARNEL_KERNEL={m.get('forced_kernel') or 'unset'}"


def table(results):
    m, cfg = results["machine"], results["config"]
    lines = [
        f"quarnel benchmark ({results['profile']}), {m['date']}: {m['cpu']} ({cpu_line(m)}), {m['usable_cores']} cores, "
        f"commit {m['commit']}{' + uncommitted src' if m['uncommitted_changes'] else ''}; "
        f"{results['molecules']} NCI molecules grown to {cfg['db_rows']:,} rows; {results['wall_seconds']} s",
        f"In-memory cases use ExplicitBitVect lists of the first {cfg['subset']:,} rows (made by load_fingerprints), "
        "as do the mapped cases, so both see the same data;",
        f"{BIG} searches all {cfg['db_rows']:,} rows"
        + ("." if cfg["big_in_memory"] else ", from the file only (a million ExplicitBitVect objects is too slow here)."),
        "Mp/s: million pairs per second (internal: N(N-1)/2 pairs). RDKit: BulkTanimotoSimilarity "
        "(+ numpy argpartition for top-k), one thread, on a few queries.",
        "x RDKit: ours at 1 thread / RDKit. 2t cpu: CPU seconds per second in the 2-thread calls; "
        f"others: cores busy with other work meanwhile (worst of 1t, 2t; above {BUSY} the timings are suspect; "
        "such a case runs again if the machine goes quiet).",
        "peak: the call's VmHWM growth (larger of 1t, 2t), "
        "and that over packed inputs + result.",
        "",
    ]
    head = ("bits", "mode", "src", "pairs", "1t Mp/s", "2t Mp/s", "GB/s 1t/2t", "2t/1t", "RDKit Mp/s",
            "x RDKit/thread", "2t cpu", "others", "mmap/mem 1t/2t", "internal/cross 1t/2t", "peak MiB", "peak/budget")
    body = []
    for r in results["rows"]:
        c = r["checks"]
        mp = lambda v: "-" if v is None else f"{v / 1e6:.1f}"
        body.append((str(r["width"]), r["mode"], r["source"], f"{r['pairs'] / 1e6:.3g}M", mp(r["rate_1t"]),
                     mp(r["rate_2t"]), "/".join("-" if (b := stream_rate(r, t)) is None else f"{b / 1e9:.1f}" for t in (1, 2)),
                     mark(r["scaling"], c.get("scaling")), mp(r["rdkit_rate"]),
                     mark(r["vs_rdkit"], c.get("vs_rdkit"), 1), mark(r["cpu_2t"], None, 1), mark(r["others"], None, 1), mark(r.get("vs_mem"), c.get("vs_mem")),
                     mark(r.get("vs_cross"), c.get("vs_cross")), mark(r["peak_mib"], None, 1),
                     mark(r["peak_vs_budget"], c.get("peak"))))
    widths = [max(len(x) for x in col) for col in zip(head, *body)]
    for cells in (head, *body):
        lines.append("  ".join(x.rjust(w) if i > 2 else x.ljust(w) for i, (x, w) in enumerate(zip(cells, widths))))

    bw = results.get("bandwidth", {})
    if "bytes_per_s_1t" in bw:
        lines.append(f"\nGB/s: database bytes streamed per second, one pass per group of up to {GROUP} queries; "
                     f"the streaming probe ({bw['mib']} MiB summed by NumPy) gives {bw['bytes_per_s_1t'] / 1e9:.1f} GB/s "
                     f"with 1 thread, {bw['bytes_per_s_2t'] / 1e9:.1f} GB/s with 2.")
    if results.get("list_reading"):
        lines.append("\nreading ExplicitBitVect lists (distinct objects; a top-k call with k = 0, less its fixed cost):")
        for r in results["list_reading"]:
            lines.append(f"  {r['width']:>5} bits: " + (f"{r['ns_per_object']:6.1f} ns per object ({r['objects']:,} objects)"
                                                       if "ns_per_object" in r else r.get("error", "-")))
        bounds = [(r, reading_bound(r, results["list_reading"])) for r in results["rows"]]
        bounds = [f"{r['mode']} {b:.2f}" for r, b in bounds if b is not None and r["width"] == TARGET_WIDTH]
        if bounds:
            lines.append(f"  so two threads gain at most, in memory at {TARGET_WIDTH} bits, the lists being read "
                         "on the calling thread alone: " + ", ".join(bounds))
    if results.get("hostile_header"):
        lines.append("\nhostile header (8 bytes announcing 2^32 - 1 rows of 0 bits), time to the outcome:")
        for h in results["hostile_header"]:
            took = "-" if h["seconds"] is None else f"{h['seconds'] * 1e3:.2f} ms"
            lines.append(f"  {h['call']}: {h['outcome']} in {took}")

    lines.append("\ntargets:")
    for target in dict.fromkeys(c["target"] for c in results["checks"]):
        group = [c for c in results["checks"] if c["target"] == target]
        failed = [c for c in group if not c["pass"]]
        worst = min(group, key=lambda c: (c["limit"] - c["value"]) if "<=" in target else (c["value"] - c["limit"]))
        lines.append(f"  {target}: {len(group) - len(failed)}/{len(group)} pass"
                     + (f"; worst {worst['width']} {worst['mode']} {worst['source']}: {worst['value']:.2f}" if failed else "")
                     + (f"; {contended} of the failures beside other work" if (contended := sum(
                         (c["others_cores"] or 0) > BUSY for c in failed)) else ""))
    if results.get("goals"):
        lines.append(f"\ngoals ({m['cpu']}; {cpu_line(m)}; streaming probe "
                     + (f"{bw['bytes_per_s_1t'] / 1e9:.1f}/{bw['bytes_per_s_2t'] / 1e9:.1f} GB/s 1t/2t):"
                        if "bytes_per_s_1t" in bw else "not run):"))
        for g in results["goals"]:
            verdict = "-" if g["pass"] is None else "ok" if g["pass"] else "FAIL"
            value = "-" if g["value"] is None else f"{g['value']:.2f}"
            sign = "<=" if "ns per object" in g["goal"] else ">="
            lines.append(f"  {g['goal']}: {value} ({sign} {g['limit']}) {verdict}" + (f"; {g['note']}" if g["note"] else ""))
        for g in results.get("goal_cases", []):
            lines.append(f"    {g['case']} {g['threads']}t: " + (f"{g['pairs_per_s'] / 1e6:.1f} Mpairs/s, others {g['others_cores']:.1f} cores"
                                                             if "pairs_per_s" in g else g.get("error", "-")))
    errors = [c for c in results["cases"] if "error" in c] + [r for r in results["rdkit"] if "error" in r]
    for e in errors:
        lines.append(f"  error {e['width']} {e.get('mode', 'RDKit ' + e.get('db', ''))} {e.get('source', '')} "
                     f"{e.get('threads', '')}: {e['error']}")
    agrees = [(r["width"], r["db"], mode, ok) for r in results["rdkit"] for mode, ok in r.get("agrees", {}).items()]
    wrong = [f"{w} {mode} over {db}" for w, db, mode, ok in agrees if not ok]
    lines.append(f"  answers equal to RDKit's on its queries: {len(agrees) - len(wrong)}/{len(agrees)}"
                 + (f"; DIFFERENT: {', '.join(wrong)}" if wrong else ""))
    return "\n".join(lines)


def plot(results, path):
    widths = list(dict.fromkeys(r["width"] for r in results["rows"]))
    fig, axes = plt.subplots(len(widths), 1, figsize=(12, 3.6 * len(widths)), squeeze=False)
    series = [("mem", 1), ("mem", 2), ("mmap", 1), ("mmap", 2)]
    for ax, width in zip(axes[:, 0], widths):
        rows = [r for r in results["rows"] if r["width"] == width]
        modes = list(dict.fromkeys(r["mode"] for r in rows))
        step = 1 / (len(series) + 2)
        for i, (source, threads) in enumerate(series + [("RDKit", 1)]):
            values = []
            for mode in modes:
                match = [r for r in rows if r["mode"] == mode and (source == "RDKit" or r["source"] == source)]
                key = "rdkit_rate" if source == "RDKit" else f"rate_{threads}t"
                values.append((match[0][key] or 0) / 1e6 if match else 0)
            ax.bar([x + (i - 2) * step for x in range(len(modes))], values, step,
                   label=f"{source}, {threads} thread{'s' if threads > 1 else ''}")
        ax.set_xticks(range(len(modes)), modes)
        ax.set_yscale("log")
        ax.set_ylabel("million pairs / s")
        ax.set_title(f"{width} bits")
        ax.grid(axis="y", alpha=0.3)
    m = results["machine"]
    fig.suptitle(f"_quarnel throughput by mode and thread count ({m['cpu']}, {m['usable_cores']} cores, {m['date'][:10]})")
    top = 1 - 0.75 / fig.get_figheight()  # room for the title and legend, in inches
    fig.legend(*axes[0, 0].get_legend_handles_labels(), ncols=5, fontsize="small",
               loc="upper center", bbox_to_anchor=(0.5, top + 0.4 / fig.get_figheight()))
    fig.tight_layout(rect=(0, 0, 1, top))
    fig.savefig(path, dpi=110)
    plt.close(fig)

"""Fingerprinting throughput: `quarnel.fingerprint_molecules` on every core
beside a plain single-threaded RDKit loop over the same SMILES file.

    .venv/bin/python bench/fingerprint_bench.py [--copies N] [--type morgan]

The input is Debian's NCI first_5K.smi repeated N times (default 8, about
40,000 molecules).  The loop parses each SMILES, makes the fingerprint with
RDKit's generator and keeps it, as a user's script would; quarnel also
writes the database.  Best of three runs each.
"""

import argparse
import json
import os
import platform
import sys
import tempfile
import time
from pathlib import Path

import quarnel

NCI = Path("/usr/share/RDKit/Data/NCI/first_5K.smi")


def cpu_model():
    with open("/proc/cpuinfo") as info:
        text = info.read()
    model = next(line.split(":", 1)[1].strip() for line in text.splitlines() if line.startswith("model name"))
    return model + (" (AVX-512 VPOPCNTDQ)" if "avx512_vpopcntdq" in text else " (AVX2, no AVX-512)")


def rdkit_loop(path, settings):
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    fingerprint = settings.fingerprinter()
    fps = []
    with open(path) as lines:
        for line in lines:
            fields = line.split()
            if fields:
                mol = Chem.MolFromSmiles(fields[0])
                if mol is not None:
                    fps.append(fingerprint(mol))
    return len(fps)


def best_of(runs, work):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--copies", type=int, default=8)
    parser.add_argument("--type", default="morgan", choices=quarnel.settings.FINGERPRINT_TYPES)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    settings = quarnel.FingerprintSpec(type=args.type)
    with tempfile.TemporaryDirectory() as folder:
        source = Path(folder) / "input.smi"
        source.write_bytes(NCI.read_bytes() * args.copies)
        loop_seconds, loop_rows = best_of(args.runs, lambda: rdkit_loop(source, settings))
        output = Path(folder) / "out.qfp"
        quarnel_seconds, report = best_of(args.runs, lambda: quarnel.fingerprint_molecules(
            source, output, fingerprint=args.type))
        assert report.rows == loop_rows
    workers = len(os.sched_getaffinity(0))
    result = {
        "cpu": cpu_model(),
        "cores": workers,
        "python": platform.python_version(),
        "type": args.type,
        "molecules": loop_rows,
        "rdkit_loop_seconds": round(loop_seconds, 3),
        "quarnel_seconds": round(quarnel_seconds, 3),
        "speedup": round(loop_seconds / quarnel_seconds, 2),
        "quarnel_molecules_per_second": round(loop_rows / quarnel_seconds),
    }
    json.dump(result, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()

"""FPS reading and writing speed: about a million random 2048-bit rows
written from a database to an FPS file and read back into one.

    PYTHONPATH=$PWD .venv/bin/python bench/fps_bench.py [--rows N]
"""

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np

import quarnel
from quarnel import fps


def cpu_model() -> str:
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--bits", type=int, default=2048)
    rows, bits = parser.parse_args().rows, parser.parse_args().bits
    rng = np.random.default_rng(7)
    # Sparse-ish like real fingerprints; the speed does not depend on it.
    words = rng.integers(0, 2**64, size=(rows, bits // 64), dtype=np.uint64)
    words &= rng.integers(0, 2**64, size=words.shape, dtype=np.uint64)
    names = [f"mol{row}" for row in range(rows)]
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        database = quarnel.save_database(words, folder / "lib.qfp", names=names)
        del words
        start = time.perf_counter()
        fps.write_fps(database, folder / "lib.fps")
        write = time.perf_counter() - start
        size = (folder / "lib.fps").stat().st_size
        start = time.perf_counter()
        fps.read_fps(folder / "lib.fps", folder / "back.qfp")
        read = time.perf_counter() - start
        same = np.array_equal(quarnel.Database(folder / "back.qfp").to_numpy(), database.to_numpy())
    print(f"cpu: {cpu_model()}")
    print(f"{rows} rows of {bits} bits, {size / 1e6:.0f} MB of FPS text; round trip exact: {same}")
    print(f"write: {write:.2f} s, {rows / write:,.0f} rows/s")
    print(f"read:  {read:.2f} s, {rows / read:,.0f} rows/s")


if __name__ == "__main__":
    main()

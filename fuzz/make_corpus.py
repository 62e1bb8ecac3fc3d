"""Writes the seed corpus of the fingerprint-file fuzzer: the format's edge
cases, one file each.  Inputs that once broke something are kept beside them
under names starting "regression-"; this script leaves those alone.

The fuzzer reads the last 16 bytes of an input as db_offset and db_limit, so
a complete file followed by 16 bytes of tail also chooses a window.
"""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
ONES = 2**64 - 1


def header(count, n_bits):
    return struct.pack("<II", count, n_bits)


def words(*values):
    return struct.pack(f"<{len(values)}Q", *values)


def window(offset, limit):
    return struct.pack("<QQ", offset, limit)


def pseudo_random_words(n, seed=0x9E3779B97F4A7C15):
    out, x = [], seed
    for _ in range(n):
        x = (x * 6364136223846793005 + 1442695040888963407) % 2**64
        out.append(x)
    return words(*out)


def seeds():
    for size in range(8):
        yield f"short-{size}-bytes", b"\x01" * size
    yield "empty-set", bytes(8)
    yield "empty-set-with-junk", header(0, 1024) + b"\xff" * 20
    yield "empty-set-huge-length", header(0, 2**32 - 1) + b"junk"
    yield "one-100-bit", header(1, 100) + words(0, 1 << 35)
    three = header(3, 2048) + pseudo_random_words(3 * 32)
    yield "three-2048-bit", three
    yield "three-2048-bit-one-byte-short", three[:-1]
    yield "three-2048-bit-window-1-1", three + window(1, 1)
    yield "truncated-second-row", header(2, 64) + words(7)
    yield "truncated-inside-a-word", header(1, 167) + bytes(20)
    yield "huge-count-huge-length", header(2**32 - 1, 2**32 - 1)
    yield "huge-count-zero-width", header(2**32 - 1, 0)
    yield "huge-count-zero-width-window-near-end", header(2**32 - 1, 0) + window(2**32 - 3, 5)
    yield "one-row-huge-length", header(1, 2**32 - 1) + bytes(64)
    yield "three-zero-width", header(3, 0)
    yield "stray-bits-past-length", header(3, 70) + words(1, ONES, 2, ONES, ONES, 0)
    ten = header(10, 64) + pseudo_random_words(10, seed=7)
    yield "ten-rows-window-3-4", ten + window(3, 4)
    yield "ten-rows-window-past-end", ten + window(50, 5)
    yield "ten-rows-window-max", ten + window(ONES, ONES)


def main():
    CORPUS.mkdir(exist_ok=True)
    for name, data in seeds():
        (CORPUS / name).write_bytes(data)


if __name__ == "__main__":
    main()

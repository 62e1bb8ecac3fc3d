"""The threshold searches: every pair whose score reaches the threshold, as
(indptr, indices, scores), in memory and from files, for any thread count."""

import math
import os
import struct
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _quarnel as q
import reference
from reference import fingerprint

# 0 keeps every pair, empty ones included; 1/3, 1/2, 2/3 and 1 are scored
# exactly by the nested vectors below, whose bound from the bit counts is
# then equal to the threshold, so a pruning that drops ties shows.
THRESHOLDS = (0.0, 1 / 3, 0.5, 2 / 3, 0.7, 1.0)
THRESHOLD_ERROR = "Invalid threshold. Choose a value from 0.0 to 1.0."
NESTED = [fingerprint(64, range(n)) for n in (0, 1, 2, 3, 4, 6, 8, 9, 12)] + [fingerprint(64, [40, 41])]


def same(got, want):
    """The same three arrays: types, shapes and every bit."""
    assert type(got) is tuple and len(got) == 3
    for g, w in zip(got, want):
        assert type(g) is np.ndarray
        assert (g.dtype, g.shape) == (w.dtype, w.shape)
        assert g.tobytes() == w.tobytes()


def save(directory, name, fps):
    path = str(directory / name)
    q.save_fingerprints(fps, path)
    return path


def check_all(tmp_path, queries, db, threshold):
    """All four functions against the reference, on one thread and on several."""
    qpath, dpath = save(tmp_path, "q.fp", queries), save(tmp_path, "db.fp", db)
    cross = reference.cross_threshold(queries, db, threshold)
    internal = reference.internal_threshold(db, threshold)
    for n_threads in (1, 3, -1):
        same(q.bulk_tanimoto_parallel_threshold(queries, db, threshold, n_threads), cross)
        same(q.bulk_tanimoto_mmap_threshold(qpath, dpath, threshold, n_threads), cross)
        same(q.internal_tanimoto_parallel_threshold(db, threshold, n_threads), internal)
        same(q.internal_tanimoto_mmap_threshold(dpath, threshold, n_threads), internal)


@pytest.mark.parametrize("threshold", THRESHOLDS)
def test_nested_vectors(tmp_path, threshold):
    check_all(tmp_path, NESTED[::2], NESTED, threshold)


@pytest.mark.parametrize("threshold", THRESHOLDS)
def test_random_vectors_with_empty_and_equal_ones(tmp_path, small_set, rng, threshold):
    db = small_set + reference.random_fingerprints(rng, 40, 167, density=0.3)
    check_all(tmp_path, db[:12], db, threshold)


@pytest.mark.parametrize("threshold", [0.0, 0.35, 0.55, 1.0])
def test_molecules(tmp_path, molecule_fps, threshold):
    # More rows than a scan block holds at 2048 bits, so pieces and blocks
    # meet mid-row.
    check_all(tmp_path, molecule_fps[:50], molecule_fps, threshold)


@given(reference.fingerprint_lists(2, max_size=12), st.sampled_from(THRESHOLDS))
def test_any_width(lists, threshold):
    queries, db = lists
    same(q.bulk_tanimoto_parallel_threshold(queries, db, threshold, 2),
         reference.cross_threshold(queries, db, threshold))
    same(q.internal_tanimoto_parallel_threshold(db, threshold, 2), reference.internal_threshold(db, threshold))


@pytest.mark.parametrize("offset, limit, start, stop", [
    (0, 0, 0, 10), (3, 0, 3, 10), (3, 4, 3, 7), (9, 100, 9, 10), (10, 0, 10, 10), (50, 5, 10, 10),
])
def test_window_indices_count_from_the_file(tmp_path, small_set, offset, limit, start, stop):
    db = small_set + [fingerprint(167, [5, 100, 166])]
    qpath, dpath = save(tmp_path, "q.fp", db[:5]), save(tmp_path, "db.fp", db)
    got = q.bulk_tanimoto_mmap_threshold(qpath, dpath, 0.2, db_offset=offset, db_limit=limit)
    same(got, reference.cross_threshold(db[:5], db[start:stop], 0.2, index_offset=start))


def test_empty_sets(tmp_path):
    fps = [fingerprint(64, [1]), fingerprint(64, [1, 2])]
    wide = [fingerprint(128, [1])]
    empty, one = save(tmp_path, "empty.fp", []), save(tmp_path, "one.fp", fps[:1])
    full, wide_file = save(tmp_path, "two.fp", fps), save(tmp_path, "wide.fp", wide)
    zeros = lambda n: (np.zeros(n + 1, np.int64), np.zeros(0, np.uint32), np.zeros(0))
    for threshold in (0.0, 1.0):
        # Nothing to compare, so no bit lengths to disagree either.
        same(q.bulk_tanimoto_parallel_threshold(fps, [], threshold), zeros(2))
        same(q.bulk_tanimoto_parallel_threshold([], wide, threshold), zeros(0))
        same(q.internal_tanimoto_parallel_threshold([], threshold), zeros(0))
        same(q.internal_tanimoto_parallel_threshold(fps[:1], threshold), zeros(1))
        same(q.bulk_tanimoto_mmap_threshold(full, empty, threshold), zeros(2))
        same(q.bulk_tanimoto_mmap_threshold(empty, wide_file, threshold), zeros(0))
        same(q.bulk_tanimoto_mmap_threshold(full, wide_file, threshold, db_offset=1), zeros(2))
        same(q.internal_tanimoto_mmap_threshold(empty, threshold), zeros(0))
        same(q.internal_tanimoto_mmap_threshold(one, threshold), zeros(1))
    with pytest.raises(ValueError, match="^Fingerprint bit mismatch$"):
        q.bulk_tanimoto_parallel_threshold(fps, wide, 0.5)
    with pytest.raises(ValueError, match="^Fingerprint bit mismatch$"):
        q.bulk_tanimoto_mmap_threshold(full, wide_file, 0.5)


def test_threshold_values_accepted():
    want = reference.internal_threshold(NESTED, 0.5)
    for value in (Fraction(1, 2), np.float32(0.5), np.float64(0.5)):
        same(q.internal_tanimoto_parallel_threshold(NESTED, value), want)
    same(q.internal_tanimoto_parallel_threshold(NESTED, 1), reference.internal_threshold(NESTED, 1.0))
    same(q.internal_tanimoto_parallel_threshold(NESTED, -0.0), reference.internal_threshold(NESTED, 0.0))


def threshold_calls(tmp_path):
    """Each function with inputs that cannot be read: any error about the
    threshold must come before them."""
    missing = str(tmp_path / "missing.fp")
    return [
        lambda t: q.bulk_tanimoto_parallel_threshold([1, 2], ["x"], t),
        lambda t: q.internal_tanimoto_parallel_threshold([None], threshold=t),
        lambda t: q.bulk_tanimoto_mmap_threshold(missing, missing, t, db_offset=3),
        lambda t: q.internal_tanimoto_mmap_threshold(missing, t),
    ]


@pytest.mark.parametrize("value, error, message", [
    (math.nan, ValueError, THRESHOLD_ERROR),
    (-0.1, ValueError, THRESHOLD_ERROR),
    (1.5, ValueError, THRESHOLD_ERROR),
    (math.inf, ValueError, THRESHOLD_ERROR),
    (-1, ValueError, THRESHOLD_ERROR),
    ("0.5", TypeError, "argument 'threshold': must be real number, not str"),
    (None, TypeError, "argument 'threshold': must be real number, not NoneType"),
])
def test_bad_thresholds_refused_before_reading(tmp_path, capfd, value, error, message):
    for call in threshold_calls(tmp_path):
        with pytest.raises(error) as info:
            call(value)
        assert type(info.value) is error and str(info.value) == message
    assert capfd.readouterr().err == ""  # no vector was read


def test_results_too_large_raise_memory_error(tmp_path):
    # 2^32 - 1 empty vectors of no words in an 8-byte file: at threshold 0
    # every pair is kept, which no machine holds; refused before searching.
    huge = tmp_path / "huge.fp"
    huge.write_bytes(struct.pack("<II", 2**32 - 1, 0))
    one = tmp_path / "one.fp"
    one.write_bytes(struct.pack("<II", 1, 0))
    with pytest.raises(MemoryError):
        q.bulk_tanimoto_mmap_threshold(one, huge, 0.0)
    with pytest.raises(MemoryError):
        q.internal_tanimoto_mmap_threshold(huge, 0.0)

    # A result that outgrows the memory the process may have while the
    # workers collect it: the failed allocation on a worker comes back as
    # MemoryError, and the module works afterwards.  AddressSanitizer needs
    # an address space without a cap.
    if os.environ.get("QUARNEL_SANITIZER") == "address":
        return
    def dense(name, n_rows):
        path = tmp_path / name
        with open(path, "wb") as out:
            out.write(struct.pack("<II", n_rows, 64))
            np.full(n_rows, 2**64 - 1, np.uint64).tofile(out)
        return str(path)

    queries, db = dense("queries.fp", 64), dense("db.fp", 2**22)  # 2^28 pairs, all scoring 1.0
    code = f"""
        import os, resource
        import _quarnel as q
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (size + 2**28, resource.RLIM_INFINITY))
        for threshold in (0.5, 1.0):
            try:
                q.bulk_tanimoto_mmap_threshold({queries!r}, {db!r}, threshold, 2)
                print("returned")
            except MemoryError as error:
                print("MemoryError:", error)
        indptr, indices, scores = q.bulk_tanimoto_mmap_threshold({str(one)!r}, {str(one)!r}, 0.0, 2)
        print(indptr.tolist(), indices.tolist(), scores.tolist())
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "RAYON_NUM_THREADS": "2"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["MemoryError: the pairs that reach the threshold need more memory "
                                        "than this machine has"] * 2 + ["[0, 1] [0] [0.0]"]

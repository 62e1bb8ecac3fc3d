"""The similarity functions over fingerprint files: the database window, the
agreement with the in-memory functions, and the refusal of bad files without
leaving anything open or mapped."""

import concurrent.futures
import os
import struct

import numpy as np
import pytest
from hypothesis import given

import _quarnel as q
import reference
from reference import fingerprint

AGG_ERROR = "Invalid aggregation type. Choose 'full', 'mean', 'max', or 'min'."
INVALID = "Invalid or empty binary footprint file"
MODES = (None, "full", "mean", "max", "min")
KS = (0, 1, 3, 10, 2**64 - 1)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def mapped_lines(directory):
    with open("/proc/self/maps") as maps:
        return [line for line in maps if str(directory) in line]


TEST_FILES = []  # the directory that holds every file these tests make


@pytest.fixture(autouse=True)
def nothing_left_behind(tmp_path_factory):
    """Every test ends with the descriptors it started with, and no test file mapped."""
    TEST_FILES[:] = [tmp_path_factory.getbasetemp()]
    before = open_fds()
    yield
    assert open_fds() == before
    assert mapped_lines(TEST_FILES[0]) == []


def clean_raise(exc_type, message, fn, *args, **kwargs):
    """fn fails exactly so, and the failure itself leaves nothing open or mapped."""
    before = open_fds()
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert open_fds() == before
    assert mapped_lines(TEST_FILES[0]) == []


def save(directory, name, fps):
    path = directory / name
    q.save_fingerprints(fps, path)
    return str(path)


def raw(directory, name, data):
    path = directory / name
    path.write_bytes(data)
    return str(path)


def same(got, want):
    """Identical arrays (or tuples of them): type, shape and every bit."""
    if isinstance(want, tuple):
        assert type(got) is tuple and len(got) == len(want)
        for g, w in zip(got, want):
            same(g, w)
        return
    assert type(got) is np.ndarray
    assert (got.dtype, got.shape) == (want.dtype, want.shape)
    assert got.tobytes() == want.tobytes()


def assert_twins(qpath, dpath, queries, db, n_threads=-1):
    """Each file-backed function equals its in-memory twin on the same sets."""
    for agg in MODES:
        same(q.bulk_tanimoto_mmap(qpath, dpath, n_threads, agg),
             q.bulk_tanimoto_parallel(queries, db, agg=agg))
        same(q.internal_tanimoto_mmap(dpath, n_threads, agg), q.internal_tanimoto_parallel(db, agg=agg))
    for k in KS:
        same(q.bulk_tanimoto_mmap_topk(qpath, dpath, k, n_threads),
             q.bulk_tanimoto_parallel_topk(queries, db, k=k))


@pytest.fixture
def ten(tmp_path, small_set):
    """A 167-bit query file and a 10-row database file with empty and equal rows."""
    db = small_set + [fingerprint(167, [5, 100, 166])]
    queries = small_set[:3] + small_set[6:8]
    return save(tmp_path, "q.bin", queries), save(tmp_path, "db.bin", db), queries, db


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("mmap")


# ---------------------------------------------------------------------------
# Agreement with the in-memory functions


def test_morgan_twins(tmp_path, molecule_fps):
    queries, db = molecule_fps[:40], molecule_fps[30:]
    assert_twins(save(tmp_path, "q.bin", queries), save(tmp_path, "db.bin", db), queries, db)


@given(reference.fingerprint_lists(2, max_size=7))
def test_any_width_twins(workdir, lists):
    queries, db = lists
    assert_twins(save(workdir, "q.bin", queries), save(workdir, "db.bin", db), queries, db, n_threads=2)


# ---------------------------------------------------------------------------
# The database window


@pytest.mark.parametrize("offset, limit, start, stop", [
    (0, 0, 0, 10), (3, 0, 3, 10), (3, 4, 3, 7), (3, 100, 3, 10), (9, 1, 9, 10),
    (0, 2**64 - 1, 0, 10), (10, 0, 10, 10), (50, 5, 10, 10), (2**64 - 1, 2**64 - 1, 10, 10),
])
def test_window(ten, offset, limit, start, stop):
    qpath, dpath, queries, db = ten
    window = db[start:stop]
    for agg in MODES:
        got = q.bulk_tanimoto_mmap(qpath, dpath, agg=agg, db_offset=offset, db_limit=limit)
        same(got, reference.cross(queries, window, agg))
    for k in (1, 3, 10):
        indices, scores = q.bulk_tanimoto_mmap_topk(qpath, dpath, k, db_offset=offset, db_limit=limit)
        want_indices, want_scores = q.bulk_tanimoto_parallel_topk(queries, window, k=k)
        # Indices count from the first row of the file, not of the window.
        same(indices, (want_indices + start).astype(np.uint32))
        same(scores, want_scores)
        assert indices.shape == (len(queries), min(k, stop - start))


def test_empty_sets(tmp_path, ten):
    qpath, dpath, queries, db = ten
    none = raw(tmp_path, "none.bin", bytes(8))
    # No rows, whatever bit length the header claims and whatever follows it.
    junk = raw(tmp_path, "junk.bin", struct.pack("<II", 0, 1024) + b"\xff" * 20)
    one = save(tmp_path, "one.bin", db[:1])
    for empty in (none, junk):
        same(q.bulk_tanimoto_mmap(qpath, empty), np.zeros((5, 0)))
        same(q.bulk_tanimoto_mmap(qpath, empty, agg="mean"), np.zeros(5))
        same(q.bulk_tanimoto_mmap(empty, dpath), np.zeros((0, 10)))
        same(q.bulk_tanimoto_mmap(empty, dpath, agg="max"), np.zeros(0))
        same(q.bulk_tanimoto_mmap_topk(qpath, empty), (np.zeros((5, 0), np.uint32), np.zeros((5, 0))))
        same(q.bulk_tanimoto_mmap_topk(empty, dpath), (np.zeros((0, 0), np.uint32), np.zeros((0, 0))))
        for agg in MODES:
            same(q.internal_tanimoto_mmap(empty, agg=agg), np.zeros(0))
    same(q.internal_tanimoto_mmap(one), np.zeros(0))
    same(q.internal_tanimoto_mmap(one, agg="min"), q.internal_tanimoto_parallel(db[:1], agg="min"))


# ---------------------------------------------------------------------------
# Refusals


def test_bit_mismatch(tmp_path):
    fps = reference.random_fingerprints(np.random.default_rng(1), 3, 2048)
    q1024 = save(tmp_path, "q1024.bin", [fingerprint(1024, [1, 2])])
    q1000 = save(tmp_path, "q1000.bin", [fingerprint(1000, [1, 2])])  # same word count as 1024
    d1024 = save(tmp_path, "d1024.bin", [fingerprint(1024, [2])] * 2)
    d2048 = save(tmp_path, "d2048.bin", fps)
    for qpath, dpath in ((q1024, d2048), (q1000, d1024)):
        for agg in MODES:
            clean_raise(ValueError, "Fingerprint bit mismatch", q.bulk_tanimoto_mmap, qpath, dpath, agg=agg)
        clean_raise(ValueError, "Fingerprint bit mismatch", q.bulk_tanimoto_mmap_topk, qpath, dpath)
        clean_raise(ValueError, "Fingerprint bit mismatch", q.bulk_tanimoto_mmap_topk, qpath, dpath,
                    db_offset=1, db_limit=1)
    # An empty window has nothing to compare, so no lengths to disagree.
    same(q.bulk_tanimoto_mmap(q1024, d2048, db_offset=3), np.zeros((1, 0)))
    same(q.bulk_tanimoto_mmap(q1024, d2048, agg="mean", db_offset=7), np.zeros(1))
    same(q.bulk_tanimoto_mmap_topk(q1024, d2048, db_offset=3), (np.zeros((1, 0), np.uint32), np.zeros((1, 0))))


def every_call(path, other):
    """Each function with `path` in each of its file positions."""
    return [
        lambda **kw: q.bulk_tanimoto_mmap(path, other, **kw),
        lambda **kw: q.bulk_tanimoto_mmap(other, path, **kw),
        lambda **kw: q.bulk_tanimoto_mmap_topk(path, other, **kw),
        lambda **kw: q.bulk_tanimoto_mmap_topk(other, path, **kw),
        lambda **kw: q.internal_tanimoto_mmap(path),
    ]


def test_files_shorter_than_a_header(tmp_path, ten):
    good = ten[0]
    for size in range(8):
        bad = raw(tmp_path, f"short{size}.bin", b"\x01" * size)
        for fn in every_call(bad, good):
            clean_raise(ValueError, INVALID, fn)


def test_files_shorter_than_their_rows(tmp_path, ten):
    good = ten[0]
    ragged = tmp_path / "ragged.bin"
    q.save_fingerprints([fingerprint(1024), fingerprint(2048)], ragged)  # prints; leaves 1 of 2 rows
    row = struct.pack("<II", 1, 167) + bytes(24)
    cases = [
        (struct.pack("<II", 2, 64) + bytes(8), 24),
        (row[:-1], 32),
        (struct.pack("<II", 2**32 - 1, 2**32 - 1), 8 + 8 * (2**32 - 1) * 2**26),
        (ragged.read_bytes(), 264),
    ]
    for data, expected in cases:
        bad = raw(tmp_path, "bad.bin", data)
        message = f"Truncated binary footprint file: expected {expected} bytes, found {len(data)}"
        for fn in every_call(bad, good):
            clean_raise(ValueError, message, fn)
        # Refused whole, even where the window would hold no row.
        clean_raise(ValueError, message, q.bulk_tanimoto_mmap, good, bad, db_offset=50)
        clean_raise(ValueError, message, q.bulk_tanimoto_mmap_topk, good, bad, db_offset=2**64 - 1)


def test_error_order(tmp_path, ten):
    good = ten[0]
    missing = str(tmp_path / "missing.bin")
    short = raw(tmp_path, "short.bin", b"abcd")
    truncated = raw(tmp_path, "truncated.bin", struct.pack("<II", 1, 64))
    not_found = (FileNotFoundError, "No such file or directory (os error 2)")
    # agg is refused before any file is opened.
    clean_raise(ValueError, AGG_ERROR, q.bulk_tanimoto_mmap, missing, missing, agg="bogus")
    clean_raise(ValueError, AGG_ERROR, q.bulk_tanimoto_mmap, good, good, agg="bogus")
    clean_raise(ValueError, AGG_ERROR, q.internal_tanimoto_mmap, missing, agg="maximum")
    # path1 is opened, and its faults reported, before path2 is even converted.
    for fn in (q.bulk_tanimoto_mmap, q.bulk_tanimoto_mmap_topk):
        clean_raise(*not_found, fn, missing, short)
        clean_raise(*not_found, fn, missing, b"bytes")
        clean_raise(ValueError, INVALID, fn, short, missing)
        clean_raise(ValueError, "Truncated binary footprint file: expected 16 bytes, found 8",
                    fn, truncated, missing)
        clean_raise(ValueError, "embedded null byte", fn, missing + "\0", missing)
        clean_raise(*not_found, fn, good, missing)
        clean_raise(TypeError, "'bytes' object is not an instance of 'str'", fn, good, b"bytes")
        clean_raise(ValueError, "embedded null byte", fn, good, good + "\0")
        clean_raise(NotADirectoryError, "Not a directory (os error 20)", fn, good, good + "/x")
    clean_raise(ValueError, "embedded null byte", q.internal_tanimoto_mmap, good + "\0")
    clean_raise(*not_found, q.internal_tanimoto_mmap, missing)


# ---------------------------------------------------------------------------
# Paths and threads


def test_name_bytes_are_used_as_they_are(tmp_path, small_set):
    path = os.path.join(str(tmp_path), os.fsdecode(b"db-\xfe.bin"))
    q.save_fingerprints(small_set, path)
    same(q.internal_tanimoto_mmap(path, agg="mean"), q.internal_tanimoto_parallel(small_set, agg="mean"))


def test_threads_sharing_one_file(tmp_path, molecule_fps):
    path = save(tmp_path, "nci.bin", molecule_fps)

    def work(_):
        return (q.bulk_tanimoto_mmap_topk(path, path, 5, 2, 100, 150),
                q.bulk_tanimoto_mmap(path, path, 2, "max"),
                q.internal_tanimoto_mmap(path, 2, "mean"))

    expected = work(None)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        for result in pool.map(work, range(24)):
            same(result, expected)


def test_stray_bits_past_the_length_are_not_counted(tmp_path):
    # Another program's file may set bits past the length; loading clears
    # them, so the file-backed search must score as if they were clear.
    ones = 2**64 - 1
    path = raw(tmp_path, "stray.bin", struct.pack("<II6Q", 3, 70, 1, ones, 2, ones, ones, 0))
    loaded = q.load_fingerprints(path)
    for agg in (None, "mean", "max", "min"):
        same(q.bulk_tanimoto_mmap(path, path, agg=agg), q.bulk_tanimoto_parallel(loaded, loaded, agg=agg))
        same(q.internal_tanimoto_mmap(path, agg=agg), q.internal_tanimoto_parallel(loaded, agg=agg))
    for got, want in zip(q.bulk_tanimoto_mmap_topk(path, path, k=2), q.bulk_tanimoto_parallel_topk(loaded, loaded, k=2)):
        same(got, want)

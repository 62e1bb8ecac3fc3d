"""Properties shared by every result: the arrays themselves, independence
from the thread count, and refusal of results that cannot fit in memory."""

import gc

import numpy as np
import pytest
from rdkit import DataStructs

import _quarnel as q
import reference

THREAD_COUNTS = (1, 2, 3, 0, -1, 8)


def every_result(queries, db):
    """Each function's output for the two sets, as a flat list of arrays."""
    out = [q.bulk_tanimoto_parallel(queries, db, agg=agg) for agg in ("full", "mean", "max", "min")]
    out += list(q.bulk_tanimoto_parallel_topk(queries, db, k=7))
    out += [q.internal_tanimoto_parallel(db, agg=agg) for agg in ("full", "mean", "max", "min")]
    return out


def test_array_properties(small_set):
    one = small_set[:1]
    for arrays in (every_result(small_set, small_set), every_result([], small_set),
                   every_result(small_set, []), every_result(one, one)):
        for array in arrays:
            assert type(array) is np.ndarray
            assert array.dtype in (np.float64, np.uint32)
            assert array.dtype.isnative
            assert array.flags.c_contiguous
            assert array.flags.writeable
            assert not array.flags.owndata
            assert type(array.base).__name__ == "PySliceContainer"
    indices, scores = q.bulk_tanimoto_parallel_topk(small_set, small_set, k=3)
    assert (indices.dtype, scores.dtype) == (np.uint32, np.float64)
    assert indices.strides == (12, 4) and scores.strides == (24, 8)
    assert q.bulk_tanimoto_parallel(small_set, small_set[:5]).strides == (40, 8)
    assert indices.base is not scores.base


def test_identical_for_every_thread_count(molecule_fps):
    queries, db = molecule_fps[:70], molecule_fps[50:]
    expected = every_result(queries, db)
    for n_threads in THREAD_COUNTS:
        got = [q.bulk_tanimoto_parallel(queries, db, n_threads, agg) for agg in ("full", "mean", "max", "min")]
        got += list(q.bulk_tanimoto_parallel_topk(queries, db, 7, n_threads))
        got += [q.internal_tanimoto_parallel(db, n_threads, agg) for agg in ("full", "mean", "max", "min")]
        for want, have in zip(expected, got):
            assert want.tobytes() == have.tobytes(), n_threads


def test_rows_fewer_than_threads(small_set):
    one = small_set[:1]
    for n_threads in (1, 16):
        assert q.bulk_tanimoto_parallel(one, small_set, n_threads=n_threads).shape == (1, len(small_set))
        assert q.internal_tanimoto_parallel(small_set[:2], n_threads=n_threads, agg="mean").shape == (2,)


def test_scores_equal_rdkit(molecule_fps, small_set):
    # RDKit calls two empty vectors identical (1.0); here they score 0.0.
    for fps in (molecule_fps[:60], small_set):
        full = q.bulk_tanimoto_parallel(fps, fps)
        for i, fp in enumerate(fps):
            for j, score in enumerate(DataStructs.BulkTanimotoSimilarity(fp, fps)):
                empty_pair = fp.GetNumOnBits() == 0 and fps[j].GetNumOnBits() == 0
                assert full[i, j] == (0.0 if empty_pair else score)


def test_results_outlive_their_inputs(rng):
    fps = reference.random_fingerprints(rng, 40, 300)
    expected = reference.cross(fps, fps)
    full = q.bulk_tanimoto_parallel(fps, fps)
    view = full[5:, 3]
    indices, scores = q.bulk_tanimoto_parallel_topk(fps, fps, k=4)
    del fps
    gc.collect()
    churn = [np.full(1000, 7.0) for _ in range(100)]  # reuse of freed memory would show
    assert np.array_equal(full, expected)
    del full
    gc.collect()
    assert np.array_equal(view, expected[5:, 3])
    assert np.array_equal(indices[:, 0], np.arange(40))
    assert (scores[:, 0] == 1.0).all()
    del churn


def test_each_call_gets_its_own_buffer(small_set):
    first = q.bulk_tanimoto_parallel(small_set, small_set)
    first[:] = -1.0
    second = q.bulk_tanimoto_parallel(small_set, small_set)
    assert np.array_equal(second, reference.cross(small_set, small_set))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_result_buffers_are_freed(rng):
    fps = reference.random_fingerprints(rng, 1000, 64, density=0.2)
    q.bulk_tanimoto_parallel(fps, fps)
    before = resident_bytes()
    for _ in range(60):  # 8 MB each: a leak would show as ~480 MB
        full = q.bulk_tanimoto_parallel(fps, fps)
        full[::97] += 1.0  # touch it
        del full
        q.internal_tanimoto_parallel(fps)
    assert resident_bytes() - before < 100 * 2**20


@pytest.fixture(scope="module")
def million():
    fp = DataStructs.ExplicitBitVect(64)
    fp.SetBitsFromList([3])
    return [fp] * 1_000_000


def test_impossible_results_are_refused_up_front(million):
    # Terabytes of scores: refused before any pair is scored.
    with pytest.raises(MemoryError):
        q.bulk_tanimoto_parallel(million, million)
    with pytest.raises(MemoryError):
        q.internal_tanimoto_parallel(million)
    with pytest.raises(MemoryError):
        q.bulk_tanimoto_parallel_topk(million, million, k=2**64 - 1)
    # The module is fine afterwards.
    assert q.bulk_tanimoto_parallel(million[:2], million[:3]).tolist() == [[1.0] * 3] * 2


def test_a_freed_matrix_serves_the_next_one(rng):
    """A full matrix's storage, once the array and every view of it are
    gone, is kept for the next full matrix of about its size: the new one
    overwrites every element of the old values, while a live view keeps
    its storage out of reach."""
    fps = reference.random_fingerprints(rng, 800, 256)  # 5 MB of scores
    first = q.bulk_tanimoto_parallel(fps, fps)
    address = first.__array_interface__["data"][0]
    first[:] = -1.0
    view = first[3]
    del first
    second = q.bulk_tanimoto_parallel(fps[:790], fps, n_threads=2)
    assert second.__array_interface__["data"][0] != address
    assert (view == -1.0).all()
    del view
    third = q.bulk_tanimoto_parallel(fps[10:], fps)
    assert third.__array_interface__["data"][0] == address
    assert np.array_equal(third, reference.cross(fps[10:], fps))
    assert np.array_equal(second, reference.cross(fps[:790], fps))
    del third
    rows = fps + fps[:300]  # 1,100 rows: 4.8 MB of pairs
    pairs = q.internal_tanimoto_parallel(rows, n_threads=2)
    assert pairs.__array_interface__["data"][0] == address
    assert np.array_equal(pairs, reference.internal(rows))

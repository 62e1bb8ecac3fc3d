"""bulk_tanimoto_parallel: the score matrix and its per-query reductions."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from rdkit import DataStructs

import _quarnel as q
import reference
from reference import AGGREGATES, WIDTHS, fingerprint, fingerprint_lists

ALL_AGGS = (None, "full") + AGGREGATES


def test_kernel_edge_values():
    empty, one_a, one_b = fingerprint(64), fingerprint(64, [3]), fingerprint(64, [40])
    three, five = fingerprint(64, [1, 2, 3]), fingerprint(64, [2, 3, 7, 8, 9])
    got = q.bulk_tanimoto_parallel([empty, one_a, three], [empty, one_a, one_b, five, three])
    expected = np.array([
        [0.0, 0.0, 0.0, 0.0, 0.0],
        [0.0, 1.0, 0.0, 1 / 5, 1 / 3],
        [0.0, 1 / 3, 0.0, 2 / 6, 1.0],
    ])
    assert got.shape == (3, 5)  # rows are queries, columns the database
    assert np.array_equal(got, expected)
    assert got[2, 3] == 1 / 3  # 2 common bits of 3 and 5: the double nearest one third


@pytest.mark.parametrize("n_bits", WIDTHS)
def test_matches_reference_at_every_width(n_bits, rng):
    queries = reference.random_fingerprints(rng, 7, n_bits, density=0.3)
    db = reference.random_fingerprints(rng, 11, n_bits, density=0.3) + [fingerprint(n_bits)]
    for agg in ALL_AGGS:
        assert np.array_equal(q.bulk_tanimoto_parallel(queries, db, agg=agg),
                              reference.cross(queries, db, agg))


def test_zero_width_gives_zeros():
    fps = [fingerprint(0)] * 3
    assert np.array_equal(q.bulk_tanimoto_parallel(fps, fps[:2]), np.zeros((3, 2)))
    for agg in AGGREGATES:
        assert np.array_equal(q.bulk_tanimoto_parallel(fps, fps, agg=agg), np.zeros(3))


def test_molecules_match_reference_and_rdkit(molecule_fps):
    queries, db = molecule_fps[:40], molecule_fps
    full = q.bulk_tanimoto_parallel(queries, db)
    assert np.array_equal(full, reference.cross(queries, db))
    for i, query in enumerate(queries):
        assert full[i].tolist() == DataStructs.BulkTanimotoSimilarity(query, db)
    for agg in AGGREGATES:
        assert np.array_equal(q.bulk_tanimoto_parallel(queries, db, agg=agg),
                              reference.cross(queries, db, agg))


def test_mean_is_a_sequential_sum(molecule_fps):
    queries = molecule_fps[:30]
    db = molecule_fps * 4
    full = q.bulk_tanimoto_parallel(queries, db)
    sequential = np.array([reference.aggregate(row, "mean") for row in full])
    # The data must tell a sequential sum from NumPy's pairwise one.
    assert not np.array_equal(sequential, full.sum(axis=1) / len(db))
    assert np.array_equal(q.bulk_tanimoto_parallel(queries, db, agg="mean"), sequential)


def test_aggregates_of_a_lone_match():
    query = fingerprint(128, [1, 2, 100])
    db = [fingerprint(128, [5]), fingerprint(128, [1, 2, 100]), fingerprint(128, [127]), fingerprint(128)]
    assert q.bulk_tanimoto_parallel([query], db, agg="max").tolist() == [1.0]
    assert q.bulk_tanimoto_parallel([query], db, agg="min").tolist() == [0.0]
    assert q.bulk_tanimoto_parallel([query], db, agg="mean").tolist() == [1.0 / 4]
    # One database row: every reduction is that one score; an empty query
    # scores 0.0 against everything.
    for agg in AGGREGATES:
        got = q.bulk_tanimoto_parallel([query, fingerprint(128)], [fingerprint(128, [1, 5])], agg=agg)
        assert got.tolist() == [0.25, 0.0]


@pytest.mark.parametrize("agg", ALL_AGGS)
def test_empty_sets(agg, small_set):
    other_width = [fingerprint(1024, [1])]
    aggregated = agg in AGGREGATES
    for queries, db in [([], small_set), (small_set, []), ([], []), ([], other_width), (other_width, [])]:
        got = q.bulk_tanimoto_parallel(queries, db, agg=agg)
        assert got.dtype == np.float64
        if aggregated:  # zeros, also for min, never ones
            assert got.shape == (len(queries),)
            assert not got.any()
        else:
            assert got.shape == (len(queries), len(db))


@pytest.mark.parametrize("agg", ALL_AGGS)
def test_bit_length_mismatch(agg):
    short, wide = [fingerprint(1024, [1])], [fingerprint(2048, [1])]
    with pytest.raises(ValueError, match="^Fingerprint bit mismatch$"):
        q.bulk_tanimoto_parallel(short, wide, agg=agg)
    with pytest.raises(ValueError, match="^Fingerprint bit mismatch$"):
        q.bulk_tanimoto_parallel([fingerprint(64)], [fingerprint(0)], agg=agg)


@given(fingerprint_lists(2), st.sampled_from(ALL_AGGS))
def test_random_sets_match_reference(sets, agg):
    queries, db = sets
    assert np.array_equal(q.bulk_tanimoto_parallel(queries, db, agg=agg), reference.cross(queries, db, agg))


def test_rows_read_into_reused_storage_are_the_new_ones(rng):
    """The storage of a list read by one call serves the next call of about
    its size: dense rows first, then sparse ones of another width in the
    same bytes, then a list whose reading fails part way."""
    dense = reference.random_fingerprints(rng, 3000, 2048, density=0.6)
    assert q.bulk_tanimoto_parallel(dense[:2], dense, agg="max").shape == (2,)
    sparse = reference.random_fingerprints(rng, 4000, 1024, density=0.05) + [fingerprint(1024)]
    queries = sparse[:3]
    assert np.array_equal(q.bulk_tanimoto_parallel(queries, sparse),
                          np.array([DataStructs.BulkTanimotoSimilarity(x, sparse) for x in queries]))
    # The module's own functions print an input error and return nothing.
    assert q.bulk_tanimoto_parallel(queries, sparse[:2000] + [None] + sparse[2000:]).shape == (3, 0)
    assert np.array_equal(q.bulk_tanimoto_parallel(queries, sparse, agg="min"),
                          np.array([min(DataStructs.BulkTanimotoSimilarity(x, sparse)) for x in queries]))

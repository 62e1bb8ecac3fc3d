"""internal_tanimoto_parallel: one set against itself, as the condensed upper
triangle or one reduction per vector over all the others."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _quarnel as q
import reference
from reference import AGGREGATES, WIDTHS, fingerprint, fingerprint_lists

ALL_AGGS = (None, "full") + AGGREGATES


def test_small_sets():
    a, b, c = fingerprint(70, [1, 2, 3]), fingerprint(70, [2, 3, 7, 8, 69]), fingerprint(70, [1, 69])
    s01, s02, s12 = 2 / 6, 1 / 4, 1 / 6
    for agg in ALL_AGGS:
        assert q.internal_tanimoto_parallel([], agg=agg).shape == (0,)
        assert q.internal_tanimoto_parallel([], agg=agg).dtype == np.float64
    assert q.internal_tanimoto_parallel([a]).shape == (0,)
    for agg in AGGREGATES:
        assert q.internal_tanimoto_parallel([a], agg=agg).tolist() == [0.0]
        assert q.internal_tanimoto_parallel([a, b], agg=agg).tolist() == [s01, s01]
    assert q.internal_tanimoto_parallel([a, b]).tolist() == [s01]
    assert q.internal_tanimoto_parallel([a, b, c]).tolist() == [s01, s02, s12]
    assert q.internal_tanimoto_parallel([a, b, c], agg="mean").tolist() == [
        (s01 + s02) / 2, (s01 + s12) / 2, (s02 + s12) / 2]
    assert q.internal_tanimoto_parallel([a, b, c], agg="max").tolist() == [s01, s01, s02]
    assert q.internal_tanimoto_parallel([a, b, c], agg="min").tolist() == [s02, s12, s12]


def test_self_pairs_never_count():
    # Duplicates score 1.0 with each other, a loner 0.0 with everything; its
    # own 1.0 must not leak into its reductions.
    twin, loner, empty = fingerprint(128, [5, 6]), fingerprint(128, [100]), fingerprint(128)
    fps = [twin, loner, twin, empty]
    assert q.internal_tanimoto_parallel(fps, agg="max").tolist() == [1.0, 0.0, 1.0, 0.0]
    assert q.internal_tanimoto_parallel(fps, agg="min").tolist() == [0.0, 0.0, 0.0, 0.0]
    assert q.internal_tanimoto_parallel(fps, agg="mean").tolist() == [1 / 3, 0.0, 1 / 3, 0.0]
    zeros = [empty] * 5
    for agg in ALL_AGGS:
        assert not q.internal_tanimoto_parallel(zeros, agg=agg).any()


@pytest.mark.parametrize("n_bits", WIDTHS)
def test_matches_reference_at_every_width(n_bits, rng):
    fps = reference.random_fingerprints(rng, 9, n_bits, density=0.3) + [fingerprint(n_bits)]
    for agg in ALL_AGGS:
        got = q.internal_tanimoto_parallel(fps, agg=agg)
        assert np.array_equal(got, reference.internal(fps, agg))
    assert len(q.internal_tanimoto_parallel(fps)) == 10 * 9 // 2


def test_condensed_is_upper_triangle_of_cross(molecule_fps):
    fps = molecule_fps[:120]
    square = q.bulk_tanimoto_parallel(fps, fps)
    assert np.array_equal(q.internal_tanimoto_parallel(fps), square[np.triu_indices(len(fps), k=1)])


def test_molecules_match_reference(molecule_fps):
    for agg in ALL_AGGS:
        assert np.array_equal(q.internal_tanimoto_parallel(molecule_fps, agg=agg),
                              reference.internal(molecule_fps, agg))


def test_mean_is_a_sequential_sum(molecule_fps):
    fps = molecule_fps * 3
    square = q.bulk_tanimoto_parallel(fps, fps)
    np.fill_diagonal(square, np.nan)
    others = [row[~np.isnan(row)] for row in square]
    sequential = np.array([reference.aggregate(row, "mean") for row in others])
    assert not np.array_equal(sequential, np.array([row.sum() / len(row) for row in others]))
    assert np.array_equal(q.internal_tanimoto_parallel(fps, agg="mean"), sequential)


@given(fingerprint_lists(1, max_size=14), st.sampled_from(ALL_AGGS))
def test_random_sets_match_reference(sets, agg):
    (fps,) = sets
    assert np.array_equal(q.internal_tanimoto_parallel(fps, agg=agg), reference.internal(fps, agg))


@pytest.mark.parametrize("n_threads", [1, 2])
def test_max_of_a_large_set_walks_every_row_it_must(n_threads):
    # Thousands of rows in runs of equal counts, near copies, an empty row
    # and duplicates: the count-ordered walk must meet every row whose bound
    # can still beat its maximum, on both sides and across runs.
    rng = np.random.default_rng(5)
    base = rng.random((300, 256)) < rng.uniform(0.02, 0.3, (300, 1))
    rows = base[rng.integers(0, 300, 2500)] ^ (rng.random((2500, 256)) < 0.01)
    rows[7] = False
    rows[9] = rows[8]
    fps = [fingerprint(256, np.flatnonzero(r)) for r in rows]
    square = q.bulk_tanimoto_parallel(fps, fps)
    np.fill_diagonal(square, -1.0)
    assert np.array_equal(q.internal_tanimoto_parallel(fps, agg="max", n_threads=n_threads), square.max(axis=1))

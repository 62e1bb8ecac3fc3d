"""bulk_tanimoto_parallel_topk: the k best database rows per query, with the
heap's own tie order."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _quarnel as q
import reference
from reference import fingerprint, fingerprint_lists

# Against QUERY these score 1.0, 0.5, 0.5 and 0.25.
QUERY = fingerprint(64, [0, 1])
SCORE = {
    1.0: fingerprint(64, [0, 1]),
    0.5: fingerprint(64, [0]),
    0.25: fingerprint(64, [0, 2, 3]),
}
HALF_TOO = fingerprint(64, [1])

# (scores of database rows 0.., k, expected indices)
HEAP_CASES = [
    ([0.5, 0.5, 0.25], 3, [1, 0, 2]),  # the tie leaves in heap order
    ([0.5, 0.5, 0.25], 2, [0, 1]),
    ([0.5, 0.5, 0.25, 1.0], 3, [3, 1, 0]),
    ([0.25, 0.5, 0.5, 0.5, 1.0], 1, [4]),
    ([0.5, 0.25, 0.5, 0.5], 1, [0]),  # an equal score never enters a full heap
]


def as_fingerprints(scores):
    out, halves = [], 0
    for s in scores:
        if s == 0.5:
            out.append(SCORE[0.5] if halves % 2 == 0 else HALF_TOO)
            halves += 1
        else:
            out.append(SCORE[s])
    return out


def check(queries, db, k):
    indices, scores = q.bulk_tanimoto_parallel_topk(queries, db, k=k)
    want_indices, want_scores = reference.top_k(queries, db, k)
    assert indices.dtype == np.uint32 and scores.dtype == np.float64
    assert indices.shape == scores.shape == want_indices.shape
    assert np.array_equal(indices, want_indices)
    assert np.array_equal(scores, want_scores)
    return indices, scores


@pytest.mark.parametrize("scores, k, expected", HEAP_CASES)
def test_documented_tie_orders(scores, k, expected):
    assert reference.top_k_row(scores, k)[0] == expected
    db = as_fingerprints(scores)
    assert reference.tanimoto_matrix([QUERY], db)[0].tolist() == scores
    indices, got = q.bulk_tanimoto_parallel_topk([QUERY], db, k=k)
    assert indices.tolist() == [expected]
    assert got.tolist() == [sorted(scores, reverse=True)[:k]]


def test_many_equal_scores():
    # Every database row scores one of three values; heap order decides.
    rng = np.random.default_rng(7)
    picks = rng.choice([0.25, 0.5, 1.0], size=200).tolist()
    db = as_fingerprints(picks)
    for k in (1, 2, 3, 7, 16, 63, 64, 65, 199, 200, 500):
        check([QUERY, fingerprint(64), SCORE[0.25]], db, k)


def test_shapes_and_k():
    db = [fingerprint(64, [i]) for i in range(25)]
    for n_db, k, cols in [(25, None, 10), (4, None, 4), (25, 0, 0), (5, 6, 5), (25, 2**64 - 1, 25)]:
        kwargs = {} if k is None else {"k": k}
        indices, scores = q.bulk_tanimoto_parallel_topk(db[:3], db[:n_db], **kwargs)
        assert indices.shape == scores.shape == (3, cols)
        assert indices.dtype == np.uint32 and scores.dtype == np.float64
    # k beyond the database: every row once, best first.
    indices, scores = q.bulk_tanimoto_parallel_topk(db[:1], db[:5], k=6)
    assert sorted(indices[0].tolist()) == [0, 1, 2, 3, 4]
    assert indices[0, 0] == 0 and scores[0, 0] == 1.0


@pytest.mark.parametrize("queries, db, shape", [
    ([], [fingerprint(64)], (0, 0)),
    ([fingerprint(64)] * 3, [], (3, 0)),
    ([], [], (0, 0)),
    ([fingerprint(64)] * 2, [], (2, 0)),
])
@pytest.mark.parametrize("k", [0, 10, 2**64 - 1])
def test_empty_sets(queries, db, shape, k):
    indices, scores = q.bulk_tanimoto_parallel_topk(queries, db, k=k)
    assert indices.shape == scores.shape == shape
    assert indices.dtype == np.uint32 and scores.dtype == np.float64


def test_bit_length_mismatch():
    with pytest.raises(ValueError, match="^Fingerprint bit mismatch$"):
        q.bulk_tanimoto_parallel_topk([fingerprint(1024)], [fingerprint(2048)])
    # An empty side wins over the mismatch.
    assert q.bulk_tanimoto_parallel_topk([], [fingerprint(2048)])[0].shape == (0, 0)


def test_molecules(molecule_fps):
    queries = molecule_fps[:25]
    indices, scores = check(queries, molecule_fps, 12)
    full = q.bulk_tanimoto_parallel(queries, molecule_fps)
    assert np.array_equal(np.take_along_axis(full, indices.astype(np.int64), axis=1), scores)
    assert (np.diff(scores, axis=1) <= 0).all()
    assert (scores[:, 0] == 1.0).all()  # each query is in the database


@given(fingerprint_lists(2, max_size=30), st.integers(0, 33))
def test_random_sets_match_reference(sets, k):
    queries, db = sets
    check(queries, db, k)

"""What the module must compute, written plainly in NumPy and Python.

Every function here follows the module's arithmetic to the last bit: scores
are one double division of exact integer counts, means are a strictly
left-to-right double sum, and top-k uses the module's own heap rules, so the
tests compare with ``==``, never with a tolerance.
"""

import collections.abc

import numpy as np
from hypothesis import strategies as st
from rdkit import DataStructs

AGGREGATES = ("mean", "max", "min")

# Widths around word boundaries and the common fingerprint sizes.
WIDTHS = (0, 1, 63, 64, 65, 100, 167, 1024, 2048)


# ---------------------------------------------------------------------------
# Building inputs


class ListLike(collections.abc.Sequence):
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def fingerprint(n_bits, on_bits=()):
    fp = DataStructs.ExplicitBitVect(n_bits)
    on_bits = sorted(set(int(b) for b in on_bits))
    if on_bits:
        fp.SetBitsFromList(on_bits)
    return fp


def random_fingerprints(rng, count, n_bits, density=0.1):
    """`count` vectors whose bits are each set with probability `density`."""
    fps = []
    for _ in range(count):
        fps.append(fingerprint(n_bits, np.flatnonzero(rng.random(n_bits) < density)))
    return fps


@st.composite
def fingerprint_lists(draw, count, widths=WIDTHS, max_size=8, min_size=0):
    """`count` lists of vectors of one width.  Bits come from a few positions
    (word edges among them), so empty vectors, duplicates and equal scores
    turn up often."""
    n_bits = draw(st.sampled_from(widths))
    if n_bits == 0:
        bits = st.just(())
    else:
        edges = {0, n_bits - 1, n_bits // 2, min(63, n_bits - 1), min(64, n_bits - 1)}
        extra = draw(st.lists(st.integers(0, n_bits - 1), max_size=4))
        palette = sorted(edges.union(extra))
        bits = st.lists(st.sampled_from(palette), max_size=4)
    one = st.builds(lambda on: fingerprint(n_bits, on), bits)
    return [draw(st.lists(one, min_size=min_size, max_size=max_size)) for _ in range(count)]


def bit_matrix(fps):
    """The vectors as a float64 0/1 matrix, one row per vector."""
    if not fps:
        return np.zeros((0, 0))
    out = np.zeros((len(fps), fps[0].GetNumBits()))
    for row, fp in enumerate(fps):
        out[row, list(fp.GetOnBits())] = 1.0
    return out


# ---------------------------------------------------------------------------
# Scores


def tanimoto_matrix(queries, database):
    """Score of every query (rows) against every database vector (columns).

    Counts are exact integers (a float64 product of 0/1 matrices is exact
    below 2**53); the score is c / (a + b - c), and 0.0 for two empty vectors.
    """
    q, d = bit_matrix(queries), bit_matrix(database)
    if len(queries) == 0 or len(database) == 0:
        return np.zeros((len(queries), len(database)))
    common = q @ d.T
    union = q.sum(axis=1)[:, None] + d.sum(axis=1)[None, :] - common
    out = np.zeros_like(common)
    np.divide(common, union, out=out, where=union != 0)
    return out


def aggregate(scores, agg):
    """One row's reduction, in the module's order and starting values."""
    if agg == "mean":
        total = 0.0
        for s in scores:
            total += float(s)
        return total / len(scores)
    if agg == "max":
        best = 0.0
        for s in scores:
            best = s if s > best else best
        return float(best)
    if agg == "min":
        worst = 1.0
        for s in scores:
            worst = s if s < worst else worst
        return float(worst)
    raise ValueError(agg)


def cross(queries, database, agg=None):
    full = tanimoto_matrix(queries, database)
    if agg is None or agg == "full":
        return full
    if len(database) == 0:
        return np.zeros(len(queries))
    return np.array([aggregate(row, agg) for row in full], dtype=np.float64)


def internal(fps, agg=None):
    n = len(fps)
    full = tanimoto_matrix(fps, fps)
    if agg is None or agg == "full":
        return full[np.triu_indices(n, k=1)].astype(np.float64)
    if n < 2:
        return np.zeros(n)
    return np.array(
        [aggregate(np.delete(full[i], i), agg) for i in range(n)], dtype=np.float64
    )


# ---------------------------------------------------------------------------
# Top-k: a bounded min-heap on the score alone, with fixed sift rules


def _sift_up(heap, position, entry):
    while position > 0:
        parent = (position - 1) // 2
        if not heap[parent][0] > entry[0]:
            break
        heap[position] = heap[parent]
        position = parent
    heap[position] = entry


def _insert(heap, entry):
    heap.append(None)
    _sift_up(heap, len(heap) - 1, entry)


def _remove_min(heap):
    last = heap.pop()
    n = len(heap)
    if n == 0:
        return
    hole = 0
    while 2 * hole + 2 < n:
        left, right = 2 * hole + 1, 2 * hole + 2
        child = right if heap[right][0] <= heap[left][0] else left
        heap[hole] = heap[child]
        hole = child
    if 2 * hole + 1 == n - 1:
        heap[hole] = heap[n - 1]
        hole = n - 1
    _sift_up(heap, hole, last)


def top_k_row(scores, k, index_offset=0):
    """(indices, scores) of the best min(k, len(scores)) entries of one row."""
    kept = min(k, len(scores))
    heap = []
    for j, s in enumerate(scores):
        entry = (float(s), (j + index_offset) % 2**32)
        if len(heap) < kept:
            _insert(heap, entry)
        elif kept > 0 and entry[0] > heap[0][0]:
            _remove_min(heap)
            _insert(heap, entry)
    ordered = sorted(heap, key=lambda e: -e[0])  # stable: ties keep heap order
    return [e[1] for e in ordered], [e[0] for e in ordered]


def top_k_by_row(scores, k):
    """The same under the package's tie rule: the first k of a stable sort
    by descending score, so equal scores keep the lower row."""
    order = np.argsort(-np.asarray(scores, dtype=np.float64), kind="stable")[:k]
    return [int(j) for j in order], [float(scores[j]) for j in order]


def top_k(queries, database, k):
    full = tanimoto_matrix(queries, database)
    # With an empty side there is nothing to rank: no columns at all.
    kept = min(k, len(database)) if queries else 0
    indices = np.zeros((len(queries), kept), dtype=np.uint32)
    scores = np.zeros((len(queries), kept), dtype=np.float64)
    for i, row in enumerate(full):
        indices[i], scores[i] = top_k_row(row, k)
    return indices, scores


# ---------------------------------------------------------------------------
# Threshold search: the matrix's entries that reach a threshold, row by row


def threshold_rows(full, threshold, index_offset=0, without_diagonal=False):
    """(indptr, indices, scores) of the entries of `full` that are >= threshold,
    each row's columns in increasing order."""
    keep = full >= threshold
    if without_diagonal:
        np.fill_diagonal(keep, False)
    rows, cols = np.nonzero(keep)
    indptr = np.zeros(len(full) + 1, dtype=np.int64)
    np.cumsum(keep.sum(axis=1), out=indptr[1:])
    return indptr, (cols + index_offset).astype(np.uint32), full[rows, cols].astype(np.float64)


def cross_threshold(queries, database, threshold, index_offset=0):
    return threshold_rows(tanimoto_matrix(queries, database), threshold, index_offset)


def internal_threshold(fps, threshold):
    """A vector is never its own partner; every pair shows in both its rows."""
    return threshold_rows(tanimoto_matrix(fps, fps), threshold, without_diagonal=True)

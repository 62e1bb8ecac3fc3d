"""Merging the top-k candidates of several database windows.

Each window's candidates are its first k rows ordered by score, descending,
then by row, ascending (the package's engine calls decide ties by row).  The
merge orders candidates the same way and keeps k, so the result is the first
k of that order over all rows: the same rows and scores for every window
size, shard layout, thread count and cluster.
"""

import numpy as np


def merge_topk(parts, k, n_queries):
    """Merges a list of (indices, scores) pairs of shape (n_queries, k_i),
    indices already global, into int64 indices and float64 scores of shape
    (n_queries, min(k, sum of k_i))."""
    parts = [(np.asarray(i, dtype=np.int64), np.asarray(s, dtype=np.float64)) for i, s in parts]
    if not parts:
        return np.zeros((n_queries, 0), np.int64), np.zeros((n_queries, 0), np.float64)
    indices = np.concatenate([i for i, _ in parts], axis=1)
    scores = np.concatenate([s for _, s in parts], axis=1)
    order = np.lexsort((indices, -scores), axis=-1)[:, :k]
    return np.take_along_axis(indices, order, axis=1), np.take_along_axis(scores, order, axis=1)


class TopKAccumulator:
    """Keeps the best k candidates of each query as windows arrive, in any
    order: merging is associative and the tie rule decides every order, so
    the result does not depend on arrival order."""

    def __init__(self, n_queries, k):
        self.n_queries = n_queries
        self.k = k
        self.indices = np.zeros((n_queries, 0), np.int64)
        self.scores = np.zeros((n_queries, 0), np.float64)

    def add(self, indices, scores, offset=0):
        indices = np.asarray(indices, dtype=np.int64) + offset
        self.indices, self.scores = merge_topk(
            [(self.indices, self.scores), (indices, scores)], self.k, self.n_queries)

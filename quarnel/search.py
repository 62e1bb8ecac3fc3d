"""Top-k search of a database, window by window, with queries given as
fingerprint files, molecule files or ExplicitBitVect sequences."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from . import functions
from .database import Database, RowNames, SearchResult, read_header, temporary_folder
from .errors import QuarnelError
from .interrupt import check_interrupt
from .progress import progress_bar
from .shards import ShardedDatabase
from .topk_merge import TopKAccumulator


@contextlib.contextmanager
def query_file(queries, database, *, progress=False):
    """Yields (fingerprint file path, query names) for any accepted form of
    queries; molecules are fingerprinted into a temporary database first,
    exactly as the database's metadata says."""
    if isinstance(queries, Database):
        if isinstance(queries, ShardedDatabase):
            raise QuarnelError(f"{queries.path}: the queries must be one fingerprint file, not a sharded "
                               "database")
        yield queries.path, queries.names
        return
    if isinstance(queries, (str, bytes, os.PathLike)):
        from .molecules import molecule_file_kind

        if molecule_file_kind(queries) is None:
            with query_file(Database(queries), database) as opened:
                yield opened
            return
        with temporary_folder() as folder:
            yield from _fingerprinted_queries(queries, database, folder / "queries.qfp", progress)
        return
    if isinstance(queries, Sequence):
        with temporary_folder() as folder:
            path = folder / "queries.qfp"
            functions.save_fingerprints(queries, path)
            yield path, RowNames(None, len(queries))
        return
    raise TypeError(f"queries must be a path, a Database or a sequence of ExplicitBitVect, "
                    f"not {type(queries).__name__}")


def _fingerprinted_queries(source, database, path, progress):
    from .molecules import fingerprint_molecules

    settings = getattr(database, "fingerprint_spec", None)
    if settings is None:
        raise QuarnelError(f"{database.path} has no metadata sidecar ({database.path}.json), so it is not "
                           "known how to fingerprint the query molecules; give the queries as a .qfp file")
    fingerprint_molecules(source, path, fingerprint=settings.type, radius=settings.radius,
                          n_bits=settings.n_bits, features=settings.features, min_path=settings.min_path,
                          max_path=settings.max_path,
                          progress=progress)
    queries = Database(path)
    yield queries.path, queries.names


def checked_query_rows(path, database) -> int:
    """The number of queries in `path`, whose fingerprints must have the
    database's length."""
    n_queries, query_bits = read_header(path)
    if n_queries and database.rows and query_bits != database.n_bits:
        raise QuarnelError(f"the queries have {query_bits} bits and {database.path} has "
                           f"{database.n_bits}: fingerprints of different lengths cannot be compared")
    return n_queries


def search_database(database: Database, queries, *, k=10, n_threads=-1, window_rows=None,
                    progress=False) -> SearchResult:
    if k < 0:
        raise QuarnelError(f"k must be 0 or more, not {k}")
    with query_file(queries, database, progress=progress) as (path, query_names):
        n_queries = checked_query_rows(path, database)
        indices, scores = _search_windows(path, database, n_queries, k, n_threads, window_rows, progress)
    return SearchResult(indices, scores, query_names, database.names)


def _search_windows(path, database, n_queries, k, n_threads, window_rows, progress):
    windows = database.windows(window_rows)
    if len(windows) == 1:
        # One window needs no merge: the engine's own answer, ties included.
        window = windows[0]
        indices, scores = functions.bulk_tanimoto_mmap_topk(path, window.path, k, n_threads, window.offset,
                                                            window.limit)
        return indices.astype(np.int64) + window.first_row, scores
    best = TopKAccumulator(n_queries, k)
    with progress_bar(progress, "search", "rows", total=database.rows) as bar:
        for window in windows:
            check_interrupt()
            best.add(*functions.bulk_tanimoto_mmap_topk(path, window.path, k, n_threads, window.offset,
                                                        window.limit), offset=window.first_row)
            bar.update(window.limit)
    return best.indices, best.scores


class ThresholdResult(SearchResult):
    """Every hit of at least a threshold, per query: `indptr`, `indices`
    (int64 database rows) and `scores` (float64) in CSR form, each query's
    hits best first and equal scores by the lower row."""

    def __init__(self, indptr, indices, scores, query_names, target_names):
        super().__init__(indices, scores, query_names, target_names)
        self.indptr = indptr

    def __len__(self):
        return len(self.indptr) - 1

    def hit_names(self, query_row: int):
        start, end = self.indptr[query_row], self.indptr[query_row + 1]
        return [self.target_names[row] for row in self.indices[start:end]]

    def hits(self):
        indices, scores = self.indices.tolist(), self.scores.tolist()
        bounds = self.indptr.tolist()
        for query_row in range(len(self)):
            query = self.query_names[query_row]
            hits = range(bounds[query_row], bounds[query_row + 1])
            for rank, at in enumerate(hits, start=1):
                yield query, query_row, rank, self.target_names[indices[at]], indices[at], scores[at]


def threshold_search_database(database: Database, queries, *, threshold, k=None, n_threads=-1,
                              window_rows=None, progress=False) -> ThresholdResult:
    """Every database row scoring at least `threshold` for every query (at
    most the best `k`, when given), window by window."""
    if k is not None and k < 0:
        raise QuarnelError(f"k must be 0 or more, not {k}")
    with query_file(queries, database, progress=progress) as (path, query_names):
        n_queries = checked_query_rows(path, database)
        parts = []
        with progress_bar(progress, "search", "rows", total=database.rows) as bar:
            for window in database.windows(window_rows):
                check_interrupt()
                indptr, indices, scores = functions.bulk_tanimoto_mmap_threshold(
                    path, window.path, threshold, n_threads, window.offset, window.limit)
                parts.append((indptr, indices.astype(np.int64) + window.first_row, scores))
                bar.update(window.limit)
    indptr, indices, scores = merge_threshold_hits(parts, n_queries, k)
    return ThresholdResult(indptr, indices, scores, query_names, database.names)


def merge_threshold_hits(parts, n_queries, k):
    """One CSR set of hits from the windows' CSR parts: each query's hits
    ordered by score, descending, then by row, cut to k when k is given."""
    query_of = [np.repeat(np.arange(n_queries), np.diff(indptr)) for indptr, _, _ in parts]
    queries = np.concatenate(query_of) if parts else np.zeros(0, np.int64)
    indices = np.concatenate([i for _, i, _ in parts]).astype(np.int64) if parts else np.zeros(0, np.int64)
    scores = np.concatenate([s for _, _, s in parts]) if parts else np.zeros(0)
    order = np.lexsort((indices, -scores, queries))
    queries, indices, scores = queries[order], indices[order], scores[order]
    if k is not None:
        starts = np.searchsorted(queries, np.arange(n_queries))
        keep = np.arange(len(queries)) - starts[queries] < k
        queries, indices, scores = queries[keep], indices[keep], scores[keep]
    indptr = np.zeros(n_queries + 1, np.int64)
    np.cumsum(np.bincount(queries, minlength=n_queries), out=indptr[1:])
    return indptr, indices, scores

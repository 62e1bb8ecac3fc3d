"""Search of a database, window by window: the k best hits of every query,
or every hit of at least a threshold, for queries in any form the resolver
takes."""

from __future__ import annotations

from typing import Optional

import numpy as np

from . import scoring
from .checks import check_k, check_threads, check_threshold
from .interrupt import check_interrupt
from .metrics import as_metric
from .progress import progress_bar
from .resolve import Fingerprints, check_comparable, resolved
from .results import SearchResult, ThresholdResult, empty_topk
from .topk_merge import TopKAccumulator, merge_topk

# Queries per engine call while a progress bar is shown, so that it moves
# within a window; without a bar every window is one call.
PROGRESS_STEPS = 50
MIN_QUERY_BATCH = 64


def search(queries, database, k: Optional[int] = None, *, threshold: Optional[float] = None, metric="tanimoto",
           n_threads: int = -1, window_rows: Optional[int] = None, progress: bool = False,
           allow_mismatch: bool = False, name_field: Optional[str] = None, smiles_column=None, name_column=None):
    """The k most similar database rows of every query (10 unless `k` is
    given), or with `threshold` every row scoring at least that (the best
    `k` of them when `k` is given), as ``quarnel search`` does.

    Parameters
    ----------
    queries
        Any form of fingerprints (`quarnel.resolve`): a fingerprint file or
        Database, a SMILES or SDF file, a SMILES string, ExplicitBitVect or
        Mol objects or a sequence of them.  Molecules are fingerprinted as
        the database's metadata says.
    database
        A fingerprint database (a ``.qfp`` or ``.qfpset`` path, a Database)
        or fingerprints in memory.
    k : int, optional
        Hits per query, at least 1.  Not given (None): 10 without a
        threshold, every hit with one.
    threshold : float, optional
        From 0 to 1.
    metric : {"tanimoto", "dice", "cosine"} or Tversky, default "tanimoto"
        How pairs are scored (`quarnel.metrics`); with `Tversky` the
        queries are the first argument of RDKit's ``TverskySimilarity``.
    n_threads : int, default -1
        Worker threads (-1: every CPU).
    window_rows : int, optional
        Database rows per engine call (default 1,048,576).
    progress : bool
        Show a bar on standard error, when it is a terminal.
    allow_mismatch : bool
        Compare queries and database made with different fingerprint
        settings (refused by default).
    name_field : str, optional
        For an SDF file of queries: the field holding each name.
    smiles_column, name_column : str or int, optional
        For a CSV or TSV table of queries: the columns of the SMILES and
        the names, by header name or position from 0 (`quarnel.tables`).

    Returns
    -------
    SearchResult or ThresholdResult
        Hits best first, equal scores by the lower row, the same whatever
        the windows; queries RDKit could not parse are in ``skipped`` and
        the others keep their input positions in ``query_rows``.

    Examples
    --------
    >>> hits = quarnel.search("CCO", "nci.qfp", k=3)
    >>> hits.hit_names(0)
    ['3576', '3703', '3724']
    """
    k = check_k(k, with_threshold=threshold is not None)
    metric = as_metric(metric)
    if threshold is not None:
        threshold = check_threshold(threshold)
    n_threads = check_threads(n_threads)
    with resolved(database, database=True) as target, \
            resolved(queries, like=target, name_field=name_field, smiles_column=smiles_column,
                     name_column=name_column, progress=progress) as source:
        check_comparable(source, target, allow_mismatch=allow_mismatch)
        if threshold is None:
            indices, scores = _topk(source, target, k, metric, n_threads, window_rows, progress)
            return SearchResult(target.at_records(indices), scores, source.names, target.record_names,
                                source.record_positions, source.skipped, k=k)
        indptr, indices, scores = _threshold(source, target, threshold, k, metric, n_threads, window_rows, progress)
        return ThresholdResult(indptr, target.at_records(indices), scores, source.names, target.record_names,
                               source.record_positions, source.skipped, k=k, threshold=threshold)


def _batch_rows(queries: Fingerprints, bar) -> int:
    if bar.disable:
        return max(queries.rows, 1)
    return max(MIN_QUERY_BATCH, -(-queries.rows // PROGRESS_STEPS))


def _topk(queries: Fingerprints, database: Fingerprints, k, metric, n_threads, window_rows, progress):
    windows = database.windows(window_rows)
    if not windows or queries.rows == 0:
        return empty_topk(queries.rows)
    if len(windows) == 1 and not progress:
        # One window's hits are already the answer: rows decide its ties.
        window = windows[0]
        check_interrupt()
        indices, scores = scoring.cross_topk(queries.whole(), window.source(), k, metric, n_threads,
                                             window.offset, window.limit)
        return indices.astype(np.int64) + window.first_row, scores
    best = TopKAccumulator(queries.rows, k)
    with progress_bar(progress, "search", "queries", total=queries.rows * len(windows)) as bar:
        batch = _batch_rows(queries, bar)
        for window in windows:
            parts = []
            for rows in queries.batches(batch):
                check_interrupt()
                parts.append(scoring.cross_topk(rows, window.source(), k, metric, n_threads, window.offset,
                                                window.limit))
                bar.update(len(parts[-1][0]))
            indices = np.concatenate([i for i, _ in parts]).astype(np.int64)
            best.add(indices, np.concatenate([s for _, s in parts]), offset=window.first_row)
    return best.indices, best.scores


def _threshold(queries: Fingerprints, database: Fingerprints, threshold, k, metric, n_threads, window_rows,
               progress):
    parts = []
    windows = database.windows(window_rows)
    with progress_bar(progress, "search", "queries", total=queries.rows * len(windows)) as bar:
        batch = _batch_rows(queries, bar)
        for window in windows:
            pieces = []
            for rows in queries.batches(batch):
                check_interrupt()
                pieces.append(scoring.cross_threshold(rows, window.source(), threshold, metric, n_threads,
                                                      window.offset, window.limit))
                bar.update(len(pieces[-1][0]) - 1)
            indptr = _stacked_indptr([p[0] for p in pieces])
            indices = np.concatenate([p[1] for p in pieces]).astype(np.int64) + window.first_row
            parts.append((indptr, indices, np.concatenate([p[2] for p in pieces])))
    return merge_threshold_hits(parts, queries.rows, k)


def _stacked_indptr(indptrs):
    """The CSR row pointers of row batches stacked one after another."""
    total, pieces = 0, [np.zeros(1, np.int64)]
    for indptr in indptrs:
        pieces.append(np.asarray(indptr[1:], dtype=np.int64) + total)
        total += int(indptr[-1])
    return np.concatenate(pieces)


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


__all__ = ["search", "merge_threshold_hits", "merge_topk"]

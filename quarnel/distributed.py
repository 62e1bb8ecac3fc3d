"""Search past one machine, on a Dask cluster.

The database's windows (a window is some rows of one shard, never more)
become one Dask task each, run on the workers of a
`dask.distributed.Client`; each task maps its shard from the storage the
workers share and sends back only its top k per query (or its maximum per
query); the client merges the windows as they finish.  Dask does the
scheduling, the transport and the recovery: a worker lost mid-search has
its tasks rerun elsewhere, and the answer does not change.

The merged result is the one `quarnel.Database.search` gives with the same
windows: scores descending, equal scores by lower global row first, each
window contributing its top k under the engine's own tie rules; one window
alone is the engine's answer as it stands.  The per-query maximum is exact
whatever the windows.

    >>> from dask.distributed import Client
    >>> client = Client("tcp://scheduler:8786")
    >>> hits = quarnel.distributed.search(client, "queries.qfp", "library.qfpset", k=10)
"""

from __future__ import annotations

import hashlib
import os
from pathlib import Path
from typing import List, Optional

import numpy as np
from distributed import Client, as_completed

from . import worker_tasks
from .database import Database, SearchResult
from .errors import QuarnelError
from .progress import progress_bar
from .search import checked_query_rows, query_file
from .shards import Window, database_windows
from .topk_merge import TopKAccumulator

__all__ = ["search", "max_similarity", "search_at"]

# Seconds to wait for a scheduler before giving up.
CONNECT_TIMEOUT = 10


def search(client: Client, queries, database, k: int = 10, *, window_rows: Optional[int] = None,
           n_threads: int = -1, progress: bool = False) -> SearchResult:
    """The k most similar rows of `database` for every query, on `client`'s
    cluster.

    Parameters
    ----------
    client : dask.distributed.Client
    queries : path, Database or sequence of ExplicitBitVect
        As for `quarnel.Database.search`.  Their fingerprints are sent once
        to every worker.
    database : path or Database
        A ``.qfp`` file, a ``.qfpset`` manifest or a folder of shards, at a
        path every worker can open (shared storage).
    window_rows : int, optional
        Rows per task (default 1,048,576; a window never spans two shards).
    n_threads : int
        Engine threads per task; -1 uses every CPU of the worker, the right
        choice for one Dask worker thread per node.

    Returns
    -------
    SearchResult
        int64 global rows and float64 scores, (queries, min(k, rows)).
    """
    database = _opened(database)
    if k < 0:
        raise QuarnelError(f"k must be 0 or more, not {k}")
    with query_file(queries, database, progress=progress) as (path, query_names):
        n_queries = checked_query_rows(path, database)
        data = Path(path).read_bytes()
    windows = database_windows(database, window_rows)
    results = _run_windows(client, worker_tasks.window_topk, windows, data, (k, n_threads), progress)
    if len(windows) == 1:
        # As the local search: one window is the engine's own answer.
        ((window, (indices, scores)),) = list(results)
        return SearchResult(indices.astype(np.int64) + window.first_row, scores, query_names, database.names)
    best = TopKAccumulator(n_queries, k)
    for window, (indices, scores) in results:
        best.add(indices, scores, offset=window.first_row)
    return SearchResult(best.indices, best.scores, query_names, database.names)


def max_similarity(client: Client, queries, database, *, window_rows: Optional[int] = None,
                   n_threads: int = -1, progress: bool = False) -> np.ndarray:
    """Each query's highest Tanimoto score over the whole database, on
    `client`'s cluster: float64 (queries,), equal to
    ``bulk_tanimoto_mmap(queries, one_file, agg="max")`` over a single file
    of all the rows (0.0 for an empty database).  Arguments as `search`."""
    database = _opened(database)
    with query_file(queries, database, progress=progress) as (path, _):
        n_queries = checked_query_rows(path, database)
        data = Path(path).read_bytes()
    windows = database_windows(database, window_rows)
    best = np.zeros(n_queries, np.float64)
    for _, highest in _run_windows(client, worker_tasks.window_max, windows, data, (n_threads,), progress):
        # Scores are never below 0.0, the engine's own starting maximum.
        np.maximum(best, highest, out=best)
    return best


def search_at(address: str, queries, database, **options) -> SearchResult:
    """`search` on the scheduler at `address` (``tcp://host:8786``), with a
    client opened for this search and closed after it."""
    with Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False) as client:
        return search(client, queries, database, **options)


def _opened(database):
    return database if isinstance(database, Database) else Database(database)


def _run_windows(client: Client, task, windows: List[Window], queries: bytes, options: tuple, progress: bool):
    """Yields (window, result) for every window, in the order they finish.
    The first failure cancels the rest and is raised: never a partial
    answer."""
    if not windows:
        return
    digest = hashlib.sha256(queries).hexdigest()
    scattered = client.scatter(queries, broadcast=True, hash=False)
    count = len(windows)
    columns = [[scattered] * count, [digest] * count, [os.fspath(w.path.absolute()) for w in windows],
               [w.file_rows for w in windows], [w.n_bits for w in windows], [w.offset for w in windows],
               [w.limit for w in windows]]
    columns += [[value] * count for value in options]
    futures = client.map(task, *columns, pure=False, key=f"quarnel-{task.__name__}")
    by_key = {future.key: window for future, window in zip(futures, windows)}
    try:
        with progress_bar(progress, "search", "rows", total=sum(w.limit for w in windows)) as bar:
            for future in as_completed(futures, loop=client.loop):
                window = by_key[future.key]
                yield window, _result(future, window)
                # Its result is merged: let the worker forget it.
                future.release()
                bar.update(window.limit)
    finally:
        # After a failure, stop what still runs; finished work and the
        # scattered queries go as their last references do.
        pending = [future for future in futures if not future.done()]
        if pending:
            client.cancel(pending)


def _result(future, window: Window):
    try:
        return future.result()
    except QuarnelError:
        raise
    except Exception as error:
        raise QuarnelError(f"the search of shard {window.path} (rows {window.offset} to "
                           f"{window.offset + window.limit - 1}) failed: {type(error).__name__}: {error}") from error

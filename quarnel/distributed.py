"""Search past one machine, on a Dask cluster.

The database's windows (a window is some rows of one shard, never more)
become one Dask task each, run on the workers of a
`dask.distributed.Client`; each task maps its shard from the storage the
workers share and sends back only its top k per query (or its maximum per
query); the client merges the windows as they finish.  Dask does the
scheduling, the transport and the recovery: a worker lost mid-search has
its tasks rerun elsewhere, and the answer does not change.

The merged result is the one `quarnel.Database.search` gives: scores
descending, equal scores by the lower global row, each window contributing
its first k under the same rule, so the hits are the same whatever the
windows.  The per-query maximum is exact whatever the windows.  Dask itself is imported only when a search
starts.

    >>> from dask.distributed import Client
    >>> client = Client("tcp://scheduler:8786")
    >>> hits = quarnel.distributed.search(client, "queries.qfp", "library.qfpset", k=10)
"""

from __future__ import annotations

import hashlib
import os
from pathlib import Path
from typing import TYPE_CHECKING, List, Optional

import numpy as np

from . import worker_tasks
from .checks import check_k, check_threads
from .errors import QuarnelError
from .fingerprint_file import Window
from .metrics import as_metric
from .progress import progress_bar
from .resolve import check_comparable, is_stored, open_stored, resolved
from .results import SearchResult, empty_topk
from .topk_merge import TopKAccumulator

if TYPE_CHECKING:
    from distributed import Client

__all__ = ["search", "max_similarity", "search_at"]

# Seconds to wait for a scheduler before giving up.
CONNECT_TIMEOUT = 10


def search(client: Client, queries, database, k: int = 10, *, metric="tanimoto", window_rows: Optional[int] = None,
           n_threads: int = -1, progress: bool = False, allow_mismatch: bool = False,
           name_field: Optional[str] = None, smiles_column=None, name_column=None) -> SearchResult:
    """The k most similar rows of `database` for every query, on `client`'s
    cluster.

    Parameters
    ----------
    client : dask.distributed.Client
    queries
        Any form of fingerprints, as for `quarnel.search`.  Their
        fingerprints are sent once to every worker.
    database : path or Database
        A ``.qfp`` file or a ``.qfpset`` manifest, at a path every worker
        can open (shared storage).
    k : int, default 10
        Hits per query, at least 1.
    metric : {"tanimoto", "dice", "cosine"} or Tversky, default "tanimoto"
        How pairs are scored, as for `quarnel.search`.
    window_rows : int, optional
        Rows per task (default 1,048,576; a window never spans two shards).
    n_threads : int
        Engine threads per task; -1 uses every CPU of the worker, the right
        choice for one Dask worker thread per node.
    allow_mismatch, name_field, smiles_column, name_column
        As for `quarnel.search`.

    Returns
    -------
    SearchResult
        int64 global rows and float64 scores, (queries, min(k, rows)), equal
        scores by the lower row.
    """
    k = check_k(k)
    n_threads = check_threads(n_threads)
    metric = as_metric(metric)
    database = _opened(database)
    with resolved(database, database=True) as target, \
            resolved(queries, like=target, name_field=name_field, smiles_column=smiles_column,
                     name_column=name_column, progress=progress) as source:
        check_comparable(source, target, allow_mismatch=allow_mismatch)
        data = source.single_file().read_bytes()
        windows = target.windows(window_rows)
        if source.rows == 0 or not windows:
            indices, scores = empty_topk(source.rows)
        else:
            best = TopKAccumulator(source.rows, k)
            for window, (indices, scores) in _run_windows(client, worker_tasks.window_topk, windows, data,
                                                           (k, n_threads, metric), progress):
                best.add(indices, scores, offset=window.first_row)
            indices, scores = best.indices, best.scores
        return SearchResult(indices, scores, source.names, target.names, source.record_positions, source.skipped,
                            k=k)


def max_similarity(client: Client, queries, database, *, metric="tanimoto", window_rows: Optional[int] = None,
                   n_threads: int = -1, progress: bool = False, allow_mismatch: bool = False) -> np.ndarray:
    """Each query's highest score (of `metric`) over the whole database, on
    `client`'s cluster: float64 (queries,), equal to
    ``bulk_tanimoto_mmap(queries, one_file, agg="max")`` over a single file
    of all the rows (0.0 for an empty database).  Arguments as `search`."""
    n_threads = check_threads(n_threads)
    metric = as_metric(metric)
    database = _opened(database)
    with resolved(database, database=True) as target, resolved(queries, like=target) as source:
        check_comparable(source, target, allow_mismatch=allow_mismatch)
        data = source.single_file().read_bytes()
        windows = target.windows(window_rows)
        best = np.zeros(source.rows, np.float64)
        if source.rows:
            for _, highest in _run_windows(client, worker_tasks.window_max, windows, data, (n_threads, metric),
                                           progress):
                # Scores are never below 0.0, the engine's own starting maximum.
                np.maximum(best, highest, out=best)
    return best


def search_at(address: str, queries, database, **options) -> SearchResult:
    """`search` on the scheduler at `address` (``tcp://host:8786``), with a
    client opened for this search and closed after it."""
    from distributed import Client

    with Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False) as client:
        return search(client, queries, database, **options)


def _opened(database):
    """A database on disk: its workers open it by path."""
    if is_stored(database):
        return database
    if isinstance(database, (str, bytes, os.PathLike)):
        return open_stored(database)
    raise QuarnelError(f"a distributed search needs a database on storage the workers share (a .qfp or .qfpset "
                       f"path, or a Database), not a {type(database).__name__}")


def _run_windows(client: Client, task, windows: List[Window], queries: bytes, options: tuple, progress: bool):
    """Yields (window, result) for every window, in the order they finish.
    The first failure cancels the rest and is raised: never a partial
    answer."""
    from distributed import as_completed

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

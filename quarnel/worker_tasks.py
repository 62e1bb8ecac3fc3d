"""What a Dask worker runs for `quarnel.distributed`: plain functions of
paths and small values, so that the scheduler can run (and rerun) any of
them on any worker.

The queries arrive as the bytes of a fingerprint file, scattered once to
every worker; each worker process writes them to a private file once and
maps it for every window it is given.  The database shards are opened by
path, from the storage the workers share.
"""

from __future__ import annotations

import atexit
import collections
import os
import shutil
import tempfile
import threading
from pathlib import Path

from . import scoring
from .fingerprint_file import read_header
from .errors import QuarnelError

# Query files of the last few searches, by digest of their bytes.
_KEPT_QUERY_FILES = 4
_query_files: "collections.OrderedDict[str, Path]" = collections.OrderedDict()
_query_lock = threading.Lock()
_query_folder = None


def _folder() -> Path:
    global _query_folder
    if _query_folder is None:
        _query_folder = Path(tempfile.mkdtemp(prefix="quarnel-worker-"))
        atexit.register(shutil.rmtree, _query_folder, True)
    return _query_folder


def query_path(queries: bytes, digest: str) -> Path:
    """This process's file holding `queries`, written on first use."""
    with _query_lock:
        path = _query_files.get(digest)
        if path is not None:
            _query_files.move_to_end(digest)
            return path
        path = _folder() / f"{digest}.qfp"
        part = path.with_suffix(".part")
        part.write_bytes(queries)
        os.replace(part, path)
        _query_files[digest] = path
        while len(_query_files) > _KEPT_QUERY_FILES:
            _, old = _query_files.popitem(last=False)
            old.unlink(missing_ok=True)
        return path


def _where() -> str:
    try:
        from distributed import get_worker

        return f" on worker {get_worker().address}"
    except (ImportError, ValueError):
        return ""


def check_shard(path: str, rows: int, n_bits: int) -> None:
    """The shard is there and as the client saw it, else one error that
    names it: a search must not go on without some of its rows."""
    try:
        found = read_header(path)
    except OSError as error:
        raise QuarnelError(f"shard {path} cannot be read{_where()}: {error.strerror or error}") from None
    except QuarnelError as error:
        raise QuarnelError(f"shard {error}{_where()}") from None
    if found != (rows, n_bits):
        raise QuarnelError(f"shard {path} has {found[0]} rows of {found[1]} bits{_where()}, not the "
                           f"{rows} rows of {n_bits} bits the database was opened with")


def _on_shard(path, call, *args):
    try:
        return call(*args)
    except (OSError, ValueError) as error:
        # The shard changed since it was checked: still one error naming it.
        raise QuarnelError(f"shard {path} failed{_where()}: {error}") from None


def window_topk(queries: bytes, digest: str, path: str, rows: int, n_bits: int, offset: int, limit: int,
                k: int, n_threads: int, metric="tanimoto"):
    """The top k of one window: uint32 rows of the shard file and float64
    scores, (queries, min(k, limit))."""
    check_shard(path, rows, n_bits)
    return _on_shard(path, scoring.cross_topk, query_path(queries, digest), path, k, metric, n_threads, offset,
                     limit)


def window_max(queries: bytes, digest: str, path: str, rows: int, n_bits: int, offset: int, limit: int,
               n_threads: int, metric="tanimoto"):
    """Each query's highest score in one window (0.0 for an empty one)."""
    check_shard(path, rows, n_bits)
    return _on_shard(path, scoring.cross, query_path(queries, digest), path, metric, "max", n_threads, offset,
                     limit)

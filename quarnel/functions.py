"""The extension's functions, raising invalid input instead of printing it.

Each calls the same native code as the `_quarnel` function of the same name,
with its signature and results; the only difference is that an element that
is not an ``ExplicitBitVect``, vectors of mixed lengths and a failed save
raise (``TypeError``, ``ValueError``, ``OSError``) where `_quarnel` prints the
problem on standard error and treats the input as empty.

Other threads run meanwhile.  While its worker threads compute, a call of
this package lets go of the interpreter lock, so that other Python threads
(a Dask worker's heartbeat, an event loop, a progress bar) keep running; it
takes the lock back only to check for Ctrl-C and report progress, a few
times a second, and to build its result.  That holds for these functions
but `save_fingerprints` and `load_fingerprints`, which read or build Python
objects throughout, and for everything built on the native scoring and
pickers (`similarity`, `similarity_matrix`, `search`, `butina`,
`maxmin_pick`, `leader_pick`, databases).  The functions of the `_quarnel`
extension itself keep the lock for the whole call, as they always have.
A NumPy array given as rows is read in place without the lock, as NumPy's
own functions read arrays: do not write into it from another thread while a
call reads it.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Optional, Tuple, Union

import numpy as np

import _quarnel

from .atomic import atomic_output
from .checks import MAX_THREADS
from .errors import QuarnelError
from .interrupt import native_work

if TYPE_CHECKING:
    from rdkit.DataStructs import ExplicitBitVect

_native = _quarnel._checked

POOL_FAILURE = "Failed to build thread pool"


def native_call(function, *args):
    """A native call that Ctrl-C stops, with a thread pool that cannot be
    built reported as the thread count it is about."""
    try:
        with native_work():
            return function(*args)
    except RuntimeError as error:
        if not str(error).startswith(POOL_FAILURE):
            raise
        raise QuarnelError(f"cannot start the threads asked for ({error}); ask for fewer threads "
                           f"(at most {MAX_THREADS}, or -1 for every CPU)") from None

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Fingerprints = Sequence["ExplicitBitVect"]

__all__ = [
    "save_fingerprints",
    "load_fingerprints",
    "bulk_tanimoto_parallel",
    "bulk_tanimoto_parallel_topk",
    "bulk_tanimoto_mmap",
    "bulk_tanimoto_mmap_topk",
    "internal_tanimoto_parallel",
    "internal_tanimoto_mmap",
    "bulk_tanimoto_parallel_threshold",
    "bulk_tanimoto_mmap_threshold",
    "internal_tanimoto_parallel_threshold",
    "internal_tanimoto_mmap_threshold",
]


def save_fingerprints(fps: Fingerprints, path: PathLike) -> None:
    """Write fingerprints to a binary fingerprint file.

    Parameters
    ----------
    fps : sequence of ExplicitBitVect
        All of one bit length; an empty sequence writes an empty file.
    path : str or os.PathLike
        The file to write.  It appears whole or not at all: the data goes to
        a temporary file in the same folder, renamed over `path` at the end.

    Raises
    ------
    TypeError
        An element is not an ``ExplicitBitVect`` (the message gives its index).
    ValueError
        The vectors' lengths differ.
    OSError
        The folder does not exist, the disk is full, and so on.

    Examples
    --------
    >>> quarnel.save_fingerprints(fps, "library.qfp")
    """
    target = os.fsdecode(os.fspath(path))
    with atomic_output(target) as part:
        native_call(_native.save_fingerprints, fps, part.name)


def load_fingerprints(path: PathLike) -> list:
    """Read a binary fingerprint file back as new ``ExplicitBitVect`` objects.

    Parameters
    ----------
    path : str or os.PathLike
        A fingerprint file, as `save_fingerprints` writes it.

    Returns
    -------
    list of ExplicitBitVect
        One per row, in file order.

    Raises
    ------
    OSError
        The file is missing, unreadable, or shorter than its header says
        (the message names the file).
    MemoryError
        The vectors could not fit in this machine's memory.

    Examples
    --------
    >>> fps = quarnel.load_fingerprints("library.qfp")
    """
    try:
        return native_call(_native.load_fingerprints, path)
    except OSError as error:
        if error.filename is not None:
            raise
        raise type(error)(f"{os.fsdecode(os.fspath(path))}: {error} (the file is shorter than its header "
                          "says: truncated, or not a fingerprint file)") from None


def bulk_tanimoto_parallel(py_fps: Fingerprints, py_fps2: Fingerprints, n_threads: int = -1,
                           agg: Optional[str] = None) -> np.ndarray:
    """Tanimoto similarity of every query against every database fingerprint.

    Parameters
    ----------
    py_fps, py_fps2 : sequence of ExplicitBitVect
        Queries (N1) and database (N2), all of one bit length.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use (or
        ``RAYON_NUM_THREADS``).
    agg : {None, "full", "mean", "max", "min"}
        None or "full" returns the whole matrix; the others reduce each
        query's row.

    Returns
    -------
    numpy.ndarray
        float64 of shape (N1, N2) for "full", (N1,) otherwise.  Scores are
        those of RDKit's ``TanimotoSimilarity`` (two empty vectors: 0.0),
        identical for every thread count.

    Raises
    ------
    TypeError
        An element is not an ``ExplicitBitVect`` (the message gives its index).
    ValueError
        Mixed lengths within a set, sets of different lengths ("Fingerprint
        bit mismatch"), or an unknown `agg`.
    MemoryError
        The result cannot fit in memory (raised before any work).

    Examples
    --------
    >>> quarnel.bulk_tanimoto_parallel(queries, library, agg="max")
    array([0.71, 0.45])
    """
    return native_call(_native.bulk_tanimoto_parallel, py_fps, py_fps2, n_threads, agg)


def bulk_tanimoto_parallel_topk(py_fps: Fingerprints, py_fps2: Fingerprints, k: int = 10,
                                n_threads: int = -1) -> Tuple[np.ndarray, np.ndarray]:
    """The k most similar database fingerprints of every query.

    Parameters
    ----------
    py_fps, py_fps2 : sequence of ExplicitBitVect
        Queries (N1) and database (N2), all of one bit length.
    k : int, default 10
        Hits per query; fewer where the database has fewer rows.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.

    Returns
    -------
    (indices, scores) : tuple of numpy.ndarray
        uint32 database positions and float64 scores, both of shape
        (N1, min(k, N2)), best first.  Among equal scores, which rows are
        kept and their order follow the module's fixed heap rules.

    Raises
    ------
    TypeError, ValueError, MemoryError
        As `bulk_tanimoto_parallel`; a negative `k` is an OverflowError.

    Examples
    --------
    >>> indices, scores = quarnel.bulk_tanimoto_parallel_topk(queries, library, k=5)
    """
    return native_call(_native.bulk_tanimoto_parallel_topk, py_fps, py_fps2, k, n_threads)


def bulk_tanimoto_mmap(path1: PathLike, path2: PathLike, n_threads: int = -1, agg: Optional[str] = None,
                       db_offset: int = 0, db_limit: int = 0) -> np.ndarray:
    """`bulk_tanimoto_parallel` on two fingerprint files, mapped in place.

    Parameters
    ----------
    path1, path2 : str or os.PathLike
        Query file and database file.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.
    agg : {None, "full", "mean", "max", "min"}
        As for `bulk_tanimoto_parallel`.
    db_offset, db_limit : int
        The window of database rows to compare with: from row `db_offset`,
        at most `db_limit` rows (0: to the end of the file).  A window that
        starts at or past the end is empty: a (N1, 0) matrix, or zeros for
        the aggregates, as for an empty database.

    Returns
    -------
    numpy.ndarray
        float64 (N1, rows in the window) for "full", (N1,) otherwise.

    Raises
    ------
    OSError
        A file is missing or unreadable.
    ValueError
        A file is truncated, the bit lengths differ, or `agg` is unknown.

    Examples
    --------
    >>> quarnel.bulk_tanimoto_mmap("queries.qfp", "library.qfp", agg="mean")
    """
    return native_call(_native.bulk_tanimoto_mmap, path1, path2, n_threads, agg, db_offset, db_limit)


def bulk_tanimoto_mmap_topk(path1: PathLike, path2: PathLike, k: int = 10, n_threads: int = -1,
                            db_offset: int = 0, db_limit: int = 0) -> Tuple[np.ndarray, np.ndarray]:
    """`bulk_tanimoto_parallel_topk` on two fingerprint files, mapped in place.

    Parameters
    ----------
    path1, path2 : str or os.PathLike
        Query file and database file.
    k : int, default 10
        Hits per query; fewer where the window has fewer rows.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.
    db_offset, db_limit : int
        The window of database rows: from row `db_offset`, at most
        `db_limit` rows (0: to the end of the file).  A window that starts
        at or past the end is empty: (N1, 0) arrays.

    Returns
    -------
    (indices, scores) : tuple of numpy.ndarray
        uint32 rows counted from the start of the database file (not of the
        window) and float64 scores, shape (N1, min(k, rows in the window)).

    Examples
    --------
    >>> idx, sc = quarnel.bulk_tanimoto_mmap_topk("q.qfp", "lib.qfp", k=10, db_offset=10**6)
    """
    return native_call(_native.bulk_tanimoto_mmap_topk, path1, path2, k, n_threads, db_offset, db_limit)


def internal_tanimoto_parallel(py_fps: Fingerprints, n_threads: int = -1,
                               agg: Optional[str] = None) -> np.ndarray:
    """Similarity of a set with itself.

    Parameters
    ----------
    py_fps : sequence of ExplicitBitVect
        The set (N), all of one bit length.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.
    agg : {None, "full", "mean", "max", "min"}
        What to return (below).

    Returns
    -------
    numpy.ndarray
        "full" (or None): float64 of length N*(N-1)/2, the pairs (0,1),
        (0,2), ... (N-2,N-1), as ``scipy.spatial.distance.squareform`` reads
        a condensed vector; "mean", "max", "min": float64 of length N, each
        fingerprint against all the others (a set of one gives 0.0).

    Raises
    ------
    TypeError, ValueError, MemoryError
        As `bulk_tanimoto_parallel`.

    Examples
    --------
    >>> quarnel.internal_tanimoto_parallel(fps, agg="max")
    """
    return native_call(_native.internal_tanimoto_parallel, py_fps, n_threads, agg)


def internal_tanimoto_mmap(path: PathLike, n_threads: int = -1, agg: Optional[str] = None) -> np.ndarray:
    """`internal_tanimoto_parallel` on a fingerprint file, mapped in place.

    Parameters
    ----------
    path : str or os.PathLike
        The fingerprint file (N rows).
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.
    agg : {None, "full", "mean", "max", "min"}
        None or "full": the condensed vector of the N*(N-1)/2 pairs; the
        others: one value per row against all the other rows.

    Examples
    --------
    >>> quarnel.internal_tanimoto_mmap("library.qfp", agg="mean")
    """
    return native_call(_native.internal_tanimoto_mmap, path, n_threads, agg)


def bulk_tanimoto_parallel_threshold(py_fps: Fingerprints, py_fps2: Fingerprints, threshold: float,
                                     n_threads: int = -1) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every database fingerprint scoring at least `threshold` with each query.

    Parameters
    ----------
    py_fps, py_fps2 : sequence of ExplicitBitVect
        Queries (N1) and database (N2), all of one bit length.
    threshold : float
        From 0.0 to 1.0; pairs whose score is at least this are kept.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.
        The pairs found are the same, in the same order, for every count.

    Returns
    -------
    (indptr, indices, scores) : tuple of numpy.ndarray
        CSR rows: int64 `indptr` of length N1 + 1, uint32 database
        positions (ascending within each row) and their float64 scores, as
        ``scipy.sparse.csr_matrix((scores, indices, indptr))`` reads them.
        Pairs whose bit counts alone rule them out are skipped exactly.

    Raises
    ------
    TypeError
        `threshold` is not a number, or an element is not an ExplicitBitVect.
    ValueError
        `threshold` is NaN or outside [0, 1]; mixed or mismatched lengths.
    MemoryError
        The pairs found cannot fit in memory (everything is freed first).

    Examples
    --------
    >>> indptr, indices, scores = quarnel.bulk_tanimoto_parallel_threshold(queries, library, 0.7)
    """
    return native_call(_native.bulk_tanimoto_parallel_threshold, py_fps, py_fps2, threshold, n_threads)


def bulk_tanimoto_mmap_threshold(path1: PathLike, path2: PathLike, threshold: float, n_threads: int = -1,
                                 db_offset: int = 0, db_limit: int = 0
                                 ) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """`bulk_tanimoto_parallel_threshold` on two fingerprint files, mapped in
    place, over the database window `db_offset`, `db_limit`; indices count
    from the start of the database file.

    Parameters
    ----------
    path1, path2 : str or os.PathLike
        Query file and database file.
    threshold : float
        From 0.0 to 1.0; pairs whose score is at least this are kept.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.
    db_offset, db_limit : int
        The window of database rows: from row `db_offset`, at most
        `db_limit` rows (0: to the end of the file).  A window that starts
        at or past the end is empty: every query has no hit.

    Examples
    --------
    >>> indptr, indices, scores = quarnel.bulk_tanimoto_mmap_threshold("q.qfp", "lib.qfp", 0.7)
    """
    return native_call(_native.bulk_tanimoto_mmap_threshold, path1, path2, threshold, n_threads, db_offset, db_limit)


def internal_tanimoto_parallel_threshold(py_fps: Fingerprints, threshold: float,
                                         n_threads: int = -1) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For every fingerprint, every other one of the set scoring at least
    `threshold`: CSR rows of length N + 1, each pair listed in both rows,
    never a fingerprint with itself.

    Parameters
    ----------
    py_fps : sequence of ExplicitBitVect
        The set, all of one bit length.
    threshold : float
        From 0.0 to 1.0.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.

    Examples
    --------
    >>> indptr, indices, scores = quarnel.internal_tanimoto_parallel_threshold(fps, 0.6)
    """
    return native_call(_native.internal_tanimoto_parallel_threshold, py_fps, threshold, n_threads)


def internal_tanimoto_mmap_threshold(path: PathLike, threshold: float,
                                     n_threads: int = -1) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """`internal_tanimoto_parallel_threshold` on a fingerprint file, mapped in place.

    Parameters
    ----------
    path : str or os.PathLike
        The fingerprint file.
    threshold : float
        From 0.0 to 1.0.
    n_threads : int, default -1
        Worker threads; 0 or less uses every CPU this process may use.

    Examples
    --------
    >>> indptr, indices, scores = quarnel.internal_tanimoto_mmap_threshold("library.qfp", 0.6)
    """
    return native_call(_native.internal_tanimoto_mmap_threshold, path, threshold, n_threads)

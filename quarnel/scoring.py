"""The extension's general scoring functions: every metric, every mode,
over fingerprint files or uint64 row arrays read in place.

A source is a fingerprint file path or a ``(rows, n_bits)`` pair of a
C-contiguous (N, W) uint64 array and its bit length.  Each function runs
native code that Ctrl-C stops (`functions.native_call`)."""

from __future__ import annotations

import _quarnel

from .functions import native_call
from .metrics import native_metric

_native = _quarnel._scoring


def cross(queries, database, metric="tanimoto", agg=None, n_threads=-1, db_offset=0, db_limit=0):
    """The (N1, N2) matrix, or per query "mean", "max" or "min"."""
    name, alpha, beta = native_metric(metric)
    return native_call(_native.cross, queries, database, name, alpha, beta, agg, n_threads, db_offset, db_limit)


def cross_topk(queries, database, k, metric="tanimoto", n_threads=-1, db_offset=0, db_limit=0):
    """(uint32 rows from the start of the database source, float64 scores)."""
    name, alpha, beta = native_metric(metric)
    return native_call(_native.cross_topk, queries, database, k, name, alpha, beta, n_threads, db_offset, db_limit)


def cross_threshold(queries, database, threshold, metric="tanimoto", n_threads=-1, db_offset=0, db_limit=0):
    """CSR (indptr, uint32 rows, scores) of the pairs scoring at least `threshold`."""
    name, alpha, beta = native_metric(metric)
    return native_call(_native.cross_threshold, queries, database, threshold, name, alpha, beta, n_threads,
                       db_offset, db_limit)


def prepare(database, group=True, n_threads=-1):
    """A fingerprint file or ``(rows, n_bits)`` pair counted once (and with
    `group` its rows copied in bit-count order), for the functions above
    to read as their database again and again."""
    return native_call(_native.prepare, database, group, n_threads)


def vector_rows(vectors):
    """(C-contiguous (N, W) uint64 rows, n_bits) of a sequence of
    ExplicitBitVect objects: a TypeError names an item of another type, a
    ValueError mixed lengths."""
    return native_call(_native.vector_rows, vectors)


def internal(rows, metric="tanimoto", agg=None, n_threads=-1):
    """The condensed vector of pairs (i < j, row i the query), or per row
    "mean", "max" or "min" over the others."""
    name, alpha, beta = native_metric(metric)
    return native_call(_native.internal, rows, name, alpha, beta, agg, n_threads)


def internal_threshold(rows, threshold, metric="tanimoto", n_threads=-1):
    """CSR rows: for each row (as the query), every other row scoring at
    least `threshold`."""
    name, alpha, beta = native_metric(metric)
    return native_call(_native.internal_threshold, rows, threshold, name, alpha, beta, n_threads)

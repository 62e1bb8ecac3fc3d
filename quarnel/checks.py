"""The bounds of the package's numeric options, stated once so that the
Python functions and the command line refuse the same values with the same
words."""

from __future__ import annotations

import math
import numbers
from typing import Optional

from .errors import QuarnelError

# More threads than this is a mistake, not a plan: the pool would only fail
# to start them, or run them without any gain.
MAX_THREADS = 1024
MAX_ROWS = 2**32 - 1
# Hits per query of a top-k search given no k; a threshold search given no
# k returns every hit instead.
DEFAULT_K = 10


def whole_number(value, what: str) -> int:
    # A value of the wrong type is a TypeError, as Python's own functions
    # raise for range("3"); a number out of bounds is a value error.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be a whole number, not {value!r}")
    return int(value)


def check_threads(n_threads) -> int:
    """-1 or 0: every CPU this process may use; else 1 to MAX_THREADS."""
    n_threads = whole_number(n_threads, "the thread count")
    if n_threads > MAX_THREADS or n_threads < -1:
        raise QuarnelError(f"the thread count must be 1 to {MAX_THREADS}, or 0 or -1 for every CPU, "
                           f"not {n_threads}")
    return n_threads


def check_k(k, *, with_threshold: bool = False) -> Optional[int]:
    """Hits per query: at least 1.  None means DEFAULT_K without a
    threshold and every hit with one."""
    if k is None:
        return None if with_threshold else DEFAULT_K
    k = whole_number(k, "k")
    if k < 1:
        raise QuarnelError(f"k must be at least 1, not {k}")
    return k


def check_threshold(threshold) -> float:
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(f"the threshold must be a number from 0 to 1, not {threshold!r}")
    threshold = float(threshold)
    if math.isnan(threshold) or not 0.0 <= threshold <= 1.0:
        raise QuarnelError(f"the threshold must be a number from 0 to 1, not {threshold}")
    return threshold


def check_window_rows(window_rows) -> Optional[int]:
    """Rows per window: 1 to MAX_ROWS, or None for the default."""
    if window_rows is None:
        return None
    window_rows = whole_number(window_rows, "the window")
    if not 1 <= window_rows <= MAX_ROWS:
        raise QuarnelError(f"the window must hold 1 to {MAX_ROWS} rows, not {window_rows}")
    return window_rows


def check_workers(n_workers) -> Optional[int]:
    """Worker processes: 1 to MAX_THREADS, or None (or 0 or -1) for every CPU."""
    if n_workers is None:
        return None
    n_workers = whole_number(n_workers, "the worker count")
    if n_workers > MAX_THREADS or n_workers < -1:
        raise QuarnelError(f"the worker count must be 1 to {MAX_THREADS}, or 0 or -1 for every CPU, "
                           f"not {n_workers}")
    return None if n_workers <= 0 else n_workers

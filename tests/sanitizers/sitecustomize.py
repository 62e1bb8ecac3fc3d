"""Imported at start-up by every Python process of the AddressSanitizer run
(scripts/ci_asan.sh puts this directory on PYTHONPATH), children included.

The leak check runs from an atexit hook, before the interpreter finalises:
at that point everything the interpreter, NumPy and Boost.Python keep for
the life of the process is still reachable, so it needs no suppression,
while a buffer or a non-container object that the module lost is already
unreachable and reported.  The check then replaces the one at process exit,
which would see the teardown's deliberate non-frees instead.

This shadows Debian's sitecustomize, which only installs apport's hook
(not used here)."""

import atexit
import ctypes

_runtime = ctypes.CDLL(None)

if hasattr(_runtime, "__lsan_do_leak_check"):
    # Importing NumPy leaks a few dozen code objects and tuples that its
    # Cython-built random modules make at import and never reference again,
    # and SciPy's sparse matrices (which the quarnel package returns) and
    # pandas (SearchResult.to_pandas) do the same.  Importing them here with leak tracking off on this thread
    # ignores what those imports allocate and nothing else.
    _runtime.__lsan_disable()
    try:
        import numpy  # noqa: F401
        import scipy.sparse  # noqa: F401

        try:
            import pandas  # noqa: F401
        except ImportError:
            pass
    finally:
        _runtime.__lsan_enable()

    # Reports, then ends the process with ASan's exit code if anything leaked.
    atexit.register(_runtime.__lsan_do_leak_check)

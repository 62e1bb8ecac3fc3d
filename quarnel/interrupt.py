"""Ctrl-C at safe points.

Python raises KeyboardInterrupt wherever the main thread happens to be,
also inside a finaliser (``__del__``), where it is printed and swallowed,
and the work goes on as if nothing had happened.  Within
`deferred_interrupts` a SIGINT is only recorded, and `check_interrupt`, which
the package's long loops call between pieces of work, raises it there.
Outside, `check_interrupt` does nothing and Ctrl-C behaves as usual."""

import contextlib
import signal
import threading

_pending = False
_deferring = False


def check_interrupt() -> None:
    global _pending
    if _pending:
        _pending = False
        raise KeyboardInterrupt


@contextlib.contextmanager
def deferred_interrupts():
    global _deferring, _pending
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def record(signum, frame):
        global _pending
        _pending = True

    previous = signal.signal(signal.SIGINT, record)
    _deferring, _pending = True, False
    try:
        yield
        check_interrupt()  # one that came after the last check
    finally:
        _deferring = False
        signal.signal(signal.SIGINT, previous)

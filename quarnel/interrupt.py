"""Ctrl-C at safe points.

Python raises KeyboardInterrupt wherever the main thread happens to be,
also inside a finaliser (``__del__``), where it is printed and swallowed,
and the work goes on as if nothing had happened.  Within
`deferred_interrupts` a SIGINT is only recorded, and `check_interrupt`, which
the package's long loops call between pieces of work, raises it there.
Inside `native_work` (a call into the extension, which polls for signals
while its workers run and stops them when a handler raises) it is raised at
once, so that long native work stops within moments.  Outside
`deferred_interrupts`, Ctrl-C behaves as usual."""

import contextlib
import signal
import threading

_pending = False
_deferring = False
_native_depth = 0


def check_interrupt() -> None:
    global _pending
    if _pending:
        _pending = False
        raise KeyboardInterrupt


def _record(signum, frame):
    global _pending
    if _native_depth:
        raise KeyboardInterrupt
    _pending = True


@contextlib.contextmanager
def deferred_interrupts():
    global _deferring, _pending
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, _record)
    _deferring, _pending = True, False
    try:
        yield
        check_interrupt()  # one that came after the last check
    finally:
        _deferring = False
        signal.signal(signal.SIGINT, previous)


@contextlib.contextmanager
def native_work():
    """Around a call into the extension: a Ctrl-C recorded earlier stops
    here, and one during the call is raised inside it."""
    global _native_depth
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    check_interrupt()
    _native_depth += 1
    try:
        yield
    finally:
        _native_depth -= 1

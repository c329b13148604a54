"""Long native calls that Ctrl-C stops.

A classic cover (``_native.grecond``, ``_native.asso``) is one native call
whose length grows with X, not a series of blocks between which the
interpreter could raise KeyboardInterrupt. :func:`call_stoppable` runs such
a call on a thread of its own while the caller waits in steps of
``_WAIT_S``: on Ctrl-C, or once the fit's ``stop`` event is set, the call's
:class:`_native.StopFlag` is set, the call ends within its own polling
interval (milliseconds of work), and its thread has ended before the
exception reaches the caller.
"""
from __future__ import annotations

import threading
from typing import Callable, List, Optional, TypeVar

from . import _native

__all__ = ["call_stoppable"]

T = TypeVar("T")

# How long the caller waits between two checks of its ``stop`` event; a
# signal interrupts the wait itself.
_WAIT_S = 0.1


def call_stoppable(call: Callable[[_native.StopFlag], T],
                   stop: Optional[threading.Event] = None) -> T:
    """``call(flag)``, a native call that stops with KeyboardInterrupt once
    ``flag`` is set: returns what it returns and raises what it raises; an
    exception in the waiting thread (Ctrl-C), or ``stop`` being set, sets
    the flag and waits for the call to end."""
    flag = _native.StopFlag()
    result: List[T] = []
    error: List[BaseException] = []

    def work() -> None:
        try:
            result.append(call(flag))
        except BaseException as e:  # raised again in the caller's thread
            error.append(e)

    thread = threading.Thread(target=work, name="quorbmf-cover", daemon=True)
    thread.start()
    try:
        while thread.is_alive():
            if stop is not None and stop.is_set():
                flag.set()
            thread.join(_WAIT_S)
    except BaseException:
        flag.set()
        thread.join()
        raise
    if error:
        raise error[0]
    return result[0]

"""Long computations that Ctrl-C can stop at once.

A compiled evaluation runs without the interpreter lock, and Python runs its
signal handlers only between bytecodes of the main thread: a Ctrl-C during a
minute-long evaluation would wait that minute. So the evaluation runs on a
worker thread while the main thread waits in a way a signal interrupts; the
KeyboardInterrupt then reaches the caller at once, and the abandoned
evaluation finishes in the background, its result discarded."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any, TypeVar

from . import _core

T = TypeVar("T")

_abandoned: set[threading.Event] = set()
_lock = threading.Lock()


def run(work: Callable[[], T]) -> T:
    """``work()``, interruptible by Ctrl-C when called from the main thread.

    Raises
    ------
    KeyboardInterrupt
        At once on Ctrl-C; whatever ``work`` raises otherwise.
    """
    if threading.current_thread() is not threading.main_thread():
        return work()  # signals are delivered to the main thread only
    outcome: dict[str, Any] = {}
    # An event rather than Thread.join: an interrupted join marks the thread
    # as ended although it still runs.
    done = threading.Event()

    def target() -> None:
        try:
            outcome["value"] = work()
        except BaseException as error:  # handed to the waiting thread
            outcome["error"] = error
        finally:
            with _lock:
                done.set()
                _abandoned.discard(done)

    threading.Thread(target=target, name="tarnok-evaluation", daemon=True).start()
    try:
        done.wait()
    except KeyboardInterrupt:
        with _lock:
            if not done.is_set():
                _abandoned.add(done)
                # Its engine is still in use when the interpreter exits: alive
                # on purpose, not a leak worth a report on the terminal.
                _core.silence_leak_warnings()
        raise
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def abandoned_evaluations() -> int:
    """How many interrupted evaluations are still running in the background."""
    with _lock:
        return len(_abandoned)

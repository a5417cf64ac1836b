"""One pacing thread for every paced source of the process: frames leave at their due times, whatever the loop does.

A source on the event loop can send no more punctually than the loop wakes
it, and a loop that is busy, or whose thread the scheduler lets wait, misses
its timers by milliseconds. So the sources of `lumora_kit.sources` (when
their loop keeps the monotonic clock) leave their sending to this thread:
the loop only queues frames. The thread keeps a heap of (due time, source),
sleeps on a condition until the earliest due time (an absolute time on
`time.monotonic`, so sleeps never add up to drift), and asks that source to
send (`Paced.fire`), which returns when its next frame is due, or None when
its queue ran empty. A source that gets frames again while off the heap
puts itself back (`schedule`).

The thread starts with the first source and stays for the life of the
process (a daemon: it holds nothing that interpreter exit must wait for).
It asks the scheduler for a short time slice (`lumora_kit.latency`), so that
on a busy machine it runs as soon as it wakes. Sends need the interpreter
lock: a program whose threads hold it for long (longer than
``sys.getswitchinterval()``) delays them, as it delays everything else.
"""

import heapq
import itertools
import logging
import os
import threading
import time
from typing import Protocol

from .latency import request_short_slice

logger = logging.getLogger("lumora_kit")


class Paced(Protocol):
    """What the pacing thread sends for."""

    def fire(self, now: float) -> float | None:
        """Sends what is due at `now` (on the pacing thread); returns the next due time, or None to leave the heap."""
        ...


class Pacer:
    """The pacing thread and its heap of due sources."""

    def __init__(self) -> None:
        self._wake = threading.Condition(threading.Lock())
        self._heap: list[tuple[float, int, Paced]] = []
        self._order = itertools.count()  # ties go first come, first served
        self._thread: threading.Thread | None = None

    def schedule(self, source: Paced, due: float) -> None:
        """Puts `source` on the heap, to fire at `due` (time.monotonic); any thread."""
        with self._wake:
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="lumora_kit pacer", daemon=True)
                self._thread.start()
            heapq.heappush(self._heap, (due, next(self._order), source))
            if self._heap[0][2] is source:  # the new earliest: the thread sleeps until then
                self._wake.notify()

    def _run(self) -> None:
        try:
            request_short_slice()
        except Exception:
            pass
        heap, wake, monotonic = self._heap, self._wake, time.monotonic
        while True:
            with wake:
                while True:
                    if heap:
                        wait = heap[0][0] - monotonic()
                        if wait <= 0:
                            _, _, source = heapq.heappop(heap)
                            break
                        wake.wait(wait)
                    else:
                        wake.wait()
            try:
                due = source.fire(monotonic())
            except Exception:
                logger.exception("paced source: sending failed")
                due = None
            if due is not None:
                with wake:
                    heapq.heappush(heap, (due, next(self._order), source))
            del source


_pacer: Pacer | None = None
_pacer_lock = threading.Lock()


def pacer() -> Pacer:
    """The process's pacer (made on first use)."""
    global _pacer
    with _pacer_lock:
        if _pacer is None:
            _pacer = Pacer()
        return _pacer


def _forget_in_child() -> None:
    # A forked child has no pacing thread: its sources start a new one.
    global _pacer, _pacer_lock
    _pacer, _pacer_lock = None, threading.Lock()


os.register_at_fork(after_in_child=_forget_in_child)

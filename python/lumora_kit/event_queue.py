"""A bounded queue from any thread into one asyncio event loop.

Producers (the SDK's callback threads) call `EventQueue.put`, which never
waits for the loop: it takes a short lock around an in-memory buffer, applies
the drop policy when the buffer is full, and, when no wake-up is already on
its way, schedules one with ``loop.call_soon_threadsafe``. Consumers on the
loop await `EventQueue.get` or iterate with ``async for``.

Why not ``call_soon_threadsafe(asyncio_queue.put_nowait, item)`` per item:
items scheduled that way wait in the loop's own, unbounded, list of ready
callbacks, so a loop that falls behind would grow without limit before any
bound applied. Here the buffer is the bound, and the loop holds one wake-up
per queue (two for a moment when a producer races the wake-up). The
consumer takes items without the lock: it is the loop's thread alone, and a
deque's popleft is atomic.

Counters: `received` counts every `put`, `delivered` every item handed to a
consumer, `dropped` every item discarded (by the drop policy, after
`shutdown`, or because the loop was closed); `received == delivered +
dropped + pending` at all times.
"""

import asyncio
import enum
from asyncio import get_running_loop
import threading
from collections import deque
from collections.abc import Callable, Coroutine
from dataclasses import dataclass
from typing import Any, Self


class DropPolicy(enum.Enum):
    """What `EventQueue.put` does when the queue already holds `maxsize` items."""

    DROP_OLDEST = "drop_oldest"
    """Discard the oldest waiting item and keep the new one: the consumer sees
    the latest state (fresh media, the last quality report)."""

    DROP_NEWEST = "drop_newest"
    """Discard the new item: what the consumer sees is a gap-free prefix."""


@dataclass(frozen=True, slots=True)
class QueueStats:
    received: int
    delivered: int
    dropped: int
    pending: int


class EventQueue[T]:
    """A bounded queue filled from any thread and emptied on one event loop.

    `shutdown` ends the queue: later `put` calls drop their item, and once
    the waiting items are taken `get` raises ``asyncio.QueueShutDown`` and
    ``async for`` ends. ``shutdown(immediate=True)`` also drops the waiting
    items. If the loop is closed while items wait, those items are dropped and
    the queue shuts down.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, maxsize: int = 1024,
                 policy: DropPolicy = DropPolicy.DROP_OLDEST) -> None:
        if maxsize < 1:
            raise ValueError(f"maxsize must be at least 1, got {maxsize}")
        self.loop = loop
        self.maxsize = maxsize
        self.policy = DropPolicy(policy)
        self._lock = threading.Lock()
        self._items: deque[T] = deque()
        self._is_shut_down = False
        self._wakeup_scheduled = False
        self._waiters: list[asyncio.Future[None]] = []  # touched on the loop only
        # `delivered` is not counted: it is received - dropped - pending, so
        # the consumer takes an item without the lock (a deque's popleft is
        # atomic) and the counters still add up at every moment.
        self._received = self._dropped = 0

    # ---- Producer side: any thread, never waits for the loop ----

    def put(self, item: T) -> bool:
        """Adds an item; returns False when this item was dropped.

        With DROP_OLDEST and a full queue, the oldest item is dropped instead
        and this one is kept (True)."""
        with self._lock:
            self._received += 1
            if self._wakeup_scheduled and not self._is_shut_down and self.loop.is_closed():
                # Closed with a wake-up still pending: it will never run.
                self._shut_down_locked(drop_pending=True)
            if self._is_shut_down:
                self._dropped += 1
                return False
            if len(self._items) >= self.maxsize:
                self._dropped += 1
                if self.policy is DropPolicy.DROP_NEWEST:
                    return False
                self._items.popleft()
            self._items.append(item)
            if self._wakeup_scheduled:
                return True
            self._wakeup_scheduled = True
        try:
            self.loop.call_soon_threadsafe(self._wake_waiters)
        except RuntimeError:  # the loop is closed: nobody will take these items
            with self._lock:
                self._shut_down_locked(drop_pending=True)
            return False
        return True

    def count_dropped(self, count: int) -> None:
        """Counts `count` items that were dropped before they reached this queue (received and dropped)."""
        if count:
            with self._lock:
                self._received += count
                self._dropped += count

    def _shut_down_locked(self, drop_pending: bool) -> None:
        self._is_shut_down = True
        if drop_pending:
            self._dropped += len(self._items)
            self._items.clear()

    def shutdown(self, immediate: bool = False) -> None:
        """Stops accepting items (from any thread); with `immediate`, also drops the waiting ones."""
        with self._lock:
            self._shut_down_locked(drop_pending=immediate)
        # Waiters must see the shutdown: wake them now on the loop's own
        # thread, otherwise through the loop.
        try:
            on_loop = asyncio.get_running_loop() is self.loop
        except RuntimeError:
            on_loop = False
        if on_loop:
            self._wake_waiters()
        else:
            try:
                self.loop.call_soon_threadsafe(self._wake_waiters)
            except RuntimeError:
                pass  # a closed loop has no waiters left to wake

    # ---- Consumer side ----

    def _wake_waiters(self) -> None:
        # Without the lock: a producer that still sees the flag set has put
        # its item before this runs, and the waiters woken here find it; one
        # that sees it cleared schedules a wake-up of its own.
        self._wakeup_scheduled = False
        waiters = self._waiters
        while waiters:
            waiter = waiters.pop()
            if not waiter.done():
                waiter.set_result(None)

    def get_nowait(self) -> T:
        """The oldest waiting item; raises asyncio.QueueEmpty, or
        asyncio.QueueShutDown once shut down and empty. Any thread."""
        with self._lock:
            if self._items:
                return self._items.popleft()
            if self._is_shut_down:
                raise asyncio.QueueShutDown
        raise asyncio.QueueEmpty

    def get(self) -> Coroutine[Any, Any, T]:
        """Waits for the next item (``await queue.get()``); on the queue's loop only.

        Raises asyncio.QueueShutDown once shut down and empty."""
        return self.take(_queue_shut_down)

    async def take(self, ended: Callable[[], BaseException]) -> T:
        """`get`, raising ``ended()`` once shut down and empty (what a stream or an iterator needs).

        An item that is there is taken at once and without the lock; only an
        empty queue makes a waiter (no exception is raised and caught on the
        way). Only the loop's thread takes items this way, and a producer
        only appends, or drops the oldest item under DROP_OLDEST: the check
        and the popleft can only be raced by that drop."""
        items = self._items
        while True:
            if items:
                try:
                    return items.popleft()
                except IndexError:  # a producer dropped the oldest item meanwhile
                    continue
            if self._is_shut_down:
                if items:  # put just before the shutdown
                    continue
                raise ended()
            loop = self.loop
            if get_running_loop() is not loop:
                raise RuntimeError("EventQueue.get must be awaited on the loop the queue was made for (a Room's "
                                   "streams and events belong to the loop the Room joined on; in tests, run the "
                                   "test on the loop of the fixture that made the Room)")
            waiter = loop.create_future()
            self._waiters.append(waiter)
            try:
                await waiter
            except BaseException:
                if waiter in self._waiters:  # cancelled before it was woken
                    self._waiters.remove(waiter)
                raise

    def __aiter__(self) -> Self:
        return self

    def __anext__(self) -> Coroutine[Any, Any, T]:
        return self.take(StopAsyncIteration)

    # ---- State ----

    @property
    def is_shut_down(self) -> bool:
        return self._is_shut_down

    def stats(self) -> QueueStats:
        """The four counters, read together."""
        with self._lock:
            pending = len(self._items)
            return QueueStats(self._received, self._received - self._dropped - pending, self._dropped, pending)

    @property
    def received(self) -> int:
        return self._received

    @property
    def delivered(self) -> int:
        return self.stats().delivered

    @property
    def dropped(self) -> int:
        return self._dropped

    def qsize(self) -> int:
        return len(self._items)


def _queue_shut_down() -> BaseException:
    return asyncio.QueueShutDown()

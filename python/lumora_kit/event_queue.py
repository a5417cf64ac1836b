"""A bounded queue from any thread into one asyncio event loop.

Producers (the SDK's callback threads) call `EventQueue.put`, which never
waits for the loop: it takes a short lock around an in-memory buffer, applies
the drop policy when the buffer is full, and, when no wake-up is already on
its way, schedules one with ``loop.call_soon_threadsafe``. Consumers on the
loop await `EventQueue.get` or iterate with ``async for``.

Why not ``call_soon_threadsafe(asyncio_queue.put_nowait, item)`` per item:
items scheduled that way wait in the loop's own, unbounded, list of ready
callbacks, so a loop that falls behind would grow without limit before any
bound applied. Here the buffer is the bound, and the loop holds at most one
wake-up per queue.

Counters: `received` counts every `put`, `delivered` every item handed to a
consumer, `dropped` every item discarded (by the drop policy, after
`shutdown`, or because the loop was closed); `received == delivered +
dropped + pending` at all times.
"""

import asyncio
import enum
import threading
from collections import deque
from dataclasses import dataclass
from typing import Self


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
        self._received = self._delivered = self._dropped = 0

    # ---- Producer side: any thread, never waits for the loop ----

    def put(self, item: T) -> bool:
        """Adds an item; returns False when this item was dropped.

        With DROP_OLDEST and a full queue, the oldest item is dropped instead
        and this one is kept (True)."""
        with self._lock:
            self._received += 1
            if not self._is_shut_down and self.loop.is_closed():
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
        return self._schedule_wakeup()

    def count_dropped(self, count: int) -> None:
        """Counts `count` items that were dropped before they reached this queue (received and dropped)."""
        if count:
            with self._lock:
                self._received += count
                self._dropped += count

    def _schedule_wakeup(self) -> bool:
        try:
            self.loop.call_soon_threadsafe(self._wake_waiters)
        except RuntimeError:  # the loop is closed: nobody will take these items
            with self._lock:
                self._shut_down_locked(drop_pending=True)
            return False
        return True

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
        with self._lock:
            self._wakeup_scheduled = False
        waiters, self._waiters = self._waiters, []
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(None)

    def get_nowait(self) -> T:
        """The oldest waiting item; raises asyncio.QueueEmpty, or
        asyncio.QueueShutDown once shut down and empty. Any thread."""
        with self._lock:
            if self._items:
                self._delivered += 1
                return self._items.popleft()
            if self._is_shut_down:
                raise asyncio.QueueShutDown
        raise asyncio.QueueEmpty

    async def get(self) -> T:
        """Waits for the next item; on the queue's loop only."""
        if asyncio.get_running_loop() is not self.loop:
            raise RuntimeError("EventQueue.get must be awaited on the loop the queue was made for (a Room's "
                               "streams and events belong to the loop the Room joined on; in tests, run the "
                               "test on the loop of the fixture that made the Room)")
        while True:
            try:
                return self.get_nowait()
            except asyncio.QueueEmpty:
                pass
            waiter = self.loop.create_future()
            self._waiters.append(waiter)
            try:
                await waiter
            finally:
                if waiter in self._waiters:  # cancelled before it was woken
                    self._waiters.remove(waiter)

    def __aiter__(self) -> Self:
        return self

    async def __anext__(self) -> T:
        try:
            return await self.get()
        except asyncio.QueueShutDown:
            raise StopAsyncIteration from None

    # ---- State ----

    @property
    def is_shut_down(self) -> bool:
        return self._is_shut_down

    def stats(self) -> QueueStats:
        """The four counters, read together."""
        with self._lock:
            return QueueStats(self._received, self._delivered, self._dropped, len(self._items))

    @property
    def received(self) -> int:
        return self._received

    @property
    def delivered(self) -> int:
        return self._delivered

    @property
    def dropped(self) -> int:
        return self._dropped

    def qsize(self) -> int:
        return len(self._items)

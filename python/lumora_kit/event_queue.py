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
wake-up for all its queues (two for a moment when a producer races the
wake-up). The consumer takes items without the lock: it is the loop's
thread alone, and a deque's popleft is atomic.

One wake-up for many deliveries (`LoopWaker`). Waking an event loop from
another thread costs far more than what a frame needs once there (the
self-pipe's write and read, a pass of the selector, the callback: 100-200 µs
of CPU against a few µs), and a Room with 50 users' streams gets 2,500
frames a second. So the queues of one loop share one waker: a queue with
items and no wake-up on its way joins the waker's list, and only the first
of a batch writes to the loop's self-pipe; the others find the wake-up
pending and only join the list. When the loop runs the wake-up, it wakes the
consumers of every queue on the list.

With a `window` (seconds; `DEFAULT_WINDOW_MS`, 2 ms, for a Room and an
`AsyncioDelegate`), a wake-up that found more than one queue waiting starts
a window: deliveries in it join the list and write nothing; the first
delivery after it wakes the loop for all of them, and the loop's own timer
does if none comes. While the traffic lasts the loop wakes about once a
window. (The producers end the windows rather than the loop's timer
because under load a timer runs late by several milliseconds where a
thread woken through the self-pipe runs at once.) A wake-up that finds one
queue or none ends the gathering, so a lone stream's frames are not held
back. What this adds to a frame's way to its consumer is about the window
at most (bench/README.md gives the figures); ``window=0`` coalesces only
while a wake-up is pending.

Counters: `received` counts every `put`, `delivered` every item handed to a
consumer, `dropped` every item discarded (by the drop policy, after
`shutdown`, or because the loop was closed); `received == delivered +
dropped + pending` at all times.
"""

import asyncio
import enum
import threading
import weakref
from asyncio import get_running_loop
from time import monotonic
from collections import deque
from collections.abc import Callable, Coroutine
from dataclasses import dataclass
from typing import Any, Protocol, Self

DEFAULT_WINDOW_MS = 2.0
"""How long (ms) a Room's or an AsyncioDelegate's queues let the loop's own timer gather deliveries
while the traffic is dense (see the module's text)."""


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


class _Wakeable(Protocol):
    def wake_consumers(self) -> None: ...


class LoopWaker:
    """The wake-ups of one loop for all its queues of one window (see the module's text).

    `request` (any thread) puts a queue on the list and schedules a wake-up
    with ``call_soon_threadsafe`` unless one is on its way (`_soon`) or the
    waker is gathering (until `_quiet_until`, on time.monotonic). `_run` (on
    the loop) takes the list and wakes each queue's consumers; when it found
    more than one queue it gathers for a window: the first delivery after
    the window wakes the loop, and so does the loop's own timer (`_backstop`)
    if none comes. Producers, not the timer, end a window while traffic is
    dense: a woken loop thread runs sooner than a loop timer under load."""

    __slots__ = ("_loop", "window", "_lock", "_pending", "_soon", "_quiet_until", "_backstop", "__weakref__")

    def __init__(self, loop: asyncio.AbstractEventLoop, window: float) -> None:
        # Weakly: the registry maps each loop to its wakers, and a strong
        # reference from a value to its key would keep every loop for good.
        self._loop = weakref.ref(loop)
        self.window = window
        self._lock = threading.Lock()
        self._pending: list[_Wakeable] = []
        self._soon = False
        self._quiet_until = 0.0
        self._backstop: asyncio.TimerHandle | None = None

    @staticmethod
    def of(loop: asyncio.AbstractEventLoop, window: float) -> "LoopWaker":
        """The waker of `loop` for `window` (one per loop and window)."""
        with _wakers_lock:
            of_loop = _wakers.get(loop)
            if of_loop is None:
                of_loop = _wakers[loop] = {}
            waker = of_loop.get(window)
            if waker is None:
                waker = of_loop[window] = LoopWaker(loop, window)
            return waker

    def request(self, queue: _Wakeable) -> None:
        """Wakes `queue`'s consumers soon. RuntimeError when the loop is closed (nothing will)."""
        loop = self._loop()
        with self._lock:
            if loop is None or ((self._soon or self._quiet_until) and loop.is_closed()):
                self._pending.clear()  # closed with a wake-up on its way: it will never run
                raise RuntimeError("the event loop is closed")
            self._pending.append(queue)
            if self._soon or (self._quiet_until and monotonic() < self._quiet_until):
                return
            self._soon = True
        try:
            loop.call_soon_threadsafe(self._run)
        except RuntimeError:
            with self._lock:
                self._soon = False
                self._pending.clear()
            raise

    def _run(self) -> None:
        """A wake-up: from a producer, or the loop's timer at the end of a window."""
        with self._lock:
            queues, self._pending = self._pending, []
            self._soon = False
            gather = self.window > 0 and len(queues) > 1
            self._quiet_until = monotonic() + self.window if gather else 0.0
        backstop, self._backstop = self._backstop, None
        if backstop is not None:
            backstop.cancel()
        loop = self._loop()
        if gather and loop is not None:
            self._backstop = loop.call_at(loop.time() + self.window, self._run)
        for queue in queues:
            queue.wake_consumers()


_wakers: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, dict[float, LoopWaker]]" = weakref.WeakKeyDictionary()
_wakers_lock = threading.Lock()


class EventQueue[T]:
    """A bounded queue filled from any thread and emptied on one event loop.

    `shutdown` ends the queue: later `put` calls drop their item, and once
    the waiting items are taken `get` raises ``asyncio.QueueShutDown`` and
    ``async for`` ends. ``shutdown(immediate=True)`` also drops the waiting
    items. If the loop is closed while items wait, those items are dropped and
    the queue shuts down.

    `window` (seconds, 0 by default) lets the loop gather deliveries to this
    and its other queues of the same window for that long while the traffic
    is dense (see the module's text).
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, maxsize: int = 1024,
                 policy: DropPolicy = DropPolicy.DROP_OLDEST, *, window: float = 0.0) -> None:
        if maxsize < 1:
            raise ValueError(f"maxsize must be at least 1, got {maxsize}")
        if not 0 <= window <= 1:
            raise ValueError(f"window must be from 0 to 1 s, got {window}")
        self.loop = loop
        self._waker = LoopWaker.of(loop, float(window))
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
            self._waker.request(self)
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
            self.wake_consumers()
        else:
            try:
                self.loop.call_soon_threadsafe(self.wake_consumers)
            except RuntimeError:
                pass  # a closed loop has no waiters left to wake

    # ---- Consumer side ----

    def wake_consumers(self) -> None:
        """Wakes the coroutines waiting for items (on the loop; what a wake-up runs)."""
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

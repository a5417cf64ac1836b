"""Bounded streams of frames and events from the SDK's threads into one event loop.

A `Stream` is what `Room.audio_stream`, `Room.video_stream`,
`Room.mixed_audio_stream` and `Room.events` return: an async iterator over
an `EventQueue` that the Room's delegate fills on the SDK's threads. The
SDK's thread never waits: when the consumer falls behind, the queue's
`DropPolicy` discards frames, and the counters say how many.

The stream ends (``async for`` finishes, `get` raises `StreamEnded`) after
the consumer has taken what was queued when

- the stream was closed (`aclose`, leaving ``async with``), or
- its user left the room, or
- the room was left.

Closing unsubscribes (the Room's part, through the `on_close` hook given at
construction). Leaving an ``async for`` with ``break`` does not close a
stream by itself: use ``async with`` (or call `aclose`), or let the stream
object go: its finaliser hands the close to the stream's loop.
"""

import asyncio
import logging
from collections.abc import Callable, Coroutine
from types import TracebackType
from typing import Any, Self

from .event_queue import DropPolicy, EventQueue, QueueStats

logger = logging.getLogger("lumora_kit")


class StreamEnded(Exception):
    """`Stream.get` after the stream ended; `reason` says why."""

    def __init__(self, reason: str) -> None:
        super().__init__(f"stream ended: {reason}")
        self.reason = reason


class Sink[T]:
    """The producer's side of a stream: what the Room's delegate holds, on the SDK's threads.

    It holds the queue, not the `Stream`, so a stream that its consumer drops
    is garbage even while the Room still routes frames to its sink."""

    __slots__ = ("queue", "put", "end_reason")

    def __init__(self, queue: EventQueue[T]) -> None:
        self.queue = queue
        self.put = queue.put
        self.end_reason: str | None = None

    def end(self, reason: str) -> None:
        """Ends the stream from any thread: the consumer takes what is queued, then the iteration stops."""
        if self.end_reason is None:
            self.end_reason = reason
        self.queue.shutdown()


class Stream[T]:
    """An async iterator of frames (or events) with a bound, a drop policy and counters.

    `user_id` and `stream_type` say what the stream carries (None for the
    mixed audio and for room events). `end_reason` is None while the stream
    runs, then "closed", "user left" or "room left".
    """

    def __init__(self, sink: Sink[T], *, user_id: str | None = None, stream_type: object = None,
                 on_close: Callable[[Sink[T]], None] | None = None) -> None:
        self.sink = sink
        self._queue = sink.queue
        self.user_id = user_id
        self.stream_type = stream_type
        self._on_close = on_close

    @property
    def end_reason(self) -> str | None:
        return self.sink.end_reason

    # ---- Taking items ----

    def get(self) -> Coroutine[Any, Any, T]:
        """The next item (``await stream.get()``); raises `StreamEnded` once the stream has ended and is empty."""
        return self._queue.take(self._ended)

    def get_nowait(self) -> T:
        """The next waiting item; raises asyncio.QueueEmpty, or `StreamEnded`."""
        try:
            return self._queue.get_nowait()
        except asyncio.QueueShutDown:
            self.close()
            raise StreamEnded(self.end_reason or "closed") from None

    def __aiter__(self) -> Self:
        return self

    def __anext__(self) -> Coroutine[Any, Any, T]:
        return self._queue.take(self._stopped)

    def _ended(self) -> BaseException:
        self.close()
        return StreamEnded(self.end_reason or "closed")

    def _stopped(self) -> BaseException:
        self.close()
        return StopAsyncIteration()

    # ---- Ending ----

    def end(self, reason: str) -> None:
        """Ends the stream from any thread: the consumer takes what is queued, then the iteration stops.

        The subscription stays until the stream is closed (the consumer's
        end of iteration closes it)."""
        self.sink.end(reason)

    def close(self) -> None:
        """Closes the stream now: unsubscribes and drops what is still queued. On the stream's loop."""
        on_close, self._on_close = self._on_close, None
        _close_sink(self.sink, on_close)

    async def aclose(self) -> None:
        """Closes the stream (see `close`); async for symmetry with other async iterators."""
        self.close()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        self.close()

    def __del__(self) -> None:
        # A stream dropped without aclose (e.g. after break in async for)
        # still unsubscribes. The finaliser runs wherever the garbage
        # collector does: on an SDK thread, or on the loop's thread in the
        # middle of the routes' or a queue's locked section. So it takes no
        # lock and changes nothing itself; it hands the close to the loop.
        on_close = getattr(self, "_on_close", None)
        if on_close is None:
            return
        self._on_close = None
        try:
            self._queue.loop.call_soon_threadsafe(_close_sink, self.sink, on_close)
        except Exception:
            pass  # the loop is closed: nothing is consumed or routed on its side any more

    # ---- State ----

    @property
    def closed(self) -> bool:
        """True once the stream has ended or was closed (items may still be waiting after an end)."""
        return self.end_reason is not None

    @property
    def maxsize(self) -> int:
        return self._queue.maxsize

    @property
    def policy(self) -> DropPolicy:
        return self._queue.policy

    def stats(self) -> QueueStats:
        """received, delivered, dropped and pending, read together."""
        return self._queue.stats()

    @property
    def received(self) -> int:
        return self._queue.received

    @property
    def delivered(self) -> int:
        return self._queue.delivered

    @property
    def dropped(self) -> int:
        return self._queue.dropped

    def qsize(self) -> int:
        return self._queue.qsize()

    def __repr__(self) -> str:
        state = "open" if self.end_reason is None else self.end_reason
        return f"<Stream {self.stream_type} of {self.user_id!r} {state} {self.stats()}>"


def _close_sink[T](sink: Sink[T], on_close: Callable[[Sink[T]], None] | None) -> None:
    """Ends the stream of `sink` at once and runs its close hook (the Room unsubscribes). On the loop."""
    if sink.end_reason is None:
        sink.end_reason = "closed"
    sink.queue.shutdown(immediate=True)
    if on_close is not None:
        try:
            on_close(sink)
        except Exception:
            logger.exception("closing a stream failed")

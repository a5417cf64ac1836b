"""Delegate callbacks as typed events on an asyncio event loop: what runs on the SDK's threads.

Two delegates carry callbacks from the SDK's threads to one event loop, and
both never wait for the loop (see `lumora_kit.event_queue`): a slow consumer
costs dropped items, counted, never a stalled SDK thread.

- `AsyncioDelegate` turns each callback into an event object
  (`lumora_kit.events`) and puts it into an `EventQueue`; the loop's code
  takes the events with ``async for`` or ``await events.get()``.
- `RoomDelegate`, the delegate of `lumora_kit.Room`, does the same for every
  callback but the frames, into the queue the Room's event pump takes; the
  frames go to the sinks of the Room's streams through `RoomRoutes`. (A
  user's leave is an event like the others: the pump ends that user's
  streams after it has taken the user out of `remote_users`, and after the
  frames that came before.)

Both make their event callbacks with one factory, `_queuing`. Whatever they
run on the SDK's thread catches its exceptions and logs them on the logger
"lumora_kit" with the traceback: nothing raises into the SDK.
"""

import asyncio
import logging
import threading
from collections.abc import Callable, Iterable
from typing import Any

import _lumora

from .delegate import CALLBACK_NAMES, Delegate
from .event_queue import DropPolicy, EventQueue
from .events import EVENT_TYPES, Event
from .streams import Sink

logger = logging.getLogger("lumora_kit")

FRAME_CALLBACKS = frozenset({
    "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived", "OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived",
})


def _log_callback_error(delegate: Delegate, callback: str) -> None:
    logger.exception("%s.%s raised on the SDK's thread", type(delegate).__name__, callback)


def _queuing(name: str, owner: str) -> Callable[..., None]:
    """The callback `name` of a delegate with `events` (an EventQueue) and `bridged_callbacks`.

    A bridged callback puts its event into `events`; any other reaches the
    `Delegate` no-op."""
    event_type = EVENT_TYPES[name]
    fallback = getattr(Delegate, name)

    def method(self: Any, *args: object) -> None:
        if name in self.bridged_callbacks:
            try:
                self.events.put(event_type(*args))
            except Exception:
                _log_callback_error(self, name)
        else:
            fallback(self, *args)

    method.__name__, method.__qualname__ = name, f"{owner}.{name}"
    method.__doc__ = f"Queues {event_type.__name__}(...) when {name} is bridged."
    return method


# ---- AsyncioDelegate: every callback as an event --------------------------------------

class AsyncioDelegate(Delegate):
    """A delegate that queues its callbacks as events for an event loop.

    ``loop`` defaults to the running loop, so an instance made outside a
    coroutine must be given one. ``callbacks`` limits which callbacks become
    events (by name, e.g. to leave frames out); the others reach the
    `Delegate` no-ops, and a subclass may redefine any callback to handle it
    on the SDK's thread instead. `events` is the queue: ``maxsize`` and
    ``policy`` set its bound and what happens when it is full.

    Stopping: destroy the cloud (drop the last VELACloud reference) or leave
    the room first, then call `shutdown`; the consumer then takes what is
    still queued and its ``async for`` ends. Events that arrive after
    `shutdown` are counted as dropped.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop | None = None, *, maxsize: int = 1024,
                 policy: DropPolicy = DropPolicy.DROP_OLDEST, callbacks: Iterable[str] | None = None,
                 log_unhandled: bool = False) -> None:
        super().__init__(log_unhandled=log_unhandled)
        bridged = frozenset(CALLBACK_NAMES if callbacks is None else callbacks)
        unknown = bridged - set(CALLBACK_NAMES)
        if unknown:
            raise ValueError(f"not delegate callbacks: {sorted(unknown)}")
        self.bridged_callbacks = bridged
        self.events: EventQueue[Event] = EventQueue(
            asyncio.get_running_loop() if loop is None else loop, maxsize, policy)

    def shutdown(self, immediate: bool = False) -> None:
        """Ends the event stream; see `EventQueue.shutdown`."""
        self.events.shutdown(immediate)

    def __aiter__(self) -> EventQueue[Event]:
        return self.events


for _name in CALLBACK_NAMES:
    setattr(AsyncioDelegate, _name, _queuing(_name, "AsyncioDelegate"))


# ---- RoomDelegate: the Room's events to its pump, frames to its streams -----------------

type RouteKey = tuple[str | None, int]  # (user id, stream type) of a route


class RoomRoutes:
    """Where the Room's delegate sends what arrives. Shared by the Room (on the loop) and its delegate.

    The dicts are never changed in place: `add` and `remove` build new ones
    under `_lock` and swap them in, so the SDK's threads read them without
    a lock."""

    def __init__(self, room_events: EventQueue[Event]) -> None:
        self._lock = threading.Lock()
        self.room_events = room_events
        self.audio: dict[str | None, tuple[Sink[_lumora.AudioFrame], ...]] = {}
        self.pixel: dict[RouteKey, tuple[Sink[_lumora.PixelFrame], ...]] = {}
        self.video: dict[RouteKey, tuple[Sink[_lumora.VideoFrame], ...]] = {}
        self.mixed: tuple[Sink[_lumora.AudioFrame], ...] = ()

    def add(self, table: str, key: Any, sink: Sink[Any]) -> None:
        with self._lock:
            if table == "mixed":
                self.mixed = self.mixed + (sink,)
                return
            routes: dict[Any, tuple[Sink[Any], ...]] = dict(getattr(self, table))
            routes[key] = routes.get(key, ()) + (sink,)
            setattr(self, table, routes)

    def remove(self, table: str, key: Any, sink: Sink[Any]) -> None:
        with self._lock:
            if table == "mixed":
                self.mixed = tuple(s for s in self.mixed if s is not sink)
                return
            routes: dict[Any, tuple[Sink[Any], ...]] = dict(getattr(self, table))
            left = tuple(s for s in routes.get(key, ()) if s is not sink)
            if left:
                routes[key] = left
            else:
                routes.pop(key, None)
            setattr(self, table, routes)

    def sinks_of(self, user_id: str | None) -> list[Sink[Any]]:
        found: list[Sink[Any]] = list(self.audio.get(user_id, ()))
        for table in (self.pixel, self.video):
            for (user, _), sinks in table.items():
                if user == user_id:
                    found.extend(sinks)
        return found

    def all_sinks(self) -> list[Sink[Any]]:
        found: list[Sink[Any]] = list(self.mixed)
        for table in (self.audio, self.pixel, self.video):
            for sinks in table.values():
                found.extend(sinks)
        return found


class RoomDelegate(Delegate):
    """The Room's delegate: frames to the streams' sinks, everything else to the Room's pump.

    It holds only the `RoomRoutes`, never the cloud or the Room."""

    bridged_callbacks = frozenset(CALLBACK_NAMES) - FRAME_CALLBACKS

    def __init__(self, routes: RoomRoutes) -> None:
        super().__init__()
        self.routes = routes
        self.events = routes.room_events

    def OnRemoteAudioReceived(self, user_id: str | None, frame: _lumora.AudioFrame) -> None:
        try:
            for sink in self.routes.audio.get(user_id, ()):
                sink.put(frame)
        except Exception:
            _log_callback_error(self, "OnRemoteAudioReceived")

    def OnRemoteMixedAudioReceived(self, frame: _lumora.AudioFrame) -> None:
        try:
            for sink in self.routes.mixed:
                sink.put(frame)
        except Exception:
            _log_callback_error(self, "OnRemoteMixedAudioReceived")

    def OnRemotePixelFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.PixelFrame) -> None:
        try:
            for sink in self.routes.pixel.get((user_id, int(stream_type)), ()):
                sink.put(frame)
        except Exception:
            _log_callback_error(self, "OnRemotePixelFrameReceived")

    def OnRemoteVideoFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.VideoFrame) -> None:
        try:
            for sink in self.routes.video.get((user_id, int(stream_type)), ()):
                sink.put(frame)
        except Exception:
            _log_callback_error(self, "OnRemoteVideoFrameReceived")


for _name in RoomDelegate.bridged_callbacks:
    setattr(RoomDelegate, _name, _queuing(_name, "RoomDelegate"))
del _name

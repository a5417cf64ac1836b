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
import weakref
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import _lumora

from .delegate import CALLBACK_NAMES, Delegate
from .event_queue import DEFAULT_WINDOW_MS, DropPolicy, EventQueue
from .events import EVENT_TYPES, Event, OnRemoteUserEnterRoom, OnRemoteUserExitRoom
from .streams import Sink

logger = logging.getLogger("lumora_kit")

FRAME_CALLBACKS = frozenset({
    "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived", "OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived",
})


def _fan_out(puts: tuple[Callable[[Any], object], ...]) -> Callable[[Any], None]:
    """One put into several streams of the same user and stream type (they share the frame)."""
    def put(frame: Any) -> None:
        for one in puts:
            one(frame)
    return put


def user_text(info: _lumora.UserInfo) -> str:
    """The user id of a UserInfo as a str ("" for none)."""
    return info.user_id.GetValue() or ""


def _user_of(place: tuple[str, Any]) -> str | None:
    """The user of a (table, key) place: an audio key is a user id, a video key (user id, stream type)."""
    key: "str | None | RouteKey" = place[1]
    return key[0] if isinstance(key, tuple) else key


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
    ``policy`` set its bound and what happens when it is full, and
    ``delivery_window_ms`` how long the loop may gather events under dense
    traffic before it wakes (see `lumora_kit.event_queue`).

    Stopping: destroy the cloud (drop the last VELACloud reference) or leave
    the room first, then call `shutdown`; the consumer then takes what is
    still queued and its ``async for`` ends. Events that arrive after
    `shutdown` are counted as dropped.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop | None = None, *, maxsize: int = 1024,
                 policy: DropPolicy = DropPolicy.DROP_OLDEST, callbacks: Iterable[str] | None = None,
                 log_unhandled: bool = False, delivery_window_ms: float = DEFAULT_WINDOW_MS) -> None:
        super().__init__(log_unhandled=log_unhandled)
        bridged = frozenset(CALLBACK_NAMES if callbacks is None else callbacks)
        unknown = bridged - set(CALLBACK_NAMES)
        if unknown:
            raise ValueError(f"not delegate callbacks: {sorted(unknown)}")
        self.bridged_callbacks = bridged
        self.events: EventQueue[Event] = EventQueue(
            asyncio.get_running_loop() if loop is None else loop, maxsize, policy, window=delivery_window_ms / 1000)

    def shutdown(self, immediate: bool = False) -> None:
        """Ends the event stream; see `EventQueue.shutdown`."""
        self.events.shutdown(immediate)

    def __aiter__(self) -> EventQueue[Event]:
        return self.events


def _install_queuing(cls: type[Delegate], names: Iterable[str]) -> None:
    for name in names:
        setattr(cls, name, _queuing(name, cls.__name__))


_install_queuing(AsyncioDelegate, CALLBACK_NAMES)


# ---- RoomDelegate: the Room's events to its pump, frames to its streams -----------------

type RouteKey = tuple[str | None, int]  # (user id, stream type) of a route

EARLY_AUDIO_FRAMES = 250
"""Audio frames kept per user before a stream of theirs opens (5 s of 20 ms frames)."""
EARLY_VIDEO_FRAMES = 30
"""Pictures kept per user and video stream type before a stream of them opens (2 s at 15 fps)."""


class EarlyFrames:
    """The first frames of one user and stream type, kept until the first stream of them opens.

    Bounded: it keeps the first `bound` frames (the beginning is what a late
    stream needs) and counts the rest as dropped."""

    __slots__ = ("frames", "bound", "dropped")

    def __init__(self, bound: int) -> None:
        self.frames: list[Any] = []
        self.bound = bound
        self.dropped = 0

    def keep(self, frame: Any) -> None:
        if len(self.frames) < self.bound:
            self.frames.append(frame)
        else:
            self.dropped += 1


class _Stay:
    """One stay of a remote user in the room, as the Room's routes track it (under `RoomRoutes._lock`).

    `early` keeps the first frames of each (table, key) until a stream of
    this stay takes them; `opened` holds the places whose beginning a stream
    of this stay took, so nothing is kept for them any more. Once the SDK
    reported the user's exit (`over`), `sinks` holds the streams of this
    stay, no longer routed: the pump ends them when it handles that exit."""

    __slots__ = ("early", "opened", "sinks", "over")

    def __init__(self) -> None:
        self.early: dict[tuple[str, Any], EarlyFrames] = {}
        self.opened: set[tuple[str, Any]] = set()
        self.sinks: list[Sink[Any]] = []
        self.over = False


class RoomRoutes:
    """Where the Room's delegate sends what arrives. Shared by the Room (on the loop) and its delegate.

    `audio`, `pixel` and `video` map a user (and stream type) to the sinks
    of its streams; `audio_put`, `pixel_put` and `video_put` map the same
    keys to one function that puts a frame into all of them (the sink's own
    `put` when there is one), for the delegate's frame callbacks.
    The dicts stay the same objects (the delegate keeps their `get`); `add`
    and `remove` change them under `_lock`, one key at a time, to a new
    tuple, so the SDK's threads read them without a lock (a dict's `get` and
    item assignment are atomic).

    Stays. The SDK's thread reports a user's entry and exit here
    (`user_entering`, `user_exiting`) before the Room's pump hears of them,
    and the pump may run much later: a user can leave and come back in
    between. So each user has a list of `_Stay`s while the two differ: the
    last is the stay the SDK is in (its frames are kept there), the first
    the one the loop is in (a stream opened on the loop belongs to it). At
    the SDK's exit the user's routed sinks leave the routes for their stay,
    so frames of a next stay never reach a stream that is about to end "user
    left"; the pump ends them when it handles that exit (`user_left`), and
    drops the stay. A user nobody has reported has no entry, and an entry
    goes with the last stay the loop has seen end.

    With `auto_subscribe`, the delegate subscribes each remote user's audio
    (and, with `video_types`, video) on the SDK's thread as soon as the user
    enters, through `cloud` (a weak reference, so the delegate does not keep
    its own cloud alive). Frames of a user and stream type that arrive while
    no stream of them is routed are kept in the stay's `EarlyFrames`, until
    a stream of the stay took its beginning: the first stream opened in the
    stay starts with them (`add`); one routed when the frames came took them
    itself, which counts once it is closed having received any (`remove`)."""

    def __init__(self, room_events: EventQueue[Event], *, auto_subscribe: bool = False,
                 video_types: tuple[_lumora.StreamType, ...] = ()) -> None:
        self._lock = threading.Lock()
        self.room_events = room_events
        self.audio: dict[str | None, tuple[Sink[_lumora.AudioFrame], ...]] = {}
        self.pixel: dict[RouteKey, tuple[Sink[_lumora.PixelFrame], ...]] = {}
        self.video: dict[RouteKey, tuple[Sink[_lumora.VideoFrame], ...]] = {}
        self.mixed: tuple[Sink[_lumora.AudioFrame], ...] = ()
        self.audio_put: dict[str | None, Callable[[_lumora.AudioFrame], object]] = {}
        self.pixel_put: dict[RouteKey, Callable[[_lumora.PixelFrame], object]] = {}
        self.video_put: dict[RouteKey, Callable[[_lumora.VideoFrame], object]] = {}
        self.mixed_puts: tuple[Callable[[_lumora.AudioFrame], bool], ...] = ()
        self.auto_subscribe = auto_subscribe
        self.video_types = video_types
        self.cloud: "weakref.ref[_lumora.VELACloud] | None" = None
        self._stays: dict[str | None, list[_Stay]] = {}  # by user: the loop's stay first, the SDK's last

    # ---- On the SDK's thread ----

    def subscribe_user(self, user_id: str) -> None:
        """Subscribes the user's audio and video (SDK thread, at the user's entry)."""
        cloud = self.cloud() if self.cloud is not None else None
        if cloud is None:
            return
        for stream_type in (_lumora.STREAM_TYPE_AUDIO, *self.video_types):
            result = cloud.Subscribe(user_id, stream_type)
            if result != 0:
                logger.warning("Room: Subscribe(%r, %s) returned %d", user_id, stream_type, result)

    def user_entering(self, user_id: str) -> None:
        """The SDK reported the user's entry: a stay begins (unless frames began it already)."""
        with self._lock:
            self._sdk_stay(user_id)

    def user_exiting(self, user_id: str) -> None:
        """The SDK reported the user's exit: the stay is over, its streams leave the routes."""
        with self._lock:
            stay = self._sdk_stay(user_id)
            stay.over = True
            for table in ("audio", "pixel", "video"):
                routes: dict[Any, tuple[Sink[Any], ...]] = getattr(self, table)
                for key in [k for k in routes if _user_of((table, k)) == user_id]:
                    stay.sinks.extend(routes[key])
                    self._set(table, key, ())

    def keep_early(self, table: str, key: Any, frame: Any) -> None:
        """A frame that found no sink on the lock-free path (SDK thread)."""
        with self._lock:
            sinks: tuple[Sink[Any], ...] = getattr(self, table).get(key, ())
            if sinks:  # a stream opened meanwhile: it got what was kept, this comes after
                for sink in sinks:
                    sink.put(frame)
                return
            place = (table, key)
            user_id = _user_of(place)
            stays = self._stays.get(user_id)
            if user_id is None or (stays is not None and stays[-1].over):
                return  # a frame of nobody, or after the user's exit, belongs to no stay
            stay = self._sdk_stay(user_id)
            if place in stay.opened:
                return
            early = stay.early.get(place)
            if early is None:
                bound = EARLY_AUDIO_FRAMES if table == "audio" else EARLY_VIDEO_FRAMES
                early = stay.early[place] = EarlyFrames(bound)
            early.keep(frame)

    def _sdk_stay(self, user_id: str | None) -> _Stay:
        """The stay the SDK is in (begun here if there is none). Under `_lock`."""
        stays = self._stays.setdefault(user_id, [])
        if not stays or stays[-1].over:
            stays.append(_Stay())
        return stays[-1]

    # ---- On the loop ----

    def user_left(self, user_id: str) -> list[Sink[Any]]:
        """The pump handled a user's exit: drops that stay, and returns its streams for the pump to end."""
        with self._lock:
            stays = self._stays.get(user_id)
            if not stays or not stays[0].over:
                return []
            stay = stays.pop(0)
            if not stays:
                del self._stays[user_id]
            return stay.sinks

    def kept(self, table: str, key: Any) -> EarlyFrames | None:
        """What is kept of a (table, key) in the stay the SDK is in."""
        with self._lock:
            stays = self._stays.get(_user_of((table, key)))
            return stays[-1].early.get((table, key)) if stays else None

    def users_tracked(self) -> list[str | None]:
        """The users the routes keep stays of (each in the room, or their exit not yet handled)."""
        with self._lock:
            return list(self._stays)

    def add(self, table: str, key: Any, sink: Sink[Any]) -> None:
        with self._lock:
            if table == "mixed":
                self.mixed = self.mixed + (sink,)
                self.mixed_puts = tuple(s.put for s in self.mixed)
                return
            place = (table, key)
            stays = self._stays.get(_user_of(place))
            stay = stays[0] if stays else None  # the loop's stay, or none: the user's next one
            if stay is not None and self.auto_subscribe and place not in stay.opened:
                # The first stream of the stay starts with the frames kept
                # so far, put before the new routes are visible.
                early = stay.early.pop(place, None)
                if early is not None:
                    stay.opened.add(place)
                    for frame in early.frames:
                        sink.put(frame)
                    sink.queue.count_dropped(early.dropped)
            if stay is not None and stay.over:
                stay.sinks.append(sink)  # the SDK saw that stay end: the stream ends with it
                return
            self._set(table, key, getattr(self, table).get(key, ()) + (sink,))

    def remove(self, table: str, key: Any, sink: Sink[Any]) -> None:
        with self._lock:
            if table == "mixed":
                self.mixed = tuple(s for s in self.mixed if s is not sink)
                self.mixed_puts = tuple(s.put for s in self.mixed)
                return
            place = (table, key)
            routed: tuple[Sink[Any], ...] = getattr(self, table).get(key, ())
            stays = self._stays.get(_user_of(place), ())
            if any(s is sink for s in routed):
                self._set(table, key, tuple(s for s in routed if s is not sink))
                if stays and not stays[-1].over and sink.queue.received:
                    stays[-1].opened.add(place)  # it took the stay's beginning: nothing is kept for another
                return
            for stay in stays:
                stay.sinks = [s for s in stay.sinks if s is not sink]

    def _set(self, table: str, key: Any, sinks: tuple[Sink[Any], ...]) -> None:
        routes: dict[Any, tuple[Sink[Any], ...]] = getattr(self, table)
        puts: dict[Any, Callable[[Any], object]] = getattr(self, table + "_put")
        if sinks:
            routes[key] = sinks
            puts[key] = sinks[0].put if len(sinks) == 1 else _fan_out(tuple(s.put for s in sinks))
        else:
            puts.pop(key, None)
            routes.pop(key, None)

    def all_sinks(self) -> list[Sink[Any]]:
        found: list[Sink[Any]] = list(self.mixed)
        tables: tuple[Mapping[Any, tuple[Sink[Any], ...]], ...] = (self.audio, self.pixel, self.video)
        for table in tables:
            for sinks in list(table.values()):
                found.extend(sinks)
        with self._lock:
            for stays in self._stays.values():
                for stay in stays:
                    found.extend(stay.sinks)
        return found


class RoomDelegate(Delegate):
    """The Room's delegate: frames to the streams' sinks, everything else to the Room's pump.

    It holds only the `RoomRoutes`, never the cloud or the Room."""

    bridged_callbacks = frozenset(CALLBACK_NAMES) - FRAME_CALLBACKS - {"OnRemoteUserEnterRoom", "OnRemoteUserExitRoom"}

    def __init__(self, routes: RoomRoutes) -> None:
        super().__init__()
        self.routes = routes
        self.events = routes.room_events
        self._audio_put = routes.audio_put.get
        self._pixel_put = routes.pixel_put.get
        self._video_put = routes.video_put.get

    def OnRemoteUserEnterRoom(self, info: _lumora.UserInfo) -> None:
        try:
            routes, user_id = self.routes, user_text(info)
            routes.user_entering(user_id)
            if routes.auto_subscribe:
                routes.subscribe_user(user_id)
            routes.room_events.put(OnRemoteUserEnterRoom(info))
        except Exception:
            _log_callback_error(self, "OnRemoteUserEnterRoom")

    def OnRemoteUserExitRoom(self, info: _lumora.UserInfo, reason: int) -> None:
        try:
            self.routes.user_exiting(user_text(info))
            self.routes.room_events.put(OnRemoteUserExitRoom(info, reason))
        except Exception:
            _log_callback_error(self, "OnRemoteUserExitRoom")

    def OnRemoteAudioReceived(self, user_id: str | None, frame: _lumora.AudioFrame) -> None:
        try:
            put = self._audio_put(user_id)
            if put is not None:
                put(frame)
            elif self.routes.auto_subscribe:
                self.routes.keep_early("audio", user_id, frame)
        except Exception:
            _log_callback_error(self, "OnRemoteAudioReceived")

    def OnRemoteMixedAudioReceived(self, frame: _lumora.AudioFrame) -> None:
        try:
            for put in self.routes.mixed_puts:
                put(frame)
        except Exception:
            _log_callback_error(self, "OnRemoteMixedAudioReceived")

    def OnRemotePixelFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.PixelFrame) -> None:
        try:
            key = (user_id, int(stream_type))
            put = self._pixel_put(key)
            if put is not None:
                put(frame)
            elif self.routes.auto_subscribe:
                self.routes.keep_early("pixel", key, frame)
        except Exception:
            _log_callback_error(self, "OnRemotePixelFrameReceived")

    def OnRemoteVideoFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.VideoFrame) -> None:
        try:
            put = self._video_put((user_id, int(stream_type)))
            if put is not None:
                put(frame)
        except Exception:
            _log_callback_error(self, "OnRemoteVideoFrameReceived")


_install_queuing(RoomDelegate, RoomDelegate.bridged_callbacks)

"""`Room`: one participant of a room, on an asyncio event loop.

    async with Room.join(app_id, room_id, "bot", user_sig) as room:
        peer = await room.wait_for_user("alice")
        source = await room.publish_audio()
        async for frame in room.audio_stream("alice"):
            await source.capture(frame.data)

Design. A Room owns one `_lumora.VELACloud` and its delegate, a
`_RoomDelegate`. The delegate holds only a `_Routes` object, never the
cloud or the Room, so there is no delegate-cloud reference cycle and
dropping the Room's cloud destroys the SDK's cloud at once.

The delegate runs on the SDK's threads and never waits for the loop:

- frame callbacks look up the sinks of the frame's user in `_Routes` (plain
  dicts, replaced whole when a stream opens or closes, so a reader never
  needs a lock) and put the frame into each sink's bounded queue;
- every other callback becomes a `lumora_kit.events` event in one queue
  that the Room's pump task takes on the loop: it keeps `remote_users`,
  settles what the Room waits for (OnEnterRoom, OnExitRoom, channels) and
  hands the event to every `events()` stream;
- a user's leave also ends that user's streams right on the SDK's thread,
  after the frames that came before it.

Every callback body catches its exceptions and logs them on the logger
"lumora_kit" with the traceback: nothing raises into the SDK.

Streams subscribe before they return: the sink is in `_Routes` before
`Subscribe` is called, so every frame the SDK delivers after the call
reaches the stream.

Leaving (on normal exit, an exception or cancellation): the sources stop
and their local channels are destroyed, `ExitRoom`, a bounded wait for
`OnExitRoom`, the cloud is destroyed (no callback comes after that), and
then every stream ends once its consumer has taken what was queued.
"""

import asyncio
import functools
import logging
import threading
from collections import Counter
from collections.abc import Callable, Generator, Mapping
from dataclasses import dataclass, replace
from types import MappingProxyType, TracebackType
from typing import Any, Self

import _lumora

from . import events as ev
from .delegate import CALLBACK_NAMES, Delegate
from .errors import LumoraError, LumoraTimeoutError, check
from .event_queue import DropPolicy, EventQueue
from .sources import AudioSource, VideoSource
from .streams import Sink, Stream

logger = logging.getLogger("lumora_kit")

FRAME_CALLBACKS = frozenset({
    "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived", "OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived",
})


@dataclass(frozen=True, slots=True)
class RemoteUser:
    """A remote user in the room and what they publish (`video`: the stream types with video)."""

    user_id: str
    audio: bool = False
    video: frozenset[_lumora.StreamType] = frozenset()


def _user_text(info: _lumora.UserInfo) -> str:
    return info.user_id.GetValue() or ""


# ---- The delegate's side: runs on the SDK's threads ------------------------------------

type _Key = tuple[str | None, int]  # (user id, stream type) of a route
type _Subscription = tuple[str, int]


class _Routes:
    """Where the delegate sends what arrives. Shared by the Room (on the loop) and its delegate.

    The dicts are never changed in place: `add` and `remove` build new ones
    under `_lock` and swap them in, so the SDK's threads read them without
    a lock."""

    def __init__(self, room_events: EventQueue[ev.Event]) -> None:
        self._lock = threading.Lock()
        self.room_events = room_events
        self.audio: dict[str | None, tuple[Sink[_lumora.AudioFrame], ...]] = {}
        self.pixel: dict[_Key, tuple[Sink[_lumora.PixelFrame], ...]] = {}
        self.video: dict[_Key, tuple[Sink[_lumora.VideoFrame], ...]] = {}
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


def _log_callback_error(callback: str) -> None:
    logger.exception("lumora_kit.Room: %s raised on the SDK's thread", callback)


class _RoomDelegate(Delegate):
    """The Room's delegate: frames to the streams' sinks, everything else to the Room's pump."""

    def __init__(self, routes: _Routes) -> None:
        super().__init__()
        self.routes = routes

    def OnRemoteAudioReceived(self, user_id: str | None, frame: _lumora.AudioFrame) -> None:
        try:
            for sink in self.routes.audio.get(user_id, ()):
                sink.put(frame)
        except Exception:
            _log_callback_error("OnRemoteAudioReceived")

    def OnRemoteMixedAudioReceived(self, frame: _lumora.AudioFrame) -> None:
        try:
            for sink in self.routes.mixed:
                sink.put(frame)
        except Exception:
            _log_callback_error("OnRemoteMixedAudioReceived")

    def OnRemotePixelFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.PixelFrame) -> None:
        try:
            for sink in self.routes.pixel.get((user_id, int(stream_type)), ()):
                sink.put(frame)
        except Exception:
            _log_callback_error("OnRemotePixelFrameReceived")

    def OnRemoteVideoFrameReceived(self, user_id: str | None, stream_type: _lumora.StreamType,
                                   frame: _lumora.VideoFrame) -> None:
        try:
            for sink in self.routes.video.get((user_id, int(stream_type)), ()):
                sink.put(frame)
        except Exception:
            _log_callback_error("OnRemoteVideoFrameReceived")

    def OnRemoteUserExitRoom(self, info: _lumora.UserInfo, reason: int) -> None:
        try:
            # The user's frames that came before are in the sinks already.
            for sink in self.routes.sinks_of(_user_text(info)):
                sink.end("user left")
            self.routes.room_events.put(ev.OnRemoteUserExitRoom(info, reason))
        except Exception:
            _log_callback_error("OnRemoteUserExitRoom")


def _queuing(name: str) -> Callable[..., None]:
    event_type = ev.EVENT_TYPES[name]

    def method(self: _RoomDelegate, *args: Any) -> None:
        try:
            self.routes.room_events.put(event_type(*args))
        except Exception:
            _log_callback_error(name)

    method.__name__, method.__qualname__ = name, f"_RoomDelegate.{name}"
    return method


def _install_queuing_callbacks() -> None:
    for name in CALLBACK_NAMES:
        if name not in FRAME_CALLBACKS and name != "OnRemoteUserExitRoom":
            setattr(_RoomDelegate, name, _queuing(name))


_install_queuing_callbacks()


# ---- The Room: on the loop ---------------------------------------------------------------

@dataclass(slots=True)
class _Expectation:
    """An event the Room waits for, settled by the pump."""

    matches: Callable[[ev.Event], bool]
    future: asyncio.Future[ev.Event]


class Room:
    """One participant in a room; made by `Room.join`, bound to the running event loop.

    See the module's text for how it works, and docs/room.md for examples.
    """

    def __init__(self, app_id: int, room_id: int | str, user_id: str, user_sig: str, *,
                 scene: _lumora.VELAScene | None = None, role: _lumora.VELARole | None = None,
                 private_map_key: str | None = None, pixel_frame_input: bool = True,
                 pixel_frame_output: bool = True, mix_audio: bool = False, mixed_sample_rate: int = 48000,
                 mixed_channels: int = 1, mixed_frame_ms: int = 20, enter_timeout: float = 10.0,
                 exit_timeout: float = 5.0, room_events_maxsize: int = 4096) -> None:
        """Prefer `Room.join`; a Room made directly enters with ``await room.enter()``."""
        if not _is_uint32_id(app_id):
            raise ValueError(f"app_id must be an int from 1 to 4294967295, not {app_id!r}")
        if not (_is_uint32_id(room_id) or _is_text(room_id)):
            raise ValueError(f"room_id must be an int from 1 to 4294967295 or a non-empty str, not {room_id!r}")
        for name, text in (("user_id", user_id), ("user_sig", user_sig)):
            if not _is_text(text):
                raise ValueError(f"{name} must be a non-empty str, not {text!r}")
        self.app_id = app_id
        self.room_id = room_id
        self.user_id = user_id
        self._user_sig = user_sig
        self._scene, self._role, self._private_map_key = scene, role, private_map_key
        self.pixel_frame_input = pixel_frame_input
        self.pixel_frame_output = pixel_frame_output
        self.mix_audio = mix_audio
        self._mixed_format = (mixed_sample_rate, mixed_channels, mixed_frame_ms)
        self._enter_timeout, self._exit_timeout = enter_timeout, exit_timeout
        self._room_events_maxsize = room_events_maxsize

        self._loop: asyncio.AbstractEventLoop | None = None
        self._cloud: _lumora.VELACloud | None = None
        self._routes: _Routes | None = None
        self._pump_task: asyncio.Task[None] | None = None
        self._state = "new"  # new, entering, joined, leaving, left
        self._left: asyncio.Future[None] | None = None
        self._users: dict[str, RemoteUser] = {}
        self._expected: list[_Expectation] = []
        self._changed: list[asyncio.Future[None]] = []
        self._event_streams: list[tuple[Sink[ev.Event], tuple[type[ev.Event], ...]]] = []
        self._subscribed: Counter[_Subscription] = Counter()
        self._mixed_users: set[str] = set()
        self._sources: set[AudioSource | VideoSource] = set()
        self._audio_source: AudioSource | None = None
        self._video_sources: dict[int, VideoSource] = {}

    # ---- Joining and leaving ----

    @classmethod
    def join(cls, app_id: int, room_id: int | str, user_id: str, user_sig: str, **options: Any) -> "JoinRoom":
        """Enters a room: ``async with Room.join(...) as room`` (leaves at the end), or ``room = await Room.join(...)``.

        `app_id` and a numeric `room_id` are ints; a str `room_id` is a
        textual room id. Options (keywords): `scene` (VELAScene), `role`
        (VELARole), `private_map_key` (str), `pixel_frame_input` and
        `pixel_frame_output` (True: PixelFrames sent and received keep their
        width, height and format), `mix_audio` (the SDK mixes remote audio
        for `mixed_audio_stream`, at `mixed_sample_rate`, `mixed_channels`,
        `mixed_frame_ms`), `enter_timeout` (10 s), `exit_timeout` (5 s).

        Raises `LumoraError` when EnterRoom fails, when the SDK reports
        OnError before OnEnterRoom, and (`LumoraTimeoutError`) when
        OnEnterRoom does not come within `enter_timeout`.
        """
        return JoinRoom(cls(app_id, room_id, user_id, user_sig, **options))

    def _enter_params(self) -> _lumora.EnterRoomParams:
        params = _lumora.EnterRoomParams()
        room = params.room
        room.sdk_app_id = self.app_id
        if isinstance(self.room_id, str):
            room.room_id = 0
            room.str_room_id = _lumora.VelaString(self.room_id)
        else:
            room.room_id = self.room_id
        room.user_id = _lumora.VelaString(self.user_id)
        room.user_sig = _lumora.VelaString(self._user_sig)
        if self._scene is not None:
            params.scene = self._scene
        if self._role is not None:
            params.role = self._role
        if self._private_map_key is not None:
            params.private_map_key = _lumora.VelaString(self._private_map_key)
        params.use_pixel_frame_input = self.pixel_frame_input
        params.use_pixel_frame_output = self.pixel_frame_output
        if self.mix_audio:
            obtain = params.audio_obtain_params
            obtain.audio_obtain_method = _lumora.AUDIO_OBTAIN_METHOD_CALLBACK
            obtain.enable_remote_audio_mix = True
            obtain.output_sample_rate, obtain.output_channels, obtain.output_frame_length_ms = self._mixed_format
        return params

    async def enter(self) -> Self:
        """Enters the room (what `Room.join` does); see `join` for the errors."""
        if self._state != "new":
            raise RuntimeError(f"this Room was already used ({self._state}); make a new one")
        loop = asyncio.get_running_loop()
        params = self._enter_params()  # bad options fail before the SDK is involved
        self._loop = loop
        self._state = "entering"
        self._left = loop.create_future()
        self._routes = _Routes(EventQueue(loop, self._room_events_maxsize, DropPolicy.DROP_OLDEST))
        self._cloud = _lumora.VELACloud(_RoomDelegate(self._routes))
        self._pump_task = loop.create_task(self._pump(), name=f"lumora_kit Room {self.user_id} events")
        entered = self._expect(lambda e: isinstance(e, (ev.OnEnterRoom, ev.OnError)))
        in_room = False
        try:
            check(self._cloud.EnterRoom(params), "EnterRoom")
            in_room = True
            try:
                async with asyncio.timeout(self._enter_timeout):
                    outcome = await entered
            except TimeoutError:
                raise LumoraTimeoutError("EnterRoom", f"no OnEnterRoom within {self._enter_timeout} s") from None
            if isinstance(outcome, ev.OnError):
                raise LumoraError(outcome.error, "EnterRoom", "the SDK reported OnError")
        except BaseException:
            if in_room:
                self._call("ExitRoom")
            self._finish_leaving()
            raise
        self._state = "joined"
        return self

    async def leave(self) -> None:
        """Leaves the room: stops the sources, ExitRoom, waits (up to `exit_timeout`) for
        OnExitRoom, destroys the cloud and ends every stream. Idempotent; safe on cancellation."""
        if self._state in ("new", "left"):
            return
        assert self._left is not None
        if self._state == "leaving":
            await asyncio.shield(self._left)
            return
        self._state = "leaving"
        try:
            for source in list(self._sources):
                source.close()
            exited = self._expect(lambda e: isinstance(e, ev.OnExitRoom))
            result = self._call("ExitRoom")
            if result == 0:
                try:
                    async with asyncio.timeout(self._exit_timeout):
                        await exited
                except TimeoutError:
                    logger.warning("Room %s: no OnExitRoom within %s s; destroying the cloud anyway",
                                   self.user_id, self._exit_timeout)
            elif result is not None:
                logger.warning("Room %s: ExitRoom returned %d", self.user_id, result)
        finally:
            self._finish_leaving()

    def _call(self, operation: str) -> int | None:
        """Calls a no-argument cloud operation; logs instead of raising (used while leaving)."""
        try:
            result: int = getattr(self._cloud, operation)()
            return result
        except Exception:
            logger.exception("Room %s: %s failed", self.user_id, operation)
            return None

    def _finish_leaving(self) -> None:
        """Destroys the cloud, then ends everything on the loop's side. Never waits."""
        for source in list(self._sources):
            source.close()
        self._cloud = None  # the last reference: the SDK's cloud is destroyed here
        self._state = "left"
        routes = self._routes
        if routes is not None:
            # No callback comes any more: what the SDK delivered is handled
            # before the event streams end.
            routes.room_events.shutdown()
            while True:
                try:
                    self._handle(routes.room_events.get_nowait())
                except (asyncio.QueueEmpty, asyncio.QueueShutDown):
                    break
            for sink in routes.all_sinks():
                sink.end("room left")
        for sink, _ in self._event_streams:
            sink.end("room left")
        for expectation in self._expected:
            if not expectation.future.done():
                expectation.future.cancel()
        self._expected.clear()
        self._wake()
        pump, self._pump_task = self._pump_task, None
        if pump is not None and not pump.done():
            pump.cancel()  # it holds the Room until it has run its cancellation
        if self._left is not None and not self._left.done():
            self._left.set_result(None)

    # ---- The pump: room events on the loop ----

    async def _pump(self) -> None:
        assert self._routes is not None
        async for event in self._routes.room_events:
            self._handle(event)

    def _handle(self, event: ev.Event) -> None:
        try:
            self._update(event)
        except Exception:
            logger.exception("Room %s: handling %s failed", self.user_id, event.callback)
        if self._expected:
            for expectation in list(self._expected):
                if expectation.matches(event):
                    self._expected.remove(expectation)
                    if not expectation.future.done():
                        expectation.future.set_result(event)
        for sink, types in self._event_streams:
            if not types or isinstance(event, types):
                sink.put(event)
        self._wake()

    def _update(self, event: ev.Event) -> None:
        users = self._users
        match event:
            case ev.OnRemoteUserEnterRoom(info):
                user_id = _user_text(info)
                users.setdefault(user_id, RemoteUser(user_id))
                if self._mixed_users or self._mixed_streams_open():
                    self._subscribe_mixed(user_id)
            case ev.OnRemoteUserExitRoom(info):
                user_id = _user_text(info)
                users.pop(user_id, None)
                if user_id in self._mixed_users:
                    self._mixed_users.discard(user_id)
                    self._release((user_id, int(_lumora.STREAM_TYPE_AUDIO)))
            case ev.OnRemoteAudioAvailable(user_id, available) if user_id is not None:
                user = users.get(user_id, RemoteUser(user_id))
                users[user_id] = replace(user, audio=available)
            case ev.OnRemoteVideoAvailable(user_id, available, stream_type) if user_id is not None:
                user = users.get(user_id, RemoteUser(user_id))
                video = user.video | {stream_type} if available else user.video - {stream_type}
                users[user_id] = replace(user, video=video)
            case ev.OnError(error) if self._state == "joined":
                logger.warning("Room %s: the SDK reported %s (%d)", self.user_id,
                               getattr(error, "name", "?"), int(error))
            case _:
                pass

    def _expect(self, matches: Callable[[ev.Event], bool]) -> asyncio.Future[ev.Event]:
        assert self._loop is not None
        future: asyncio.Future[ev.Event] = self._loop.create_future()
        self._expected.append(_Expectation(matches, future))
        return future

    def _wake(self) -> None:
        waiters, self._changed = self._changed, []
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(None)

    async def _wait_until[T](self, probe: Callable[[], T | None], timeout: float | None, what: str) -> T:
        """Waits until `probe()` is not None (re-checked after each room event)."""
        assert self._loop is not None
        try:
            async with asyncio.timeout(timeout):
                while True:
                    found = probe()
                    if found is not None:
                        return found
                    if self._state in ("leaving", "left"):
                        raise RuntimeError(f"the room was left while waiting for {what}")
                    waiter = self._loop.create_future()
                    self._changed.append(waiter)
                    await waiter
        except TimeoutError:
            raise TimeoutError(f"waited {timeout} s for {what}") from None

    # ---- Room state ----

    @property
    def joined(self) -> bool:
        """True from a successful enter until leaving starts."""
        return self._state == "joined"

    @property
    def cloud(self) -> _lumora.VELACloud:
        """The SDK cloud, for operations the Room does not wrap. Do not keep it: leaving
        destroys the cloud only when the last reference goes."""
        return self._joined_cloud()

    def _joined_cloud(self) -> _lumora.VELACloud:
        if self._state != "joined" or self._cloud is None:
            raise RuntimeError(f"the Room is not in the room ({self._state})")
        return self._cloud

    @property
    def remote_users(self) -> Mapping[str, RemoteUser]:
        """The remote users in the room, by user id (a read-only live view)."""
        return MappingProxyType(self._users)

    async def wait_for_user(self, user_id: str, *, audio: bool = False,
                            video: _lumora.StreamType | None = None, timeout: float | None = 10.0) -> RemoteUser:
        """Waits until `user_id` is in the room (and, with `audio` or `video`, publishes it).

        Raises TimeoutError after `timeout` seconds, RuntimeError if the room is left meanwhile."""
        self._joined_cloud()

        def probe() -> RemoteUser | None:
            user = self._users.get(user_id)
            if user is None or (audio and not user.audio) or (video is not None and video not in user.video):
                return None
            return user

        what = f"user {user_id!r}" + (" with audio" if audio else "") + (f" with {video}" if video else "")
        return await self._wait_until(probe, timeout, what)

    def events(self, *types: type[ev.Event], maxsize: int = 1024,
               policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[ev.Event]:
        """A stream of the room's events from now on (all but frames), or only those of `types`.

        Joins, leaves, availability, connection state, network quality,
        errors, SEI messages, custom commands, local channels, encoder
        requests: the `lumora_kit.events` classes. Ends when the room is left."""
        loop = self._require_loop()
        sink: Sink[ev.Event] = Sink(EventQueue(loop, maxsize, policy))
        entry = (sink, tuple(types))
        self._event_streams.append(entry)
        if self._state in ("leaving", "left"):
            sink.end("room left")

        def closed(_: Stream[ev.Event]) -> None:
            if entry in self._event_streams:
                self._event_streams.remove(entry)

        return Stream(sink, on_close=closed)

    def _require_loop(self) -> asyncio.AbstractEventLoop:
        if self._loop is None:
            raise RuntimeError("the Room has not entered yet")
        return self._loop

    # ---- Messages ----

    async def send_command(self, cmd_id: int, message: bytes | bytearray | memoryview | str, *,
                           reliable: bool = True, ordered: bool = True) -> None:
        """Sends a custom command to the room; raises LumoraError if the SDK refuses it."""
        cloud = self._joined_cloud()
        if cloud.SendCustomCmdMsg(cmd_id, _message_bytes(message), reliable, ordered) != 1:
            raise LumoraError(_lumora.ERR_FAILED, "SendCustomCmdMsg")

    async def send_sei(self, message: bytes | bytearray | memoryview | str, *, message_type: int = 5) -> None:
        """Sends an SEI message (on this user's video); raises LumoraError for a failed result."""
        cloud = self._joined_cloud()
        check(cloud.SendSeiMessage(message_type, _message_bytes(message)), "SendSeiMessage")

    # ---- Streams ----

    def _open(self, table: str, key: Any, subscription: _Subscription | None, maxsize: int, policy: DropPolicy,
              user_id: str | None, stream_type: _lumora.StreamType) -> Stream[Any]:
        self._joined_cloud()
        assert self._routes is not None and self._loop is not None
        sink: Sink[Any] = Sink(EventQueue(self._loop, maxsize, policy))
        # First the route, then the subscription: nothing delivered after
        # Subscribe returns can miss the sink.
        self._routes.add(table, key, sink)
        try:
            if subscription is not None:
                self._acquire(subscription)
        except BaseException:
            self._routes.remove(table, key, sink)
            raise
        on_close = functools.partial(self._stream_closed, table, key, subscription)
        return Stream(sink, user_id=user_id, stream_type=stream_type, on_close=on_close)

    def _stream_closed(self, table: str, key: Any, subscription: _Subscription | None, stream: Stream[Any]) -> None:
        if self._routes is not None:
            self._routes.remove(table, key, stream.sink)
        if subscription is not None:
            self._release(subscription)
        if table == "mixed" and not self._mixed_streams_open():
            for user_id in list(self._mixed_users):
                self._mixed_users.discard(user_id)
                self._release((user_id, int(_lumora.STREAM_TYPE_AUDIO)))

    def _acquire(self, key: _Subscription) -> None:
        if self._subscribed[key] == 0:
            user_id, stream_type = key
            check(self._joined_cloud().Subscribe(user_id, _lumora.StreamType(stream_type)), "Subscribe")
        self._subscribed[key] += 1

    def _release(self, key: _Subscription) -> None:
        count = self._subscribed[key] - 1
        if count > 0:
            self._subscribed[key] = count
            return
        del self._subscribed[key]
        if self._state == "joined" and self._cloud is not None:
            user_id, stream_type = key
            result = self._cloud.Unsubscribe(user_id, _lumora.StreamType(stream_type))
            if result != 0:
                logger.debug("Room %s: Unsubscribe(%r, %d) returned %d", self.user_id, user_id, stream_type, result)

    def audio_stream(self, user_id: str, *, maxsize: int = 256,
                     policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.AudioFrame]:
        """The audio frames of `user_id` from now on (subscribed before this returns).

        Bounded by `maxsize` frames (256: about 5 s of 20 ms frames); `policy`
        says what a full stream drops. Ends when the user leaves. Not with
        ``mix_audio=True``, where the SDK delivers only the mix."""
        if self.mix_audio:
            raise RuntimeError("this Room mixes remote audio (mix_audio=True): use mixed_audio_stream()")
        audio = int(_lumora.STREAM_TYPE_AUDIO)
        return self._open("audio", user_id, (user_id, audio), maxsize, policy, user_id, _lumora.STREAM_TYPE_AUDIO)

    def video_stream(self, user_id: str, stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH, *,
                     maxsize: int = 30, policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.PixelFrame]:
        """The pictures (`PixelFrame`, with width, height and format) of `user_id`'s `stream_type`.

        Needs ``pixel_frame_output=True`` (the default); see `encoded_video_stream` otherwise."""
        if not self.pixel_frame_output:
            raise RuntimeError("this Room receives encoded video (pixel_frame_output=False): "
                               "use encoded_video_stream()")
        key = (user_id, int(stream_type))
        return self._open("pixel", key, key, maxsize, policy, user_id, stream_type)

    def encoded_video_stream(self, user_id: str, stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH,
                             *, maxsize: int = 30,
                             policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.VideoFrame]:
        """The encoded video (`VideoFrame`) of `user_id`; needs ``pixel_frame_output=False``."""
        if self.pixel_frame_output:
            raise RuntimeError("this Room receives pictures (pixel_frame_output=True): use video_stream()")
        key = (user_id, int(stream_type))
        return self._open("video", key, key, maxsize, policy, user_id, stream_type)

    def mixed_audio_stream(self, *, maxsize: int = 256,
                           policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.AudioFrame]:
        """The SDK's mix of every remote user's audio; needs ``Room.join(..., mix_audio=True)``.

        While a mixed stream is open the Room subscribes to the audio of
        every remote user, also of those who come later. Ends when the room is left."""
        if not self.mix_audio:
            raise RuntimeError("the SDK mixes remote audio only for Room.join(..., mix_audio=True)")
        stream = self._open("mixed", None, None, maxsize, policy, None, _lumora.STREAM_TYPE_AUDIO)
        for user_id in self._users:
            self._subscribe_mixed(user_id)
        return stream

    def _mixed_streams_open(self) -> bool:
        return self._routes is not None and bool(self._routes.mixed)

    def _subscribe_mixed(self, user_id: str) -> None:
        if user_id not in self._mixed_users and self._state == "joined":
            self._acquire((user_id, int(_lumora.STREAM_TYPE_AUDIO)))
            self._mixed_users.add(user_id)

    # ---- Sources ----

    async def publish_audio(self, sample_rate: int = 48000, channels: int = 1, frame_ms: int = 20, *,
                            queue_ms: int = 400, max_burst_ms: int = 60, bitrate_bps: int | None = None,
                            need_encode: bool = True, timeout: float = 5.0) -> AudioSource:
        """Creates the local audio channel and returns its paced `AudioSource`.

        Waits (up to `timeout`) for OnLocalAudioChannelCreated. One audio
        source per room at a time; closing it destroys the channel."""
        cloud = self._joined_cloud()
        if self._audio_source is not None and not self._audio_source.closed:
            raise RuntimeError("this Room already publishes audio; close that AudioSource first")
        params = _lumora.AudioEncodeParams()
        params.sample_rate, params.channels, params.frame_length_ms = sample_rate, channels, frame_ms
        params.need_encode = need_encode
        if bitrate_bps is not None:
            params.bitrate_bps = bitrate_bps
        created = self._expect(lambda e: isinstance(e, ev.OnLocalAudioChannelCreated))
        check(cloud.CreateLocalAudioChannel(params), "CreateLocalAudioChannel")
        try:
            await self._settle(created, timeout, "CreateLocalAudioChannel", "OnLocalAudioChannelCreated")
            source = AudioSource(self._send_audio, sample_rate=sample_rate, channels=channels, frame_ms=frame_ms,
                                 queue_ms=queue_ms, max_burst_ms=max_burst_ms, on_close=self._audio_closed)
        except BaseException:
            self._call("DestroyLocalAudioChannel")
            raise
        self._audio_source = source
        self._sources.add(source)
        return source

    async def publish_video(self, width: int, height: int, fps: float = 15, *,
                            stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH,
                            bitrate_bps: int = 0, gop_in_seconds: int = 3, queue_ms: int = 500,
                            max_burst_ms: int = 100, timeout: float = 5.0) -> VideoSource:
        """Creates a local video channel of `stream_type` and returns its paced `VideoSource`.

        The encoder gets `fps` (rounded), `bitrate_bps` (0: the SDK chooses)
        and `gop_in_seconds`. Closing the source destroys the channel."""
        cloud = self._joined_cloud()
        key = int(stream_type)
        if key in self._video_sources and not self._video_sources[key].closed:
            raise RuntimeError(f"this Room already publishes {stream_type}; close that VideoSource first")
        created = self._expect(lambda e: isinstance(e, ev.OnLocalVideoChannelCreated)
                               and e.stream_type == stream_type)
        check(cloud.CreateLocalVideoChannel(stream_type), "CreateLocalVideoChannel")
        try:
            encode = _lumora.VideoEncodeParams()
            encode.frame_rate = max(1, round(fps))
            encode.bitrate_bps, encode.gop_in_seconds = bitrate_bps, gop_in_seconds
            cloud.SetVideoEncodeParam(stream_type, encode)
            await self._settle(created, timeout, "CreateLocalVideoChannel", "OnLocalVideoChannelCreated")
            source = VideoSource(functools.partial(self._send_pixels, stream_type), width=width, height=height,
                                 fps=fps, stream_type=stream_type, queue_ms=queue_ms, max_burst_ms=max_burst_ms,
                                 on_close=functools.partial(self._video_closed, stream_type))
        except BaseException:
            self._destroy_video_channel(stream_type)
            raise
        self._video_sources[key] = source
        self._sources.add(source)
        return source

    async def _settle(self, future: asyncio.Future[ev.Event], timeout: float, operation: str,
                      callback: str) -> None:
        try:
            async with asyncio.timeout(timeout):
                await future
        except TimeoutError:
            raise LumoraTimeoutError(operation, f"no {callback} within {timeout} s") from None
        finally:
            if not future.done():
                future.cancel()
            self._expected = [e for e in self._expected if e.future is not future]

    def _send_audio(self, frame: _lumora.AudioFrame, clear_send_queue: bool) -> int:
        if self._cloud is None:
            return int(_lumora.ERR_INVALID_OPERATION)
        return self._cloud.SendContinuousAudioFrame(frame, clear_send_queue)

    def _send_pixels(self, stream_type: _lumora.StreamType, frame: _lumora.PixelFrame) -> int:
        if self._cloud is None:
            return int(_lumora.ERR_INVALID_OPERATION)
        return self._cloud.SendPixelFrame(stream_type, frame)

    def _audio_closed(self) -> None:
        source = self._audio_source
        if source is not None:
            self._sources.discard(source)
            self._audio_source = None
        if self._cloud is not None:
            result = self._cloud.DestroyLocalAudioChannel()
            if result != 0:
                logger.warning("Room %s: DestroyLocalAudioChannel returned %d", self.user_id, result)

    def _video_closed(self, stream_type: _lumora.StreamType) -> None:
        source = self._video_sources.pop(int(stream_type), None)
        if source is not None:
            self._sources.discard(source)
        self._destroy_video_channel(stream_type)

    def _destroy_video_channel(self, stream_type: _lumora.StreamType) -> None:
        if self._cloud is not None:
            result = self._cloud.DestroyLocalVideoChannel(stream_type)
            if result != 0:
                logger.warning("Room %s: DestroyLocalVideoChannel(%s) returned %d", self.user_id, stream_type, result)

    def __repr__(self) -> str:
        return f"<Room {self.user_id!r} in {self.room_id!r} (app {self.app_id}) {self._state}>"


def _is_uint32_id(value: object) -> bool:
    return type(value) is int and 0 < value <= 0xFFFFFFFF


def _is_text(value: object) -> bool:
    return isinstance(value, str) and value != ""


def _message_bytes(message: bytes | bytearray | memoryview | str) -> bytes:
    if isinstance(message, str):
        return message.encode()
    if isinstance(message, bytes) and type(message) is bytes:
        return message
    return bytes(message)


class JoinRoom:
    """What `Room.join` returns: use it with ``async with`` (leaves at the end) or ``await`` it."""

    def __init__(self, room: Room) -> None:
        self.room = room

    def __await__(self) -> Generator[Any, None, Room]:
        return self.room.enter().__await__()

    async def __aenter__(self) -> Room:
        return await self.room.enter()

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.room.leave()

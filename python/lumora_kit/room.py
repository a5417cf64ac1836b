"""`Room`: one participant of a room, on an asyncio event loop; its join/leave life cycle.

    async with Room.join(app_id, room_id, "bot", user_sig) as room:
        peer = await room.wait_for_user("alice")
        source = await room.publish_audio()
        async for frame in room.audio_stream("alice"):
            await source.capture(frame.data)

Design. A Room owns one `_lumora.VELACloud` and its delegate, a
`RoomDelegate`. The delegate holds only a `RoomRoutes` object, never the
cloud or the Room, so there is no delegate-cloud reference cycle and
dropping the Room's cloud destroys the SDK's cloud at once. The Room is
made of parts it owns, a file each, each with its own state:

- `lumora_kit.asyncio_bridge`: what runs on the SDK's threads (the delegate
  and the routes of frames to streams); it never waits for the loop;
- `lumora_kit.room_core`: what every part reads (the loop, the cloud, the
  routes, the life-cycle state), written only here;
- `lumora_kit.room_events` (`_events`): the event pump, the remote users and
  the connection state;
- `lumora_kit.room_subscriptions` (`_subscriptions`): the streams and their
  subscriptions; the pump tells it of users who come and go;
- `lumora_kit.room_publishing` (`_publishing`): sources and messages;
- here: the public methods, entering and leaving.

Leaving (on normal exit, an exception or cancellation): the sources stop
and their local channels are destroyed, `ExitRoom`, a bounded wait for
`OnExitRoom`, the cloud is destroyed (no callback comes after that), and
then every stream ends once its consumer has taken what was queued.

A Room the program drops without leaving leaves by itself: a finaliser
(`weakref.finalize`, which runs on whatever thread the garbage collector
does) hands the leave to the Room's loop, which warns (ResourceWarning, as
an unclosed file does), calls `ExitRoom`, destroys the cloud and ends the
streams; on a closed loop the finaliser calls `ExitRoom` itself. What keeps
a joined Room is the program's own references, and the tasks that wait for
something of the Room (see the loop's hold at the end of this file).
"""

import asyncio
import logging
import os
import warnings
import weakref
from collections.abc import Generator, Mapping
from types import TracebackType
from typing import Any, NamedTuple, Self

import _lumora

from . import events as ev
from .asyncio_bridge import RoomDelegate, RoomRoutes
from .errors import LumoraError, LumoraTimeoutError
from .event_queue import DEFAULT_WINDOW_MS, DropPolicy
from .room_core import RoomCore
from .room_events import RemoteUser, RoomEvents
from .room_publishing import RoomPublishing
from .room_subscriptions import AUDIO_MAXSIZE, VIDEO_MAXSIZE, RoomSubscriptions
from .sources import AudioSource, VideoSource
from .streams import Stream

__all__ = ["JoinRoom", "RemoteUser", "Room"]

_VIDEO_TYPES = (_lumora.STREAM_TYPE_VIDEO_HIGH, _lumora.STREAM_TYPE_VIDEO_LOW, _lumora.STREAM_TYPE_VIDEO_AUX)

logger = logging.getLogger("lumora_kit")


class Room:
    """One participant in a room; made by `Room.join`, bound to the running event loop.

    See the module's text for how it works, and docs/room.md for examples.
    """

    def __init__(self, app_id: int, room_id: int | str, user_id: str, user_sig: str, *,
                 scene: _lumora.VELAScene | None = None, role: _lumora.VELARole | None = None,
                 private_map_key: str | None = None, pixel_frame_input: bool = True,
                 pixel_frame_output: bool = True, mix_audio: bool = False, mixed_sample_rate: int = 48000,
                 mixed_channels: int = 1, mixed_frame_ms: int = 20, enter_timeout: float = 10.0,
                 exit_timeout: float = 5.0, room_events_maxsize: int = 4096, auto_subscribe: bool = True,
                 delivery_window_ms: float = DEFAULT_WINDOW_MS) -> None:
        """Prefer `Room.join`; a Room made directly enters with ``await room.enter()``."""
        if not _is_uint32_id(app_id):
            raise ValueError(f"app_id must be an int from 1 to 4294967295, not {app_id!r}")
        if not (_is_uint32_id(room_id) or _is_text(room_id)):
            raise ValueError(f"room_id must be an int from 1 to 4294967295 or a non-empty str, not {room_id!r}")
        for name, text in (("user_id", user_id), ("user_sig", user_sig)):
            if not _is_text(text):
                raise ValueError(f"{name} must be a non-empty str, not {text!r}")
        if not 0 <= delivery_window_ms <= 100:
            raise ValueError(f"delivery_window_ms must be from 0 to 100, not {delivery_window_ms!r}")
        self._core = core = RoomCore(user_id, delivery_window_ms / 1000)
        self._events = RoomEvents(core)
        self._subscriptions = RoomSubscriptions(core, self._events.remote_users, mix_audio=mix_audio,
                                                pixel_frame_output=pixel_frame_output, auto_subscribe=auto_subscribe)
        self._events.members = self._subscriptions
        self._publishing = RoomPublishing(core, self._events)
        self.app_id = app_id
        self.room_id = room_id
        self._user_sig = user_sig
        self._scene, self._role, self._private_map_key = scene, role, private_map_key
        self.pixel_frame_input = pixel_frame_input
        self._mixed_format = (mixed_sample_rate, mixed_channels, mixed_frame_ms)
        self._enter_timeout, self._exit_timeout = enter_timeout, exit_timeout
        self._room_events_maxsize = room_events_maxsize
        self._left: asyncio.Future[None] | None = None
        self._hold: _LoopHold | None = None
        self._abandoned: weakref.finalize[Any, Any] | None = None

    @classmethod
    def join(cls, app_id: int, room_id: int | str, user_id: str, user_sig: str, **options: Any) -> "JoinRoom":
        """Enters a room: ``async with Room.join(...) as room`` (leaves at the end), or ``room = await Room.join(...)``.

        `app_id` and a numeric `room_id` are ints; a str `room_id` is a
        textual room id. Options (keywords): `scene` (VELAScene), `role`
        (VELARole), `private_map_key` (str), `pixel_frame_input` and
        `pixel_frame_output` (True: PixelFrames sent and received keep their
        width, height and format), `mix_audio` (the SDK mixes remote audio
        for `mixed_audio_stream`, at `mixed_sample_rate`, `mixed_channels`,
        `mixed_frame_ms`), `enter_timeout` (10 s), `exit_timeout` (5 s),
        `auto_subscribe` (True: every remote user's audio, and video with
        pixel output, is subscribed as the user enters, and a stream opened
        later starts with the first frame the user sent; False: streams
        subscribe when they open, and get what comes from then on),
        `delivery_window_ms` (2 ms: while frames come densely from several
        users, the loop wakes once in that time for all of them instead of
        once a frame, which adds at most about that much to a frame's way to
        its stream; 0: only deliveries that find a wake-up pending share it).

        Raises `LumoraError` when EnterRoom fails, when the SDK reports
        OnError before OnEnterRoom, and (`LumoraTimeoutError`) when
        OnEnterRoom does not come within `enter_timeout`.
        """
        return JoinRoom(cls(app_id, room_id, user_id, user_sig, **options))

    # ---- Who, where, and the connection ----

    @property
    def user_id(self) -> str:
        return self._core.user_id

    # How the Room receives, as chosen at join; its subscriptions act on them.

    @property
    def mix_audio(self) -> bool:
        return self._subscriptions.mix_audio

    @property
    def pixel_frame_output(self) -> bool:
        return self._subscriptions.pixel_frame_output

    @property
    def auto_subscribe(self) -> bool:
        return self._subscriptions.auto_subscribe

    @property
    def joined(self) -> bool:
        """True from a successful enter until leaving starts."""
        return self._core.joined

    @property
    def cloud(self) -> _lumora.VELACloud:
        """The SDK cloud, for operations the Room does not wrap. Do not keep it: leaving
        destroys the cloud only when the last reference goes."""
        return self._core.joined_cloud()

    @property
    def connection_state(self) -> _lumora.ConnectionState:
        """The SDK's connection to the room service, as its last `OnConnectionStateChanged` said
        (`CONNECTION_STATE_INIT` before the first). Its changes are events:
        ``room.events(lumora_kit.events.OnConnectionStateChanged)``.

        While it is DISCONNECTED or CONNECTING the streams stay open (nothing
        arrives) and the sources keep their pace (the SDK may refuse frames,
        counted in `send_errors`); once CONNECTED again the Room subscribes
        again to what it had subscribed, and both carry on by themselves."""
        return self._events.connection_state

    async def wait_for_connection_state(self, state: _lumora.ConnectionState, *,
                                        timeout: float | None = 10.0) -> None:
        """Waits until `connection_state` is `state` (returns at once if it is).

        Raises TimeoutError after `timeout` seconds, RuntimeError if the room is left meanwhile."""
        await self._events.wait_for_connection_state(state, timeout)

    # ---- Remote users and events ----

    @property
    def remote_users(self) -> Mapping[str, RemoteUser]:
        """The remote users in the room, by user id (a read-only live view)."""
        return self._events.remote_users

    async def wait_for_user(self, user_id: str, *, audio: bool = False,
                            video: _lumora.StreamType | None = None, timeout: float | None = 10.0) -> RemoteUser:
        """Waits until `user_id` is in the room (and, with `audio` or `video`, publishes it).

        Raises TimeoutError after `timeout` seconds, RuntimeError if the room is left meanwhile."""
        return await self._events.wait_for_user(user_id, audio=audio, video=video, timeout=timeout)

    def events(self, *types: type[ev.Event], maxsize: int = 1024,
               policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[ev.Event]:
        """A stream of the room's events from now on (all but frames), or only those of `types`.

        Joins, leaves, availability, connection state, network quality,
        errors, SEI messages, custom commands, local channels, encoder
        requests: the `lumora_kit.events` classes. Ends when the room is left."""
        return self._events.stream(tuple(types), maxsize, policy)

    # ---- Streams of remote media ----

    def tracks(self, *, audio: bool = True, video: bool = True) -> Stream[Stream[Any]]:
        """Every remote user's streams, opened for you as their media becomes available.

        An async iterator of `Stream` objects (``stream.user_id``,
        ``stream.stream_type``): one audio stream (unless ``mix_audio=True``)
        and one stream per video stream type of each user, for the users in
        the room now and those who come later, each opened with the defaults
        of `audio_stream` and `video_stream` (or `encoded_video_stream`). With
        ``auto_subscribe=True`` each starts with the first frame the user
        sent. Ends when the room is left; closing it leaves the streams it
        handed out open."""
        return self._subscriptions.tracks(audio=audio, video=video)

    def audio_stream(self, user_id: str, *, maxsize: int = AUDIO_MAXSIZE,
                     policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.AudioFrame]:
        """The audio frames of `user_id` from now on (subscribed before this returns).

        Bounded by `maxsize` frames (256: about 5 s of 20 ms frames); `policy`
        says what a full stream drops. Ends when the user leaves. Not with
        ``mix_audio=True``, where the SDK delivers only the mix."""
        return self._subscriptions.audio_stream(user_id, maxsize=maxsize, policy=policy)

    def video_stream(self, user_id: str, stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH, *,
                     maxsize: int = VIDEO_MAXSIZE,
                     policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.PixelFrame]:
        """The pictures (`PixelFrame`, with width, height and format) of `user_id`'s `stream_type`.

        Needs ``pixel_frame_output=True`` (the default); see `encoded_video_stream` otherwise."""
        return self._subscriptions.video_stream(user_id, stream_type, maxsize=maxsize, policy=policy)

    def encoded_video_stream(self, user_id: str, stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH,
                             *, maxsize: int = VIDEO_MAXSIZE,
                             policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.VideoFrame]:
        """The encoded video (`VideoFrame`) of `user_id`; needs ``pixel_frame_output=False``."""
        return self._subscriptions.encoded_video_stream(user_id, stream_type, maxsize=maxsize, policy=policy)

    def mixed_audio_stream(self, *, maxsize: int = AUDIO_MAXSIZE,
                           policy: DropPolicy = DropPolicy.DROP_OLDEST) -> Stream[_lumora.AudioFrame]:
        """The SDK's mix of every remote user's audio; needs ``Room.join(..., mix_audio=True)``.

        While a mixed stream is open the Room subscribes to the audio of
        every remote user, also of those who come later. Ends when the room is left."""
        return self._subscriptions.mixed_audio_stream(maxsize=maxsize, policy=policy)

    # ---- Sources and messages ----

    async def publish_audio(self, sample_rate: int = 48000, channels: int = 1, frame_ms: int = 20, *,
                            queue_ms: int = 400, max_burst_ms: int = 60, bitrate_bps: int | None = None,
                            need_encode: bool = True, timeout: float = 5.0) -> AudioSource:
        """Creates the local audio channel and returns its paced `AudioSource`.

        Waits (up to `timeout`) for OnLocalAudioChannelCreated. One audio
        source per room at a time; closing it destroys the channel.

        `sample_rate` is the rate of what you capture, 8,000 to 96,000 Hz.
        The SDK takes `SDK_SAMPLE_RATES`; audio at another rate is resampled
        to the next of them up (so no bandwidth is lost: 22,050 Hz goes out
        at 32,000), which needs the ``[media]`` extra."""
        return await self._publishing.publish_audio(sample_rate, channels, frame_ms, queue_ms=queue_ms,
                                                    max_burst_ms=max_burst_ms, bitrate_bps=bitrate_bps,
                                                    need_encode=need_encode, timeout=timeout)

    async def publish_video(self, width: int, height: int, fps: float = 15, *,
                            stream_type: _lumora.StreamType = _lumora.STREAM_TYPE_VIDEO_HIGH,
                            bitrate_bps: int = 0, gop_in_seconds: int = 3, queue_ms: int = 500,
                            max_burst_ms: int = 100, timeout: float = 5.0) -> VideoSource:
        """Creates a local video channel of `stream_type` and returns its paced `VideoSource`.

        The encoder gets `fps` (rounded), `bitrate_bps` (0: the SDK chooses)
        and `gop_in_seconds`. Closing the source destroys the channel."""
        return await self._publishing.publish_video(width, height, fps, stream_type=stream_type,
                                                    bitrate_bps=bitrate_bps, gop_in_seconds=gop_in_seconds,
                                                    queue_ms=queue_ms, max_burst_ms=max_burst_ms, timeout=timeout)

    async def send_command(self, cmd_id: int, message: bytes | bytearray | memoryview | str, *,
                           reliable: bool = True, ordered: bool = True) -> None:
        """Sends a custom command to the room; raises LumoraError if the SDK refuses it."""
        self._publishing.send_command(cmd_id, message, reliable=reliable, ordered=ordered)

    async def send_sei(self, message: bytes | bytearray | memoryview | str, *, message_type: int = 5) -> None:
        """Sends an SEI message (on this user's video); raises LumoraError for a failed result."""
        self._publishing.send_sei(message, message_type=message_type)

    # ---- Entering ----

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
        core = self._core
        if core.state != "new":
            raise RuntimeError(f"this Room was already used ({core.state}); make a new one")
        loop = asyncio.get_running_loop()
        params = self._enter_params()  # bad options fail before the SDK is involved
        core.loop = loop
        core.state = "entering"
        self._left = loop.create_future()
        video_types = _VIDEO_TYPES if self.pixel_frame_output else ()
        routes = core.routes = RoomRoutes(core.queue(self._room_events_maxsize, DropPolicy.DROP_OLDEST),
                                          auto_subscribe=self.auto_subscribe, video_types=video_types)
        # No local name holds the cloud: a failed enter's traceback keeps this
        # frame, and the cloud must go with the core's reference.
        core.cloud = _lumora.VELACloud(RoomDelegate(routes))
        routes.cloud = weakref.ref(core.cloud)
        self._hold = _hold(loop, core, _Parts(self._events, self._subscriptions, self._publishing))
        # The finaliser holds the core (and so the cloud), never the Room's
        # other parts: the waiters of `events` lead to the tasks that wait,
        # and from them back to this Room.
        self._abandoned = weakref.finalize(self, _room_abandoned, core, weakref.ref(self._hold),
                                           f"Room {self.user_id!r} in room {self.room_id!r}")
        self._abandoned.atexit = False  # at the interpreter's exit the process leaves anyway
        self._events.start_pump()
        entered = self._events.expect(lambda e: isinstance(e, (ev.OnEnterRoom, ev.OnError)))
        in_room = False
        try:
            result = core.cloud.EnterRoom(params)
            if result != 0:
                raise LumoraError(result, "EnterRoom", self._enter_failure_hint(result))
            in_room = True
            try:
                async with asyncio.timeout(self._enter_timeout):
                    outcome = await entered
            except TimeoutError:
                raise LumoraTimeoutError("EnterRoom", f"no OnEnterRoom within {self._enter_timeout} s") from None
            if isinstance(outcome, ev.OnError):
                hint = self._enter_failure_hint(outcome.error)
                raise LumoraError(outcome.error, "EnterRoom",
                                  "the SDK reported OnError" + (f"; {hint}" if hint else ""))
        except BaseException:
            if in_room:
                core.call("ExitRoom")
            self._finish_leaving()
            raise
        core.state = "joined"
        return self

    def _enter_failure_hint(self, error: int | _lumora.Error) -> str | None:
        if int(error) == int(_lumora.ERR_ENTER_ROOM_FAILED):
            return (f"user id {self.user_id!r} may already be in room {self.room_id!r} "
                    "(another participant, or a Room of this program that did not leave)")
        return None

    async def leave(self) -> None:
        """Leaves the room: stops the sources, ExitRoom, waits (up to `exit_timeout`) for
        OnExitRoom, destroys the cloud and ends every stream. Idempotent; safe on cancellation."""
        core = self._core
        if core.state in ("new", "left"):
            return
        assert self._left is not None
        if core.state == "leaving":
            await asyncio.shield(self._left)
            return
        core.state = "leaving"
        try:
            self._publishing.close_sources()
            exited = self._events.expect(lambda e: isinstance(e, ev.OnExitRoom))
            result = core.call("ExitRoom")
            if result == 0:
                try:
                    async with asyncio.timeout(self._exit_timeout):
                        await self._events.settled(exited)
                except TimeoutError:
                    logger.warning("Room %s: no OnExitRoom within %s s; destroying the cloud anyway",
                                   self.user_id, self._exit_timeout)
            elif result is not None:
                logger.warning("Room %s: ExitRoom returned %d", self.user_id, result)
        finally:
            self._finish_leaving()

    def _finish_leaving(self) -> None:
        """Destroys the cloud, then ends everything on the loop's side. Never waits."""
        if self._abandoned is not None:
            self._abandoned.detach()
            self._abandoned = None
        _finish(self._core, _Parts(self._events, self._subscriptions, self._publishing))
        if self._hold is not None:
            _release(self._hold, self._core)
            self._hold = None
        if self._left is not None and not self._left.done():
            self._left.set_result(None)

    def __repr__(self) -> str:
        return f"<Room {self.user_id!r} in {self.room_id!r} (app {self.app_id}) {self._core.state}>"


class _Parts(NamedTuple):
    """The parts of a Room that its leave ends, besides the core."""

    events: RoomEvents
    subscriptions: RoomSubscriptions
    publishing: RoomPublishing


def _finish(core: RoomCore, parts: _Parts) -> None:
    """The end of a leave: destroys the cloud, then ends everything on the loop's side. Never waits."""
    parts.publishing.close_sources()
    core.cloud = None  # the last reference: the SDK's cloud is destroyed here
    core.state = "left"
    # No callback comes any more: what the SDK delivered is handled
    # before the streams end.
    parts.events.drain()
    if core.routes is not None:
        for sink in core.routes.all_sinks():
            sink.end("room left")
    parts.subscriptions.end_track_feeds()
    parts.events.stop_pump()


# ---- A Room dropped without leaving -----------------------------------------------------
# Its finaliser runs wherever the garbage collector does: on an SDK thread
# (inside one of this very cloud's callbacks), or on the loop's thread in
# the middle of the routes' or a queue's locked section. So on an open loop
# it changes nothing itself and hands the leave to the loop, where
# `_leave_abandoned` runs it at the next turn like any leave, without the
# wait for OnExitRoom. On a closed loop nothing can run there any more: it
# calls ExitRoom and lets the cloud go on the spot, as a leave does, on
# whatever thread that is (destroying a cloud does not wait for a callback
# of it that is running, so this is safe inside its own callback too); the
# streams of that loop are not ended.

def _never_left(label: str, what: str) -> None:
    warnings.warn(f"{label} was never left; {what}. Leave it with `async with Room.join(...)` "
                  "or `await room.leave()`", ResourceWarning, stacklevel=2)


def _room_abandoned(core: RoomCore, hold: "weakref.ref[_LoopHold]", label: str) -> None:
    if core.cloud is None:
        return
    loop = core.loop
    if loop is not None:
        try:
            loop.call_soon_threadsafe(_leave_abandoned, core, hold, label)
            return
        except RuntimeError:
            pass  # the loop is closed
    cloud, core.cloud = core.cloud, None  # a stream kept by the program keeps the core, not the cloud
    core.state = "left"
    try:
        cloud.ExitRoom()
    except Exception:
        pass
    try:
        _never_left(label, "its event loop was closed, and it left the room when it was freed")
    except Exception:
        pass  # warnings made errors: a finaliser has nobody to raise to


def _leave_abandoned(core: RoomCore, hold: "weakref.ref[_LoopHold]", label: str) -> None:
    """The leave of a Room nothing referred to any more, on its loop."""
    holder = hold()
    parts = holder.rooms.pop(core, None) if holder is not None else None
    if core.cloud is None or parts is None:
        return
    try:
        _never_left(label, "nothing referred to it any more, so it leaves the room now")
    finally:
        core.state = "leaving"
        parts.publishing.close_sources()
        core.call("ExitRoom")
        _finish(core, parts)


# ---- Keeping a Room's parts alive while its loop is open --------------------------------
# A Room's pump holds its events weakly (see room_events), and the Room is
# held by the program alone: a Room the program dropped goes, and leaves
# (above). But a task that waits for something of the Room (a user, the
# connection state, a local channel) waits on a future that only the Room's
# parts refer to, and refers to the Room itself: that task and its Room must
# stay while the loop can still wake the task. So the loop holds each joined
# Room's parts (never the Room), until the Room leaves or the loop is
# closed; then a Room that was never left is freed once nothing else refers
# to it. (A task that waits on a stream is held anyway: the stream's queue
# is reachable from the SDK's side, through the cloud's delegate.)
#
# The holder must be something the loop drops when it is closed: the loop's
# selector. One `_LoopHold` a loop is registered as the reader of a pipe
# that is never written, which costs the loop nothing per iteration;
# closing the loop closes its selector, which drops the hold, whose
# finaliser closes the pipe. A loop without readers (the Proactor loop)
# holds its Rooms with a far timer instead, which re-arms itself if it ever
# fires.

class _LoopHold:
    """The parts of the Rooms of one loop that are in a room, by their core."""

    __slots__ = ("rooms", "timer", "__weakref__")

    def __init__(self) -> None:
        self.rooms: dict[RoomCore, _Parts] = {}
        self.timer: asyncio.TimerHandle | None = None


_holds: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, weakref.ref[_LoopHold]]" = \
    weakref.WeakKeyDictionary()
_HOLD_SECONDS = 365 * 86400.0


def _hold(loop: asyncio.AbstractEventLoop, core: RoomCore, parts: _Parts) -> _LoopHold:
    """Holds a Room's `parts` until `_release` or until `loop` is closed."""
    known = _holds.get(loop)
    hold = known() if known is not None else None
    if hold is None:
        hold = _LoopHold()
        try:
            read_end, write_end = os.pipe()
        except OSError:  # out of file descriptors: the timer does it too
            _hold_by_timer(loop, hold)
        else:
            try:
                loop.add_reader(read_end, _never_called, hold)
            except (NotImplementedError, AttributeError):
                _close_pipe(read_end, write_end)
                _hold_by_timer(loop, hold)
            else:
                weakref.finalize(hold, _close_pipe, read_end, write_end)
        _holds[loop] = weakref.ref(hold)
    hold.rooms[core] = parts
    return hold


def _release(hold: _LoopHold, core: RoomCore) -> None:
    hold.rooms.pop(core, None)


def _never_called(hold: _LoopHold) -> None:
    """The pipe is never written."""


def _close_pipe(read_end: int, write_end: int) -> None:
    os.close(read_end)
    os.close(write_end)


def _hold_by_timer(loop: asyncio.AbstractEventLoop, hold: _LoopHold) -> None:
    hold.timer = loop.call_later(_HOLD_SECONDS, _hold_by_timer, loop, hold)


def _is_uint32_id(value: object) -> bool:
    return type(value) is int and 0 < value <= 0xFFFFFFFF


def _is_text(value: object) -> bool:
    return isinstance(value, str) and value != ""


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

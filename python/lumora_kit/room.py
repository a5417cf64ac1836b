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
built in layers, a file each:

- `lumora_kit.asyncio_bridge`: what runs on the SDK's threads (the delegate
  and the routes of frames to streams); it never waits for the loop;
- `lumora_kit.room_events`: the event pump and the remote users' state;
- `lumora_kit.room_subscriptions`: the streams and their subscriptions;
- `lumora_kit.room_publishing`: sources and messages;
- here: entering and leaving.

Leaving (on normal exit, an exception or cancellation): the sources stop
and their local channels are destroyed, `ExitRoom`, a bounded wait for
`OnExitRoom`, the cloud is destroyed (no callback comes after that), and
then every stream ends once its consumer has taken what was queued.
"""

import asyncio
import logging
import os
import weakref
from collections.abc import Generator
from types import TracebackType
from typing import Any, Self

import _lumora

from . import events as ev
from .asyncio_bridge import RoomDelegate, RoomRoutes
from .errors import LumoraError, LumoraTimeoutError
from .event_queue import DropPolicy, EventQueue
from .room_events import RemoteUser
from .room_publishing import RoomPublishing

__all__ = ["JoinRoom", "RemoteUser", "Room"]

_VIDEO_TYPES = (_lumora.STREAM_TYPE_VIDEO_HIGH, _lumora.STREAM_TYPE_VIDEO_LOW, _lumora.STREAM_TYPE_VIDEO_AUX)

logger = logging.getLogger("lumora_kit")


class Room(RoomPublishing):
    """One participant in a room; made by `Room.join`, bound to the running event loop.

    See the module's text for how it works, and docs/room.md for examples.
    """

    def __init__(self, app_id: int, room_id: int | str, user_id: str, user_sig: str, *,
                 scene: _lumora.VELAScene | None = None, role: _lumora.VELARole | None = None,
                 private_map_key: str | None = None, pixel_frame_input: bool = True,
                 pixel_frame_output: bool = True, mix_audio: bool = False, mixed_sample_rate: int = 48000,
                 mixed_channels: int = 1, mixed_frame_ms: int = 20, enter_timeout: float = 10.0,
                 exit_timeout: float = 5.0, room_events_maxsize: int = 4096, auto_subscribe: bool = True) -> None:
        """Prefer `Room.join`; a Room made directly enters with ``await room.enter()``."""
        if not _is_uint32_id(app_id):
            raise ValueError(f"app_id must be an int from 1 to 4294967295, not {app_id!r}")
        if not (_is_uint32_id(room_id) or _is_text(room_id)):
            raise ValueError(f"room_id must be an int from 1 to 4294967295 or a non-empty str, not {room_id!r}")
        for name, text in (("user_id", user_id), ("user_sig", user_sig)):
            if not _is_text(text):
                raise ValueError(f"{name} must be a non-empty str, not {text!r}")
        super().__init__(user_id, mix_audio=mix_audio, pixel_frame_output=pixel_frame_output,
                         auto_subscribe=auto_subscribe)
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
        subscribe when they open, and get what comes from then on).

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
        video_types = _VIDEO_TYPES if self.pixel_frame_output else ()
        self._routes = RoomRoutes(EventQueue(loop, self._room_events_maxsize, DropPolicy.DROP_OLDEST),
                                  auto_subscribe=self.auto_subscribe, video_types=video_types)
        self._cloud = _lumora.VELACloud(RoomDelegate(self._routes))
        self._routes.cloud = weakref.ref(self._cloud)
        self._hold = _hold(loop, self)
        self._start_pump()
        entered = self._expect(lambda e: isinstance(e, (ev.OnEnterRoom, ev.OnError)))
        in_room = False
        try:
            result = self._cloud.EnterRoom(params)
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
                self._call("ExitRoom")
            self._finish_leaving()
            raise
        self._state = "joined"
        return self

    def _enter_failure_hint(self, error: int | _lumora.Error) -> str | None:
        if int(error) == int(_lumora.ERR_ENTER_ROOM_FAILED):
            return (f"user id {self.user_id!r} may already be in room {self.room_id!r} "
                    "(another participant, or a Room of this program that did not leave)")
        return None

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
            self._close_sources()
            exited = self._expect(lambda e: isinstance(e, ev.OnExitRoom))
            result = self._call("ExitRoom")
            if result == 0:
                try:
                    async with asyncio.timeout(self._exit_timeout):
                        await self._settled(exited)
                except TimeoutError:
                    logger.warning("Room %s: no OnExitRoom within %s s; destroying the cloud anyway",
                                   self.user_id, self._exit_timeout)
            elif result is not None:
                logger.warning("Room %s: ExitRoom returned %d", self.user_id, result)
        finally:
            self._finish_leaving()

    def _finish_leaving(self) -> None:
        """Destroys the cloud, then ends everything on the loop's side. Never waits."""
        self._close_sources()
        self._cloud = None  # the last reference: the SDK's cloud is destroyed here
        self._state = "left"
        # No callback comes any more: what the SDK delivered is handled
        # before the streams end.
        self._drain_events()
        if self._routes is not None:
            for sink in self._routes.all_sinks():
                sink.end("room left")
        self._end_track_feeds()
        if self._hold is not None:
            _release(self._hold, self)
            self._hold = None
        pump, self._pump_task = self._pump_task, None
        if pump is not None and not pump.done():
            pump.cancel()  # it holds the Room until it has run its cancellation
        if self._left is not None and not self._left.done():
            self._left.set_result(None)

    def __del__(self) -> None:
        # Only a Room that never left gets here with a cloud: its loop was
        # closed (see _hold) and nothing refers to it any more. It leaves
        # the room; the cloud is destroyed with this object.
        cloud = getattr(self, "_cloud", None)
        if cloud is None:
            return
        try:
            cloud.ExitRoom()
        except Exception:
            pass
        pump = self._pump_task
        if pump is not None:
            # Its loop is closed: the pending pump goes with the cloud's
            # delegate, and says nothing about it.
            pump._log_destroy_pending = False  # type: ignore[attr-defined]

    def __repr__(self) -> str:
        return f"<Room {self.user_id!r} in {self.room_id!r} (app {self.app_id}) {self._state}>"


# ---- Keeping a Room in the room alive while its loop is open ---------------------------
# A Room's pump holds it weakly (see room_events), so a Room in the room
# needs another holder while its loop can still run it, even when only its
# own tasks refer to it. The holder must be something the loop drops when
# it is closed, so that a Room that was never left is freed (and leaves the
# room) once nothing else refers to it: the loop's selector. One `_LoopHold`
# a loop is registered as the reader of a pipe that is never written, which
# costs the loop nothing per iteration; closing the loop closes its
# selector, which drops the hold, whose finaliser closes the pipe. A loop
# without readers (the Proactor loop) holds its Rooms with a far timer
# instead, which re-arms itself if it ever fires.

class _LoopHold:
    """The Rooms of one loop that are in a room."""

    __slots__ = ("rooms", "timer", "__weakref__")

    def __init__(self) -> None:
        self.rooms: set[Room] = set()
        self.timer: asyncio.TimerHandle | None = None


_holds: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, weakref.ref[_LoopHold]]" = \
    weakref.WeakKeyDictionary()
_HOLD_SECONDS = 365 * 86400.0


def _hold(loop: asyncio.AbstractEventLoop, room: Room) -> _LoopHold:
    """Holds `room` until `_release` or until `loop` is closed."""
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
    hold.rooms.add(room)
    return hold


def _release(hold: _LoopHold, room: Room) -> None:
    hold.rooms.discard(room)


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

"""The Room's event pump, its remote users and its connection state, on the loop.

Every callback but the frames reaches the Room as a `lumora_kit.events`
event, through one queue (`RoomRoutes.room_events`) that the pump task takes
on the loop. For each event the pump

- keeps `remote_users` and `connection_state` up to date, and tells the
  Room's `Members` (the subscriptions) of users who come and go and of media
  that becomes available,
- settles what the Room waits for (OnEnterRoom, OnExitRoom, local channels):
  `expect` registers a future and a predicate,
- hands the event to every `events()` stream that wants it,
- wakes `wait_for_user` and the other waits on the room's state.

`RoomEvents` is the part of a `lumora_kit.Room` that owns this state; it
reads the Room's loop, cloud and routes from the shared `RoomCore`.
"""

import asyncio
import logging
import weakref
from collections.abc import Callable, Mapping
from dataclasses import dataclass, replace
from types import MappingProxyType
from typing import Any, Protocol

import _lumora

from . import events as ev
from .asyncio_bridge import user_text
from .event_queue import DropPolicy, EventQueue
from .room_core import RoomCore
from .streams import Sink, Stream

logger = logging.getLogger("lumora_kit")


@dataclass(frozen=True, slots=True)
class RemoteUser:
    """A remote user in the room and what they publish (`video`: the stream types with video)."""

    user_id: str
    audio: bool = False
    video: frozenset[_lumora.StreamType] = frozenset()


class Members(Protocol):
    """What the pump tells about the room's members (the Room's subscriptions listen)."""

    def user_entered(self, user_id: str) -> None:
        """After a user entered (and is in `remote_users`)."""

    def user_left(self, user_id: str) -> None:
        """After a user left (and is no longer in `remote_users`)."""

    def media_available(self, user_id: str, stream_type: _lumora.StreamType) -> None:
        """After a user's audio or video became available."""

    def reconnected(self) -> None:
        """After the connection came back (CONNECTED after DISCONNECTED or CONNECTING)."""


class _NoMembers:
    """Members that nobody listens to (until the Room sets its own)."""

    def user_entered(self, user_id: str) -> None:
        pass

    def user_left(self, user_id: str) -> None:
        pass

    def media_available(self, user_id: str, stream_type: _lumora.StreamType) -> None:
        pass

    def reconnected(self) -> None:
        pass


@dataclass(slots=True)
class _Expectation:
    """An event the Room waits for, settled by the pump."""

    matches: Callable[[ev.Event], bool]
    future: asyncio.Future[ev.Event]


class RoomEvents:
    """The Room's event pump, remote users, connection state and event streams."""

    def __init__(self, core: RoomCore) -> None:
        self._core = core
        self.members: Members = _NoMembers()  # the Room sets its subscriptions here
        self._pump_task: asyncio.Task[None] | None = None
        self._users: dict[str, RemoteUser] = {}
        self._connection_state = _lumora.CONNECTION_STATE_INIT
        self._expected: list[_Expectation] = []
        self._changed: list[asyncio.Future[None]] = []
        self._event_streams: list[tuple[Sink[ev.Event], tuple[type[ev.Event], ...]]] = []

    # ---- The pump ----

    def start_pump(self) -> None:
        core = self._core
        assert core.loop is not None and core.routes is not None
        pump = core.loop.create_task(self._pump(weakref.ref(self), core.routes.room_events),
                                     name=f"lumora_kit Room {core.user_id} events")
        # A Room that never left, on a loop that was closed, frees its pump
        # still pending: it goes with the cloud's delegate, and says nothing.
        pump._log_destroy_pending = False  # type: ignore[attr-defined]
        self._pump_task = pump

    def stop_pump(self) -> None:
        pump, self._pump_task = self._pump_task, None
        if pump is not None and not pump.done():
            pump.cancel()  # it holds these events until it has run its cancellation

    @staticmethod
    async def _pump(events: "weakref.ref[RoomEvents]", room_events: EventQueue[ev.Event]) -> None:
        """Hands each room event to the Room's events while they live.

        It holds them weakly: the queue it waits on is reachable from the
        SDK's side (the cloud keeps its delegate, the delegate the routes, the
        routes this queue, the queue's waiter this task), and a strong reference
        here would keep a Room that nothing else refers to alive for good."""
        async for event in room_events:
            handler = events()
            if handler is None:
                return
            handler.handle(event)
            del handler

    def handle(self, event: ev.Event) -> None:
        try:
            self._update(event)
        except Exception:
            logger.exception("Room %s: handling %s failed", self._core.user_id, event.callback)
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
        users, members = self._users, self.members
        match event:
            case ev.OnRemoteUserEnterRoom(info):
                user_id = user_text(info)
                users.setdefault(user_id, RemoteUser(user_id))
                members.user_entered(user_id)
            case ev.OnRemoteUserExitRoom(info):
                user_id = user_text(info)
                users.pop(user_id, None)
                members.user_left(user_id)
            case ev.OnRemoteAudioAvailable(user_id, available) if user_id is not None:
                user = users.get(user_id, RemoteUser(user_id))
                users[user_id] = replace(user, audio=available)
                if available:
                    members.media_available(user_id, _lumora.STREAM_TYPE_AUDIO)
            case ev.OnRemoteVideoAvailable(user_id, available, stream_type) if user_id is not None:
                user = users.get(user_id, RemoteUser(user_id))
                video = user.video | {stream_type} if available else user.video - {stream_type}
                users[user_id] = replace(user, video=video)
                if available:
                    members.media_available(user_id, stream_type)
            case ev.OnConnectionStateChanged(_, new_state):
                was = self._connection_state
                self._connection_state = new_state
                if (new_state == _lumora.CONNECTION_STATE_CONNECTED and self._core.joined
                        and was in (_lumora.CONNECTION_STATE_DISCONNECTED, _lumora.CONNECTION_STATE_CONNECTING)):
                    members.reconnected()
            case ev.OnError(error) if self._core.joined:
                logger.warning("Room %s: the SDK reported %s (%d)", self._core.user_id,
                               getattr(error, "name", "?"), int(error))
            case _:
                pass

    # ---- What the Room waits for ----

    def expect(self, matches: Callable[[ev.Event], bool]) -> asyncio.Future[ev.Event]:
        """A future the pump settles with the first event that `matches`."""
        assert self._core.loop is not None
        future: asyncio.Future[ev.Event] = self._core.loop.create_future()
        self._expected.append(_Expectation(matches, future))
        return future

    def forget(self, future: "asyncio.Future[ev.Event]") -> None:
        """Stops waiting for what `future` expected (cancelled if still pending)."""
        if not future.done():
            future.cancel()
        self._expected = [e for e in self._expected if e.future is not future]

    async def settled(self, waiting: "asyncio.Future[Any]") -> None:
        """Waits until the pump settles `waiting`.

        When the pump is gone, the events are taken here instead: asyncio.run
        cancels every task that is left when its main coroutine returns, the
        pump among them, and a Room that leaves then must still see OnExitRoom
        rather than wait out `exit_timeout`."""
        while not waiting.done():
            pump = self._pump_task
            if pump is not None and not pump.done():
                await asyncio.wait([waiting, pump], return_when=asyncio.FIRST_COMPLETED)
            else:
                assert self._core.routes is not None
                self.handle(await self._core.routes.room_events.get())

    def drain(self) -> None:
        """Handles what is still queued (no callback comes any more), then ends the event streams."""
        routes = self._core.routes
        if routes is not None:
            routes.room_events.shutdown()
            while True:
                try:
                    self.handle(routes.room_events.get_nowait())
                except (asyncio.QueueEmpty, asyncio.QueueShutDown):
                    break
        for sink, _ in self._event_streams:
            sink.end("room left")
        for expectation in self._expected:
            if not expectation.future.done():
                expectation.future.cancel()
        self._expected.clear()
        self._wake()

    def _wake(self) -> None:
        waiters, self._changed = self._changed, []
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(None)

    async def wait_until[T](self, probe: Callable[[], T | None], timeout: float | None, what: str) -> T:
        """Waits until `probe()` is not None (re-checked after each room event)."""
        loop = self._core.loop
        assert loop is not None
        try:
            async with asyncio.timeout(timeout):
                while True:
                    found = probe()
                    if found is not None:
                        return found
                    if self._core.ending:
                        raise RuntimeError(f"the room was left while waiting for {what}")
                    waiter = loop.create_future()
                    self._changed.append(waiter)
                    await waiter
        except TimeoutError:
            raise TimeoutError(f"waited {timeout} s for {what}") from None

    # ---- Remote users, the connection and event streams ----

    @property
    def remote_users(self) -> Mapping[str, RemoteUser]:
        """The remote users in the room, by user id (a read-only live view)."""
        return MappingProxyType(self._users)

    @property
    def connection_state(self) -> _lumora.ConnectionState:
        return self._connection_state

    async def wait_for_user(self, user_id: str, *, audio: bool, video: _lumora.StreamType | None,
                            timeout: float | None) -> RemoteUser:
        self._core.joined_cloud()

        def probe() -> RemoteUser | None:
            user = self._users.get(user_id)
            if user is None or (audio and not user.audio) or (video is not None and video not in user.video):
                return None
            return user

        what = f"user {user_id!r}" + (" with audio" if audio else "") + (f" with {video}" if video else "")
        return await self.wait_until(probe, timeout, what)

    async def wait_for_connection_state(self, state: _lumora.ConnectionState, timeout: float | None) -> None:
        self._core.joined_cloud()
        await self.wait_until(lambda: True if self._connection_state == state else None, timeout,
                              f"connection state {getattr(state, 'name', state)}")

    def stream(self, types: tuple[type[ev.Event], ...], maxsize: int, policy: DropPolicy) -> Stream[ev.Event]:
        """A stream of the room's events from now on, or only those of `types`."""
        self._core.require_loop()
        sink: Sink[ev.Event] = Sink(self._core.queue(maxsize, policy))
        entry = (sink, types)
        self._event_streams.append(entry)
        if self._core.ending:
            sink.end("room left")

        def closed(_: Sink[ev.Event]) -> None:
            if entry in self._event_streams:
                self._event_streams.remove(entry)

        return Stream(sink, on_close=closed)

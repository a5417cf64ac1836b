"""The Room's event pump and remote-user state, on the loop.

Every callback but the frames reaches the Room as a `lumora_kit.events`
event, through one queue (`RoomRoutes.room_events`) that the pump task takes
on the loop. For each event the pump

- keeps `remote_users` up to date (joins, leaves, audio and video
  availability) and tells the subscriptions of users who come and go,
- settles what the Room waits for (OnEnterRoom, OnExitRoom, local channels):
  `_expect` registers a future and a predicate,
- hands the event to every `events()` stream that wants it,
- wakes `wait_for_user` and the other waits on the room's state.

`RoomEvents` is the base of `lumora_kit.Room`: it also holds the state every
part of the Room shares (the loop, the cloud, the routes, the life-cycle
state).
"""

import asyncio
import logging
import weakref
from collections.abc import Callable, Mapping
from typing import Any
from dataclasses import dataclass, replace
from types import MappingProxyType

import _lumora

from . import events as ev
from .asyncio_bridge import RoomRoutes, user_text
from .event_queue import DropPolicy, EventQueue
from .streams import Sink, Stream

logger = logging.getLogger("lumora_kit")


LOOP_MISMATCH = (
    "Room {room!r} is used from another event loop than the one it joined on; a Room, its streams and its "
    "events work on the loop it joined on. In tests: run the test on the loop of the fixture that made the "
    "Room (pytest-asyncio: the same loop_scope for both, e.g. @pytest_asyncio.fixture(loop_scope=\"module\") "
    "with @pytest.mark.asyncio(loop_scope=\"module\"); anyio: the same anyio_backend), or join the Room "
    "inside the test")


@dataclass(frozen=True, slots=True)
class RemoteUser:
    """A remote user in the room and what they publish (`video`: the stream types with video)."""

    user_id: str
    audio: bool = False
    video: frozenset[_lumora.StreamType] = frozenset()


@dataclass(slots=True)
class _Expectation:
    """An event the Room waits for, settled by the pump."""

    matches: Callable[[ev.Event], bool]
    future: asyncio.Future[ev.Event]


class RoomEvents:
    """The Room's shared state, its event pump, remote users and event streams."""

    def __init__(self, user_id: str) -> None:
        self.user_id = user_id
        self._loop: asyncio.AbstractEventLoop | None = None
        self._cloud: _lumora.VELACloud | None = None
        self._routes: RoomRoutes | None = None
        self._pump_task: asyncio.Task[None] | None = None
        self._state = "new"  # new, entering, joined, leaving, left
        self._users: dict[str, RemoteUser] = {}
        self._expected: list[_Expectation] = []
        self._changed: list[asyncio.Future[None]] = []
        self._event_streams: list[tuple[Sink[ev.Event], tuple[type[ev.Event], ...]]] = []

    # ---- Shared state ----

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
        self._check_loop()
        return self._cloud

    def _require_loop(self) -> asyncio.AbstractEventLoop:
        if self._loop is None:
            raise RuntimeError("the Room has not entered yet")
        self._check_loop()
        return self._loop

    def _check_loop(self) -> None:
        """A Room works on the loop it joined on; say so (and how to fix a test) when used from another."""
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            return  # not in a coroutine: e.g. a sync test reading room.cloud
        if running is not self._loop:
            raise RuntimeError(LOOP_MISMATCH.format(room=self.user_id))

    def _call(self, operation: str) -> int | None:
        """Calls a no-argument cloud operation; logs instead of raising (used while leaving)."""
        try:
            result: int = getattr(self._cloud, operation)()
            return result
        except Exception:
            logger.exception("Room %s: %s failed", self.user_id, operation)
            return None

    # ---- Hooks for the subscriptions ----

    def _user_entered(self, user_id: str) -> None:
        """Called by the pump after a user entered (and is in `remote_users`)."""

    def _user_left(self, user_id: str) -> None:
        """Called by the pump after a user left (and is no longer in `remote_users`)."""

    def _media_available(self, user_id: str, stream_type: _lumora.StreamType) -> None:
        """Called by the pump after a user's audio or video became available."""

    # ---- The pump ----

    def _start_pump(self) -> None:
        assert self._loop is not None and self._routes is not None
        self._pump_task = self._loop.create_task(self._pump(weakref.ref(self), self._routes.room_events),
                                                 name=f"lumora_kit Room {self.user_id} events")

    @staticmethod
    async def _pump(room: "weakref.ref[RoomEvents]", room_events: EventQueue[ev.Event]) -> None:
        """Hands each room event to the Room while the Room lives.

        It holds the Room weakly: the queue it waits on is reachable from the
        SDK's side (the cloud keeps its delegate, the delegate the routes, the
        routes this queue, the queue's waiter this task), and a strong reference
        here would keep a Room that nothing else refers to alive for good."""
        async for event in room_events:
            handler = room()
            if handler is None:
                return
            handler._handle(event)
            del handler

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
                user_id = user_text(info)
                users.setdefault(user_id, RemoteUser(user_id))
                self._user_entered(user_id)
            case ev.OnRemoteUserExitRoom(info):
                user_id = user_text(info)
                users.pop(user_id, None)
                self._user_left(user_id)
            case ev.OnRemoteAudioAvailable(user_id, available) if user_id is not None:
                user = users.get(user_id, RemoteUser(user_id))
                users[user_id] = replace(user, audio=available)
                if available:
                    self._media_available(user_id, _lumora.STREAM_TYPE_AUDIO)
            case ev.OnRemoteVideoAvailable(user_id, available, stream_type) if user_id is not None:
                user = users.get(user_id, RemoteUser(user_id))
                video = user.video | {stream_type} if available else user.video - {stream_type}
                users[user_id] = replace(user, video=video)
                if available:
                    self._media_available(user_id, stream_type)
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

    async def _settled(self, waiting: "asyncio.Future[Any]") -> None:
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
                assert self._routes is not None
                self._handle(await self._routes.room_events.get())

    def _drain_events(self) -> None:
        """Handles what is still queued (no callback comes any more), then ends the event streams."""
        routes = self._routes
        if routes is not None:
            routes.room_events.shutdown()
            while True:
                try:
                    self._handle(routes.room_events.get_nowait())
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

    # ---- Remote users and events ----

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

        def closed(_: Sink[ev.Event]) -> None:
            if entry in self._event_streams:
                self._event_streams.remove(entry)

        return Stream(sink, on_close=closed)

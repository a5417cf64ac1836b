"""What the parts of a Room share: who it is, its loop, its cloud, its routes and its life-cycle state.

A `lumora_kit.Room` is made of parts it owns, one a file: the events
(`room_events.RoomEvents`), the subscriptions (`room_subscriptions`) and the
publishing (`room_publishing`). Each keeps its own state; what all of them
read is here, in one `RoomCore` that the Room hands to each part when it is
made.

Only the Room writes a core (room.py): `loop` and `routes` when it enters,
`cloud` from entering until it has left, `state` along the way (new,
entering, joined, leaving, left). The parts read it, and reach the cloud
through `joined_cloud` (for what the program asks, which raises outside the
room or on another loop) or `cloud` itself (for what the Room does while it
enters and leaves, which must not raise).
"""

import asyncio
import logging
from typing import Any

import _lumora

from .asyncio_bridge import RoomRoutes
from .event_queue import DropPolicy, EventQueue

logger = logging.getLogger("lumora_kit")

LOOP_MISMATCH = (
    "Room {room!r} is used from another event loop than the one it joined on; a Room, its streams and its "
    "events work on the loop it joined on. In tests: run the test on the loop of the fixture that made the "
    "Room (pytest-asyncio: the same loop_scope for both, e.g. @pytest_asyncio.fixture(loop_scope=\"module\") "
    "with @pytest.mark.asyncio(loop_scope=\"module\"); anyio: the same anyio_backend), or join the Room "
    "inside the test")


class RoomCore:
    """The state every part of one Room reads; the Room alone writes it."""

    __slots__ = ("user_id", "window", "loop", "cloud", "routes", "state")

    def __init__(self, user_id: str, window: float) -> None:
        self.user_id = user_id
        self.window = window  # of every EventQueue the Room makes (see lumora_kit.event_queue)
        self.loop: asyncio.AbstractEventLoop | None = None
        self.cloud: _lumora.VELACloud | None = None
        self.routes: RoomRoutes | None = None
        self.state = "new"  # new, entering, joined, leaving, left

    @property
    def joined(self) -> bool:
        return self.state == "joined"

    @property
    def ending(self) -> bool:
        """True once leaving has started (or is over)."""
        return self.state in ("leaving", "left")

    def queue(self, maxsize: int, policy: DropPolicy) -> EventQueue[Any]:
        """A queue on the Room's loop with the Room's wake-up window."""
        assert self.loop is not None
        return EventQueue(self.loop, maxsize, policy, window=self.window)

    def joined_cloud(self) -> _lumora.VELACloud:
        """The cloud, for an operation the program asks for; RuntimeError outside the room or off its loop."""
        if self.state != "joined" or self.cloud is None:
            raise RuntimeError(f"the Room is not in the room ({self.state})")
        self.check_loop()
        return self.cloud

    def require_loop(self) -> asyncio.AbstractEventLoop:
        """The Room's loop; RuntimeError before entering or off that loop."""
        if self.loop is None:
            raise RuntimeError("the Room has not entered yet")
        self.check_loop()
        return self.loop

    def check_loop(self) -> None:
        """A Room works on the loop it joined on; say so (and how to fix a test) when used from another."""
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            return  # not in a coroutine: e.g. a sync test reading room.cloud
        if running is not self.loop:
            raise RuntimeError(LOOP_MISMATCH.format(room=self.user_id))

    def call(self, operation: str) -> int | None:
        """Calls a no-argument cloud operation; logs instead of raising (used while entering and leaving)."""
        try:
            result: int = getattr(self.cloud, operation)()
            return result
        except Exception:
            logger.exception("Room %s: %s failed", self.user_id, operation)
            return None

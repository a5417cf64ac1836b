"""Delegate callbacks as typed events on an asyncio event loop.

`AsyncioDelegate` turns each callback into an event object (`lumora_kit.events`)
on the SDK's thread and puts it into an `EventQueue` bound to one loop; the
loop's code takes the events with ``async for`` or ``await events.get()``.
The SDK's thread never waits for the loop (see `lumora_kit.event_queue`), so a
slow consumer costs dropped events, counted, never a stalled SDK thread.
"""

import asyncio
from collections.abc import Callable, Iterable

from .delegate import CALLBACK_NAMES, Delegate
from .event_queue import DropPolicy, EventQueue
from .events import EVENT_TYPES, Event


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


def _bridging(name: str) -> Callable[..., None]:
    event_type = EVENT_TYPES[name]
    fallback = getattr(Delegate, name)

    def method(self: AsyncioDelegate, *args: object) -> None:
        if name in self.bridged_callbacks:
            self.events.put(event_type(*args))
        else:
            fallback(self, *args)

    method.__name__, method.__qualname__ = name, f"AsyncioDelegate.{name}"
    method.__doc__ = f"Queues {event_type.__name__}(...) when {name} is bridged."
    return method


for _name in CALLBACK_NAMES:
    setattr(AsyncioDelegate, _name, _bridging(_name))
del _name

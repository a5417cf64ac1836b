"""A delegate that records every callback, for tests.

Waits come in two kinds: `Recorder.wait_for` and `wait_until` block the
calling thread (for plain tests); `Recorder.wait_for_async` and
`wait_until_async` are awaited on an event loop, which keeps running the
code under test meanwhile.
"""

import asyncio
import threading
import time
from collections.abc import Callable
from typing import Any

import _lumora

from ..delegate import CALLBACK_NAMES

CALLBACKS = list(CALLBACK_NAMES)


class Recorder(_lumora.VELACloudDelegate):
    """Records (callback name, arguments) for every one of the 22 callbacks.

    Callbacks arrive on the SDK's threads; `events` is guarded by `lock`,
    `threads` collects the ids of the threads that delivered them, and
    `changed` is set after each one (`wait_for` uses it)."""

    def __init__(self) -> None:
        super().__init__()
        self.lock = threading.Lock()
        self.events: list[tuple[str, tuple[Any, ...]]] = []
        self.threads: set[int] = set()
        self.changed = threading.Event()
        # Futures of wait_for_async, each with its loop; guarded by `lock`.
        self._async_waiters: list[tuple[asyncio.AbstractEventLoop, asyncio.Future[None]]] = []

    def _record(self, name: str, args: tuple[Any, ...]) -> None:
        with self.lock:
            self.events.append((name, args))
            self.threads.add(threading.get_ident())
            waiters, self._async_waiters = self._async_waiters, []
        self.changed.set()
        for loop, waiter in waiters:
            try:
                loop.call_soon_threadsafe(_settle, waiter)
            except RuntimeError:  # that loop is closed: nobody waits there any more
                pass

    def named(self, name: str) -> list[tuple[Any, ...]]:
        """The arguments of every recorded call of `name`, in order."""
        with self.lock:
            return [args for n, args in self.events if n == name]

    def names(self) -> list[str]:
        with self.lock:
            return [n for n, _ in self.events]

    def clear(self) -> None:
        with self.lock:
            self.events.clear()

    def wait_for(self, name: str, count: int = 1, timeout: float = 5.0) -> list[tuple[Any, ...]]:
        """Waits until `name` has been recorded `count` times; returns those calls.

        Raises TimeoutError naming what did arrive when the time runs out."""
        wait_until(lambda: len(self.named(name)) >= count, timeout, self.changed,
                   lambda: f"{count} x {name}; recorded {self.names()}")
        return self.named(name)

    async def wait_for_async(self, name: str, count: int = 1, timeout: float = 5.0) -> list[tuple[Any, ...]]:
        """`wait_for` for coroutines: awaits until `name` has been recorded `count` times.

        The event loop keeps running meanwhile. Raises TimeoutError naming
        what did arrive when the time runs out."""
        loop = asyncio.get_running_loop()
        try:
            async with asyncio.timeout(timeout):
                while True:
                    with self.lock:
                        calls = [args for n, args in self.events if n == name]
                        if len(calls) >= count:
                            return calls
                        waiter: asyncio.Future[None] = loop.create_future()
                        self._async_waiters.append((loop, waiter))
                    await waiter
        except TimeoutError:
            raise TimeoutError(f"waited {timeout} s for {count} x {name}; recorded {self.names()}") from None


def _settle(waiter: asyncio.Future[None]) -> None:
    if not waiter.done():
        waiter.set_result(None)


async def wait_until_async(predicate: Callable[[], bool], timeout: float,
                           describe: Callable[[], str] | None = None, interval: float = 0.005) -> bool:
    """`wait_until` for coroutines: polls `predicate` every `interval` seconds
    on the running loop until it holds (True) or `timeout` passes (TimeoutError)."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not predicate():
        left = deadline - loop.time()
        if left <= 0:
            what = describe() if describe else getattr(predicate, "__name__", "condition")
            raise TimeoutError(f"waited {timeout} s for {what}")
        await asyncio.sleep(min(left, interval))
    return True


def wait_until(predicate: Callable[[], bool], timeout: float, changed: threading.Event | None = None,
               describe: Callable[[], str] | None = None) -> bool:
    """Polls `predicate` until it holds (True) or `timeout` seconds pass (TimeoutError).

    With `changed`, waits on that event between polls instead of sleeping."""
    deadline = time.monotonic() + timeout
    while not predicate():
        left = deadline - time.monotonic()
        if left <= 0:
            what = describe() if describe else getattr(predicate, "__name__", "condition")
            raise TimeoutError(f"waited {timeout} s for {what}")
        if changed is not None:
            changed.clear()
            if predicate():
                break
            changed.wait(min(left, 0.1))
        else:
            time.sleep(min(left, 0.01))
    return True


def _recording(name: str) -> Callable[..., None]:
    def method(self: Recorder, *args: Any) -> None:
        self._record(name, args)

    method.__name__, method.__qualname__ = name, f"Recorder.{name}"
    return method


def _install_recording_callbacks() -> None:
    for name in CALLBACK_NAMES:
        setattr(Recorder, name, _recording(name))


_install_recording_callbacks()

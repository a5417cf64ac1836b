"""pytest fixtures of the loopback test kit (registered as the pytest plugin "lumora_kit").

- `lumora_sdk` (session): the `SdkControl` of the stand-in SDK; skips the
  test, with the reason, when there is none (e.g. a vendor SDK).
- `lumora_journal`: the same, with the SDK's call journal enabled and
  cleared for the test; cleared and disabled again afterwards.
- `lumora_cloud`: a `WiredCloud` (a cloud whose delegate is a Recorder) for
  injected callbacks: ``lumora_cloud.inject("enter_room")``.
- `lumora_room`: a `LoopbackRoom` with participants "alice" and "bob" in a
  fresh room, each already told of the other; they leave afterwards.
- `lumora_runner`: an `asyncio.Runner` whose loop lasts for the test.
- `lumora_peer`: a second participant as a joined `lumora_kit.Room` (user
  "peer", app id `DEFAULT_APP_ID`, a fresh room; `lumora_peer.app_id` and
  `lumora_peer.room_id` say where), on `lumora_runner`'s loop; it leaves
  after the test.

Async tests: an ``async def`` test that uses `lumora_runner` (directly or
through `lumora_peer`) is run by this plugin on that runner's loop, so the
peer and the test share one loop; no other plugin is needed. (With
pytest-asyncio in auto mode, which takes every ``async def`` test itself,
such tests would run on its loop instead: mark them or keep that plugin in
strict mode.)

Nothing is imported from `_lumora` or the SDK until a fixture is used, so the
plugin loads in any environment.
"""

import asyncio
import gc
import inspect
from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from .room import Room
    from .testing import LoopbackRoom, SdkControl, WiredCloud


@pytest.fixture(scope="session")
def lumora_sdk() -> "SdkControl":
    """The stand-in SDK's control interface; skips when it is not available."""
    try:
        from .testing import ControlUnavailable, load_control
    except ImportError as e:  # the binding itself cannot be loaded
        pytest.skip(f"lumora_kit loopback test kit not available: {e}")
    try:
        return load_control()
    except ControlUnavailable as e:
        pytest.skip(f"lumora_kit loopback test kit not available: {e}")


@pytest.fixture
def lumora_journal(lumora_sdk: "SdkControl") -> Iterator["SdkControl"]:
    """The control interface with a cleared, enabled call journal."""
    # Clouds left for the garbage collector by earlier tests would journal
    # their destruction into this test.
    gc.collect()
    with lumora_sdk.journal_recording():
        yield lumora_sdk


@pytest.fixture
def lumora_cloud(lumora_sdk: "SdkControl") -> Iterator["WiredCloud"]:
    """A cloud with a recording delegate, for injected callbacks."""
    from .testing import WiredCloud

    wired = WiredCloud(lumora_sdk)
    yield wired
    wired.destroy()


@pytest.fixture
def lumora_room(lumora_sdk: "SdkControl") -> Iterator["LoopbackRoom"]:
    """Participants "alice" and "bob" in a fresh loopback room."""
    from .testing import pair

    room = pair(lumora_sdk)
    yield room
    room.leave()


@pytest.fixture
def lumora_runner() -> Iterator[asyncio.Runner]:
    """An event loop for the test (and for `lumora_peer`), closed afterwards."""
    with asyncio.Runner() as runner:
        yield runner


@pytest.fixture
def lumora_peer(lumora_sdk: "SdkControl", lumora_runner: asyncio.Runner) -> Iterator["Room"]:
    """User "peer" in a fresh loopback room, as a joined Room on `lumora_runner`'s loop."""
    from .testing import join_peer

    joining = join_peer("peer")
    room = lumora_runner.run(joining.__aenter__())
    try:
        yield room
    finally:
        lumora_runner.run(joining.__aexit__(None, None, None))


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function) -> bool | None:
    """Runs an ``async def`` test that uses `lumora_runner` on that runner's loop."""
    if "lumora_runner" not in pyfuncitem.fixturenames or not inspect.iscoroutinefunction(pyfuncitem.obj):
        return None
    runner: asyncio.Runner = pyfuncitem.funcargs["lumora_runner"]  # type: ignore[assignment]
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    runner.run(pyfuncitem.obj(**arguments))
    return True

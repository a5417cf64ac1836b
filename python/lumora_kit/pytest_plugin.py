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
- `lumora_room_server`: a started `testing.room_server.RoomServer` (the
  stand-in SDK's local room server) in the test's tmp_path, stopped
  afterwards; ``with lumora_room_server.joined_here():`` points this
  process's clouds at it, `.env()` child processes.

Async tests: a Room works on the loop it joined on, so `lumora_peer` joins
on the loop that runs the test, whichever plugin runs it:

- without another plugin (or with pytest-asyncio in strict mode and no
  ``asyncio`` mark), an ``async def`` test that uses `lumora_runner`
  (directly or through `lumora_peer`) is run by this plugin on that runner's
  loop;
- a test that pytest-asyncio runs (marked, or in auto mode; any loop scope)
  or that anyio's plugin runs (``anyio_backend``) runs on that plugin's loop.

One mix cannot work: pytest-asyncio in auto mode runs every async fixture on
its own loop, also those of a test that anyio's plugin runs on another. A
Room made by such a fixture would be used from the wrong loop, so where
Rooms are in use such a test fails at set-up with what to change (strict
mode, or one plugin for both).

For an async test, `lumora_peer` is a Room that enters the room when the
test starts, on the test's loop, and leaves when it ends (this plugin wraps
such tests at collection); the app id and room id are known before, so an
async fixture can join its own Room beside it. A sync test gets a peer
joined on `lumora_runner`'s loop, for ``lumora_runner.run(...)``. A Room
used from another loop than its own raises a RuntimeError that says how to
give the test and the fixture one loop.

Nothing is imported from `_lumora` or the SDK until a fixture is used, so the
plugin loads in any environment.
"""

import asyncio
import functools
import gc
import inspect
import os
import sys
from collections.abc import Awaitable, Callable, Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from .room import Room
    from .testing import LoopbackRoom, SdkControl, WiredCloud
    from .testing.room_server import RoomServer


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
def lumora_room_server(tmp_path: "os.PathLike[str]") -> Iterator["RoomServer"]:
    """A room server in the test's folder; skips when there is none (vendor SDK)."""
    from .server import ServerNotFound, server_executable
    from .testing.room_server import RoomServer

    try:
        server_executable()
    except ServerNotFound as e:
        pytest.skip(str(e))
    server = RoomServer(tmp_path).start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def lumora_runner() -> Iterator[asyncio.Runner]:
    """An event loop for the test (and for `lumora_peer`), closed afterwards.

    The loop is made on first use only: a test that another plugin runs on
    its own loop never makes this one."""
    runner = asyncio.Runner()
    try:
        yield runner
    finally:
        runner.close()


@pytest.fixture
def lumora_peer(request: pytest.FixtureRequest, lumora_sdk: "SdkControl",
                lumora_runner: asyncio.Runner) -> Iterator["Room"]:
    """User "peer" in a fresh loopback room, as a Room on the test's loop.

    For an async test it enters when the test starts (on whatever loop runs
    the test) and leaves when the test ends; for a sync test it is joined on
    `lumora_runner`'s loop."""
    from .testing import join_peer

    joining = join_peer("peer")
    if getattr(request.node, "obj", None) is not None and getattr(request.node.obj, _ENTERS_PEER, False):
        yield joining.room
        return
    room = lumora_runner.run(joining.__aenter__())
    try:
        yield room
    finally:
        lumora_runner.run(joining.__aexit__(None, None, None))


# ---- Async tests -----------------------------------------------------------------------
# A Room belongs to the loop it joined on, and each async plugin brings its
# own loop, made after the fixtures of the test are set up (anyio) or shared
# with async fixtures of a chosen scope (pytest-asyncio). So the peer is not
# joined by its fixture but by the test itself: its coroutine is wrapped to
# enter the peer first and leave it after, on whatever loop runs it.

_ENTERS_PEER = "_lumora_enters_peer"


def _entering_the_peer(test: Callable[..., Awaitable[object]]) -> Callable[..., Awaitable[object]]:
    @functools.wraps(test)
    async def run(*args: object, **kwargs: object) -> object:
        from .room import JoinRoom, Room

        peer = kwargs.get("lumora_peer")
        if not isinstance(peer, Room) or peer.joined or peer._core.state != "new":
            return await test(*args, **kwargs)
        async with JoinRoom(peer):
            return await test(*args, **kwargs)

    setattr(run, _ENTERS_PEER, True)
    return run


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    """Wraps each ``async def`` test that uses `lumora_peer` so that the peer joins on the test's loop."""
    for item in items:
        if not isinstance(item, pytest.Function) or "lumora_peer" not in item.fixturenames:
            continue
        test = item.obj
        if inspect.iscoroutinefunction(test) and not getattr(test, _ENTERS_PEER, False):
            item.obj = _entering_the_peer(test)


MIXED_LOOPS = (
    "{test} is run by anyio's plugin, but pytest-asyncio in auto mode runs its async fixture(s) {fixtures} on a "
    "loop of its own, so a Room they make would be used from the wrong loop. Use one plugin for both: set "
    "asyncio_mode = strict (anyio then runs the fixtures of its tests itself), or mark the test "
    "@pytest.mark.asyncio instead of anyio")


def _is_async(function: object) -> bool:
    function = inspect.unwrap(function)  # type: ignore[arg-type]
    return inspect.iscoroutinefunction(function) or inspect.isasyncgenfunction(function)


def _fixtures_on_asyncio_loop(item: pytest.Function) -> list[str]:
    """The async fixtures pytest-asyncio in auto mode takes over for a test that anyio runs."""
    config = item.config
    if not config.pluginmanager.hasplugin("asyncio") or item.get_closest_marker("anyio") is None:
        return []
    try:  # the command line's --asyncio-mode wins over the ini setting, as in pytest-asyncio
        mode = config.getoption("asyncio_mode", None) or config.getini("asyncio_mode")
    except ValueError:
        return []
    if mode != "auto":
        return []
    return sorted(name for name, definitions in item._fixtureinfo.name2fixturedefs.items()
                  if any(_is_async(definition.func) for definition in definitions))


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item: pytest.Item) -> None:
    """Fails a test at set-up, saying what to change, where its fixtures and itself would run on two loops."""
    if isinstance(item, pytest.Function) and "lumora_kit.room" in sys.modules:
        fixtures = _fixtures_on_asyncio_loop(item)
        if fixtures:
            pytest.fail(MIXED_LOOPS.format(test=item.name, fixtures=", ".join(fixtures)), pytrace=False)


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem: pytest.Function) -> bool | None:
    """Runs an ``async def`` test that uses `lumora_runner` on that runner's loop.

    Tests that another plugin runs are left to it: pytest-asyncio has made
    its tests synchronous by the time this runs, and anyio's tests have the
    ``anyio_backend`` fixture."""
    if "lumora_runner" not in pyfuncitem.fixturenames or not inspect.iscoroutinefunction(pyfuncitem.obj):
        return None
    if "anyio_backend" in pyfuncitem.funcargs:
        return None
    runner: asyncio.Runner = pyfuncitem.funcargs["lumora_runner"]  # type: ignore[assignment]
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    runner.run(pyfuncitem.obj(**arguments))
    return True

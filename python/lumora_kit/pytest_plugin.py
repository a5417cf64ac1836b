"""pytest fixtures of the loopback test kit (registered as the pytest plugin "lumora_kit").

- `lumora_sdk` (session): the `SdkControl` of the stand-in SDK; skips the
  test, with the reason, when there is none (e.g. a vendor SDK).
- `lumora_journal`: the same, with the SDK's call journal enabled and
  cleared for the test; cleared and disabled again afterwards.
- `lumora_cloud`: a `WiredCloud` (a cloud whose delegate is a Recorder) for
  injected callbacks: ``lumora_cloud.inject("enter_room")``.
- `lumora_room`: a `LoopbackRoom` with participants "alice" and "bob" in a
  fresh room, each already told of the other; they leave afterwards.

Nothing is imported from `_lumora` or the SDK until a fixture is used, so the
plugin loads in any environment.
"""

import gc
from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
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

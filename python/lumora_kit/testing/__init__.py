"""A loopback test kit for test suites of programs that use `_lumora`.

It needs the stand-in SDK (the liblumora.so built from the project's sdk/
folder), whose test-control interface reads the SDK's call journal, makes
the SDK call a delegate with exact arguments, and steers the loopback room
service. With a vendor SDK, `load_control` raises `ControlUnavailable` and the
pytest fixtures skip, both with the reason.

- `load_control()` -> `SdkControl`: journal, injection, wait_idle, quality
  interval, callback error counts, cloud ids, held threads.
- `Recorder`: a delegate recording every callback.
- `WiredCloud`, `LoopbackRoom`, `pair()`: clouds ready for injected calls, and
  participants in a loopback room. They enter with `DEFAULT_APP_ID` (1400)
  and a fresh room id (`new_room_id()`), both exposed as `.app_id` and
  `.room_id`: a program under test enters the same room to meet them.
- `join_peer()`: a `lumora_kit.Room` in a loopback room, for async tests.
- `simulated_talker()`: a participant that joins, talks (and shows a test
  pattern) to a listener, and leaves; for examples and demos run alone.
- Awaitable waits: `Recorder.wait_for_async`, `wait_until_async`.
- Fixtures: the pytest plugin `lumora_kit.pytest_plugin`.

Importing this package imports `_lumora`; `load_control` binds the control functions.
"""

from .control import (
    EVENT, INJECT_KINDS, NEW_THREAD, SYNC, SYNC_LOCKED, ControlUnavailable, CutBytes, InjectMode, JournalEntry,
    SdkControl, default_library_path, load_control, unavailable_reason,
)
from .loopback import DEFAULT_APP_ID, LoopbackRoom, Participant, WiredCloud, enter_params, new_room_id, pair
from .peers import join_peer
from .recorder import CALLBACKS, Recorder, wait_until, wait_until_async
from .simulated import Talk, simulated_talker

__all__ = [
    "CALLBACKS", "DEFAULT_APP_ID", "EVENT", "INJECT_KINDS", "NEW_THREAD", "SYNC", "SYNC_LOCKED", "ControlUnavailable",
    "CutBytes", "InjectMode", "JournalEntry", "LoopbackRoom", "Participant", "Recorder", "SdkControl", "Talk", "WiredCloud",
    "default_library_path", "enter_params", "join_peer", "load_control", "new_room_id", "pair", "simulated_talker", "unavailable_reason",
    "wait_until", "wait_until_async",
]

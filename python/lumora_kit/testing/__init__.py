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
  participants in a loopback room.
- Fixtures: the pytest plugin `lumora_kit.pytest_plugin`.

Importing this package imports `_lumora`; `load_control` binds the control functions.
"""

from .control import (
    EVENT, INJECT_KINDS, NEW_THREAD, SYNC, SYNC_LOCKED, ControlUnavailable, CutBytes, InjectMode, JournalEntry,
    SdkControl, default_library_path, load_control, unavailable_reason,
)
from .loopback import LoopbackRoom, Participant, WiredCloud, enter_params, pair
from .recorder import CALLBACKS, Recorder, wait_until

__all__ = [
    "CALLBACKS", "EVENT", "INJECT_KINDS", "NEW_THREAD", "SYNC", "SYNC_LOCKED", "ControlUnavailable", "CutBytes",
    "InjectMode", "JournalEntry", "LoopbackRoom", "Participant", "Recorder", "SdkControl", "WiredCloud",
    "default_library_path", "enter_params", "load_control", "pair", "unavailable_reason", "wait_until",
]

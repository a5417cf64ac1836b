"""The stand-in SDK's test-control interface, as the module-level names the
tests and benchmarks use; the implementation is lumora_kit.testing.

The library is the one named by the environment variable LUMORA_SDK_LIBRARY,
else the liblumora.so installed beside the _lumora module. Importing this
module raises lumora_kit.testing.ControlUnavailable when that library has no
control interface.
"""

from typing import Any

from lumora_kit.testing import EVENT, NEW_THREAD, SYNC, SYNC_LOCKED, CutBytes, load_control  # noqa: F401

control = load_control()
lib, lib_locked, LIBRARY_PATH, MISSING = control.lib, control.lib_locked, control.path, control.missing


def __getattr__(name: str) -> Any:
    # journal(), inject(), wait_idle(), start_held_thread(), ...: the SdkControl's methods.
    return getattr(control, name)

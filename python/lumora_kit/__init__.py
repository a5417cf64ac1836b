"""Companion package of the `_lumora` module.

- `Delegate`: a delegate base class whose 22 callbacks are all defined, so a
  subclass redefines only the ones it needs.
- `AsyncioDelegate`, `EventQueue`, `DropPolicy` and the `events` module: the
  callbacks as typed events on an asyncio event loop, through a bounded queue.
- `Room` (`Room.join`): one participant in a room on an asyncio loop, with
  its streams (`Stream`) of remote frames and events and its paced sources
  (`AudioSource`, `VideoSource`); see docs/room.md.
- `LumoraError`, `LumoraTimeoutError` and `check(result, operation=None)`: SDK
  result codes as exceptions.
- `lumora_kit.testing` and the pytest plugin `lumora_kit.pytest_plugin`: the
  stand-in SDK's test-control interface and fixtures for test suites.
- `__version__`: the version of the installed distribution `lumora-kit`
  ("0.1.0", or "0.1.0+vendor" when built against a vendor SDK).

Importing this package does not import `_lumora`: the names above are loaded
on first use. The pytest plugin is loaded by every pytest run in an
environment where this distribution is installed, and it must not fail there
when the binding cannot be loaded.
"""

import importlib
from typing import TYPE_CHECKING


if TYPE_CHECKING:
    from . import events
    from .asyncio_bridge import AsyncioDelegate
    from .event_queue import DropPolicy, EventQueue
    from .delegate import CALLBACK_NAMES, OPTIONAL_CALLBACKS, REQUIRED_CALLBACKS, Delegate
    from .errors import LumoraError, LumoraTimeoutError, check
    from .room import JoinRoom, Room
    from .room_events import RemoteUser
    from .sources import AudioSource, SourceStats, VideoSource
    from .streams import Stream, StreamEnded

__all__ = [
    "CALLBACK_NAMES", "OPTIONAL_CALLBACKS", "REQUIRED_CALLBACKS", "AsyncioDelegate", "AudioSource", "Delegate",
    "DropPolicy", "EventQueue", "JoinRoom", "LumoraError", "LumoraTimeoutError", "RemoteUser", "Room", "SourceStats",
    "Stream", "StreamEnded", "VideoSource", "check", "events",
]

__version__: str  # read from the distribution's metadata on first use

# Public name -> the submodule that defines it.
_LAZY = {
    "CALLBACK_NAMES": "delegate", "OPTIONAL_CALLBACKS": "delegate", "REQUIRED_CALLBACKS": "delegate",
    "Delegate": "delegate", "AsyncioDelegate": "asyncio_bridge", "DropPolicy": "event_queue",
    "EventQueue": "event_queue", "LumoraError": "errors", "LumoraTimeoutError": "errors", "check": "errors",
    "JoinRoom": "room", "RemoteUser": "room_events", "Room": "room", "AudioSource": "sources", "SourceStats": "sources",
    "VideoSource": "sources", "Stream": "streams", "StreamEnded": "streams",
}


def _distribution_version() -> str:
    # importlib.metadata takes longer to import than this package: only on demand.
    from importlib import metadata

    try:
        return metadata.version("lumora-kit")
    except metadata.PackageNotFoundError:  # imported from a source tree, not installed
        return "0+unknown"


def __getattr__(name: str) -> object:
    # Each name is loaded from its submodule the first time it is asked for, and kept in the
    # package's globals so later look-ups find it there without coming back here.
    if name == "__version__":
        value: object = _distribution_version()
    elif name == "events":
        value = importlib.import_module(".events", __name__)
    elif name in _LAZY:
        value = getattr(importlib.import_module("." + _LAZY[name], __name__), name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))

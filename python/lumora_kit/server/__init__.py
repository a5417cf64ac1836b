"""The local room server's launcher: ``lumora-room`` and ``python -m lumora_kit.server``.

The server is a small C++ program built with the stand-in SDK and installed
beside this file (``lumora-room-server``); the launcher finds it and runs it
in place of the Python process, so signals (Ctrl-C, SIGTERM) reach it
directly. Programs join its rooms when the environment variable
``LUMORA_ROOM_SERVER`` names the address it prints (docs/room-server.md).

A build against a vendor SDK has no room server: its programs meet in the
vendor's service.
"""

from __future__ import annotations

import os
import sys
import sysconfig
from pathlib import Path

__all__ = ["SERVER_VARIABLE", "ServerNotFound", "main", "server_executable"]

#: The environment variable that points the stand-in SDK at a room server.
SERVER_VARIABLE = "LUMORA_ROOM_SERVER"

_EXECUTABLE = "lumora-room-server"


class ServerNotFound(RuntimeError):
    """No room server executable: a vendor SDK build, or an incomplete install."""


def server_executable() -> Path:
    """The installed ``lumora-room-server``.

    Looked for beside this package, then (for a checkout on PYTHONPATH) in the
    environment's installed copy of the package; ``LUMORA_ROOM_SERVER_BINARY``
    overrides both.
    """
    override = os.environ.get("LUMORA_ROOM_SERVER_BINARY")
    candidates = [Path(override)] if override else []
    candidates.append(Path(__file__).with_name(_EXECUTABLE))
    for key in ("platlib", "purelib"):
        candidates.append(Path(sysconfig.get_paths()[key]) / "lumora_kit" / "server" / _EXECUTABLE)
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    raise ServerNotFound(
        f"no {_EXECUTABLE} found (looked in {', '.join(str(c.parent) for c in candidates)}); "
        "the room server is built with the stand-in SDK, not with a vendor SDK (LUMORA_SDK_ROOT)")


def main(argv: list[str] | None = None) -> int:
    """Runs the room server with these arguments (default: the command line's)."""
    args = sys.argv[1:] if argv is None else argv
    try:
        executable = server_executable()
    except ServerNotFound as error:
        print(f"lumora-room: {error}", file=sys.stderr)
        return 1
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(executable, ["lumora-room", *args])

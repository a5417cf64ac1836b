"""A room server for a test, and participants that run in processes of their own.

`RoomServer` starts the stand-in SDK's room server (``lumora-room-server``)
on a Unix socket in a folder of the test's, and stops it afterwards. It can
kill, pause, resume and restart the server to rehearse faults, and reads
the server's counters (`stats`) and log (`log`).

Programs reach the server through the environment variable
``LUMORA_ROOM_SERVER``: `RoomServer.env()` is an environment for child
processes, and ``with server.joined_here():`` points this process's clouds
at it (each EnterRoom reads the variable) and restores the old value after.

`spawn_participant` runs a Python file in a child process pointed at the
server; the child prints what it wants to report, one line each, and the
test reads the lines (`ParticipantProcess.wait_for`) or its last JSON line
(`ParticipantProcess.result`).

The pytest plugin's ``lumora_room_server`` fixture is a started RoomServer in
the test's tmp_path.
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any

from ..server import SERVER_VARIABLE, server_executable

__all__ = ["ParticipantProcess", "RoomServer", "spawn_participant"]

_SOCKET_PATH_LIMIT = 100
_STATS_REQUEST = struct.pack("<IB", 1, 5)
_STATS_REPLY = 26


class RoomServer:
    """The room server in `folder` (its socket ``room.sock``, its log ``server.log``)."""

    def __init__(self, folder: str | os.PathLike[str], *, args: Sequence[str] = ()) -> None:
        self.folder = Path(folder)
        self.socket_path = self.folder / "room" / "room.sock"
        if len(os.fsencode(self.socket_path)) > _SOCKET_PATH_LIMIT:
            # A Unix socket's path has room for about a hundred bytes; a deep
            # test folder gets a short private one beside /tmp's.
            self.socket_path = Path(tempfile.mkdtemp(prefix="lumora-room-")) / "room" / "room.sock"
        self.log_path = self.folder / "server.log"
        self.args = list(args)
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def address(self) -> str:
        """The value of LUMORA_ROOM_SERVER that reaches this server."""
        return f"unix:{self.socket_path}"

    def env(self, base: Mapping[str, str] | None = None) -> dict[str, str]:
        """`base` (default: this process's environment) pointed at this server."""
        env = dict(os.environ if base is None else base)
        env[SERVER_VARIABLE] = self.address
        return env

    def start(self, timeout: float = 20.0) -> RoomServer:
        """Starts the server and waits until it accepts connections."""
        if self.process is not None and self.process.poll() is None:
            raise RuntimeError("the room server is already running")
        self.folder.mkdir(parents=True, exist_ok=True)
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen(
                [str(server_executable()), "--socket", str(self.socket_path), *self.args],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the room server ended at start (exit {self.process.returncode}): {self.log()}")
            with contextlib.suppress(OSError), socket.socket(socket.AF_UNIX) as probe:
                probe.connect(str(self.socket_path))
                return self
            time.sleep(0.02)
        raise TimeoutError(f"the room server did not listen within {timeout} s: {self.log()}")

    def stop(self, timeout: float = 10.0) -> int | None:
        """Stops the server (SIGTERM, then SIGKILL after `timeout`); its exit status."""
        process, self.process = self.process, None
        if process is None:
            return None
        if process.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(process.pid, signal.SIGCONT)
            process.terminate()
            try:
                return process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
        return process.wait()

    def kill(self) -> None:
        """Kills the server with SIGKILL, as a crash would."""
        process, self.process = self.process, None
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()

    def pause(self) -> None:
        """Stops the server process (SIGSTOP): it neither reads nor answers."""
        assert self.process is not None
        os.kill(self.process.pid, signal.SIGSTOP)

    def resume(self) -> None:
        assert self.process is not None
        os.kill(self.process.pid, signal.SIGCONT)

    def restart(self, timeout: float = 20.0) -> RoomServer:
        self.stop()
        return self.start(timeout)

    def stats(self, timeout: float = 10.0) -> dict[str, Any]:
        """The server's counters: connections, rooms, members, joins, leaves,
        drops, forwarded and dropped messages, connections closed as
        malformed, slow or silent, and each connection's queue."""
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(timeout)
            s.connect(str(self.socket_path))
            s.sendall(_STATS_REQUEST)
            while True:
                length, kind = struct.unpack("<IB", _read_exact(s, 5))
                payload = _read_exact(s, length - 1)
                if kind == _STATS_REPLY:
                    (size,) = struct.unpack_from("<I", payload)
                    result: dict[str, Any] = json.loads(payload[4:4 + size])
                    return result

    def log(self) -> str:
        """What the server printed so far."""
        try:
            return self.log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    @contextlib.contextmanager
    def joined_here(self) -> Iterator[RoomServer]:
        """Points this process's clouds at the server while the block runs."""
        old = os.environ.get(SERVER_VARIABLE)
        os.environ[SERVER_VARIABLE] = self.address
        try:
            yield self
        finally:
            if old is None:
                os.environ.pop(SERVER_VARIABLE, None)
            else:
                os.environ[SERVER_VARIABLE] = old

    def __enter__(self) -> RoomServer:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()


def _read_exact(s: socket.socket, n: int) -> bytes:
    data = bytearray()
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            raise ConnectionError("the room server closed the connection")
        data += chunk
    return bytes(data)


class ParticipantProcess:
    """A participant running in a child process (see `spawn_participant`)."""

    def __init__(self, process: subprocess.Popen[str]) -> None:
        self.process = process
        self.lines: list[str] = []

    def wait_for(self, prefix: str, timeout: float = 60.0) -> str:
        """Reads the child's output up to a line starting with `prefix`; that line."""
        deadline = time.monotonic() + timeout
        for line in self.lines:
            if line.startswith(prefix):
                return line
        assert self.process.stdout is not None
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            line = line.rstrip("\n")
            self.lines.append(line)
            if line.startswith(prefix):
                return line
        raise TimeoutError(f"no line {prefix!r} from the participant (exit {self.process.poll()}): {self.lines[-20:]}")

    def result(self, timeout: float = 120.0) -> Any:
        """Waits for the child to end successfully; its last line, read as JSON."""
        out, _ = self.process.communicate(timeout=timeout)
        self.lines.extend(out.splitlines())
        if self.process.returncode != 0:
            raise RuntimeError(f"the participant ended with {self.process.returncode}: {self.lines[-20:]}")
        return json.loads(self.lines[-1])

    def signal(self, number: int) -> None:
        self.process.send_signal(number)

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


def spawn_participant(script: str | os.PathLike[str], *args: str, server: RoomServer | None = None,
                      env: Mapping[str, str] | None = None) -> ParticipantProcess:
    """Runs ``python script args...`` with its output piped back, pointed at
    `server` when given. The child's standard error goes to the test's."""
    child_env = dict(os.environ if env is None else env)
    if server is not None:
        child_env = server.env(child_env)
    child_env.setdefault("PYTHONUNBUFFERED", "1")
    # The checkout's package, when the test runs on one, is the child's too.
    child_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    process = subprocess.Popen([sys.executable, os.fspath(script), *args], stdout=subprocess.PIPE, text=True,
                               env=child_env, stdin=subprocess.DEVNULL)
    return ParticipantProcess(process)

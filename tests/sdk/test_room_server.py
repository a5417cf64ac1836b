"""The room server on its own, spoken to in its wire format (sdk/net/wire.h):
its command line and socket permissions, joining and forwarding, and
malformed, truncated, oversized and random messages, each of which closes
only the connection that sent it."""

import os
import random
import socket
import stat
import struct
import subprocess
import threading
import time

import pytest

from lumora_kit.server import ServerNotFound, server_executable
from lumora_kit.testing.room_server import RoomServer

try:
    SERVER = server_executable()
except ServerNotFound as e:  # a vendor SDK build has no room server
    pytest.skip(str(e), allow_module_level=True)

JOIN, LEAVE, PING, JOINED, REFUSED, PEER_ENTER, COMMAND = 1, 2, 6, 20, 21, 22, 44
MAX_MESSAGE = 16 << 20


def frame(kind: int, payload: bytes) -> bytes:
    return struct.pack("<IB", len(payload) + 1, kind) + payload


def text(value: bytes) -> bytes:
    return struct.pack("<I", len(value)) + value


def join(user: bytes, room: int = 5, version: int = 1) -> bytes:
    return frame(JOIN, struct.pack("<III", version, 1400, room) + text(b"") + text(user) + b"\0" + struct.pack("<I", 0))


def command(user: bytes, seq: int, message: bytes) -> bytes:
    return frame(COMMAND, text(user) + struct.pack("<III", 1, seq, 1)[:8] + b"\1\1" + text(message))


class Client:
    """A raw connection to the server."""

    def __init__(self, server: RoomServer) -> None:
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(10)
        self.sock.connect(str(server.socket_path))

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def read(self, wanted: int) -> bytes:
        """The payload of the next message of kind `wanted` (heartbeats and others skipped)."""
        deadline = time.monotonic() + 10
        while True:
            assert time.monotonic() < deadline, f"no message of kind {wanted}"
            length, kind = struct.unpack("<IB", self._exact(5))
            payload = self._exact(length - 1)
            if kind == wanted:
                return payload

    def closed(self) -> bool:
        """Whether the server closed this connection (reads until end of stream, bounded)."""
        deadline = time.monotonic() + 10
        try:
            while time.monotonic() < deadline:
                if not self.sock.recv(65536):
                    return True
        except (ConnectionResetError, BrokenPipeError):
            return True
        except TimeoutError:
            return False
        return False

    def _exact(self, n: int) -> bytes:
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def close(self) -> None:
        self.sock.close()


def test_help_says_why_other_addresses_are_refused():
    shown = subprocess.run([SERVER, "--help"], capture_output=True, text=True, timeout=30)
    assert shown.returncode == 0 and "encryption" in shown.stdout and "127.0.0.1" in shown.stdout
    refused = subprocess.run([SERVER, "--tcp", "0", "--host", "0.0.0.0"], capture_output=True, text=True, timeout=30)
    assert refused.returncode == 2
    assert "--allow-any-address" in refused.stderr and "no encryption" in refused.stderr


def test_tcp_listens_on_loopback_and_prints_the_address(tmp_path):
    log = tmp_path / "log"
    with open(log, "wb") as out:
        server = subprocess.Popen([SERVER, "--tcp", "0"], stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 20
        while "LUMORA_ROOM_SERVER=tcp:127.0.0.1:" not in log.read_text():
            assert time.monotonic() < deadline and server.poll() is None, log.read_text()
            time.sleep(0.05)
        port = int(log.read_text().split("LUMORA_ROOM_SERVER=tcp:127.0.0.1:")[1].split()[0])
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(join(b"tcp-user"))
            length, kind = struct.unpack("<IB", s.recv(5, socket.MSG_WAITALL))
            while kind == PING:
                s.recv(length - 1, socket.MSG_WAITALL)
                length, kind = struct.unpack("<IB", s.recv(5, socket.MSG_WAITALL))
            assert kind == JOINED
    finally:
        server.terminate()
        assert server.wait(20) == 0


def test_the_socket_is_private_to_the_user(lumora_room_server):
    folder = lumora_room_server.socket_path.parent
    assert stat.S_IMODE(folder.stat().st_mode) == 0o700
    assert stat.S_IMODE(lumora_room_server.socket_path.stat().st_mode) == 0o600
    assert f"listening on unix:{lumora_room_server.socket_path}" in lumora_room_server.log()


def test_a_second_server_on_the_same_socket_is_refused(lumora_room_server):
    second = subprocess.run([SERVER, "--socket", str(lumora_room_server.socket_path)], capture_output=True, text=True,
                            timeout=30)
    assert second.returncode == 1 and "already listens" in second.stderr


def test_members_are_introduced_and_messages_forwarded_unchanged(lumora_room_server):
    a, b = Client(lumora_room_server), Client(lumora_room_server)
    a.send(join(b"a"))
    assert a.read(JOINED) == struct.pack("<I", 0)
    b.send(join(b"b"))
    assert b.read(JOINED) == struct.pack("<I", 1) + text(b"a") + b"\0" + struct.pack("<I", 0)
    assert a.read(PEER_ENTER) == text(b"b") + b"\0" + struct.pack("<I", 0)
    sent = command(b"a", 1, b"\0\xffbytes as they are")
    a.send(sent)
    assert b.read(COMMAND) == sent[5:]
    # The same user id twice in a room is refused; a message in another's name closes the sender.
    c = Client(lumora_room_server)
    c.send(join(b"a"))
    code, = struct.unpack_from("<i", c.read(REFUSED))
    assert code == -3301
    b.send(command(b"a", 1, b"not mine"))
    assert b.closed()
    assert "a message sent in the name of 'a'" in lumora_room_server.log() or "drop room" in lumora_room_server.log()
    for client in (a, c):
        client.close()


@pytest.mark.parametrize("bad", [
    struct.pack("<IB", MAX_MESSAGE + 1, COMMAND),           # oversized
    struct.pack("<IB", 0, 0),                               # a length that leaves no kind
    frame(99, b"unknown kind"),
    join(b"a")[:-3] + b"",                                  # truncated: the length promises more, then a join
    frame(JOIN, b"\1\0\0\0" + b"\xff" * 20),                # a string longer than the message
    join(b"v", version=77),                                 # refused, not closed: checked below
    frame(COMMAND, text(b"x")),                             # media before joining
    frame(JOINED, struct.pack("<I", 0)),                    # a server's message from a client
])
def test_a_bad_message_closes_only_its_connection(lumora_room_server, bad):
    good = Client(lumora_room_server)
    good.send(join(b"good"))
    good.read(JOINED)
    offender = Client(lumora_room_server)
    offender.send(bad)
    if bad == join(b"v", version=77):
        assert offender.read(REFUSED)
    elif bad.startswith(join(b"a")[:-3]):
        offender.send(join(b"a"))  # the rest of the "message" is the next one's bytes
        assert offender.closed()
    else:
        assert offender.closed()
    # The server goes on for everyone else.
    good.send(frame(PING, b""))
    other = Client(lumora_room_server)
    other.send(join(b"other"))
    other.read(JOINED)
    assert good.read(PEER_ENTER) == text(b"other") + b"\0" + struct.pack("<I", 0)


def mutated(rng: random.Random, valid: list[bytes]) -> bytes:
    message = bytearray(rng.choice(valid))
    how = rng.randrange(4)
    if how == 0:  # flip bytes anywhere, the header included
        for _ in range(rng.randint(1, 4)):
            message[rng.randrange(len(message))] = rng.randrange(256)
    elif how == 1:  # cut short
        message = message[:rng.randrange(1, len(message))]
    elif how == 2:  # lie about the length
        message[0:4] = struct.pack("<I", rng.choice([0, 1, 3, MAX_MESSAGE + rng.randrange(1, 1 << 30)]))
    else:  # random bytes after a valid header
        message = message[:5] + rng.randbytes(rng.randrange(0, 64))
    return bytes(message)


def test_random_and_mutated_messages_never_bring_the_server_down(lumora_room_server):
    rng = random.Random(2812)
    room = Client(lumora_room_server)
    room.send(join(b"listener", room=77))
    room.read(JOINED)
    valid = [join(b"fuzz"), command(b"fuzz", 1, b"hello"), frame(PING, b""), frame(LEAVE, struct.pack("<I", 0)),
             frame(4, text(b"listener") + struct.pack("<I", 2))]
    deadline = time.monotonic() + 20
    sent = 0
    while sent < 300 and time.monotonic() < deadline:
        fuzz = Client(lumora_room_server)
        try:
            for _ in range(rng.randint(1, 5)):
                fuzz.send(rng.randbytes(rng.randrange(1, 200)) if rng.random() < 0.3 else mutated(rng, valid))
                sent += 1
        except (BrokenPipeError, ConnectionResetError):
            pass  # closed already: as it should be
        fuzz.close()
    assert lumora_room_server.process is not None and lumora_room_server.process.poll() is None
    stats = lumora_room_server.stats()
    assert stats["closed_malformed"] > 0
    # Still serving: a newcomer meets the listener, which was never disturbed.
    newcomer = Client(lumora_room_server)
    newcomer.send(join(b"newcomer", room=77))
    assert newcomer.read(JOINED) == struct.pack("<I", 1) + text(b"listener") + b"\0" + struct.pack("<I", 0)
    room.read(PEER_ENTER)
    # One line per closed connection, never a crash report.
    log = lumora_room_server.log()
    assert log.count("closed conn=") + log.count("drop room=") >= stats["closed_malformed"]
    assert "stopping" not in log



def test_a_member_that_leaves_and_closes_at_once_is_a_leave_while_messages_wait_for_it(lumora_room_server):
    # A member that sends LEAVE and closes at once may make the server's next
    # write to it fail before the server has read that LEAVE: it is still a
    # leave (reason 0) to the others, not a drop. Another member floods the
    # leaver with commands meanwhile, which keeps the server busy reading
    # while the leaver closes.
    rounds = 30
    flood = command(b"flooder", 1, b"x" * 60000) * 20
    for round_ in range(rounds):
        flooder, leaver = Client(lumora_room_server), Client(lumora_room_server)
        flooder.send(join(b"flooder", room=100 + round_))
        flooder.read(JOINED)
        leaver.send(join(b"leaver", room=100 + round_))
        leaver.read(JOINED)
        flooder.send(flood)
        sending = threading.Thread(target=flooder.send, args=(flood,))
        sending.start()
        leaver.send(frame(LEAVE, struct.pack("<I", 0)))
        leaver.close()
        sending.join()
        flooder.close()

    def departures() -> list[str]:
        return [line for line in lumora_room_server.log().splitlines()
                if "user=leaver" in line and not line.startswith("lumora-room: join")]

    deadline = time.monotonic() + 30
    while len(departures()) < rounds:
        assert time.monotonic() < deadline, lumora_room_server.log()[-2000:]
        time.sleep(0.05)
    assert [line.split()[1] for line in departures()] == ["leave"] * rounds, departures()

"""Names from users handed to the player and the recorder: a local file, or what the program allows, bounded.

Every network peer here is a local socket: a listener that accepts and never
answers, which also tells whether anyone connected to it. Each wait has a
generous bound; a source that hangs is released at the end of its test (its
pipe closed, its listener reached), so a failure does not hang the run.
"""

import asyncio
import os
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

from av_tools import ffmpeg, make_file, probe, require_tools

BOUND_S = 60  # what any one open or recording may take here, on a loaded machine


@pytest.fixture(scope="module")
def np():
    return require_tools()


class Listener:
    """A local TCP port that counts who connected; silent, or answering HTTP with `body` (its first `part`
    bytes, then nothing: a peer that stalls)."""

    def __init__(self, body=None, part=None):
        self.body, self.part = body, part
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.connections = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return
            self.connections.append(connection)
            if self.body is not None:
                request = b""
                while b"\r\n\r\n" not in request:
                    request += connection.recv(4096)
                head = f"HTTP/1.0 200 OK\r\nContent-Length: {len(self.body)}\r\n\r\n".encode()
                connection.sendall(head + self.body[:self.part])
                if self.part is None:
                    connection.close()

    def close(self):
        self.socket.close()
        for connection in self.connections:
            connection.close()


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as probe_socket:
        return probe_socket.getsockname()[1]


def release_listen(url):
    """Connects to what a ``?listen=1`` source may have opened, so an open stuck in accept() ends."""
    port = int(url.split(":")[2].split("?")[0].split("/")[0])
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    except OSError:
        pass


@pytest.fixture
def world(tmp_path, monkeypatch):
    """A folder of files, a pipe nobody writes and a silent listener; all released afterwards."""
    monkeypatch.chdir(tmp_path)
    make_file(tmp_path / "upload.wav", 1, frequency=440, video=False)
    (tmp_path / "secret.txt").write_bytes(b"the server's secret\n" * 2000)
    read_end, write_end = os.pipe()
    fifo = tmp_path / "fifo.wav"
    os.mkfifo(fifo)
    listener = Listener()
    world = dict(folder=tmp_path, pipe=read_end, fifo=str(fifo), listener=listener, port=listener.port,
                 listen=f"tcp://127.0.0.1:{free_port()}?listen=1")
    # An open stuck on the FIFO may hold the loop itself, so teardown would never come: a watchdog frees it.
    watchdog = threading.Timer(BOUND_S, release_fifo, (fifo,))
    watchdog.daemon = True
    watchdog.start()
    yield world
    watchdog.cancel()
    os.close(write_end)  # a read stuck on the pipe ends
    release_fifo(fifo)
    release_listen(world["listen"])
    listener.close()
    os.close(read_end)


def release_fifo(fifo):
    """Opens the other end of `fifo` for a moment, so that an open stuck waiting for it returns."""
    for flags in (os.O_WRONLY | os.O_NONBLOCK, os.O_RDONLY | os.O_NONBLOCK):
        try:
            os.close(os.open(fifo, flags))
        except OSError:
            pass


async def play(room, source, **options):
    from lumora_kit.av import MediaPlayer
    player = MediaPlayer(source, **options)
    await asyncio.wait_for(player.play(room), BOUND_S)
    return player


async def record(room, path, **options):
    from lumora_kit.av import MediaRecorder
    recorder = MediaRecorder(path, **options)
    await asyncio.wait_for(recorder.start(room), BOUND_S)
    await asyncio.sleep(0.3)
    await asyncio.wait_for(recorder.stop(), BOUND_S)
    return recorder


NOT_A_LOCAL_FILE = r"opened only as a local file; to open a URL, name the protocols"

# Each shape: what is opened, how, the exception that refuses or bounds it, and its message.
HOSTILE = {
    "concat joins another file": (play, "concat:upload.wav|secret.txt", {}, ValueError, NOT_A_LOCAL_FILE),
    "subfile cuts another file": (play, "subfile,,start,0,end,0,,:secret.txt", {}, ValueError, NOT_A_LOCAL_FILE),
    "tcp listens": (play, "{listen}", {}, ValueError, NOT_A_LOCAL_FILE),
    "pipe reads another descriptor": (play, "pipe:{pipe}", {}, ValueError, NOT_A_LOCAL_FILE),
    "http connects out": (play, "http://127.0.0.1:{port}/upload.wav", {}, ValueError, NOT_A_LOCAL_FILE),
    "a FIFO nobody writes": (play, "{fifo}", {}, ValueError, "not a regular file"),
    "the recorder streams out": (record, "tcp://127.0.0.1:{port}/call.wav", {}, ValueError,
                                 r"written only as a local file; to open a URL, name the protocols"),
    "the recorder writes a FIFO": (record, "{fifo}", {}, ValueError, "not a regular file"),
    "http allowed but not the tcp under it": (play, "http://127.0.0.1:{port}/upload.wav", dict(protocols={"http"}),
                                              Exception, "Invalid argument"),
    "http that never answers": (play, "http://127.0.0.1:{port}/upload.wav",
                                dict(protocols={"http", "tcp"}, timeout=1), TimeoutError, "more than 1 s to open"),
    "tcp that nobody calls": (play, "{listen}", dict(protocols={"tcp"}, timeout=1), TimeoutError,
                              "more than 1 s to open"),
    "the recorder listens on tcp": (record, "{listen}", dict(format="wav", protocols={"tcp"}, timeout=1),
                                    TimeoutError, "more than 1 s to connect"),
}


@pytest.mark.parametrize("shape", HOSTILE)
async def test_a_hostile_name_is_refused_or_bounded(lumora_runner, lumora_peer, np, world, shape):
    opener, name, options, error, message = HOSTILE[shape]
    name = name.format(**world)
    with pytest.raises(error, match=message) as caught:
        await opener(lumora_peer, name, **options)
    if isinstance(caught.value, TimeoutError):
        assert name in str(caught.value)
    else:
        assert name in str(caught.value) or caught.value.filename == name
    explicit = "protocols" in options and "tcp" in options["protocols"]
    assert bool(world["listener"].connections) == (explicit and "{port}" in HOSTILE[shape][1])
    assert sorted(p.name for p in world["folder"].iterdir()) == ["fifo.wav", "secret.txt", "upload.wav"]


async def test_a_name_that_looks_like_a_url_is_the_local_file(lumora_runner, lumora_peer, np, world):
    folder = world["folder"]
    # A file whose name reads to FFmpeg as the concat protocol over two others is that one file.
    make_file(folder / "tone.wav", 1, frequency=880, video=False)
    odd = "concat:upload.wav|tone.wav"
    os.rename(make_file(folder / "short.wav", 0.5, frequency=660, video=False), folder / odd)
    player = await play(lumora_peer, odd)
    assert player.info.duration == pytest.approx(0.5, abs=0.05)
    # A local playlist still plays its local segments: the protocol list reaches what a file opens.
    ffmpeg("-f", "lavfi", "-i", "sine=f=550:d=2", "-f", "hls", "-hls_time", "1", "-hls_list_size", "0",
           folder / "list.m3u8")
    player = await play(lumora_peer, "list.m3u8")
    assert player.stats().audio_seconds == pytest.approx(2.0, abs=0.2)
    # The recorder writes files of such names where they are; nothing reaches the pipe or the listener.
    os.makedirs(folder / f"tcp:/127.0.0.1:{world['port']}")
    names = [f"pipe:{world['pipe']}", f"tcp://127.0.0.1:{world['port']}/call.wav"]
    for name in names:
        await record(lumora_peer, name, format="wav")
        assert probe(folder / name)["format"]["format_name"] == "wav"
    os.set_blocking(world["pipe"], False)
    with pytest.raises(BlockingIOError):
        os.read(world["pipe"], 1)
    assert world["listener"].connections == []


def test_protocols_timeout_and_options_are_checked(np):
    from lumora_kit.av import MediaPlayer, MediaRecorder
    for make in (MediaPlayer, lambda name, **options: MediaRecorder(name + ".wav", **options)):
        with pytest.raises(TypeError, match="collection of protocol names"):
            make("http://x/a", protocols="http")
        with pytest.raises(ValueError, match="at least one protocol"):
            make("http://x/a", protocols=set())
        with pytest.raises(ValueError, match="not a protocol name"):
            make("http://x/a", protocols={"http,concat"})
        for timeout in (0, -1, float("inf"), float("nan")):
            with pytest.raises(ValueError, match="timeout is a positive number"):
                make("http://x/a", protocols={"http", "tcp"}, timeout=timeout)
        with pytest.raises(ValueError, match="protocol_whitelist in options is not taken"):
            make("concat:a|b", options={"protocol_whitelist": "file,concat"})


@pytest.mark.parametrize("shape", ["pipe nobody writes", "http that never answers"])
def test_a_cancelled_open_does_not_keep_the_process(np, shape, tmp_path):
    """play() on a source that never answers, cancelled after 3 s: asyncio.run returns and the process ends."""
    listener = Listener()
    read_end, write_end = os.pipe()
    source, protocols = {
        "pipe nobody writes": (f"pipe:{read_end}", {"pipe"}),
        "http that never answers": (f"http://127.0.0.1:{listener.port}/a.wav", {"http", "tcp"}),
    }[shape]
    code = textwrap.dedent(f"""
        import asyncio
        from lumora_kit.av import MediaPlayer
        from lumora_kit.testing import join_peer

        async def main():
            async with join_peer("player") as room:
                playing = asyncio.create_task(MediaPlayer({source!r}, protocols={protocols!r}).play(room))
                await asyncio.sleep(3)
                playing.cancel()
                try:
                    await playing
                except asyncio.CancelledError:
                    print("cancelled", flush=True)

        asyncio.run(main())
        print("returned", flush=True)
    """)
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                              env=dict(os.environ), timeout=BOUND_S, pass_fds=(read_end,))
    finally:
        os.close(write_end)
        os.close(read_end)
        listener.close()
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["cancelled", "returned"]


async def test_a_url_plays_with_its_protocols_named_and_a_stalled_read_ends_it(lumora_runner, lumora_peer, np,
                                                                               tmp_path):
    body = make_file(tmp_path / "talk.wav", 2, frequency=440, video=False).read_bytes()
    whole, stalled = Listener(body), Listener(body, part=len(body) // 2)
    try:
        player = await play(lumora_peer, f"http://127.0.0.1:{whole.port}/talk.wav", protocols={"http", "tcp"})
        assert player.stats().audio_seconds == pytest.approx(2.0, abs=0.15)
        assert player.stats().read_errors == 0
        # Half the file, then nothing: the read gives up after the timeout and what came is played.
        player = await play(lumora_peer, f"http://127.0.0.1:{stalled.port}/talk.wav", protocols={"http", "tcp"},
                            timeout=1)
        assert player.stats().audio_seconds == pytest.approx(1.0, abs=0.15)
        assert player.stats().read_errors == 1
    finally:
        whole.close()
        stalled.close()


async def test_a_recording_goes_out_through_the_protocols_named(lumora_runner, lumora_peer, np, tmp_path,
                                                                monkeypatch):
    monkeypatch.chdir(tmp_path)
    receiver = socket.create_server(("127.0.0.1", 0))
    received = bytearray()

    def take():
        connection, _ = receiver.accept()
        with connection:
            while data := connection.recv(65536):
                received.extend(data)

    taking = threading.Thread(target=take, daemon=True)
    taking.start()
    try:
        await record(lumora_peer, f"tcp://127.0.0.1:{receiver.getsockname()[1]}", format="wav", protocols={"tcp"})
        taking.join(BOUND_S)
    finally:
        receiver.close()
    assert not taking.is_alive()
    (tmp_path / "received.wav").write_bytes(received)
    assert probe(tmp_path / "received.wav")["streams"][0]["codec_name"] == "pcm_s16le"
    assert list(tmp_path.iterdir()) == [tmp_path / "received.wav"]  # nothing written beside it

"""Entering, sending, leaving and destroying while the room server dies and
comes back at moments nobody chose: bounded in rounds and time, every call
must return and the process must not crash (run it under the sanitizer
build, scripts/run_sanitized_tests.sh, where a race shows)."""

import gc
import random
import threading
import time

import _lumora

from lumora_kit.testing import Recorder, enter_params, new_room_id

S = _lumora.StreamType


def churn(room_id: int, name: str, stop: threading.Event, failures: list[str]) -> None:
    frame = _lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(bytes(1920))
    rng = random.Random(name)
    while not stop.is_set():
        cloud = _lumora.VELACloud(Recorder())
        started = time.monotonic()
        if cloud.EnterRoom(enter_params(name, room_id)) == 0:
            cloud.CreateLocalAudioChannel(_lumora.AudioEncodeParams())
            cloud.Subscribe("a" if name == "b" else "b", S.STREAM_TYPE_AUDIO)
            for _ in range(rng.randrange(1, 30)):
                cloud.SendAudioFrame(frame)
                cloud.SendCustomCmdMsg(1, b"x", rng.random() < 0.5, True)
            if rng.random() < 0.5:
                cloud.ExitRoom()
        del cloud  # destroyed here, in a room or not, connected or not
        gc.collect()
        # Entering waits at most 2 s to connect and 5 s for an answer; leaving
        # and destroying a few hundred ms more.
        if time.monotonic() - started > 20:
            failures.append(f"{name}: a round took {time.monotonic() - started:.1f} s")


def test_members_churn_while_the_server_dies_and_comes_back(lumora_sdk, lumora_room_server, monkeypatch):
    monkeypatch.setenv("LUMORA_ROOM_SERVER_RECONNECT_MS", "700")
    room_id = new_room_id()
    stop = threading.Event()
    failures: list[str] = []
    with lumora_room_server.joined_here():
        members = [threading.Thread(target=churn, args=(room_id, name, stop, failures)) for name in ("a", "b")]
        for member in members:
            member.start()
        rng = random.Random(28)
        for _ in range(4):
            time.sleep(rng.uniform(0.05, 0.6))
            lumora_room_server.kill() if rng.random() < 0.5 else lumora_room_server.stop()
            time.sleep(rng.uniform(0.0, 1.0))
            lumora_room_server.start()
        stop.set()
        for member in members:
            member.join(60)
    assert not any(member.is_alive() for member in members), "a member hung"
    assert not failures, failures
    assert lumora_room_server.process is not None and lumora_room_server.process.poll() is None

"""Faults on the room server, as members see them: a member killed or
stopped, the server killed and restarted or gone for good, and nothing
hanging meanwhile. Every wait is bounded; none measures speed."""

import gc
import signal
import threading
import time
from pathlib import Path

import _lumora
import pytest

from lumora_kit.testing import Recorder, enter_params, new_room_id, wait_until
from lumora_kit.testing.room_server import RoomServer, spawn_participant

MEMBER = Path(__file__).with_name("member.py")
S = _lumora.StreamType
CS = _lumora.ConnectionState
DROPPED = 2
# The server hears a member's heartbeat every second and drops it after 5 s
# of silence; a killed member's socket closes at once. Generous on top.
BOUND = 30.0


class Cloud:
    """A cloud with a Recorder in a room; left and destroyed by close()."""

    def __init__(self, user: str, room_id: int, **fields) -> None:
        self.recorder = Recorder()
        self.cloud = _lumora.VELACloud(self.recorder)
        self.user = user
        assert self.cloud.EnterRoom(enter_params(user, room_id, **fields)) == 0

    def states(self) -> list[tuple[int, int]]:
        return [(int(a), int(b)) for a, b in self.recorder.named("OnConnectionStateChanged")]

    def close(self) -> None:
        self.cloud.ExitRoom()
        self.cloud = None
        gc.collect()


def returns_within(fn, seconds: float) -> bool:
    """Runs fn on a thread; whether it returned within `seconds` (a hang fails the test, not the run)."""
    done = threading.Event()
    thread = threading.Thread(target=lambda: (fn(), done.set()), daemon=True)
    thread.start()
    return done.wait(seconds)


def test_a_killed_member_drops_out_with_reason_dropped(lumora_sdk, lumora_room_server):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        watcher = Cloud("watcher", room_id)
    victim = spawn_participant(MEMBER, "victim", str(room_id), server=lumora_room_server)
    try:
        victim.wait_for("ready")
        watcher.recorder.wait_for("OnRemoteUserEnterRoom", 1, BOUND)
        watcher.recorder.wait_for("OnRemoteAudioAvailable", 1, BOUND)
        victim.kill()
        (user, reason), = [(str(i.user_id), r) for i, r in watcher.recorder.wait_for("OnRemoteUserExitRoom", 1, BOUND)]
        assert (user, reason) == ("victim", DROPPED)
        assert ("victim", False) in watcher.recorder.named("OnRemoteAudioAvailable")
        assert "drop room=1400/%d user=victim" % room_id in lumora_room_server.log()
        # The watcher's own connection never moved.
        assert watcher.states() == [(int(CS.CONNECTION_STATE_INIT), int(CS.CONNECTION_STATE_CONNECTING)),
                                    (int(CS.CONNECTION_STATE_CONNECTING), int(CS.CONNECTION_STATE_CONNECTED))]
    finally:
        victim.kill()
        watcher.close()


def test_a_member_that_leaves_is_told_apart_from_one_that_drops(lumora_sdk, lumora_room_server):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        watcher, leaver = Cloud("watcher", room_id), Cloud("leaver", room_id)
        watcher.recorder.wait_for("OnRemoteUserEnterRoom", 1, BOUND)
        leaver.close()
        (info, reason), = watcher.recorder.wait_for("OnRemoteUserExitRoom", 1, BOUND)
        assert reason == 0
        watcher.close()


def test_the_server_killed_and_restarted_members_reconnect_and_talk(lumora_sdk, lumora_room_server):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        alice, bob = Cloud("alice", room_id), Cloud("bob", room_id)
    try:
        alice.recorder.wait_for("OnRemoteUserEnterRoom", 1, BOUND)
        bob.recorder.wait_for("OnRemoteUserEnterRoom", 1, BOUND)
        lumora_room_server.kill()
        connected, disconnected, connecting = (int(CS.CONNECTION_STATE_CONNECTED), int(CS.CONNECTION_STATE_DISCONNECTED),
                                               int(CS.CONNECTION_STATE_CONNECTING))
        for member in (alice, bob):
            wait_until(lambda: (disconnected, connecting) in member.states(), BOUND, member.recorder.changed)
            assert member.states()[-2:] == [(connected, disconnected), (disconnected, connecting)]
        # Meanwhile nothing goes out: a reliable command says it was not sent.
        assert alice.cloud.SendCustomCmdMsg(7, b"not sent", True, True) == 0
        assert alice.cloud.SendCustomCmdMsg(8, b"may be lost", False, False) == 1
        lumora_room_server.start()
        for member in (alice, bob):
            wait_until(lambda: member.states()[-1] == (connecting, connected), BOUND, member.recorder.changed)
        # Back in the room with each other: a command goes through.
        deadline = time.monotonic() + BOUND
        while not any(cmd == 7 for _, cmd, _, _ in bob.recorder.named("OnReceiveCustomCmdMsg")):
            assert time.monotonic() < deadline, bob.recorder.names()
            alice.cloud.SendCustomCmdMsg(7, b"again", True, True)
            time.sleep(0.2)
        assert lumora_room_server.stats()["members"] == 2
        # The command that was not sent used no number of the sequence.
        first_seq = next(seq for _, cmd, seq, _ in bob.recorder.named("OnReceiveCustomCmdMsg") if cmd == 7)
        assert first_seq == 1
    finally:
        alice.close()
        bob.close()


def exits(member: Cloud) -> list[tuple[str, int]]:
    return [(str(info.user_id), int(reason)) for info, reason in member.recorder.named("OnRemoteUserExitRoom")]


def entries(member: Cloud) -> list[str]:
    return [str(info.user_id) for info, in member.recorder.named("OnRemoteUserEnterRoom")]


def availability(member: Cloud, user: str) -> list[tuple[str, bool]]:
    """`user`'s channels as `member` heard of them, in order: ("audio", True), ("video 1", False)..."""
    events = [(name, args) for name, args in member.recorder.events
              if name in ("OnRemoteAudioAvailable", "OnRemoteVideoAvailable") and str(args[0]) == user]
    return [("audio" if name == "OnRemoteAudioAvailable" else f"video {int(args[2])}", bool(args[1]))
            for name, args in events]


def heard_from(sender: Cloud, receiver: Cloud, cmd_id: int) -> None:
    """Sends commands until `receiver` has one: everything `receiver`'s event thread
    had queued before is delivered by then."""
    deadline = time.monotonic() + BOUND
    while not any(int(cmd) == cmd_id for _, cmd, _, _ in receiver.recorder.named("OnReceiveCustomCmdMsg")):
        assert time.monotonic() < deadline, receiver.recorder.names()
        sender.cloud.SendCustomCmdMsg(cmd_id, b"here", True, True)
        time.sleep(0.2)


def restart_and_wait_until_back(server: RoomServer, members: list[Cloud], between=None) -> None:
    """Kills the server, waits until every member is reconnecting, runs `between`, starts it again
    and waits until every member is connected again."""
    connected, connecting = int(CS.CONNECTION_STATE_CONNECTED), int(CS.CONNECTION_STATE_CONNECTING)
    server.kill()
    for member in members:
        wait_until(lambda: member.states()[-1] == (int(CS.CONNECTION_STATE_DISCONNECTED), connecting), BOUND,
                   member.recorder.changed)
    if between is not None:
        between()
    server.start()
    for member in members:
        wait_until(lambda: member.states()[-1] == (connecting, connected), BOUND, member.recorder.changed)


def test_members_back_after_a_server_restart_are_not_reported_as_leaving(lumora_sdk, lumora_room_server):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        alice, bob = Cloud("alice", room_id), Cloud("bob", room_id)
    try:
        assert alice.cloud.CreateLocalAudioChannel(_lumora.AudioEncodeParams()) == 0
        assert alice.cloud.CreateLocalVideoChannel(S.STREAM_TYPE_VIDEO_HIGH) == 0
        assert bob.cloud.CreateLocalAudioChannel(_lumora.AudioEncodeParams()) == 0
        assert bob.cloud.Subscribe("alice", S.STREAM_TYPE_VIDEO_HIGH) == 0
        wait_until(lambda: len(availability(bob, "alice")) == 2 and len(availability(alice, "bob")) == 1, BOUND,
                   bob.recorder.changed)
        key_frame_requests = len(alice.recorder.wait_for("OnRequestKeyFrame", 1, BOUND))
        for _ in range(2):  # a second restart while the first one's grace may still run
            restart_and_wait_until_back(lumora_room_server, [alice, bob])
        # Everything queued on each event thread before these commands is delivered.
        heard_from(alice, bob, 7)
        heard_from(bob, alice, 8)
        assert (exits(alice), exits(bob)) == ([], [])
        assert (entries(alice), entries(bob)) == (["bob"], ["alice"])
        assert availability(bob, "alice") == [("audio", True), (f"video {int(S.STREAM_TYPE_VIDEO_HIGH)}", True)]
        assert availability(alice, "bob") == [("audio", True)]
        # bob's subscription to alice's video still holds, and alice is asked for a key frame.
        alice.recorder.wait_for("OnRequestKeyFrame", key_frame_requests + 1, BOUND)
        received = len(bob.recorder.named("OnRemoteVideoFrameReceived"))
        deadline = time.monotonic() + BOUND
        while len(bob.recorder.named("OnRemoteVideoFrameReceived")) == received:
            assert time.monotonic() < deadline, bob.recorder.names()
            frame = _lumora.VideoFrame()
            frame.SetData(b"\x01" * 100)
            frame.is_key_frame = True
            assert alice.cloud.SendVideoFrame(S.STREAM_TYPE_VIDEO_HIGH, frame) == 0
            time.sleep(0.1)
        assert lumora_room_server.stats()["members"] == 2
    finally:
        alice.close()
        bob.close()


def test_a_member_not_back_after_a_server_restart_is_dropped_once_after_a_grace(lumora_sdk, lumora_room_server):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        watcher, helper, leaver = Cloud("watcher", room_id), Cloud("helper", room_id), Cloud("leaver", room_id)
    victim = spawn_participant(MEMBER, "victim", str(room_id), server=lumora_room_server)
    try:
        victim.wait_for("ready")
        for member in (watcher, helper, leaver):
            wait_until(lambda: sorted(entries(member)) == sorted({"watcher", "helper", "leaver", "victim"} - {member.user})
                       and availability(member, "victim") == [("audio", True)], BOUND, member.recorder.changed)
        # The victim dies while the server is down: nobody can hear of it but through the grace.
        restart_and_wait_until_back(lumora_room_server, [watcher, helper, leaver], between=victim.kill)
        # One member leaves and is destroyed while its grace for the victim runs: promptly, and safely.
        assert returns_within(leaver.close, 10.0)
        for member in (watcher, helper):
            wait_until(lambda: ("victim", DROPPED) in exits(member), BOUND, member.recorder.changed)
        heard_from(helper, watcher, 7)
        heard_from(watcher, helper, 8)
        for member in (watcher, helper):
            assert sorted(exits(member)) == [("leaver", 0), ("victim", DROPPED)]
        for member in (watcher, helper):
            assert sorted(entries(member)) == sorted({"watcher", "helper", "leaver", "victim"} - {member.user})
            assert availability(member, "victim") == [("audio", True), ("audio", False)]
    finally:
        victim.kill()
        watcher.close()
        helper.close()


def test_a_server_gone_for_good_tells_members_they_left(lumora_sdk, lumora_room_server, monkeypatch):
    monkeypatch.setenv("LUMORA_ROOM_SERVER_RECONNECT_MS", "1500")
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        alone = Cloud("alone", room_id)
    lumora_room_server.kill()
    alone.recorder.wait_for("OnExitRoom", 1, BOUND)
    assert alone.states()[-3:] == [(3, 1), (1, 2), (2, 1)]
    assert (int(_lumora.Error.ERR_NETWORK_UNREACHABLE),) in [tuple(int(x) for x in e) for e in alone.recorder.named("OnError")]
    # Out of the room: leaving again is refused, promptly.
    assert alone.cloud.ExitRoom() == int(_lumora.Error.ERR_INVALID_OPERATION)
    alone.cloud = None
    gc.collect()


@pytest.mark.parametrize("how", ["killed", "stopped"])
def test_leaving_and_destroying_never_wait_for_a_server_that_is_gone(lumora_sdk, lumora_room_server, how):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        a, b = Cloud("a", room_id), Cloud("b", room_id)
    if how == "killed":
        lumora_room_server.kill()
    else:
        lumora_room_server.pause()
    try:
        assert returns_within(a.cloud.ExitRoom, 10.0)

        def destroy():
            b.cloud = None
            gc.collect()

        assert returns_within(destroy, 10.0)
    finally:
        if how == "stopped":
            lumora_room_server.resume()


def test_entering_without_a_server_fails_with_network_unreachable(lumora_sdk, tmp_path, monkeypatch):
    monkeypatch.setenv("LUMORA_ROOM_SERVER", f"unix:{tmp_path}/nobody.sock")
    recorder = Recorder()
    cloud = _lumora.VELACloud(recorder)
    assert cloud.EnterRoom(enter_params("early", new_room_id())) == int(_lumora.Error.ERR_NETWORK_UNREACHABLE)
    recorder.wait_for("OnError", 1, BOUND)
    monkeypatch.setenv("LUMORA_ROOM_SERVER", "not an address")
    assert cloud.EnterRoom(enter_params("early", new_room_id())) == int(_lumora.Error.ERR_NETWORK_UNREACHABLE)
    # Unset, the in-process room as always.
    monkeypatch.delenv("LUMORA_ROOM_SERVER")
    assert cloud.EnterRoom(enter_params("early", new_room_id())) == 0
    cloud.ExitRoom()


def test_a_duplicate_user_id_is_refused(lumora_sdk, lumora_room_server):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        first = Cloud("same", room_id)
        recorder = Recorder()
        second = _lumora.VELACloud(recorder)
        assert second.EnterRoom(enter_params("same", room_id)) == int(_lumora.Error.ERR_ENTER_ROOM_FAILED)
    first.close()


def test_a_stopped_member_does_not_slow_the_others(lumora_sdk, tmp_path):
    # A small queue and a long silence limit: the stopped member stays a
    # member while the others' video piles up for it.
    server = RoomServer(tmp_path, args=["--queue-limit-bytes", "1048576", "--silence-limit-ms", "60000"]).start()
    room_id = new_room_id()
    try:
        with server.joined_here():
            sender = Cloud("sender", room_id)
            watcher = Cloud("watcher", room_id)
        stopped = spawn_participant(MEMBER, "sleeper", str(room_id), "--watch", "sender", server=server)
        stopped.wait_for("ready")
        for member in (sender, watcher):
            member.recorder.wait_for("OnRemoteUserEnterRoom", 2, BOUND)
        stopped.signal(signal.SIGSTOP)
        assert sender.cloud.CreateLocalVideoChannel(S.STREAM_TYPE_VIDEO_HIGH) == 0
        assert watcher.cloud.Subscribe("sender", S.STREAM_TYPE_VIDEO_HIGH) == 0
        # The server hears the subscription on the watcher's connection, which
        # the sender's frames do not wait for: a command the watcher sends
        # after it reaches the sender once the server has taken both.
        assert watcher.cloud.SendCustomCmdMsg(1, b"subscribed", True, True)
        sender.recorder.wait_for("OnReceiveCustomCmdMsg", 1, BOUND)
        frames = 300
        for index in range(frames):
            frame = _lumora.VideoFrame()
            frame.pts = index
            frame.SetData(bytes([index % 256]) * 20000)
            assert sender.cloud.SendVideoFrame(S.STREAM_TYPE_VIDEO_HIGH, frame) == 0
            if index % 10 == 9:
                # Paced by the watcher, so that only the sleeper falls behind
                # however loaded the machine is.
                wait_until(lambda: len(watcher.recorder.named("OnRemoteVideoFrameReceived")) > index, BOUND,
                           watcher.recorder.changed)
        # The watcher gets every frame while the sleeper's share is dropped.
        wait_until(lambda: len(watcher.recorder.named("OnRemoteVideoFrameReceived")) >= frames, BOUND,
                   watcher.recorder.changed)
        stats = server.stats()
        assert stats["dropped_messages"] > 0
        sleeper, = [c for c in stats["per_connection"] if c["user"] == "sleeper"]
        assert sleeper["dropped"] > 0
        assert all(c["dropped"] == 0 for c in stats["per_connection"] if c["user"] in ("sender", "watcher"))
        stopped.signal(signal.SIGCONT)
        stopped.kill()
        sender.close()
        watcher.close()
    finally:
        server.stop()


def test_network_quality_names_members_of_other_processes_and_goes_down_with_the_server(lumora_sdk,
                                                                                       lumora_room_server):
    room_id = new_room_id()
    with lumora_room_server.joined_here():
        here = Cloud("here", room_id)
    cloud_id = lumora_sdk.last_cloud_id()
    there = spawn_participant(MEMBER, "there", str(room_id), server=lumora_room_server)
    try:
        there.wait_for("ready")
        here.recorder.wait_for("OnRemoteUserEnterRoom", 1, BOUND)
        assert lumora_sdk.set_quality_interval(cloud_id, 50) == 0
        (local, remote), *_ = here.recorder.wait_for("OnNetworkQuality", 1, BOUND)[-1:]
        assert str(local.user_id) == "here" and int(local.quality) == int(_lumora.NETWORK_QUALITY_EXCELLENT)
        assert [str(r.user_id) for r in remote] == ["there"]
        lumora_room_server.kill()
        wait_until(lambda: (1, 2) in here.states(), BOUND, here.recorder.changed)
        count = len(here.recorder.named("OnNetworkQuality"))
        (local, remote), = here.recorder.wait_for("OnNetworkQuality", count + 1, BOUND)[-1:]
        assert int(local.quality) == int(_lumora.NETWORK_QUALITY_DOWN)
    finally:
        there.kill()
        here.close()


EXIT_WHILE_RECONNECTING = """
import _lumora
from lumora_kit.testing import Recorder, enter_params, wait_until

recorder = Recorder()
cloud = _lumora.VELACloud(recorder)
assert cloud.EnterRoom(enter_params("leaving", int(__import__("sys").argv[1]))) == 0
print("ready", flush=True)
states = lambda: [(int(a), int(b)) for a, b in recorder.named("OnConnectionStateChanged")]
wait_until(lambda: (1, 2) in states(), 60, recorder.changed)
print("reconnecting", flush=True)
# The interpreter exits here with the cloud still in its room, its link still trying.
"""


def test_the_interpreter_exits_while_the_server_is_gone(lumora_sdk, lumora_room_server, tmp_path):
    script = tmp_path / "exit_while_reconnecting.py"
    script.write_text(EXIT_WHILE_RECONNECTING)
    child = spawn_participant(script, str(new_room_id()), server=lumora_room_server)
    try:
        child.wait_for("ready")
        lumora_room_server.kill()
        child.wait_for("reconnecting")
        assert child.process.wait(BOUND) == 0
    finally:
        child.kill()

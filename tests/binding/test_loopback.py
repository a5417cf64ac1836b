"""End-to-end calls through the stand-in SDK's loopback service."""

import gc
import threading
import time

import pytest

from recorder import Recorder


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def enter_params(lumora, user, room=4242, method=None, pixel_output=False, mix=False):
    from lumora_kit.testing import enter_params
    p = enter_params(user, room, use_pixel_frame_output=pixel_output)
    p.audio_obtain_params.enable_remote_audio_mix = mix
    if method is not None:
        p.audio_obtain_params.audio_obtain_method = method
    return p


class Participant:
    def __init__(self, lumora, sdk, user, **kwargs):
        self.delegate = Recorder()
        self.cloud = lumora.VELACloud(self.delegate)
        self.id = sdk.last_cloud_id()
        self.user = user
        self.result = self.cloud.EnterRoom(enter_params(lumora, user, **kwargs))


@pytest.fixture
def pair(lumora, sdk):
    alice = Participant(lumora, sdk, "alice")
    bob = Participant(lumora, sdk, "bob")
    yield alice, bob
    for p in (alice, bob):
        p.cloud.ExitRoom()
    del alice, bob


def test_enter_room_callbacks_come_inside_the_call(lumora, sdk, pair):
    alice, bob = pair
    assert alice.result == bob.result == 0
    # Synchronous callbacks re-enter on the calling thread while it holds the lock.
    assert alice.delegate.names()[:3] == ["OnConnectionStateChanged", "OnConnectionStateChanged", "OnEnterRoom"]
    assert threading.get_ident() in alice.delegate.threads
    assert wait_for(lambda: alice.delegate.named("OnRemoteUserEnterRoom"))
    (info,), = alice.delegate.named("OnRemoteUserEnterRoom")
    assert str(info.user_id) == "bob"
    assert wait_for(lambda: bob.delegate.named("OnRemoteUserEnterRoom"))
    assert str(bob.delegate.named("OnRemoteUserEnterRoom")[0][0].user_id) == "alice"


def test_invalid_parameters_report_error(lumora, sdk):
    d = Recorder()
    cloud = lumora.VELACloud(d)
    cid = sdk.last_cloud_id()
    p = enter_params(lumora, "carol")
    p.room.sdk_app_id = 0
    assert cloud.EnterRoom(p) == lumora.ERR_INVALID_SDK_APP_ID
    p = enter_params(lumora, "carol")
    p.room.user_id.SetValue(None)
    assert cloud.EnterRoom(p) == lumora.ERR_INVALID_USER_ID
    assert sdk.wait_idle(cid) == 0
    assert d.named("OnError") == [(lumora.ERR_INVALID_SDK_APP_ID,), (lumora.ERR_INVALID_USER_ID,)]
    del cloud


def test_media_and_messages_reach_the_other_member(lumora, sdk, pair):
    alice, bob = pair
    assert alice.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
    assert alice.cloud.CreateLocalVideoChannel(lumora.STREAM_TYPE_VIDEO_HIGH) == 0
    assert bob.cloud.Subscribe("alice", lumora.STREAM_TYPE_AUDIO) == 0
    assert bob.cloud.Subscribe("alice", lumora.STREAM_TYPE_VIDEO_HIGH) == 0
    assert wait_for(lambda: bob.delegate.named("OnRemoteAudioAvailable"))
    payloads = [bytes([i, 0, 255 - i]) * 640 for i in range(10)]
    for i, payload in enumerate(payloads):
        frame = lumora.AudioFrame()
        frame.sample_rate, frame.channels, frame.pts = 48000, 1, i * 20
        frame.SetData(payload)
        assert alice.cloud.SendAudioFrame(frame) == 0
    pixel = lumora.PixelFrame()
    pixel.width, pixel.height = 64, 36
    pixel.SetData(b"\0\1" * (64 * 36 * 3 // 4))
    assert alice.cloud.SendPixelFrame(lumora.STREAM_TYPE_VIDEO_HIGH, pixel) == 0
    assert alice.cloud.SendSeiMessage(5, b"s\0ei") == 0
    assert alice.cloud.SendCustomCmdMsg(3, b"c\0md", True, True) == 1
    assert alice.cloud.SendCustomCmdMsg(3, b"again", True, True) == 1
    assert sdk.wait_idle(bob.id) == 0
    received = bob.delegate.named("OnRemoteAudioReceived")
    assert [(u, f.pts, f.data) for u, f in received] == [("alice", i * 20, p) for i, p in enumerate(payloads)]
    (uid, st, video), = bob.delegate.named("OnRemoteVideoFrameReceived")
    assert (uid, st, video.data) == ("alice", lumora.STREAM_TYPE_VIDEO_HIGH, pixel.data)
    (sei,) = bob.delegate.named("OnSeiMessageReceived")
    assert sei[0] == "alice" and sei[2:] == (5, b"s\0ei")
    assert [(a[0], a[1], a[2], a[3]) for a in bob.delegate.named("OnReceiveCustomCmdMsg")] == [
        ("alice", 3, 1, b"c\0md"), ("alice", 3, 2, b"again")]
    assert alice.delegate.named("OnRemoteAudioReceived") == []
    assert threading.get_ident() not in {t for t in bob.delegate.threads} - {threading.get_ident()}


def test_pulled_mixed_audio(lumora, sdk):
    sender = Participant(lumora, sdk, "s", room=77)
    puller = Participant(lumora, sdk, "p", room=77, method=lumora.AUDIO_OBTAIN_METHOD_GET)
    assert sender.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
    assert puller.cloud.Subscribe("s", lumora.STREAM_TYPE_AUDIO) == 0
    out = lumora.AudioFrame()
    assert puller.cloud.GetAudioFrame(out) == lumora.ERR_READ_TRY_AGAIN
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(b"\x10\x00" * 960)
    for _ in range(5):
        sender.cloud.SendAudioFrame(frame)
    assert sdk.wait_idle(puller.id) == 0
    assert wait_for(lambda: puller.cloud.GetAudioFrame(out) == 0)
    # Default output: 16 kHz mono, 20 ms of 16-bit samples.
    assert (out.sample_rate, out.channels, out.bits_per_sample, out.size) == (16000, 1, 16, 640)
    sender.cloud.ExitRoom()
    puller.cloud.ExitRoom()


def test_pts_reach_receivers_unchanged_and_the_mix_keeps_time(lumora, sdk):
    alice = Participant(lumora, sdk, "alice", room=4343)
    bob = Participant(lumora, sdk, "bob", room=4343, pixel_output=True)
    carol = Participant(lumora, sdk, "carol", room=4343, mix=True)  # mixed: 16 kHz mono, 20 ms
    assert alice.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
    assert alice.cloud.CreateLocalVideoChannel(lumora.STREAM_TYPE_VIDEO_HIGH) == 0
    for receiver in (bob, carol):
        assert receiver.cloud.Subscribe("alice", lumora.STREAM_TYPE_AUDIO) == 0
        assert receiver.cloud.Subscribe("alice", lumora.STREAM_TYPE_VIDEO_HIGH) == 0
    # 1 s of tone, a pause of 980 ms after its last frame ended, 1 s of tone;
    # the pts wrap as a uint32 in the middle of the second second.
    start = 2**32 - 2500
    stamps = [(start + k * 20) % 2**32 for k in range(50)] + [(start + 1980 + k * 20) % 2**32 for k in range(50)]
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.SetData(b"\x00\x20" * 960)
    pixel = lumora.PixelFrame()
    pixel.width, pixel.height = 4, 2
    pixel.SetData(bytes(12))
    for pts in stamps:
        frame.pts = pixel.pts = pts
        assert alice.cloud.SendAudioFrame(frame) == 0
        assert alice.cloud.SendPixelFrame(lumora.STREAM_TYPE_VIDEO_HIGH, pixel) == 0
    for receiver in (bob, carol):
        assert sdk.wait_idle(receiver.id) == 0
    assert [f.pts for _, f in bob.delegate.named("OnRemoteAudioReceived")] == stamps
    assert [f.pts for _, _, f in bob.delegate.named("OnRemotePixelFrameReceived")] == stamps
    assert [(f.pts, f.dts) for _, _, f in carol.delegate.named("OnRemoteVideoFrameReceived")] == [
        (pts, pts) for pts in stamps]
    mixed = [f for f, in carol.delegate.named("OnRemoteMixedAudioReceived")]
    # 2,980 ms of mix: the pause is 49 frames of silence between the tones,
    # and the mix's pts run on without a jump.
    assert len(mixed) == 149
    assert [f.pts for f in mixed] == [k * 20 for k in range(149)]
    assert [f.has_voice for f in mixed] == [True] * 50 + [False] * 49 + [True] * 50
    # A pause of 9 s: 5 s of it mixed as silence, the rest skipped in the pts.
    frame.pts = (stamps[-1] + 20 + 9000) % 2**32
    assert alice.cloud.SendAudioFrame(frame) == 0
    assert sdk.wait_idle(carol.id) == 0
    after = [f for f, in carol.delegate.named("OnRemoteMixedAudioReceived")][149:]
    assert [f.has_voice for f in after] == [False] * 250 + [True]
    assert [f.pts for f in after] == [2980 + k * 20 for k in range(250)] + [2980 + 9000]
    for receiver in (alice, bob, carol):
        receiver.cloud.ExitRoom()


def test_network_quality_reports(lumora, sdk, pair):
    alice, bob = pair
    sdk.set_quality_interval(alice.id, 20)
    assert wait_for(lambda: len(alice.delegate.named("OnNetworkQuality")) >= 2)
    sdk.set_quality_interval(alice.id, 0)
    local, remote = alice.delegate.named("OnNetworkQuality")[-1]
    assert str(local.user_id) == "alice"
    assert [str(r.user_id) for r in remote] == ["bob"]


def test_exit_notifies_others(lumora, sdk, pair):
    alice, bob = pair
    assert bob.cloud.ExitRoom() == 0
    assert "OnExitRoom" in bob.delegate.names()
    assert wait_for(lambda: alice.delegate.named("OnRemoteUserExitRoom"))
    (info, reason), = alice.delegate.named("OnRemoteUserExitRoom")
    assert str(info.user_id) == "bob"


@pytest.mark.slow
def test_stress_destroy_during_traffic(lumora, sdk):
    """Callbacks from several SDK threads while Python threads send frames;
    clouds are destroyed in the middle of it. Nothing may hang or crash."""
    for round_ in range(5):
        senders = [Participant(lumora, sdk, f"s{i}", room=900 + round_) for i in range(3)]
        receiver = Participant(lumora, sdk, "r", room=900 + round_)
        for s in senders:
            s.cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams())
            receiver.cloud.Subscribe(s.user, lumora.STREAM_TYPE_AUDIO)
        receiver_id = receiver.id
        sdk.set_quality_interval(receiver_id, 1)
        stop = threading.Event()

        def pump(p):
            frame = lumora.AudioFrame()
            frame.SetData(b"\1\0" * 960)
            while not stop.is_set():
                p.cloud.SendAudioFrame(frame)
                p.cloud.SendCustomCmdMsg(1, b"x", True, True)

        def inject():
            while not stop.is_set():
                sdk.inject("sei_message", receiver_id, "x", 2, 1, b"abc", mode=sdk.EVENT)
                time.sleep(0.001)

        threads = [threading.Thread(target=pump, args=(s,)) for s in senders] + [threading.Thread(target=inject)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        live = sdk.live_clouds()
        del receiver
        gc.collect()
        assert sdk.live_clouds() == live - 1
        time.sleep(0.1)
        stop.set()
        for t in threads:
            t.join(timeout=30)
            assert not t.is_alive()
        for s in senders:
            s.cloud.ExitRoom()
        del senders
        gc.collect()

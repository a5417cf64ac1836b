"""The delegate trampoline: lookup, dispatch policies, argument conversion."""

import sys
import threading

import pytest

from recorder import CALLBACKS, Recorder

MISSING = 'Tried to call pure virtual function "VELACloudDelegate::{}"'
REQUIRED = CALLBACKS[:18]


def test_method_registration_order(lumora):
    methods = [n for n in vars(lumora.VELACloudDelegate) if n.startswith("On")]
    assert methods == CALLBACKS


def test_required_callbacks_without_python_method(lumora):
    d = lumora.VELACloudDelegate()
    with pytest.raises(RuntimeError) as info:
        d.OnEnterRoom()
    assert str(info.value) == MISSING.format("OnEnterRoom")
    with pytest.raises(RuntimeError, match="OnRemoteVideoFrameReceived"):
        d.OnRemoteVideoFrameReceived("u", lumora.STREAM_TYPE_VIDEO_HIGH, lumora.VideoFrame())
    with pytest.raises(RuntimeError, match="OnRemotePixelFrameReceived"):
        d.OnRemotePixelFrameReceived("u", lumora.STREAM_TYPE_VIDEO_HIGH, lumora.PixelFrame())
    with pytest.raises(RuntimeError, match="OnRemoteUserExitRoom"):
        d.OnRemoteUserExitRoom(lumora.UserInfo(), 0)


def test_optional_callbacks_without_python_method(lumora, capfd):
    d = lumora.VELACloudDelegate()
    assert d.OnNetworkQuality(None, None, 0) is None
    assert d.OnSeiMessageReceived("u", lumora.STREAM_TYPE_VIDEO_HIGH, 1, "abc", 3) is None
    assert d.OnReceiveCustomCmdMsg("u", 1, 1, "abc", 3) is None
    assert d.OnMissCustomCmdMsg("u", 1, 2, 3) is None
    assert capfd.readouterr().err == ""


def test_super_call_down_does_not_recurse(lumora):
    calls = []

    class Sub(lumora.VELACloudDelegate):
        def OnEnterRoom(self):
            calls.append(1)
            super().OnEnterRoom()

    with pytest.raises(RuntimeError, match=MISSING.format("OnEnterRoom")):
        Sub().OnEnterRoom()
    assert calls == [1]


def test_call_through_base_reaches_override(lumora):
    class Sub(lumora.VELACloudDelegate):
        def OnError(self, error):
            self.got = error
            return "ignored"

    d = Sub()
    assert lumora.VELACloudDelegate.OnError(d, lumora.ERR_FAILED) is None
    assert d.got == lumora.ERR_FAILED and isinstance(d.got, lumora.Error)


def test_method_added_after_a_miss_is_seen_and_a_removed_one_missed_again(lumora):
    calls = []

    class Late(lumora.VELACloudDelegate):
        pass

    for _ in range(2):  # a miss is not remembered
        with pytest.raises(RuntimeError, match=MISSING.format("OnExitRoom")):
            lumora.VELACloudDelegate.OnExitRoom(Late())
    Late.OnExitRoom = lambda self: calls.append(self)
    d = Late()
    lumora.VELACloudDelegate.OnExitRoom(d)
    assert calls == [d]
    del Late.OnExitRoom
    with pytest.raises(RuntimeError, match=MISSING.format("OnExitRoom")):
        lumora.VELACloudDelegate.OnExitRoom(d)


def test_wrong_python_name_never_receives_video(lumora):
    class Old(lumora.VELACloudDelegate):
        def OnRemoteVideoReceived(self, *args):
            raise AssertionError("not a callback name")

    with pytest.raises(RuntimeError, match="OnRemoteVideoFrameReceived"):
        Old().OnRemoteVideoFrameReceived("u", lumora.STREAM_TYPE_VIDEO_HIGH, lumora.VideoFrame())


def test_init_must_call_base(lumora):
    class NoBase(lumora.VELACloudDelegate):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"VELACloudDelegate.__init__\(\) must be called"):
        NoBase()


def test_unguarded_exceptions_propagate(lumora, capfd):
    class Raising(lumora.VELACloudDelegate):
        def OnMissCustomCmdMsg(self, *args):
            raise KeyError("miss")

        def OnError(self, error):
            raise ValueError("boom")

    d = Raising()
    with pytest.raises(KeyError, match="miss"):
        d.OnMissCustomCmdMsg("u", 1, 2, 3)
    with pytest.raises(ValueError, match="boom"):
        d.OnError(lumora.ERR_OK)
    assert capfd.readouterr().err == ""


def test_guarded_errors_go_to_process_stderr(lumora, capfd, monkeypatch):
    import io

    class Raising(lumora.VELACloudDelegate):
        def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
            raise ValueError("x")

        def OnNetworkQuality(self, local, remote, extra):
            pass

        def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
            raise RuntimeError("cmd")

    fake = io.StringIO()
    monkeypatch.setattr(sys, "stderr", fake)
    d = Raising()
    base = lumora.VELACloudDelegate
    assert base.OnSeiMessageReceived(d, "u", lumora.STREAM_TYPE_VIDEO_HIGH, 1, "ab", 2) is None
    assert base.OnNetworkQuality(d, None, None, 0) is None
    assert base.OnReceiveCustomCmdMsg(d, b"\xff", 1, 1, "", 0) is None
    assert base.OnReceiveCustomCmdMsg(d, "u", 1, 1, "", 0) is None
    err = capfd.readouterr().err.splitlines()
    assert fake.getvalue() == ""
    assert err[0].startswith("python callback OnSeiMessageReceived error: ValueError: x")
    starts = [line for line in err if line.startswith("python callback ")]
    assert [s.split(" error: ")[0] for s in starts] == [
        "python callback OnSeiMessageReceived", "python callback OnNetworkQuality",
        "python callback OnReceiveCustomCmdMsg", "python callback OnReceiveCustomCmdMsg"]
    assert "TypeError" in starts[1]
    assert "UnicodeDecodeError" in starts[2]
    assert "RuntimeError: cmd" in starts[3]


def test_direct_call_counts_are_checked(lumora):
    # Called through the native methods, as the SDK would call them.
    d, base = Recorder(), lumora.VELACloudDelegate
    st = lumora.STREAM_TYPE_VIDEO_HIGH
    base.OnSeiMessageReceived(d, "u", st, 5, "é\0z", 4)
    assert d.named("OnSeiMessageReceived") == [("u", st, 5, b"\xc3\xa9\0z")]
    base.OnReceiveCustomCmdMsg(d, None, -1, 4294967295, b"ab", 1)
    assert d.named("OnReceiveCustomCmdMsg") == [(None, -1, 4294967295, b"a")]
    with pytest.raises(ValueError, match="length 5 exceeds the 4 bytes"):
        base.OnSeiMessageReceived(d, "u", st, 5, "é\0z", 5)
    with pytest.raises(ValueError):
        base.OnReceiveCustomCmdMsg(d, "u", 1, 1, None, 1)
    q = lumora.NetworkQualityInfo()
    base.OnNetworkQuality(d, q, q, 1)
    with pytest.raises(ValueError):
        base.OnNetworkQuality(d, q, q, 2)
    with pytest.raises(ValueError):
        base.OnNetworkQuality(d, None, None, 1)
    assert len(d.named("OnSeiMessageReceived")) == 1
    assert len(d.named("OnNetworkQuality")) == 1
    with pytest.raises(TypeError):
        base.OnSeiMessageReceived(d, "u", 2, 5, "x", 1)
    with pytest.raises(TypeError):
        base.OnError(d, error=lumora.ERR_OK)


@pytest.fixture
def wired(lumora, sdk):
    """A recording delegate attached to a fresh cloud; returns (delegate, cloud, id)."""
    delegate = Recorder()
    cloud = lumora.VELACloud(delegate)
    yield delegate, cloud, sdk.last_cloud_id()
    del cloud


@pytest.mark.parametrize("mode", ["EVENT", "NEW_THREAD", "SYNC", "sync_locked"])
def test_injected_conversions(lumora, sdk, wired, mode):
    d, cloud, cid = wired
    how = getattr(sdk, mode, mode)
    inject = lambda name, *args: sdk.inject(name, cid, *args, mode=how)
    inject("error", -3301)
    inject("connection_state_changed", 3, 1)
    inject("remote_user_enter_room", None)
    inject("remote_user_exit_room", "bob", 7)
    inject("remote_audio_available", None, 1)
    inject("remote_video_available", "bob", 0, 0)
    inject("request_key_frame", 99)
    inject("miss_custom_cmd_msg", "bob", -1, 4294967295, 4294967295)
    inject("custom_cmd_msg", "bob", -1, 4294967295, b"\0\x01\0")
    inject("sei_message", "bob", 2, -7, b"")
    inject("remote_audio", "bob", 48000, 2, 16, 0, 4294967295, 1, b"\0pcm\0")
    inject("remote_pixel_frame", "bob", 2, 1, 640, 360, 2, 3, b"\0" * 10)
    inject("network_quality", None, [])
    inject("network_quality", ("me", 1), [("a", 2), (None, 3), ("c", 77)])
    if how == sdk.EVENT:
        assert sdk.wait_idle(cid) == 0
    assert sdk.callback_errors(cid) == 0
    (error,), = d.named("OnError")
    assert isinstance(error, lumora.Error) and error == lumora.ERR_ENTER_ROOM_FAILED
    assert d.named("OnConnectionStateChanged") == [(lumora.CONNECTION_STATE_CONNECTED,
                                                    lumora.CONNECTION_STATE_DISCONNECTED)]
    (enter,), = d.named("OnRemoteUserEnterRoom")
    assert isinstance(enter, lumora.UserInfo) and enter.user_id.GetValue() is None
    (info, reason), = d.named("OnRemoteUserExitRoom")
    assert (str(info.user_id), reason) == ("bob", 7)
    assert d.named("OnRemoteAudioAvailable") == [(None, True)]
    assert d.named("OnRemoteVideoAvailable") == [("bob", False, lumora.StreamType(0))]
    (key,), = d.named("OnRequestKeyFrame")
    assert key.value == 99 and key.name == "???"
    assert d.named("OnMissCustomCmdMsg") == [("bob", -1, 4294967295, 4294967295)]
    assert d.named("OnReceiveCustomCmdMsg") == [("bob", -1, 4294967295, b"\0\x01\0")]
    assert d.named("OnSeiMessageReceived") == [("bob", lumora.STREAM_TYPE_VIDEO_HIGH, -7, b"")]
    (uid, audio), = d.named("OnRemoteAudioReceived")
    assert (uid, audio.sample_rate, audio.channels, audio.pts, audio.has_voice, audio.data) == (
        "bob", 48000, 2, 4294967295, True, b"\0pcm\0")
    (uid, st, pixel), = d.named("OnRemotePixelFrameReceived")
    assert (pixel.pts, pixel.width, pixel.height, pixel.format, pixel.rotation, pixel.data) == (
        1, 640, 360, lumora.VIDEO_PIXEL_FORMAT_RGBA, lumora.VIDEO_ROTATION_270, b"\0" * 10)
    (local0, remote0), (local1, remote1) = d.named("OnNetworkQuality")
    assert (local0.user_id.GetValue(), local0.quality, remote0) == ("", lumora.NETWORK_QUALITY_DOWN, [])
    assert (str(local1.user_id), local1.quality) == ("me", lumora.NETWORK_QUALITY_EXCELLENT)
    assert [(r.user_id.GetValue(), r.quality.value) for r in remote1] == [("a", 2), (None, 3), ("c", 77)]
    remote1[0].quality = lumora.NETWORK_QUALITY_BAD
    assert remote1[1].quality.value == 3


def test_callbacks_arrive_on_sdk_threads(lumora, sdk, wired):
    d, cloud, cid = wired
    sdk.inject("enter_room", cid, mode=sdk.EVENT)
    assert sdk.wait_idle(cid) == 0
    sdk.inject("exit_room", cid, mode=sdk.NEW_THREAD)
    assert sdk.wait_idle(cid) == 0
    assert d.names() == ["OnEnterRoom", "OnExitRoom"]
    assert threading.get_ident() not in d.threads


def test_unguarded_errors_on_sdk_threads_are_caught_by_sdk(lumora, sdk):
    class Raising(Recorder):
        def OnEnterRoom(self):
            raise ValueError("from enter")

    d = Raising()
    cloud = lumora.VELACloud(d)
    cid = sdk.last_cloud_id()
    sdk.inject("enter_room", cid, mode=sdk.EVENT)
    assert sdk.wait_idle(cid) == 0
    assert sdk.inject("enter_room", cid, mode=sdk.NEW_THREAD) == 1
    assert sdk.callback_errors(cid) == 2
    assert "from enter" in sdk.last_callback_error()
    bare = lumora.VELACloud(lumora.VELACloudDelegate())
    bare_id = sdk.last_cloud_id()
    sdk.inject("exit_room", bare_id, mode=sdk.NEW_THREAD)
    assert MISSING.format("OnExitRoom") in sdk.last_callback_error()
    del cloud, bare


def test_guarded_error_from_sdk_thread_is_one_line(lumora, sdk, capfd):
    class Wrong(Recorder):
        def OnNetworkQuality(self, local, remote, extra):
            pass

    d = Wrong()
    cloud = lumora.VELACloud(d)
    cid = sdk.last_cloud_id()
    sdk.inject("sei_message", cid, b"\xff\xfe", 2, 1, b"x", mode=sdk.EVENT)
    sdk.inject("network_quality", cid, None, [], mode=sdk.EVENT)
    assert sdk.wait_idle(cid) == 0
    lines = [l for l in capfd.readouterr().err.splitlines() if l.startswith("python callback")]
    assert lines[0].startswith("python callback OnSeiMessageReceived error: UnicodeDecodeError")
    assert lines[1].startswith("python callback OnNetworkQuality error: TypeError")
    assert sdk.callback_errors(cid) == 0
    assert d.named("OnSeiMessageReceived") == []
    del cloud


def test_frames_kept_after_callback(lumora, sdk, wired):
    d, cloud, cid = wired
    for i in range(20):
        sdk.inject("remote_video_frame", cid, "v", 2, i, i, i % 2, 1, 0, bytes([i]) * 1000, mode=sdk.EVENT)
    assert sdk.wait_idle(cid) == 0
    frames = [args[2] for args in d.named("OnRemoteVideoFrameReceived")]
    import gc
    gc.collect()
    assert [(f.pts, f.is_key_frame, f.data) for f in frames] == [
        (i, bool(i % 2), bytes([i]) * 1000) for i in range(20)]


def test_each_delivery_gets_its_own_values_whatever_came_before(lumora, sdk):
    # The binding reuses what earlier deliveries gave back (the storage of a
    # dropped frame, the str of a user id seen before): a frame changed by
    # Python and dropped, a frame still kept, a user id sharing a table slot
    # with another, a long or non-ASCII one must never show in a later
    # delivery, which carries exactly what the SDK sent.
    users = [f"user-{i}" for i in range(150)] + ["ü-ß-€", "x" * 49, "x" * 48, ""]
    received, kept = [], []

    class Changing(lumora.VELACloudDelegate):
        def OnRemoteAudioReceived(self, user_id, frame):
            received.append((user_id, frame.pts, frame.sample_rate, frame.channels, frame.has_voice, frame.data))
            if frame.pts % 3 == 0:
                kept.append(frame)
            frame.pts, frame.sample_rate, frame.channels, frame.has_voice = 999_999, 8000, 2, True
            frame.SetData(b"changed by Python" * 100)
            frame.SetExtraData(b"extra")

    cloud = lumora.VELACloud(Changing())
    cid = sdk.last_cloud_id()
    sent = []
    for pts in range(2 * len(users)):
        user = users[(pts * 7) % len(users)]
        size = 70_000 if pts % 50 == 0 else 1 + pts % 900  # now and then one too large to keep
        payload = bytes((pts + j) % 251 for j in range(size))
        sdk.inject("remote_audio", cid, user, 48000, 1, 16, 0, pts, 0, payload, mode=sdk.EVENT)
        sent.append((user, pts, 48000, 1, False, payload))
    assert sdk.wait_idle(cid) == 0
    assert received == sent
    assert all(frame.data == b"changed by Python" * 100 for frame in kept)
    del cloud


def test_sdk_thread_lookup_follows_replaced_methods(lumora, sdk):
    # Each delivery looks the method up by name on an SDK thread, so a
    # method replaced on the class or shadowed on the instance between
    # deliveries is the one called, and a method removed again is missing.
    seen = []

    class Replaced(lumora.VELACloudDelegate):
        def OnRemoteAudioReceived(self, user_id, frame):
            seen.append(("class", frame.data))

        def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
            seen.append(("sei", message))

    d = Replaced()
    cloud = lumora.VELACloud(d)
    cid = sdk.last_cloud_id()

    def deliver(payload):
        sdk.inject("remote_audio", cid, "u", 48000, 1, 16, 0, 0, 0, payload, mode=sdk.EVENT)
        assert sdk.wait_idle(cid) == 0

    deliver(b"1")
    deliver(b"2")  # the second delivery takes the remembered answer
    Replaced.OnRemoteAudioReceived = lambda self, user_id, frame: seen.append(("replaced", frame.data))
    deliver(b"3")
    d.OnRemoteAudioReceived = lambda user_id, frame: seen.append(("instance", frame.data))
    deliver(b"4")
    del d.OnRemoteAudioReceived
    deliver(b"5")
    Replaced.OnRemoteAudioReceived = staticmethod(lambda user_id, frame: seen.append(("static", frame.data)))
    deliver(b"6")
    del Replaced.OnRemoteAudioReceived  # the base's native method again: missing
    errors = sdk.callback_errors(cid)
    deliver(b"7")
    assert sdk.callback_errors(cid) == errors + 1
    assert MISSING.format("OnRemoteAudioReceived") in sdk.last_callback_error()
    d.OnSeiMessageReceived = lambda *args: seen.append(("sei instance", args[-1]))
    sdk.inject("sei_message", cid, "u", 2, 1, b"m", mode=sdk.EVENT)
    assert sdk.wait_idle(cid) == 0
    assert seen == [("class", b"1"), ("class", b"2"), ("replaced", b"3"), ("instance", b"4"),
                    ("replaced", b"5"), ("static", b"6"), ("sei instance", b"m")]
    del cloud


def test_sdk_thread_lookup_honours_custom_attribute_lookup(lumora, sdk):
    calls = []

    class Redirecting(Recorder):
        def OnEnterRoom(self):
            calls.append("plain")

        def __getattribute__(self, name):
            if name == "OnEnterRoom":
                return lambda: calls.append("redirected")
            return super().__getattribute__(name)

    d = Redirecting()
    cloud = lumora.VELACloud(d)
    cid = sdk.last_cloud_id()
    for _ in range(2):
        sdk.inject("enter_room", cid, mode=sdk.EVENT)
    assert sdk.wait_idle(cid) == 0
    assert calls == ["redirected", "redirected"]
    del cloud


# ---- Patched, deleted and shadowed methods ---------------------------------------

PATHS = ("event thread", "new thread", "operation", "direct")


def deliver_everywhere(lumora, sdk, delegate, wired_cloud):
    """OnLocalVideoChannelCreated(STREAM_TYPE_VIDEO_HIGH) once on every path a
    callback takes: the SDK's event thread, a new SDK thread, synchronously
    inside an operation, and a direct call from Python. `wired_cloud` is
    (cloud, id) of the delegate's cloud. Returns, per path, None when the
    call went through, else the error text it ended with."""
    high = lumora.STREAM_TYPE_VIDEO_HIGH
    cloud, cid = wired_cloud
    outcomes = {}
    for path in PATHS:
        errors = sdk.callback_errors(cid)
        if path == "direct":
            try:
                lumora.VELACloudDelegate.OnLocalVideoChannelCreated(delegate, high)
                outcomes[path] = None
            except Exception as error:
                outcomes[path] = f"{type(error).__name__}: {error}"
            continue
        if path == "operation":
            assert cloud.CreateLocalVideoChannel(high) == 0
            assert cloud.DestroyLocalVideoChannel(high) == 0
        else:
            mode = sdk.EVENT if path == "event thread" else sdk.NEW_THREAD
            sdk.inject("local_video_channel_created", cid, high.value, mode=mode)
            assert sdk.wait_idle(cid) == 0
        outcomes[path] = sdk.last_callback_error() if sdk.callback_errors(cid) > errors else None
    return outcomes


def cloud_of(lumora, sdk, delegate):
    """A new cloud of `delegate`, with its id."""
    cloud = lumora.VELACloud(delegate)
    return cloud, sdk.last_cloud_id()


def test_patched_class_methods_reach_every_path(lumora, sdk, monkeypatch):
    # Test suites patch a delegate class for a while: each callback calls
    # what getattr gives at that moment, a missing method is reported every
    # time, and once the patch is undone the class's own method receives
    # again, on every path, for instances old and new.
    from unittest import mock

    calls = []
    name = "OnLocalVideoChannelCreated"

    class Patched(lumora.VELACloudDelegate):
        def OnLocalVideoChannelCreated(self, stream_type):
            calls.append(("method", self))

        def OnLocalVideoChannelDestroyed(self, stream_type):
            pass

    old = Patched()
    old_cloud = cloud_of(lumora, sdk, old)
    high = lumora.STREAM_TYPE_VIDEO_HIGH
    everywhere = dict.fromkeys(PATHS)

    def each_path(*expected_calls):
        assert deliver_everywhere(lumora, sdk, old, old_cloud) == everywhere
        assert calls == list(expected_calls) * len(PATHS)
        calls.clear()

    each_path(("method", old))
    with mock.patch.object(Patched, name, new=calls.append):  # a builtin, called as it is
        each_path(high)
    each_path(("method", old))
    for shape in (staticmethod(calls.append), property(lambda self: calls.append)):
        monkeypatch.setattr(Patched, name, shape)
        each_path(high)
        monkeypatch.undo()
        each_path(("method", old))
    monkeypatch.delattr(Patched, name)
    for _ in range(2):
        outcomes = deliver_everywhere(lumora, sdk, old, old_cloud)
        assert all(MISSING.format(name) in text for text in outcomes.values()), outcomes
    monkeypatch.setattr(Patched, name, 42)
    outcomes = deliver_everywhere(lumora, sdk, old, old_cloud)
    assert all("TypeError" in text and "not callable" in text for text in outcomes.values()), outcomes
    monkeypatch.undo()
    assert calls == []
    each_path(("method", old))
    new = Patched()
    assert deliver_everywhere(lumora, sdk, new, cloud_of(lumora, sdk, new)) == everywhere
    assert calls == [("method", new)] * len(PATHS)


def test_instance_attributes_follow_one_rule_on_every_path(lumora, sdk):
    # What an instance sets under a callback's name is what getattr finds
    # first, so it is called on every path; other instances of the class
    # keep the class's method.
    from unittest import mock

    calls = []

    class Sub(lumora.VELACloudDelegate):
        def OnLocalVideoChannelCreated(self, stream_type):
            calls.append(("class", self))

        def OnLocalVideoChannelDestroyed(self, stream_type):
            pass

    shadowed, other = Sub(), Sub()
    clouds = {d: cloud_of(lumora, sdk, d) for d in (shadowed, other)}
    everywhere = dict.fromkeys(PATHS)

    def each_path(delegate, *expected_calls):
        assert deliver_everywhere(lumora, sdk, delegate, clouds[delegate]) == everywhere
        assert calls == list(expected_calls) * len(PATHS)
        calls.clear()

    high = lumora.STREAM_TYPE_VIDEO_HIGH
    shadowed.OnLocalVideoChannelCreated = lambda stream_type: calls.append(("instance", stream_type))
    each_path(shadowed, ("instance", high))
    each_path(other, ("class", other))
    with mock.patch.object(shadowed, "OnLocalVideoChannelCreated", new=calls.append):
        each_path(shadowed, high)
        each_path(other, ("class", other))
    each_path(shadowed, ("instance", high))
    del shadowed.OnLocalVideoChannelCreated
    each_path(shadowed, ("class", shadowed))

    class Raising(Sub):
        @property
        def OnLocalVideoChannelCreated(self):
            raise ValueError("no handler today")

    raising = Raising()
    clouds[raising] = cloud_of(lumora, sdk, raising)
    outcomes = deliver_everywhere(lumora, sdk, raising, clouds[raising])
    assert all("ValueError: no handler today" in text for text in outcomes.values()), outcomes
    each_path(other, ("class", other))


BASE_METHOD_ON_INSTANCE = r"""
import _lumora
import sdk_control as sdk

sdk.enable_journal(False)

class Sub(_lumora.VELACloudDelegate):
    def OnLocalVideoChannelCreated(self, stream_type):
        print("class method called")

    def OnLocalVideoChannelDestroyed(self, stream_type):
        pass

d = Sub()
d.OnLocalVideoChannelCreated = super(Sub, d).OnLocalVideoChannelCreated
cloud = _lumora.VELACloud(d)
cid = sdk.last_cloud_id()
high = _lumora.STREAM_TYPE_VIDEO_HIGH
for mode in (sdk.EVENT, sdk.NEW_THREAD):
    sdk.inject("local_video_channel_created", cid, high.value, mode=mode)
    sdk.wait_idle(cid)
    print("sdk thread:", sdk.last_callback_error())
cloud.CreateLocalVideoChannel(high)
print("operation:", sdk.last_callback_error())
try:
    d.OnLocalVideoChannelCreated(high)
except RuntimeError as error:
    print("direct:", error)
print("errors", sdk.callback_errors(cid))
"""


def test_base_method_set_on_the_instance_is_missing_without_recursion():
    from child import run_child

    result = run_child(BASE_METHOD_ON_INSTANCE, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    missing = MISSING.format("OnLocalVideoChannelCreated")
    assert [line.split(":")[0] for line in lines[:4]] == ["sdk thread", "sdk thread", "operation", "direct"]
    assert all(line.endswith(missing) for line in lines[:4]), lines
    assert lines[4] == "errors 3"

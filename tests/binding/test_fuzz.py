"""Every entry point fed with random Python values: only Python exceptions
may result, and a refused argument never reaches the SDK."""

import gc

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

from recorder import Recorder  # noqa: E402

BOUNDARIES = [0, 1, -1, 255, 256, 65535, 65536, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32,
              2**63, -2**63 - 1, 2**64, 10**30]


def values(lumora):
    records = st.sampled_from([lumora.RoomParams, lumora.EnterRoomParams, lumora.AudioEncodeParams,
                               lumora.VideoEncodeParams, lumora.NetworkQualityInfo, lumora.UserInfo,
                               lumora.AudioObtainParams, lumora.VADParams, lumora.AudioFrame,
                               lumora.VideoFrame, lumora.PixelFrame, lumora.VelaString]).map(lambda c: c())
    members = st.sampled_from([m for e in (lumora.Error, lumora.StreamType, lumora.VELARole,
                                           lumora.VideoRotation, lumora.NetworkQuality)
                               for m in e.__members__.values()])
    return st.one_of(
        st.integers(), st.sampled_from(BOUNDARIES), st.floats(allow_nan=True), st.booleans(), st.none(),
        st.text(), st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1),
        st.binary(max_size=64), st.binary(max_size=16).map(bytearray), st.binary(max_size=16).map(memoryview),
        members, records, st.just(object()), st.lists(st.integers(), max_size=3),
    )


def call_checked(journal, fn_name, call):
    """Calls; if Python refused the arguments, the SDK must not have seen the call."""
    before = len(journal.calls(fn_name)) if fn_name else 0
    try:
        call()
    except (TypeError, ValueError, RuntimeError, UnicodeDecodeError, OverflowError):
        if fn_name:
            assert len(journal.calls(fn_name)) == before, fn_name
        return False
    return True


SETTINGS = [("SetLogPath", 1), ("SetLogLevel", 1), ("DisableLogCompress", 1), ("DisableLogFile", 1),
            ("SetSocks5Proxy", 4), ("SetEnvironment", 1)]


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_module_functions(lumora, journal, data, tmp_path_factory):
    name, arity = data.draw(st.sampled_from(SETTINGS))
    args = [data.draw(values(lumora)) for _ in range(arity)]
    if name == "SetLogPath" and isinstance(args[0], (str, bytes, bytearray)):
        args[0] = str(tmp_path_factory.mktemp("logs"))  # never scatter folders around
    call_checked(journal, "HaloLiveSDK::" + name, lambda: getattr(lumora, name)(*args))
    journal.clear_journal()


OPERATIONS = [("EnterRoom", 1), ("Subscribe", 2), ("Unsubscribe", 2), ("GetAudioFrame", 1),
              ("CreateLocalAudioChannel", 1), ("SendAudioFrame", 1), ("SendContinuousAudioFrame", 2),
              ("CreateLocalVideoChannel", 1), ("DestroyLocalVideoChannel", 1), ("SendVideoFrame", 2),
              ("SendPixelFrame", 2), ("SetVideoEncodeParam", 2), ("SendSeiMessage", 2),
              ("SendCustomCmdMsg", 4), ("EnableVoiceActivityDetection", 1)]


@pytest.fixture(scope="module")
def fuzz_cloud(lumora):
    delegate = Recorder()
    cloud = lumora.VELACloud(delegate)
    yield cloud
    del cloud
    gc.collect()


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_cloud_operations(lumora, journal, fuzz_cloud, data):
    name, arity = data.draw(st.sampled_from(OPERATIONS))
    args = [data.draw(values(lumora)) for _ in range(arity)]
    call_checked(journal, "VELACloud::" + name, lambda: getattr(fuzz_cloud, name)(*args))
    journal.clear_journal()


def writable_fields(lumora):
    out = []
    for cls in (lumora.RoomParams, lumora.EnterRoomParams, lumora.AudioEncodeParams, lumora.VideoEncodeParams,
                lumora.NetworkQualityInfo, lumora.UserInfo, lumora.AudioObtainParams, lumora.VADParams,
                lumora.AudioFrame, lumora.VideoFrame, lumora.PixelFrame):
        for name, prop in vars(cls).items():
            if isinstance(prop, property) and prop.fset is not None:
                out.append((cls, name))
    return out


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_field_setters_keep_old_value_on_refusal(lumora, data):
    cls, name = data.draw(st.sampled_from(writable_fields(lumora)))
    obj = cls()
    value = data.draw(values(lumora))
    before = getattr(obj, name)
    before_repr = before.GetValue() if isinstance(before, lumora.VelaString) else None
    try:
        setattr(obj, name, value)
    except TypeError:
        after = getattr(obj, name)
        if isinstance(after, lumora.VelaString):
            assert after.GetValue() == before_repr
        elif isinstance(after, (int, bool)):
            assert after == before


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_payload_setters(lumora, journal, data):
    frame = data.draw(st.sampled_from([lumora.AudioFrame, lumora.VideoFrame, lumora.PixelFrame]))()
    value = data.draw(values(lumora))
    fn = type(frame).__name__ + "::SetData"
    ok = call_checked(journal, fn, lambda: frame.SetData(value))
    assert ok == isinstance(value, bytes)
    if ok:
        assert frame.data == value
    journal.clear_journal()


DELEGATE_METHODS = [("OnError", 1), ("OnConnectionStateChanged", 2), ("OnLocalVideoChannelCreated", 1),
                    ("OnRequestChangeVideoEncodeBitrate", 2), ("OnRemoteUserEnterRoom", 1),
                    ("OnRemoteUserExitRoom", 2), ("OnRemoteAudioAvailable", 2), ("OnRemoteVideoAvailable", 3),
                    ("OnRemoteVideoFrameReceived", 3), ("OnRemotePixelFrameReceived", 3),
                    ("OnRemoteAudioReceived", 2), ("OnRemoteMixedAudioReceived", 1),
                    ("OnSeiMessageReceived", 5), ("OnReceiveCustomCmdMsg", 5), ("OnMissCustomCmdMsg", 4),
                    ("OnNetworkQuality", 3)]


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_delegate_methods(lumora, data, capfd):
    name, arity = data.draw(st.sampled_from(DELEGATE_METHODS))
    args = [data.draw(values(lumora)) for _ in range(arity)]
    if arity >= 5 and data.draw(st.booleans()):
        args[-1] = data.draw(st.sampled_from(BOUNDARIES))  # counts beyond the object are the danger
    delegate = Recorder()
    native = getattr(lumora.VELACloudDelegate, name)
    call_checked(None, None, lambda: native(delegate, *args))
    capfd.readouterr()

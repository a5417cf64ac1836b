"""VELACloud: construction, lifetime, and the operations as the SDK sees them."""

import gc
import sys
import weakref

import pytest

from recorder import Recorder


def entries(journal, fn):
    return [e for e in journal.journal() if e["fn"] == fn]


def test_none_delegate(lumora, journal):
    cloud = lumora.VELACloud(None)
    cid = journal.last_cloud_id()
    (create,) = entries(journal, "VELACloud::Create")
    assert create["args"] == [None] and create["cloud"] == cid
    del cloud
    assert [e["cloud"] for e in entries(journal, "VELACloud::Destroy")] == [cid]


def test_constructor_refusals(lumora, journal):
    class Lookalike:
        def OnEnterRoom(self):
            pass

    for bad in (object(), Lookalike(), 5):
        with pytest.raises(TypeError):
            lumora.VELACloud(bad)
    with pytest.raises(TypeError):
        lumora.VELACloud(delegate=Recorder())
    assert entries(journal, "VELACloud::Create") == []


def test_cloud_keeps_delegate_alive(lumora, sdk):
    d = Recorder()
    ref = weakref.ref(d)
    count = sys.getrefcount(d)
    cloud = lumora.VELACloud(d)
    cid = sdk.last_cloud_id()
    assert sys.getrefcount(d) == count + 1
    del d
    gc.collect()
    assert ref() is not None
    sdk.inject("enter_room", cid, mode=sdk.NEW_THREAD)
    assert ref().names() == ["OnEnterRoom"]
    del cloud
    gc.collect()
    assert ref() is None


def test_destroy_once_and_before_delegate_release(lumora, journal):
    order = []

    class Tracked(Recorder):
        def __del__(self):
            order.append(("delegate freed", [e["fn"] for e in journal.journal()]))

    cloud = lumora.VELACloud(Tracked())
    cid = journal.last_cloud_id()
    del cloud
    gc.collect()
    (what, seen), = order
    assert seen.count("VELACloud::Destroy") == 1
    assert [e["cloud"] for e in entries(journal, "VELACloud::Destroy")] == [cid]


def test_two_clouds_share_one_delegate(lumora, journal):
    sdk = journal
    d = Recorder()
    ref = weakref.ref(d)
    first, second = lumora.VELACloud(d), lumora.VELACloud(d)
    a, b = sdk.last_cloud_id() - 1, sdk.last_cloud_id()
    creates = entries(sdk, "VELACloud::Create")
    assert [e["args"] for e in creates] == [["ptr"], ["ptr"]]
    sdk.inject("error", a, -1, mode=sdk.NEW_THREAD)
    sdk.inject("error", b, -2, mode=sdk.NEW_THREAD)
    assert d.named("OnError") == [(lumora.ERR_FAILED,), (lumora.ERR_INVALID_PARAMETER,)]
    del d, first
    gc.collect()
    assert ref() is not None
    del second
    gc.collect()
    assert ref() is None


def test_cycle_through_delegate_keeps_both(lumora, journal):
    d = Recorder()
    cloud = lumora.VELACloud(d)
    d.cloud = cloud
    del cloud
    gc.collect()
    assert entries(journal, "VELACloud::Destroy") == []
    del d.cloud
    gc.collect()
    assert len(entries(journal, "VELACloud::Destroy")) == 1
    del d


def test_dropped_during_exception_keeps_exception(lumora):
    def fail():
        cloud = lumora.VELACloud(Recorder())
        raise KeyError("kept")

    with pytest.raises(KeyError, match="kept"):
        fail()
    try:
        raise ValueError("active")
    except ValueError:
        lumora.VELACloud(None)
        assert sys.exc_info()[1].args == ("active",)


@pytest.fixture
def cloud(lumora, journal):
    c = lumora.VELACloud(Recorder())
    journal.clear_journal()
    yield c
    del c


def args_of(journal, fn):
    return [e["args"] for e in entries(journal, "VELACloud::" + fn)]


def test_message_operations(lumora, journal, cloud):
    assert cloud.SendCustomCmdMsg(-1, b"\0a\0", True, None) in (0, 1)
    cloud.SendCustomCmdMsg(cmd_id=7, message=b"", reliable=0.0, ordered=3)
    assert args_of(journal, "SendCustomCmdMsg") == [[4294967295, b"\0a\0", True, False], [7, b"", False, True]]
    cloud.SendSeiMessage(-5, b"\0\0")
    assert args_of(journal, "SendSeiMessage") == [[-5, b"\0\0"]]
    journal.clear_journal()
    for bad in (bytearray(b"x"), memoryview(b"x"), "x", None):
        with pytest.raises(TypeError):
            cloud.SendSeiMessage(1, bad)
    for bad_id in (2147483648, -2147483649, 1.0):
        with pytest.raises(TypeError):
            cloud.SendCustomCmdMsg(bad_id, b"x", True, True)
    with pytest.raises(TypeError):
        cloud.SendCustomCmdMsg(1, b"x", True)
    with pytest.raises(TypeError):
        cloud.SendCustomCmdMsg(1, b"x", "yes", True)
    assert journal.journal() == []


def test_stream_type_and_user_id_conversions(lumora, journal, cloud):
    cloud.Subscribe("ali\0ce", lumora.STREAM_TYPE_VIDEO_HIGH)
    cloud.Unsubscribe(b"bob", lumora.STREAM_TYPE_AUDIO)
    assert args_of(journal, "Subscribe") == [[b"ali", 2]]
    assert args_of(journal, "Unsubscribe") == [[b"bob", 1]]
    journal.clear_journal()
    with pytest.raises(TypeError):
        cloud.Subscribe("alice", 2)
    with pytest.raises(TypeError):
        cloud.Subscribe("\udcff", lumora.STREAM_TYPE_AUDIO)
    with pytest.raises(TypeError):
        cloud.Subscribe(None, lumora.STREAM_TYPE_AUDIO)
    with pytest.raises(TypeError):
        cloud.CreateLocalVideoChannel(lumora.VELA_ROLE_ANCHOR)
    assert journal.journal() == []


def test_record_and_frame_operations(lumora, journal, cloud):
    assert cloud.GetAudioFrame(None) == lumora.ERR_INVALID_PARAMETER
    assert args_of(journal, "GetAudioFrame") == [[None]]
    frame = lumora.AudioFrame()
    frame.SetData(b"\1\2")
    journal.clear_journal()
    cloud.SendContinuousAudioFrame(frame, False)
    (sent, clear), = args_of(journal, "SendContinuousAudioFrame")
    assert sent["data"] == b"\1\2" and clear is False
    assert cloud.SetVideoEncodeParam(lumora.STREAM_TYPE_VIDEO_HIGH, lumora.VideoEncodeParams()) is None
    assert cloud.EnableVoiceActivityDetection(lumora.VADParams()) is None
    pixel = lumora.PixelFrame()
    pixel.SetData(b"p")
    cloud.SendPixelFrame(lumora.STREAM_TYPE_VIDEO_HIGH, pixel)
    assert len(args_of(journal, "SendPixelFrame")) == 1
    journal.clear_journal()
    for call in (lambda: cloud.SendAudioFrame(None), lambda: cloud.EnterRoom(None),
                 lambda: cloud.SendContinuousAudioFrame(frame),
                 lambda: cloud.SendVideoFrame(lumora.STREAM_TYPE_VIDEO_HIGH, pixel),
                 lambda: cloud.CreateLocalAudioChannel(lumora.VideoEncodeParams())):
        with pytest.raises(TypeError):
            call()
    assert journal.journal() == []


def test_operations_before_entering_return_sdk_codes(lumora, cloud):
    assert cloud.ExitRoom() == lumora.ERR_INVALID_OPERATION
    assert cloud.SendCustomCmdMsg(1, b"x", True, True) == 0
    assert cloud.SendSeiMessage(1, b"x") == lumora.ERR_INVALID_OPERATION

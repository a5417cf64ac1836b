"""The eleven enumerations: members, values, naming, comparison, pickling."""

import operator
import pickle

import pytest

ORDER = {
    "Error": [("ERR_OK", 0), ("ERR_FAILED", -1), ("ERR_INVALID_PARAMETER", -2),
              ("ERR_INVALID_OPERATION", -3), ("ERR_NOT_SUPPORTED", -4), ("ERR_REQUEST_SERVER_TIMEOUT", -6),
              ("ERR_SERVER_PROCESS_FAILED", -7), ("ERR_READ_TRY_AGAIN", -102),
              ("ERR_NETWORK_UNREACHABLE", -103), ("ERR_ENTER_ROOM_FAILED", -3301),
              ("ERR_INVALID_SDK_APP_ID", -3317), ("ERR_INVALID_ROOM_ID", -3318),
              ("ERR_INVALID_USER_ID", -3319), ("ERR_INVALID_USER_SIG", -3320),
              ("ERR_SERVICE_SUSPENDED", -100013), ("ERR_BANNED_BY_SERVER", -205)],
    "VideoCodecType": [("VIDEO_CODEC_TYPE_H264", 0), ("VIDEO_CODEC_TYPE_H265", 1)],
    "AudioCodecType": [("AUDIO_CODEC_TYPE_PCM", 0), ("AUDIO_CODEC_TYPE_OPUS", 1), ("AUDIO_CODEC_TYPE_AAC", 2)],
    "VELARole": [("VELA_ROLE_ANCHOR", 0), ("VELA_ROLE_AUDIENCE", 1)],
    "VELAScene": [("VELA_SCENE_VIDEO_CALL", 0), ("VELA_SCENE_AUDIO_CALL", 1), ("VELA_SCENE_LIVE", 2),
                  ("VELA_SCENE_VOICE_CHAT", 3), ("VELA_SCENE_RECORD", 4)],
    "StreamType": [("STREAM_TYPE_UNKNOWN", -1), ("STREAM_TYPE_VIDEO_HIGH", 2), ("STREAM_TYPE_VIDEO_LOW", 3),
                   ("STREAM_TYPE_VIDEO_AUX", 7), ("STREAM_TYPE_AUDIO", 1)],
    "AudioObtainMethod": [("AUDIO_OBTAIN_METHOD_GET", 0), ("AUDIO_OBTAIN_METHOD_CALLBACK", 1)],
    "NetworkQuality": [("NETWORK_QUALITY_UNKNOWN", 0), ("NETWORK_QUALITY_EXCELLENT", 1),
                       ("NETWORK_QUALITY_GOOD", 2), ("NETWORK_QUALITY_POOR", 3), ("NETWORK_QUALITY_BAD", 4),
                       ("NETWORK_QUALITY_VERY_BAD", 5), ("NETWORK_QUALITY_DOWN", 6)],
    "ConnectionState": [("CONNECTION_STATE_INIT", 0), ("CONNECTION_STATE_DISCONNECTED", 1),
                        ("CONNECTION_STATE_CONNECTING", 2), ("CONNECTION_STATE_CONNECTED", 3)],
    "VideoRotation": [("VIDEO_ROTATION_0", 0), ("VIDEO_ROTATION_90", 1), ("VIDEO_ROTATION_180", 2),
                      ("VIDEO_ROTATION_270", 3)],
    "VideoPixelFormat": [("VIDEO_PIXEL_FORMAT_YUV420p", 0), ("VIDEO_PIXEL_FORMAT_YUVA420p", 1),
                         ("VIDEO_PIXEL_FORMAT_RGBA", 2)],
}


@pytest.mark.parametrize("enum_name", list(ORDER))
def test_members_in_registration_order_with_values(lumora, enum_name):
    enum = getattr(lumora, enum_name)
    members = [(name, member.value) for name, member in enum.__members__.items()]
    assert members == ORDER[enum_name]
    for name, value in ORDER[enum_name]:
        member = getattr(enum, name)
        assert getattr(lumora, name) is member
        assert int(member) == operator.index(member) == value
        assert member.name == name
        assert repr(member) == f"<{enum_name}.{name}: {value}>"
        assert str(member) == f"{enum_name}.{name}"
    assert enum.__doc__ == "Members:" + "".join(f"\n\n  {name}" for name, _ in ORDER[enum_name])


def test_unknown_values(lumora):
    unknown = lumora.StreamType(0)
    assert unknown.name == "???"
    assert repr(unknown) == "<StreamType.???: 0>"
    assert str(unknown) == "StreamType.???"
    assert lumora.StreamType(-1) == lumora.STREAM_TYPE_UNKNOWN
    assert lumora.StreamType(-1) is not lumora.STREAM_TYPE_UNKNOWN


def test_constructor_range(lumora):
    assert lumora.VELARole(4294967295).value == 4294967295
    assert lumora.Error(-2147483648).value == -2147483648
    for enum, bad in ((lumora.VELARole, -1), (lumora.VELARole, 2**32), (lumora.Error, 2**31),
                      (lumora.Error, 1.0), (lumora.Error, "0"), (lumora.Error, None)):
        with pytest.raises(TypeError):
            enum(bad)


def test_comparisons_and_hash(lumora):
    assert lumora.ERR_ENTER_ROOM_FAILED == -3301
    assert lumora.VELA_ROLE_ANCHOR == lumora.VIDEO_CODEC_TYPE_H264
    assert lumora.ERR_OK != None  # noqa: E711
    assert not (lumora.ERR_OK == None)  # noqa: E711
    assert {lumora.STREAM_TYPE_AUDIO: "a"}[1] == "a"
    assert hash(lumora.ERR_FAILED) == hash(-1)
    assert lumora.VIDEO_ROTATION_90.value == 1
    for op in (operator.lt, operator.le, operator.gt, operator.ge, operator.and_, operator.or_, operator.xor):
        with pytest.raises(TypeError):
            op(lumora.VIDEO_ROTATION_90, lumora.VIDEO_ROTATION_180)
    with pytest.raises(TypeError):
        ~lumora.VIDEO_ROTATION_90


def test_pickle_and_copy(lumora):
    import copy

    restored = pickle.loads(pickle.dumps(lumora.ERR_FAILED))
    assert isinstance(restored, lumora.Error)
    assert restored == lumora.ERR_FAILED and restored.name == "ERR_FAILED"
    assert copy.copy(lumora.STREAM_TYPE_AUDIO) == lumora.STREAM_TYPE_AUDIO


def test_fields_accept_only_their_enumeration(lumora):
    params = lumora.EnterRoomParams()
    params.scene = lumora.VELA_SCENE_LIVE
    read = params.scene
    assert read == lumora.VELA_SCENE_LIVE and read is not lumora.VELA_SCENE_LIVE
    for bad in (2, lumora.VELA_ROLE_AUDIENCE, None, "VELA_SCENE_LIVE"):
        with pytest.raises(TypeError):
            params.scene = bad
    assert params.scene == lumora.VELA_SCENE_LIVE

    class MyScene(lumora.VELAScene):
        pass

    params.scene = MyScene(4)
    assert params.scene == lumora.VELA_SCENE_RECORD

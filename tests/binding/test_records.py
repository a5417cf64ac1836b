"""The eight records: defaults, field order, ranges, views and copies."""

import gc

import pytest


def fields(cls):
    return [n for n, v in vars(cls).items() if isinstance(v, property)]


def test_field_registration_order(lumora):
    assert fields(lumora.RoomParams) == ["room_id", "str_room_id", "user_id", "user_sig", "sdk_app_id"]
    assert fields(lumora.EnterRoomParams) == ["room", "scene", "role", "private_map_key", "audio_obtain_params",
                                              "use_pixel_frame_input", "use_pixel_frame_output"]
    assert fields(lumora.AudioObtainParams) == ["audio_obtain_method", "enable_remote_audio_mix",
                                                "output_sample_rate", "output_channels",
                                                "output_frame_length_ms", "output_audio_codec_type"]
    assert fields(lumora.NetworkQualityInfo) == ["user_id", "quality"]


def test_defaults(lumora):
    a = lumora.AudioEncodeParams()
    assert (a.channels, a.sample_rate, a.frame_length_ms, a.bitrate_bps, a.need_encode) == (1, 48000, 20, 51200, True)
    v = lumora.VideoEncodeParams()
    assert (v.frame_rate, v.bitrate_bps, v.gop_in_seconds) == (15, 0, 3)
    o = lumora.AudioObtainParams()
    assert (o.audio_obtain_method, o.enable_remote_audio_mix, o.output_sample_rate, o.output_channels,
            o.output_frame_length_ms, o.output_audio_codec_type) == (
        lumora.AUDIO_OBTAIN_METHOD_CALLBACK, False, 16000, 1, 20, lumora.AUDIO_CODEC_TYPE_PCM)
    q = lumora.NetworkQualityInfo()
    assert q.user_id.GetValue() == "" and q.quality == lumora.NETWORK_QUALITY_DOWN
    assert lumora.VADParams().enable is False
    assert lumora.UserInfo().user_id.GetValue() == ""
    r = lumora.RoomParams()
    assert (r.sdk_app_id, r.room_id, r.user_id.GetValue(), r.str_room_id.GetValue()) == (0, 0, "", "")
    e = lumora.EnterRoomParams()
    assert (e.scene, e.role, e.use_pixel_frame_input, e.use_pixel_frame_output) == (
        lumora.VELA_SCENE_VIDEO_CALL, lumora.VELA_ROLE_ANCHOR, False, False)
    assert e.audio_obtain_params.output_sample_rate == 16000


def test_constructor_takes_no_arguments(lumora):
    with pytest.raises(TypeError):
        lumora.RoomParams(room_id=1)
    with pytest.raises(TypeError):
        lumora.VADParams(True)


def test_integer_ranges(lumora):
    r = lumora.RoomParams()
    r.room_id = 4294967295
    assert r.room_id == 4294967295
    for bad in (-1, 4294967296, 1.0, None, "1"):
        with pytest.raises(TypeError):
            r.room_id = bad
    assert r.room_id == 4294967295
    a = lumora.AudioEncodeParams()
    a.channels = -2147483648
    for bad in (2147483648, -2147483649, 2.5):
        with pytest.raises(TypeError):
            a.channels = bad
    assert a.channels == -2147483648

    class Index:
        def __index__(self):
            return 7

    a.bitrate_bps = Index()
    assert a.bitrate_bps == 7


def test_bool_fields(lumora):
    v = lumora.VADParams()
    v.enable = 2
    assert v.enable is True
    v.enable = None
    assert v.enable is False
    v.enable = 0.5
    assert v.enable is True
    with pytest.raises(TypeError):
        v.enable = "yes"
    assert v.enable is True


def test_embedded_record_views(lumora):
    p = lumora.EnterRoomParams()
    assert p.room is p.room
    p.room.room_id = 5
    assert p.room.room_id == 5
    p.audio_obtain_params.output_sample_rate = 48000
    assert p.audio_obtain_params.output_sample_rate == 48000
    room_view = p.room
    text_view = p.room.user_id
    text_view.SetValue("carol")
    del p, room_view
    gc.collect()
    [lumora.EnterRoomParams() for _ in range(50)]
    assert text_view.GetValue() == "carol"


def test_view_outlives_parent(lumora):
    p = lumora.EnterRoomParams()
    p.room.sdk_app_id = 1400
    room = p.room
    del p
    gc.collect()
    [lumora.EnterRoomParams() for _ in range(50)]
    assert room.sdk_app_id == 1400
    room.room_id = 9
    assert room.room_id == 9


def test_record_assignment_copies(lumora):
    p = lumora.EnterRoomParams()
    old_view = p.room
    room = lumora.RoomParams()
    room.room_id = 42
    room.user_id = lumora.VelaString("dave")
    p.room = room
    room.room_id = 43
    room.user_id.SetValue("eve")
    assert p.room.room_id == 42 and p.room.user_id.GetValue() == "dave"
    assert old_view.room_id == 42
    obtain = lumora.AudioObtainParams()
    obtain.audio_obtain_method = lumora.AUDIO_OBTAIN_METHOD_GET
    obtain.output_channels = 2
    p.audio_obtain_params = obtain
    assert p.audio_obtain_params.audio_obtain_method == lumora.AUDIO_OBTAIN_METHOD_GET
    assert p.audio_obtain_params.output_channels == 2
    for bad in (None, lumora.AudioObtainParams(), 1):
        with pytest.raises(TypeError):
            p.room = bad
    assert p.room.room_id == 42


def test_enter_room_params_round_trip(lumora):
    p = lumora.EnterRoomParams()
    p.room.sdk_app_id = 1400000001
    p.room.user_id = lumora.VelaString("alice")
    p.room.user_sig = lumora.VelaString("sig-ä")
    p.room.room_id = 0
    p.room.str_room_id = lumora.VelaString("studio")
    p.scene = lumora.VELA_SCENE_LIVE
    p.role = lumora.VELA_ROLE_AUDIENCE
    p.private_map_key = lumora.VelaString("key")
    p.use_pixel_frame_input = True
    assert (p.room.sdk_app_id, str(p.room.user_id), str(p.room.user_sig), str(p.room.str_room_id),
            p.scene, p.role, str(p.private_map_key), p.use_pixel_frame_input, p.use_pixel_frame_output) == (
        1400000001, "alice", "sig-ä", "studio", lumora.VELA_SCENE_LIVE, lumora.VELA_ROLE_AUDIENCE, "key",
        True, False)


@pytest.mark.parametrize("record, field, value", [
    ("RoomParams", "room_id", "7"),
    ("EnterRoomParams", "room", 3),
    ("AudioObtainParams", "output_sample_rate", None),
])
def test_setter_errors_name_the_field(lumora, record, field, value):
    target = getattr(lumora, record)()
    with pytest.raises(TypeError, match=rf"^{field}\(\): incompatible function arguments"):
        setattr(target, field, value)

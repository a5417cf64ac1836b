"""The three frames: fields, payload storage and the zero-copy setter."""

import gc

import pytest


def test_field_order(lumora):
    names = lambda cls: [n for n, v in vars(cls).items() if isinstance(v, property) or n.startswith("Set")]
    assert names(lumora.AudioFrame) == ["pts", "sample_rate", "channels", "bits_per_sample", "codec",
                                        "has_voice", "data", "SetData", "size", "SetExtraData"]
    assert names(lumora.VideoFrame) == ["pts", "dts", "codec", "is_key_frame", "rotation", "data", "SetData",
                                        "size"]
    assert names(lumora.PixelFrame) == ["pts", "format", "height", "width", "rotation", "data", "SetData",
                                        "size"]


@pytest.mark.parametrize("cls", ["AudioFrame", "VideoFrame", "PixelFrame"])
def test_payload_storage(lumora, cls):
    frame = getattr(lumora, cls)()
    assert frame.size == 0 and frame.data == b""
    frame.SetData(b"abc")
    before = frame.data
    assert (frame.size, before) == (3, b"abc")
    frame.SetData(b"\0x")
    assert (frame.size, frame.data) == (2, b"\0x")
    assert before == b"abc"
    payload = bytes(range(256)) * 3 + b"\0\0"
    frame.SetData(payload)
    assert frame.data == payload
    for bad in (bytearray(b"zz"), "zz", None, memoryview(b"zz"), 5):
        with pytest.raises(TypeError):
            frame.SetData(bad)
    assert frame.data == payload
    frame.SetData(b"")
    assert frame.size == 0 and frame.data == b""
    with pytest.raises(AttributeError):
        frame.size = 4
    with pytest.raises(AttributeError):
        frame.data = b"x"


def test_empty_payload_passes_non_null_pointer(lumora, journal):
    lumora.VideoFrame().SetData(b"")
    assert journal.calls("VideoFrame::SetData") == [[b""]]


def test_bytes_subclass_and_zero_bytes_reach_sdk_whole(lumora, journal):
    class Payload(bytes):
        pass

    frame = lumora.AudioFrame()
    frame.SetData(Payload(b"\0a\0"))
    frame.SetExtraData(b"\x01\x02")
    assert frame.data == b"\0a\0"
    assert journal.calls("AudioFrame::SetData") == [[b"\0a\0"]]
    assert journal.calls("AudioFrame::SetExtraData") == [[b"\x01\x02"]]


def test_set_extra_data_only_on_audio(lumora):
    assert hasattr(lumora.AudioFrame, "SetExtraData")
    with pytest.raises(AttributeError):
        lumora.VideoFrame().SetExtraData
    with pytest.raises(AttributeError):
        lumora.PixelFrame().SetExtraData


def test_multi_megabyte_picture(lumora):
    width, height = 1920, 1080
    picture = bytes((i * 7) & 0xFF for i in range(256)) * (width * height * 3 // 2 // 256)
    frame = lumora.PixelFrame()
    frame.width, frame.height = width, height
    frame.format = lumora.VIDEO_PIXEL_FORMAT_YUV420p
    frame.SetData(picture)
    del picture
    gc.collect()
    data = frame.data
    assert frame.size == len(data) == 3110400
    assert data == bytes((i * 7) & 0xFF for i in range(256)) * (3110400 // 256)


def test_field_checks(lumora):
    a = lumora.AudioFrame()
    a.pts = 4294967295
    with pytest.raises(TypeError):
        a.pts = -1
    assert a.pts == 4294967295
    v = lumora.VideoFrame()
    with pytest.raises(TypeError):
        v.codec = 1
    v.codec = lumora.VIDEO_CODEC_TYPE_H265
    assert v.codec == lumora.VIDEO_CODEC_TYPE_H265
    v.is_key_frame = None
    assert v.is_key_frame is False
    with pytest.raises(TypeError):
        v.rotation = lumora.VIDEO_CODEC_TYPE_H265
    p = lumora.PixelFrame()
    p.rotation = lumora.VIDEO_ROTATION_270
    assert p.rotation.value == 3


def test_twenty_ms_stereo_pcm_round_trip(lumora):
    import array
    import math

    samples = array.array("h", (int(8000 * math.sin(2 * math.pi * 440 * i / 48000)) for i in range(960)
                                for _ in range(2)))
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 2, 16
    frame.codec = lumora.AUDIO_CODEC_TYPE_PCM
    frame.pts, frame.has_voice = 1234, True
    frame.SetData(samples.tobytes())
    assert frame.size == 960 * 2 * 2
    assert array.array("h", frame.data) == samples
    assert (frame.sample_rate, frame.channels, frame.bits_per_sample, frame.codec, frame.pts, frame.has_voice) == (
        48000, 2, 16, lumora.AUDIO_CODEC_TYPE_PCM, 1234, True)

"""lumora_kit.media: PCM and frames, pictures, resampling, WAV, Y4M and PNG files.

Tests that need numpy or soxr take the `np` or `soxr` fixture and skip
without them; the missing-extra behaviour is tested in child interpreters
where those modules are hidden.
"""

import fractions
import io
import os
import struct
import subprocess
import sys
import textwrap
import wave
import zlib

import pytest

_lumora = pytest.importorskip("_lumora")
from lumora_kit import media  # noqa: E402


@pytest.fixture(scope="module")
def np():
    return pytest.importorskip("numpy")


@pytest.fixture(scope="module")
def soxr(np):
    return pytest.importorskip("soxr")


def dominant_frequency(np, pcm, sample_rate):
    samples = np.frombuffer(pcm, dtype="<i2").astype(np.float64)
    spectrum = np.abs(np.fft.rfft(samples * np.hanning(len(samples))))
    return np.argmax(spectrum) * sample_rate / len(samples)


# ---- Audio ---------------------------------------------------------------------


def test_frame_from_pcm_describes_16_bit_pcm_and_checks_lengths():
    pcm = media.tone(440, 20, 16000, channels=2)
    frame = media.frame_from_pcm(bytearray(pcm), 16000, 2, pts=7)
    assert (frame.sample_rate, frame.channels, frame.bits_per_sample, frame.codec, frame.pts) == (
        16000, 2, 16, _lumora.AUDIO_CODEC_TYPE_PCM, 7)
    assert media.pcm_from_frame(frame) == pcm
    with pytest.raises(ValueError, match="whole number of 16-bit samples for 2 channel"):
        media.frame_from_pcm(pcm[:-2], 16000, 2)
    frame.codec = _lumora.AUDIO_CODEC_TYPE_OPUS
    with pytest.raises(ValueError, match="not a 16-bit PCM frame"):
        media.pcm_from_frame(frame)


def test_samples_from_frame_views_the_one_copy_of_the_payload(np):
    stereo = np.array([[1, -1], [2, -2], [32767, -32768]], dtype=np.int16)
    frame = media.frame_from_samples(stereo, 48000)
    assert frame.channels == 2 and frame.data == stereo.astype("<i2").tobytes()
    samples = media.samples_from_frame(frame)
    assert samples.shape == (3, 2) and samples.dtype == np.int16
    np.testing.assert_array_equal(samples, stereo)
    # A view of the bytes object that frame.data made, not a second copy.
    owner = samples
    while isinstance(owner, np.ndarray):
        assert not owner.flags.owndata
        owner = owner.base
    assert isinstance(owner, bytes) and not samples.flags.writeable
    mono = media.frame_from_samples(np.array([5, 6], dtype=np.int16), 8000)
    assert mono.channels == 1 and media.samples_from_frame(mono).shape == (2, 1)
    with pytest.raises(TypeError, match="int16"):
        media.frame_from_samples(np.zeros(4, dtype=np.float32), 48000)
    with pytest.raises(ValueError, match="shape"):
        media.frame_from_samples(np.zeros((2, 2, 2), dtype=np.int16), 48000)


def test_split_pcm_whole_frames_with_or_without_padding():
    pcm = bytes(range(256)) * 5  # 1280 bytes: 640 mono samples at 16 kHz, 40 ms
    frames = media.split_pcm(pcm[:1000], 16000, 1, 20)
    assert [len(f) for f in frames] == [640, 640]
    assert frames[0] == pcm[:640] and frames[1] == pcm[640:1000] + bytes(280)
    assert [len(f) for f in media.split_pcm(pcm[:1000], 16000, 1, 20, pad=False)] == [640, 360]
    assert media.split_pcm(b"", 16000, 1) == []
    with pytest.raises(ValueError, match="not a whole number of samples"):
        media.split_pcm(pcm, 22050, 1, 10)
    assert media.frame_bytes(44100, 2, 10) == 1764


def test_tone_and_silence(np):
    pcm = media.tone(1000, 100, 48000, channels=2, amplitude=0.5)
    samples = np.frombuffer(pcm, dtype="<i2").reshape(-1, 2)
    assert samples.shape == (4800, 2)
    np.testing.assert_array_equal(samples[:, 0], samples[:, 1])
    assert 16300 <= samples.max() <= 16384
    assert dominant_frequency(np, samples[:, 0].tobytes(), 48000) == pytest.approx(1000, abs=10)
    # Pieces with consecutive start samples are the same signal as one tone.
    assert media.tone(440, 20) + media.tone(440, 20, start_sample=960) == media.tone(440, 40)
    assert media.silence(10, 8000, 2) == bytes(320)
    with pytest.raises(ValueError, match="amplitude"):
        media.tone(440, 20, amplitude=1.5)


def test_resampler_streams_what_the_one_shot_resample_gives(np, soxr):
    pcm = media.tone(1000, 500, 48000)
    resampler = media.Resampler(48000, 16000)
    streamed = b"".join(resampler.process(frame) for frame in media.split_pcm(pcm, 48000, 1)) + resampler.flush()
    whole = media.resample(pcm, 48000, 16000)
    assert isinstance(streamed, bytes) and len(streamed) == len(whole)
    # The filter's arithmetic may round a sample differently at a piece's edge.
    assert np.abs(np.frombuffer(streamed, "<i2").astype(int) - np.frombuffer(whole, "<i2")).max() <= 2
    assert len(whole) == len(pcm) // 3
    assert dominant_frequency(np, whole, 16000) == pytest.approx(1000, abs=10)
    # Arrays in, arrays out, mono stays one-dimensional.
    array = np.frombuffer(pcm, dtype=np.int16)
    out = media.resample(array, 48000, 16000)
    assert out.shape == (8000,) and out.dtype == np.int16 and out.tobytes() == whole
    stereo = media.Resampler(16000, 48000, channels=2).process(np.zeros((160, 2), dtype=np.int16))
    assert stereo.ndim == 2 and stereo.shape[1] == 2
    with pytest.raises(ValueError, match="2 channel"):
        media.Resampler(48000, 16000).process(np.zeros((10, 2), dtype=np.int16))
    with pytest.raises(ValueError, match="whole number"):
        media.Resampler(48000, 16000, channels=2).process(b"\0" * 6)


def test_resampler_takes_float_and_stereo_input_and_remixes_channels(np, soxr):
    left = np.sin(np.arange(24000) * 2 * np.pi * 440 / 24000) * 0.5  # 1 s of 440 Hz at 24 kHz
    right = np.sin(np.arange(24000) * 2 * np.pi * 1000 / 24000) * 0.25
    stereo = np.stack([left, right], axis=1).astype(np.float32)
    to_mono = media.Resampler(24000, 48000, channels=2, output_channels=1)
    mono = np.concatenate([to_mono.process(stereo), to_mono.flush_samples()])
    assert mono.dtype == np.int16 and mono.shape == (48000, 1)
    spectrum = np.abs(np.fft.rfft(mono[:, 0]))
    assert sorted(np.argsort(spectrum)[-2:]) == [440, 1000]  # both channels, mixed, at the right pitch
    # Float PCM in a buffer (array("d")), clipped, mono copied to both channels, equal rates.
    import array
    out = media.Resampler(16000, 16000, output_channels=2).process(array.array("d", [0.5, -2.0, 1.0]))
    assert out == np.array([[16384, 16384], [-32767, -32767], [32767, 32767]], "<i2").tobytes()
    to_stereo = media.Resampler(16000, 16000, channels=3, output_channels=2)
    assert to_stereo.process(np.array([[1, 2, 3]], np.int16)).tolist() == [[1, 2]]
    with pytest.raises(ValueError, match="whole number"):
        to_stereo.process(array.array("f", [0.0] * 4))
    with pytest.raises(TypeError, match="16-bit PCM or float"):
        to_stereo.process(array.array("i", [0] * 3))


def test_resampler_with_equal_rates_passes_pieces_through():
    resampler = media.Resampler(16000, 16000)
    assert resampler.process(bytearray(b"\1\0\2\0")) == b"\1\0\2\0"
    assert resampler.flush() == b""


# ---- Pictures ------------------------------------------------------------------


def solid_i420(width, height, y, u, v):
    return bytes([y]) * (width * height) + bytes([u]) * (width * height // 4) + bytes([v]) * (width * height // 4)


@pytest.mark.parametrize("yuv, rgb", [
    ((235, 128, 128), (255, 255, 255)), ((16, 128, 128), (0, 0, 0)),
    ((81, 90, 240), (255, 0, 0)), ((145, 54, 34), (0, 255, 0)), ((41, 240, 110), (0, 0, 255)),
])
def test_i420_and_rgb_convert_known_colours_both_ways(np, yuv, rgb):
    rgb_image = media.i420_to_rgb(solid_i420(4, 2, *yuv), 4, 2)
    assert rgb_image.shape == (2, 4, 3)
    assert np.abs(rgb_image.astype(int) - rgb).max() <= 2
    back = media.rgb_to_i420(np.full((2, 4, 3), rgb, dtype=np.uint8))
    assert np.abs(np.frombuffer(back, dtype=np.uint8).astype(int) - np.frombuffer(solid_i420(4, 2, *yuv), np.uint8)).max() <= 1
    rgba = media.i420_to_rgba(solid_i420(4, 2, *yuv), 4, 2, alpha=9)
    assert rgba.shape == (2, 4, 4) and (rgba[..., 3] == 9).all()


def test_rgb_round_trip_keeps_a_picture_and_refuses_odd_sizes(np):
    pattern = media.test_pattern(32, 16, 3)
    rgb = media.i420_to_rgb(pattern, 32, 16)
    assert np.abs(np.frombuffer(media.rgb_to_i420(rgb), np.uint8).astype(int)
                  - np.frombuffer(pattern, np.uint8)).max() <= 2
    with pytest.raises(ValueError, match="even"):
        media.rgb_to_i420(np.zeros((3, 4, 3), dtype=np.uint8))
    with pytest.raises(ValueError, match="even"):
        media.i420_to_rgb(bytes(15), 5, 2)
    with pytest.raises(ValueError, match="is 12 bytes, not 11"):
        media.i420_to_rgb(bytes(11), 4, 2)
    with pytest.raises(ValueError, match="uint8 image"):
        media.rgb_to_i420(np.zeros((2, 4, 3), dtype=np.float32))


def test_pixel_frames_from_and_to_pictures(np):
    picture = media.test_pattern(16, 8, 0)
    frame = media.pixel_frame_from_i420(memoryview(picture), 16, 8, pts=3)
    assert (frame.width, frame.height, frame.format, frame.pts) == (16, 8, _lumora.VIDEO_PIXEL_FORMAT_YUV420p, 3)
    assert media.i420_from_pixel_frame(frame) == picture
    with_alpha = media.pixel_frame_from_i420(picture, 16, 8)
    with_alpha.format = _lumora.VIDEO_PIXEL_FORMAT_YUVA420p
    with_alpha.SetData(picture + bytes(16 * 8))
    assert media.i420_from_pixel_frame(with_alpha) == picture
    from_rgb = media.pixel_frame_from_rgb(media.i420_to_rgb(picture, 16, 8))
    assert (from_rgb.width, from_rgb.height) == (16, 8) and from_rgb.size == len(picture)
    rgba = _lumora.PixelFrame()
    rgba.format, rgba.width, rgba.height = _lumora.VIDEO_PIXEL_FORMAT_RGBA, 2, 2
    rgba.SetData(bytes([255, 0, 0, 255]) * 4)
    assert media.rgb_from_pixel_frame(rgba).shape == (2, 2, 4)
    assert np.abs(np.frombuffer(media.i420_from_pixel_frame(rgba), np.uint8).astype(int)
                  - np.frombuffer(solid_i420(2, 2, 81, 90, 240), np.uint8)).max() <= 1


def test_frames_without_a_picture_say_which_room_option_is_missing():
    sizeless = _lumora.PixelFrame()  # how pictures arrive without pixel-frame output
    sizeless.SetData(bytes(12))
    with pytest.raises(ValueError, match="use_pixel_frame_output"):
        media.i420_from_pixel_frame(sizeless)
    with pytest.raises(TypeError, match="use_pixel_frame_output"):
        media.png_bytes(_lumora.VideoFrame())
    short = media.pixel_frame_from_i420(bytes(12), 4, 2)
    short.SetData(bytes(10))
    with pytest.raises(ValueError, match="is 12 bytes, not 10"):
        media.i420_from_pixel_frame(short)


def test_test_pattern_moves_with_its_index():
    pictures = [media.test_pattern(64, 16, i) for i in range(32)]
    assert all(len(p) == 64 * 16 * 3 // 2 for p in pictures)
    assert len(set(pictures)) == 32
    assert media.test_pattern(64, 16, 32) == pictures[0]  # wrapped around
    assert media.test_pattern.__test__ is False


# ---- Files ---------------------------------------------------------------------


def test_wav_writer_takes_bytes_frames_and_samples_and_reader_gives_them_back(tmp_path, np):
    path = tmp_path / "out.wav"
    first, second, third = media.tone(440, 20, 16000), media.tone(660, 20, 16000), media.tone(880, 20, 16000)
    with media.WavWriter(path, 16000, 1) as wav:
        wav.write(first)
        wav.write(media.frame_from_pcm(second, 16000, 1))
        wav.write(np.frombuffer(third, dtype=np.int16))
        assert wav.frames_written == 960 and wav.duration_ms == 60
    with media.WavReader(path) as wav:
        assert (wav.sample_rate, wav.channels, wav.frame_count, wav.duration_ms) == (16000, 1, 960, 60)
        assert wav.read(20) == first
        assert list(wav.frames(20)) == [second, third]
    with media.WavReader(path) as wav:
        assert [len(f) for f in wav.frames(50)] == [1600, 1600]  # 60 ms: the last 10 ms padded
    with media.WavReader(path) as wav:
        assert [len(f) for f in wav.frames(50, pad=False)] == [1600, 320]


def test_wav_writer_refuses_frames_of_another_format(tmp_path):
    with media.WavWriter(tmp_path / "out.wav", 48000, 1) as wav:
        with pytest.raises(ValueError, match=r"16000 Hz, 1 channel.*48000 Hz, 1 channel"):
            wav.write(media.frame_from_pcm(media.silence(20, 16000), 16000, 1))
        with pytest.raises(ValueError, match="whole number"):
            wav.write(b"\0")
        assert wav.frames_written == 0
    with pytest.raises(ValueError, match="closed"):
        wav.write(b"")


def test_writers_follow_pts_across_pauses_restarts_and_wrapping(tmp_path):
    tone = media.tone(440, 20, 16000)  # 320 sample frames

    def frame(pts):
        return media.frame_from_pcm(tone, 16000, 1, pts=pts)

    stamps = [2**32 - 40, 2**32 - 20, 0, 21,  # wrapping, a millisecond of rounding: nothing filled
              1040,  # a second after the end of the frame stamped 20: filled with silence
              0, 20,  # the sender started again: follows on
              20 * 60 * 1000]  # a 20-minute jump is taken for a new sender, not filled
    with media.WavWriter(tmp_path / "timed.wav", 16000) as timed, \
            media.WavWriter(tmp_path / "plain.wav", 16000, keep_time=False) as plain:
        for pts in stamps:
            timed.write(frame(pts))
            plain.write(frame(pts))
    assert (timed.silence_filled, timed.frames_written) == (16000, 8 * 320 + 16000)
    assert (plain.silence_filled, plain.frames_written) == (0, 8 * 320)
    with media.WavReader(tmp_path / "timed.wav") as wav:
        pcm = wav.read()
    assert pcm[4 * 640:4 * 640 + 32000] == bytes(32000) and pcm[-640:] == tone

    pictures = [media.test_pattern(16, 8, i) for i in range(3)]
    with media.Y4MWriter(tmp_path / "timed.y4m", 16, 8, fps=10) as y4m:
        for pts, picture in zip((0, 100, 540), pictures):  # 340 ms missing: the second picture 3 more times
            y4m.write(media.pixel_frame_from_i420(picture, 16, 8, pts=pts))
    assert (y4m.frames_written, y4m.frames_repeated) == (6, 3)
    with media.Y4MReader(tmp_path / "timed.y4m") as y4m:
        assert list(y4m) == [pictures[0]] + [pictures[1]] * 4 + [pictures[2]]


def test_wav_reader_refuses_other_sample_widths(tmp_path):
    path = tmp_path / "8bit.wav"
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(1)
        w.setframerate(8000)
        w.writeframes(bytes(80))
    with pytest.raises(ValueError, match="8-bit samples; only 16-bit"):
        media.WavReader(path)
    (tmp_path / "junk.wav").write_bytes(b"not a wav file at all")
    with pytest.raises(ValueError, match="not a readable PCM WAV"):
        media.WavReader(tmp_path / "junk.wav")


def test_y4m_writer_and_reader(tmp_path):
    path = tmp_path / "out.y4m"
    pictures = [media.test_pattern(32, 16, i) for i in range(5)]
    with media.Y4MWriter(path, 32, 16, fractions.Fraction(30000, 1001)) as y4m:
        for p in pictures[:4]:
            y4m.write(p)
        y4m.write(media.pixel_frame_from_i420(pictures[4], 32, 16))
        with pytest.raises(ValueError, match="the frame is 16x8; the file is 32x16"):
            y4m.write(media.pixel_frame_from_i420(media.test_pattern(16, 8, 0), 16, 8))
        with pytest.raises(ValueError, match="768 bytes, not 767"):
            y4m.write(pictures[0][:-1])
        assert y4m.frames_written == 5
    data = path.read_bytes()
    assert data.startswith(b"YUV4MPEG2 W32 H16 F30000:1001 Ip A1:1 C420jpeg\nFRAME\n" + pictures[0])
    with media.Y4MReader(path) as y4m:
        assert (y4m.width, y4m.height, y4m.fps) == (32, 16, fractions.Fraction(30000, 1001))
        assert list(y4m) == pictures
    assert media.Y4MWriter(io.BytesIO(), 2, 2, 29.97).fps == fractions.Fraction(2997, 100)


def test_y4m_writer_without_kept_time_holds_no_copy_of_the_last_picture():
    import tracemalloc
    picture = bytearray(media.test_pattern(1280, 720, 0))  # not bytes: keeping it would mean a copy

    class Discard(io.RawIOBase):
        def writable(self):
            return True

        def write(self, data):
            return len(data)

    tracemalloc.start()
    try:
        with media.Y4MWriter(Discard(), 1280, 720, keep_time=False) as y4m:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(3):
                y4m.write(memoryview(picture))
            held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert held < len(picture) // 2, held
    assert y4m.frames_written == 3


def test_y4m_reader_refuses_what_is_not_whole_4_2_0_pictures(tmp_path):
    path = tmp_path / "cut.y4m"
    path.write_bytes(b"YUV4MPEG2 W4 H2 F25:1 C420mpeg2 XYSCSS=420MPEG2\nFRAME\n" + bytes(12) + b"FRAME\n" + bytes(5))
    with media.Y4MReader(path) as y4m:
        assert y4m.read() == bytes(12)  # the whole pictures before the cut stay readable
        with pytest.raises(ValueError, match="cut short: 5 of 12"):
            y4m.read()
    for header, message in [(b"YUV4MPEG2 W4 H2 C444\n", "not 4:2:0"), (b"YUV4MPEG2 W4 H2 It\n", "interlaced"),
                            (b"YUV4MPEG2 H2\n", "no width"), (b"RIFF....\n", "not a Y4M"),
                            (b"YUV4MPEG2 W4 H2 F25:0\n", "bad Y4M header")]:
        path.write_bytes(header)
        with pytest.raises(ValueError, match=message):
            media.Y4MReader(path)


def decode_png(data):
    """(width, height, colour type, pixels) of an 8-bit PNG with unfiltered rows; checks every CRC."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        assert struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0] == zlib.crc32(kind + body)
        chunks[kind] = body
        pos += 12 + length
    assert list(chunks)[-1] == b"IEND"
    width, height, depth, colour, _, _, _ = struct.unpack(">IIBBBBB", chunks[b"IHDR"])
    assert depth == 8
    rows = zlib.decompress(chunks[b"IDAT"])
    stride = len(rows) // height
    assert all(rows[i * stride] == 0 for i in range(height))
    return width, height, colour, b"".join(rows[i * stride + 1:(i + 1) * stride] for i in range(height))


def test_png_of_images_and_pixel_frames(tmp_path, np):
    image = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
    assert decode_png(media.png_bytes(image)) == (3, 2, 2, image.tobytes())
    grey = np.arange(6, dtype=np.uint8).reshape(2, 3)
    assert decode_png(media.png_bytes(grey)) == (3, 2, 0, grey.tobytes())
    frame = media.pixel_frame_from_i420(solid_i420(4, 2, 81, 90, 240), 4, 2)
    media.write_png(tmp_path / "red.png", frame)
    width, height, colour, pixels = decode_png((tmp_path / "red.png").read_bytes())
    assert (width, height, colour) == (4, 2, 2)
    assert np.abs(np.frombuffer(pixels, np.uint8).reshape(-1, 3).astype(int) - (255, 0, 0)).max() <= 2
    with pytest.raises(ValueError, match="uint8 image"):
        media.png_bytes(np.zeros((2, 2, 2), dtype=np.uint8))


def test_png_of_an_rgba_pixel_frame_needs_no_numpy():
    frame = _lumora.PixelFrame()
    frame.format, frame.width, frame.height = _lumora.VIDEO_PIXEL_FORMAT_RGBA, 2, 1
    frame.SetData(bytes([1, 2, 3, 4, 5, 6, 7, 8]))
    assert decode_png(media.png_bytes(frame)) == (2, 1, 6, bytes(range(1, 9)))
    with pytest.raises(TypeError, match="expected a PixelFrame, not bytes"):
        media.png_bytes(b"\0" * 12)


# ---- Without the extra ---------------------------------------------------------


def run_without(hidden, code):
    """Runs `code` in a child interpreter where the modules `hidden` cannot be imported."""
    prelude = "import sys\n" + "".join(f"sys.modules[{name!r}] = None\n" for name in hidden)
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_without_numpy_the_kit_imports_and_bytes_work():
    out = run_without(["numpy", "soxr"], """
        import lumora_kit, lumora_kit.media as media
        lumora_kit.Delegate
        pcm = media.tone(440, 20, 16000)
        assert len(pcm) == 640 and len(set(pcm)) > 10
        assert media.frame_from_pcm(pcm, 16000, 1).size == 640
        assert len(media.split_pcm(pcm, 16000, 1, 10)) == 2
        assert media.Resampler(16000, 16000).process(pcm) == pcm
        assert len(media.test_pattern(8, 4, 1)) == 48
        print("tone", hash(pcm) == hash(media.tone(440, 20, 16000)), pcm.hex()[:40])
    """)
    assert out.startswith("tone True")


def test_pure_python_tone_matches_the_numpy_one(np):
    out = run_without(["numpy"], """
        import lumora_kit.media as media
        print(media.tone(997, 30, 48000, channels=2, amplitude=0.9, start_sample=5).hex())
    """)
    expected = media.tone(997, 30, 48000, channels=2, amplitude=0.9, start_sample=5)
    got = bytes.fromhex(out.strip())
    # Rounding of the two sine implementations may differ by one step.
    assert np.abs(np.frombuffer(got, "<i2").astype(int) - np.frombuffer(expected, "<i2")).max() <= 1


@pytest.mark.parametrize("hidden, call, module", [
    (["numpy"], "media.samples_from_frame(media.frame_from_pcm(bytes(4), 8000, 1))", "numpy"),
    (["numpy"], "media.i420_to_rgb(bytes(6), 2, 2)", "numpy"),
    (["numpy"], "media.Resampler(48000, 16000)", "numpy"),
    (["soxr"], "media.Resampler(48000, 16000)", "soxr"),
])
def test_a_function_that_needs_the_extra_names_it(hidden, call, module):
    out = run_without(hidden, f"""
        import lumora_kit.media as media
        try:
            {call}
        except media.MissingExtra as e:
            assert isinstance(e, ImportError) and e.name == {module!r}
            print(e)
    """)
    assert f"needs {module}, which is not installed: pip install 'lumora-kit[media]'" in out

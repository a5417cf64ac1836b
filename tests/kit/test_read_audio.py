"""media.read_audio and AudioSource.capture_file: audio of files and bytes made by ffmpeg, at the rate asked for."""

import asyncio
import io
import os
import subprocess
import sys
import textwrap

import pytest

from av_tools import FFMPEG, dominant_frequency, ffmpeg


@pytest.fixture(scope="module")
def np():
    if FFMPEG is None:
        pytest.skip("ffmpeg is not installed")
    pytest.importorskip("soxr")
    return pytest.importorskip("numpy")


def encoded(*output, seconds=1.5, frequency=1000, sample_rate=44100, channels=2):
    """A tone of `seconds` encoded by ffmpeg with the `output` options, as bytes."""
    return ffmpeg("-f", "lavfi", "-i", f"sine=f={frequency}:d={seconds}:sample_rate={sample_rate}",
                  "-ac", channels, *output, "-")


def samples(np, pieces, channels=1):
    data = b"".join(pieces)
    assert len(data) % (2 * channels) == 0
    return np.frombuffer(data, dtype="<i2").reshape(-1, channels).astype(np.float64)


def test_wav_bytes_files_and_file_objects_are_read_and_resampled_without_pyav(np, tmp_path):
    wav = tmp_path / "speech.wav"
    wav.write_bytes(encoded("-c:a", "pcm_s16le", "-f", "wav", sample_rate=22050))
    code = textwrap.dedent(f"""
        import sys
        sys.modules["av"] = None  # as if PyAV were not installed
        import numpy as np
        from lumora_kit import media
        path = {str(wav)!r}
        data = open(path, "rb").read()
        for source in (path, data, bytearray(data), open(path, "rb")):
            pcm = b"".join(media.read_audio(source, 48000, 1))
            mono = np.frombuffer(pcm, dtype="<i2").astype(float)
            peak = np.argmax(np.abs(np.fft.rfft(mono * np.hanning(len(mono))))) * 48000 / len(mono)
            print(len(mono), round(peak))
        try:
            media.read_audio(encoded_mp3, 48000)
        except media.MissingExtra as e:
            print(e)
    """).replace("encoded_mp3", repr(encoded("-f", "mp3", seconds=0.2)))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    *readings, missing = done.stdout.splitlines()
    for line in readings:
        count, peak = map(int, line.split())
        assert abs(count - 72000) <= 48 and abs(peak - 1000) <= 3  # 1.5 s at 48 kHz, the tone kept
    assert len(readings) == 4
    assert "read_audio" in missing and "pip install 'lumora-kit[av]'" in missing


@pytest.mark.parametrize("output", [["-c:a", "libmp3lame", "-f", "mp3"], ["-c:a", "libopus", "-f", "ogg"],
                                    ["-c:a", "aac", "-f", "adts"], ["-c:a", "pcm_f32le", "-f", "wav"]],
                         ids=["mp3", "opus", "aac", "float-wav"])
def test_any_container_pyav_reads_is_read_from_memory_at_the_rate_asked(np, output):
    pytest.importorskip("av")
    from lumora_kit import media
    pieces = list(media.read_audio(encoded(*output), 16000, 2, piece_ms=100))
    stereo = samples(np, pieces, 2)
    assert abs(len(stereo) / 16000 - 1.5) < 0.06  # the codecs' own padding at most
    assert all(abs(dominant_frequency(np, stereo[:, side], 16000) - 1000) < 5 for side in (0, 1))
    assert all(len(piece) >= 1600 * 4 for piece in pieces[:-1])  # in pieces, not one frame at a time


def test_input_that_is_not_audio_raises_naming_it(np, tmp_path):
    pytest.importorskip("av")
    from lumora_kit import media
    with pytest.raises(ValueError, match="not audio"):
        media.read_audio(b"\x00 certainly not audio " * 50, 16000)
    video_only = tmp_path / "video-only.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc=d=0.2", video_only)
    with pytest.raises(ValueError, match="video-only.mkv.*no audio"):
        media.read_audio(video_only, 16000)
    with pytest.raises(FileNotFoundError, match="missing.wav"):
        media.read_audio(tmp_path / "missing.wav", 16000)
    with pytest.raises(ValueError, match="channels"):
        media.read_audio(io.BytesIO(encoded("-f", "mp3", seconds=0.1)), 16000, 3)


async def test_capture_file_sends_a_file_through_the_source_at_its_rate(lumora_runner, lumora_peer, np):
    pytest.importorskip("av")
    from lumora_kit import Room
    received = []

    async def receive(stream):
        async for frame in stream:
            received.append(frame)

    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "speaker", "sig") as room:
        await lumora_peer.wait_for_user("speaker")
        listening = asyncio.create_task(receive(lumora_peer.audio_stream("speaker")))
        async with await room.publish_audio(sample_rate=48000) as voice:
            await voice.capture_file(encoded("-c:a", "libmp3lame", "-f", "mp3", seconds=1.0, frequency=700))
            await voice.wait_for_playout()
        await asyncio.sleep(0.2)
    listening.cancel()
    await asyncio.gather(listening, return_exceptions=True)
    assert {(f.sample_rate, f.channels) for f in received} == {(48000, 1)}
    assert 50 <= len(received) <= 53  # 1 s and the mp3's padding, in frames of 20 ms
    mono = samples(np, [f.data for f in received])
    assert abs(dominant_frequency(np, mono[:, 0], 48000) - 700) < 3

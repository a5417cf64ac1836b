"""MediaPlayer: files made by FFmpeg, played into a loopback room and taken apart on the other side."""

import asyncio
import os
import subprocess
import sys
import textwrap

import pytest

from av_tools import decode_video, dominant_frequency, ffmpeg, make_file, probe, require_tools


@pytest.fixture(scope="module")
def np():
    return require_tools()


async def receive(stream, into):
    """Collects (loop time, frame) of `stream` until it ends or the task is cancelled."""
    loop = asyncio.get_running_loop()
    async for frame in stream:
        into.append((loop.time(), frame))


async def play(peer, player, *, user="player", during=None):
    """Plays into a room that `peer` watches; returns the audio and video `peer` got, with arrival times."""
    from lumora_kit import Room
    audio, video = [], []
    async with Room.join(peer.app_id, peer.room_id, user, "sig") as room:
        await peer.wait_for_user(user)
        tasks = [asyncio.create_task(receive(peer.audio_stream(user), audio)),
                 asyncio.create_task(receive(peer.video_stream(user), video))]
        playing = asyncio.create_task(player.play(room))
        if during is not None:
            await during(player)
        await playing
        await asyncio.sleep(0.2)
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    return audio, video


def pcm(np, audio):
    return np.frombuffer(b"".join(frame.data for _, frame in audio), dtype="<i2").astype(np.float64)


async def test_a_file_is_played_at_its_pace_with_every_picture_as_decoded(lumora_runner, lumora_peer, np, tmp_path):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, MediaPlayer, MediaRecorder
    source = make_file(tmp_path / "in.mp4", 2, frequency=440, sample_rate=44100, size="160x120", fps=15)
    player = MediaPlayer(source)
    audio, video = await play(lumora_peer, player)
    assert player.info.sample_rate == 44100 and player.info.fps == 15
    assert {(f.sample_rate, f.channels) for _, f in audio} == {(44100, 1)}
    assert len(audio) == 100  # 2 s in frames of 20 ms
    assert abs(dominant_frequency(np, pcm(np, audio), 44100) - 440) < 3
    # The pictures are the file's, as FFmpeg decodes them, in order.
    decoded, _ = decode_video(np, source, 160, 120)
    luma = [np.frombuffer(f.data, dtype=np.uint8)[:160 * 120].reshape(120, 160) for _, f in video]
    assert len(luma) == len(decoded) == 30
    assert all((a == b).all() for a, b in zip(luma, decoded))
    # Paced in real time on one clock: audio frame k and picture k / 15 s arrive together.
    start = audio[0][0]
    assert 1.9 <= audio[-1][0] - start <= 2.1
    # (A busy machine may hold back one delivery; a clock that drifts moves them all.)
    lags = [t - audio[round(i / 15 / 0.02)][0] for i, (t, _) in enumerate(video)]
    assert np.percentile(np.abs(lags), 90) < 1 / 15, lags


async def test_audio_is_resampled_and_remixed_and_video_scaled_to_what_is_asked(lumora_runner, lumora_peer, np,
                                                                                 tmp_path):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, MediaPlayer, MediaRecorder
    source = make_file(tmp_path / "in.mkv", 1, frequency=1000, sample_rate=22050, channels=2, size="160x120",
                       fps=20, extra=["-c:a", "flac"])
    player = MediaPlayer(source, width=80, height=60, fps=10)
    audio, video = await play(lumora_peer, player)
    # 22,050 Hz is not a rate the SDK takes: the next one up keeps all of it.
    assert {(f.sample_rate, f.channels) for _, f in audio} == {(32000, 2)}
    assert 49 <= len(audio) <= 51
    stereo = pcm(np, audio).reshape(-1, 2)
    assert abs(dominant_frequency(np, stereo[:, 0], 32000) - 1000) < 5
    assert (stereo[:, 0] == stereo[:, 1]).all()
    assert {(f.width, f.height) for _, f in video} == {(80, 60)} and len(video) == 10

    mono = MediaPlayer(source, video=False, sample_rate=16000, channels=1)
    audio, video = await play(lumora_peer, mono, user="mono")
    assert {(f.sample_rate, f.channels) for _, f in audio} == {(16000, 1)} and video == []
    assert abs(dominant_frequency(np, pcm(np, audio), 16000) - 1000) < 5


async def test_pause_holds_both_and_resume_goes_on_without_a_burst(lumora_runner, lumora_peer, np, tmp_path):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, MediaPlayer, MediaRecorder
    source = make_file(tmp_path / "in.mkv", 2, size="64x48", fps=10, extra=["-c:a", "pcm_s16le"])

    async def pause(player):
        await asyncio.sleep(0.8)
        player.pause()
        assert player.paused
        await asyncio.sleep(1.0)
        player.resume()

    audio, video = await play(lumora_peer, MediaPlayer(source), during=pause)
    assert len(audio) == 100 and len(video) == 20  # nothing lost, nothing repeated
    for frames, period in ((audio, 0.02), (video, 0.1)):
        arrivals = np.array([t for t, _ in frames])
        gaps = np.diff(arrivals)
        assert 0.9 <= gaps.max() <= 1.1 + period  # one pause of a second
        assert np.sort(gaps)[-2] < 0.3  # and no second one
        # Steady pace around it: no frame sent ahead of its time. A late one (a busy machine) is no burst.
        ahead = arrivals - np.array([f.pts for _, f in frames]) / 1000
        assert (ahead > np.median(ahead) - 0.03).all(), np.round(ahead - np.median(ahead), 3)
        stamps = np.diff([f.pts for _, f in frames])
        assert 900 <= stamps.max() <= 1100 + period * 1000  # the receivers see the pause in pts


async def test_stop_ends_play_and_loop_starts_the_file_again(lumora_runner, lumora_peer, np, tmp_path):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, MediaPlayer, MediaRecorder
    source = make_file(tmp_path / "in.ogg", 1, video=False)
    looping = MediaPlayer(source, loop=True)

    async def stop_later(player):
        await asyncio.sleep(2.5)
        player.stop()

    audio, video = await play(lumora_peer, looping, during=stop_later)
    assert 115 <= len(audio) <= 135 and video == []  # 2.5 s of a 1 s file, at pace
    assert not looping.playing
    pts = np.diff([f.pts for _, f in audio])
    assert pts.max() <= 40  # the second pass follows the first without a gap


async def test_files_that_cannot_be_played_raise(lumora_runner, lumora_peer, tmp_path, np):
    import av
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, MediaPlayer, MediaRecorder
    with pytest.raises(av.FFmpegError):
        await MediaPlayer(str(tmp_path / "missing.mp4")).play(lumora_peer)
    subtitles = tmp_path / "only.srt"
    subtitles.write_text("1\n00:00:00,000 --> 00:00:01,000\nhello\n")
    with pytest.raises(ValueError, match="no audio or video stream"):
        await MediaPlayer(str(subtitles)).play(lumora_peer)


async def test_a_large_file_does_not_hold_up_the_event_loop(lumora_runner, lumora_peer, np, tmp_path):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, MediaPlayer, MediaRecorder
    source = make_file(tmp_path / "big.mp4", 1, size="1280x720", fps=30, video=True,
                       extra=["-c:v", "libx264", "-preset", "ultrafast"])
    player = MediaPlayer(source, width=320, height=180)
    loop = asyncio.get_running_loop()
    stalls = []

    async def watch_the_loop(player):
        while not player.playing or player.position < 0.9:
            before = loop.time()
            await asyncio.sleep(0.005)
            stalls.append(loop.time() - before - 0.005)

    audio, video = await play(lumora_peer, player, during=watch_the_loop)
    assert len(video) == 30 and {(f.width, f.height) for _, f in video} == {(320, 180)}
    # Decoding and scaling 720p run in the decoder's thread; the loop stays responsive.
    assert np.percentile(stalls, 90) < 0.03


def test_without_pyav_the_kit_imports_and_the_error_names_the_extra(tmp_path):
    code = textwrap.dedent("""
        import sys
        sys.modules["av"] = None  # as if PyAV were not installed
        import lumora_kit, lumora_kit.media as media
        from lumora_kit.av import AudioMixer, MediaPlayer, MediaRecorder
        for make in (lambda: MediaPlayer("in.mp4"), lambda: MediaRecorder("out.mp4"), AudioMixer):
            try:
                make()
            except media.MissingExtra as e:
                print(e)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path,
                          env=dict(os.environ), timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["MediaPlayer", "MediaRecorder", "AudioMixer"]
    assert all("pip install 'lumora-kit[av]'" in line for line in lines)


# ---- Inputs as they come: sizes that change, damage, rotation ----


def luma_of(frame):
    import numpy as np
    return np.frombuffer(frame.data, dtype=np.uint8)[:frame.width * frame.height].reshape(frame.height,
                                                                                         frame.width)


async def test_a_picture_size_that_changes_midway_is_fitted_into_the_track_at_its_time(lumora_runner, lumora_peer,
                                                                                         np, tmp_path):
    from lumora_kit.av import MediaPlayer
    # Two MPEG-TS pieces of another size, one after the other: one H.264 stream whose size changes at 1 s.
    first = tmp_path / "first.ts"
    second = tmp_path / "second.ts"
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=160x120:rate=15:d=1", "-f", "lavfi", "-i", "sine=d=1",
           "-pix_fmt", "yuv420p", "-c:v", "libx264", "-c:a", "aac", first)
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=320x120:rate=15:d=1", "-f", "lavfi", "-i", "sine=d=1",
           "-pix_fmt", "yuv420p", "-c:v", "libx264", "-c:a", "aac", "-output_ts_offset", "1", second)
    source = tmp_path / "resized.ts"
    source.write_bytes(first.read_bytes() + second.read_bytes())
    player = MediaPlayer(source)
    audio, video = await play(lumora_peer, player)
    assert {(f.width, f.height) for _, f in video} == {(160, 120)}  # the track keeps its size
    assert 29 <= len(video) <= 31 and player.stats().pictures_fitted == 15
    # Each picture at its time, none sent ahead of it where the size changes. A picture may come
    # late when the machine is busy; one that comes early against the others' pace is a burst.
    ahead = np.array([t - f.pts / 1000 for t, f in video])
    assert (ahead > np.median(ahead) - 0.03).all(), np.round(ahead - np.median(ahead), 3)
    steps = np.diff([f.pts for _, f in video])
    assert steps.min() > 30 and steps.max() < 110 and abs(steps.sum() - 1000 * (len(video) - 1) / 15) < 100
    # The wide pictures are scaled to 160x60 with their aspect kept, centred on black.
    wide, _ = decode_video(np, ffmpeg_scaled(second, tmp_path / "wide.y4m", 160, 60), 160, 60)
    shown = [luma_of(f) for _, f in video[-15:]]
    assert all((picture[:30] <= 17).all() and (picture[90:] <= 17).all() for picture in shown)
    differences = [np.abs(picture[30:90].astype(int) - expected).mean() for picture, expected in zip(shown, wide)]
    assert max(differences) < 8, differences
    # The narrow ones as they are.
    narrow, _ = decode_video(np, first, 160, 120)
    assert all((luma_of(f) == expected).all() for (_, f), expected in zip(video[:15], narrow))


def ffmpeg_scaled(source, out, width, height):
    ffmpeg("-i", source, "-vf", f"scale={width}:{height}", "-pix_fmt", "yuv420p", out)
    return out


def decoded_picture_count(path):
    raw = ffmpeg("-i", path, "-map", "0:v", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", "-")
    return len(raw) // (160 * 120)


@pytest.mark.parametrize("damage", ["noise", "cut"])
async def test_a_damaged_or_cut_file_plays_what_ffmpeg_decodes_and_counts_what_was_skipped(
        lumora_runner, lumora_peer, np, tmp_path, damage):
    from lumora_kit.av import MediaPlayer
    good = make_file(tmp_path / "good.mp4", 4, size="160x120", fps=15,
                     extra=["-c:v", "libx264", "-g", "10", "-c:a", "aac", "-movflags", "+faststart"])
    source = tmp_path / f"{damage}.mp4"
    if damage == "noise":  # FFmpeg's own bitstream damage: bytes of the video packets changed at random
        ffmpeg("-i", good, "-c", "copy", "-bsf:v", "noise=amount=200", source)
    else:  # the last quarter of the file missing, as after a download that broke off
        data = good.read_bytes()
        source.write_bytes(data[:len(data) * 3 // 4])
    player = MediaPlayer(source)
    audio, video = await play(lumora_peer, player)
    expected = decoded_picture_count(source)
    assert expected < 60 or damage == "noise"
    assert abs(len(video) - expected) <= 2, (len(video), expected)
    stats = player.stats()
    assert stats.pictures == len(video)
    if damage == "noise":
        assert stats.packets_skipped > 0 and len(audio) == 200  # the audio is whole
    else:
        assert stats.read_errors + stats.packets_skipped > 0
        assert len(audio) >= 100


async def test_a_rotated_video_is_sent_as_players_show_it(lumora_runner, lumora_peer, np, tmp_path):
    from lumora_kit.av import MediaPlayer
    upright = make_file(tmp_path / "upright.mp4", 1, size="160x120", fps=15, extra=["-c:v", "libx264"])
    source = tmp_path / "rotated.mp4"
    ffmpeg("-i", upright, "-c", "copy", "-metadata:s:v:0", "rotate=90", source)  # a display matrix, as phones write
    assert "rotation" in str(probe(source)["streams"])
    player = MediaPlayer(source)
    audio, video = await play(lumora_peer, player)
    assert (player.info.width, player.info.height) == (120, 160)
    assert {(f.width, f.height) for _, f in video} == {(120, 160)} and player.stats().rotation in (90, 270)
    # The same pictures as ffmpeg shows (it turns them by the display matrix by default).
    shown, _ = decode_video(np, source, 120, 160)
    assert len(shown) == len(video) == 15
    assert all((luma_of(f) == expected).all() for (_, f), expected in zip(video, shown))


async def test_errors_name_the_file(lumora_runner, lumora_peer, np, tmp_path):
    import av
    from lumora_kit.av import MediaPlayer
    junk = tmp_path / "not-media.mp4"
    junk.write_bytes(b"\x00\x01 not a media file " * 100)
    with pytest.raises(av.FFmpegError, match="not-media.mp4"):
        await MediaPlayer(junk).play(lumora_peer)
    assert not MediaPlayer(junk).stats().passes  # nothing played, nothing counted


def longest_quiet_run(np, samples, below=200):
    """The longest run of consecutive samples whose magnitude stays below `below`."""
    quiet = np.concatenate(([0], (np.abs(samples) < below).astype(np.int8), [0]))
    edges = np.flatnonzero(np.diff(quiet))
    return int((edges[1::2] - edges[::2]).max()) if len(edges) else 0


@pytest.mark.parametrize("kind", ["wav", "flac 44.1 kHz", "mkv with video"])
async def test_a_file_of_part_of_a_frame_loops_without_a_gap_at_the_seam(lumora_runner, lumora_peer, np, tmp_path,
                                                                         kind):
    from lumora_kit.av import MediaPlayer
    # 1.01 s: 50 frames of 20 ms and half of one. A tone, so that any padding shows as silence.
    if kind == "wav":
        source = make_file(tmp_path / "tone.wav", 1.01, frequency=440, video=False)
    elif kind == "flac 44.1 kHz":
        source = make_file(tmp_path / "tone.flac", 1.01, frequency=440, sample_rate=44100, video=False)
    else:
        source = make_file(tmp_path / "tone.mkv", 1.01, frequency=440, size="64x48", fps=30,
                           extra=["-c:a", "pcm_s16le"])
    rate = 44100 if kind.startswith("flac") else 48000
    player = MediaPlayer(source, loop=True)

    async def stop_later(player):
        await asyncio.sleep(3.4)
        player.stop()

    audio, video = await play(lumora_peer, player, during=stop_later)
    samples = pcm(np, audio)
    assert len(samples) > 3.05 * rate and player.stats().passes >= 3  # past the second and third seams
    # Silence at a seam (the partial frame padded) is 5 ms or more; a 440 Hz tone is below 200
    # for a few samples around each zero crossing.
    assert longest_quiet_run(np, samples) < 0.001 * rate
    assert abs(dominant_frequency(np, samples, rate) - 440) < 3
    pts = np.diff([f.pts for _, f in audio])
    assert pts.max() <= 40  # and no gap in time either
    if kind == "mkv with video":
        assert len(video) >= 3 * 30 - 5


@pytest.mark.parametrize("slowness", ["every picture", "one stall"])
async def test_a_file_that_decodes_slower_than_it_plays_keeps_its_audio_and_leaves_pictures_out(
        lumora_runner, lumora_peer, np, tmp_path, monkeypatch, slowness):
    import time
    from lumora_kit.av import MediaPlayer
    from lumora_kit.av.decoder import FileDecoder
    # 60 pictures, a key frame each second. "every picture": each video packet takes 0.15 s to
    # decode, more than twice its 1/15 s of playing (as a 4K file on a slow machine), so decoding
    # cannot keep up. "one stall": the thread is held up once (a busy machine) until the picture of
    # 1.47 s is due in 0.15 s, below the lead it keeps, then decodes much faster than it plays.
    source = make_file(tmp_path / "in.mp4", 4, frequency=440, size="160x120", fps=15,
                       extra=["-c:v", "libx264", "-g", "15", "-bf", "0", "-c:a", "aac"])
    decode = FileDecoder._decode
    packets = []

    def slow_decode(self, packet):
        if packet.stream.type == "video":
            packets.append(packet)
            if slowness == "every picture":
                time.sleep(0.15)
            elif len(packets) == 23:
                deadline = time.monotonic() + 10
                while player.position < 22 / 15 - 0.15 and time.monotonic() < deadline:
                    time.sleep(0.005)
        return decode(self, packet)

    monkeypatch.setattr(FileDecoder, "_decode", slow_decode)
    player = MediaPlayer(source)
    audio, video = await play(lumora_peer, player)
    # The audio is whole and unbroken: no gap in its time stamps, no silence in the tone.
    assert len(audio) == 200
    assert np.diff([f.pts for _, f in audio]).max() <= 40
    assert longest_quiet_run(np, pcm(np, audio)[2400:]) < 48  # past the encoder's start
    # Each of the file's 60 pictures is either sent or counted as left out.
    stats = player.stats()
    assert stats.pictures == len(video) and stats.pictures + stats.pictures_late == 60
    assert (np.diff([f.pts for _, f in video]) > 0).all()
    if slowness == "every picture":
        assert stats.pictures_late > 0
        assert len(video) >= 4  # one at least every second or so: a lower frame rate, not none
    else:  # caught up by itself: nothing left out for the rest of the second up to a key frame
        assert stats.pictures_late == 0

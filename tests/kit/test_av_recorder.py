"""MediaRecorder: files made by FFmpeg played into a loopback room, recorded, and checked by ffprobe and ffmpeg."""

import asyncio
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from av_tools import (
    audio_onsets, decode_audio, decode_video, decodes_cleanly, dominant_frequency, level_at, make_file, offsets,
    probe, require_tools, video_onsets,
)


@pytest.fixture(scope="module")
def np():
    return require_tools()


@pytest.fixture(scope="module")
def flashes(np, tmp_path_factory):
    """3 s: a beep and a white picture together every half second, 160x120 at 15 fps, 48 kHz."""
    return make_file(tmp_path_factory.mktemp("av") / "flashes.mp4", 3, flashes=True)


async def play_and_record(peer, source, out, *, user="player", stop_after=0.4, during=None, **recorder_options):
    from lumora_kit import Room
    from lumora_kit.av import MediaPlayer, MediaRecorder
    async with Room.join(peer.app_id, peer.room_id, user, "sig") as room:
        await peer.wait_for_user(user)
        recorder = MediaRecorder(out, **recorder_options)
        await recorder.start(peer, user)
        player = MediaPlayer(source)
        loop = asyncio.get_running_loop()
        began = loop.time()
        playing = asyncio.create_task(player.play(room))
        if during is not None:
            await during(player)
        await playing
        await asyncio.sleep(stop_after)  # the last frames are on their way
        recorder.seconds_recorded = loop.time() - began  # the file lasts from the first frame until stop()
        await recorder.stop()
    return recorder


def stream_of(info, kind):
    return [s for s in info["streams"] if s["codec_type"] == kind]


@pytest.mark.parametrize("name, audio_codec, video_codec", [
    ("out.mp4", "aac", "h264"),
    ("out.webm", "opus", "vp8"),
    ("out.mkv", "opus", "vp8"),
    ("out.ogg", "opus", None),
    ("out.mp3", "mp3", None),
    ("out.wav", "pcm_s16le", None),
])
async def test_a_user_is_recorded_in_time_with_the_containers_codecs(lumora_runner, lumora_peer, np, flashes,
                                                                      tmp_path, name, audio_codec, video_codec):
    out = tmp_path / name
    recorder = await play_and_record(lumora_peer, flashes, out)
    assert recorder.dropped == 0 and recorder.late_tracks == []
    info = probe(out)
    assert [s["codec_name"] for s in stream_of(info, "audio")] == [audio_codec]
    assert [s["codec_name"] for s in stream_of(info, "video")] == ([video_codec] if video_codec else [])
    # From the first frame until stop(): the 3 s played, and silence and the last picture after it.
    assert abs(float(info["format"]["duration"]) - recorder.seconds_recorded) < 0.2
    clean, errors = decodes_cleanly(out)
    assert clean, errors
    audio = decode_audio(np, out)
    beeps = audio_onsets(np, audio, 48000)
    assert len(beeps) == 5  # at 0.5, 1.0, ... 2.5 s of the file
    steps = np.diff(beeps)
    assert np.all(np.abs(steps - 0.5) < 0.03), beeps
    assert abs(dominant_frequency(np, audio, 48000) - 440) < 5
    if video_codec:
        pictures, times = decode_video(np, out, 160, 120)
        assert 41 <= len(pictures) <= 48  # 15 fps for 3 s, and the last one held until stop()
        flashes_seen = video_onsets(pictures, times)
        # Each beep and its white picture are within one frame (1/15 s) of each other.
        pairs = offsets(beeps, flashes_seen)
        assert len(pairs) == 5 and max(abs(p) for p in pairs) < 1 / 15, pairs


async def test_pictures_arrive_as_the_file_had_them(lumora_runner, lumora_peer, np, tmp_path):
    source = make_file(tmp_path / "pattern.mkv", 1, size="64x48", fps=10, extra=["-c:v", "ffv1"])
    out = tmp_path / "pattern.webm"
    await play_and_record(lumora_peer, source, out, video_options={"b": "2M", "deadline": "good", "cpu-used": "0"})
    original, _ = decode_video(np, source, 64, 48)
    recorded, _ = decode_video(np, out, 64, 48)
    assert len(original) == 10 and len(recorded) == 11  # the last picture again, held until stop()
    assert np.abs(recorded[10].astype(np.int16) - recorded[9]).mean() < 1
    error = np.abs(recorded[:10].astype(np.int16) - original.astype(np.int16)).mean()
    assert error < 6  # VP8 at this rate keeps the test picture close; a wrong or shifted picture is far off


async def test_a_pause_stays_a_pause(lumora_runner, lumora_peer, np, flashes, tmp_path):
    out = tmp_path / "paused.mp4"

    async def pause_for_a_second(player):
        await asyncio.sleep(1.3)  # between the beeps at 1.0 and 1.5 s of the file
        player.pause()
        await asyncio.sleep(1.0)
        player.resume()

    recorder = await play_and_record(lumora_peer, flashes, out, during=pause_for_a_second)
    info = probe(out)
    # 3 s played and 1 s paused, then held until stop(): as long as the recording ran.
    assert abs(float(info["format"]["duration"]) - recorder.seconds_recorded) < 0.2
    beeps = audio_onsets(np, decode_audio(np, out), 48000)
    steps = np.diff(beeps)
    assert len(beeps) == 5 and abs(steps[1] - 1.5) < 0.07 and np.all(np.abs(steps[[0, 2, 3]] - 0.5) < 0.03), beeps
    pictures, times = decode_video(np, out, 160, 120)
    pairs = offsets(beeps, video_onsets(pictures, times))
    assert len(pairs) == 5 and max(abs(p) for p in pairs) < 1 / 15, pairs


async def test_the_whole_room_as_a_track_per_user(lumora_runner, lumora_peer, np, tmp_path):
    from lumora_kit import Room, media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from lumora_kit.testing import join_peer
    peer = lumora_peer
    source = make_file(tmp_path / "a.webm", 2, frequency=440, size="96x64", fps=15, flashes=True)
    out = tmp_path / "room.mkv"
    recorder = MediaRecorder(out, wait_ms=500, layout="tracks")
    async with join_peer("singer", peer.room_id) as singer, Room.join(peer.app_id, peer.room_id, "film", "s") as film:
        await peer.wait_for_user("singer")
        await peer.wait_for_user("film")
        await recorder.start(peer)  # before anyone publishes
        voice = await singer.publish_audio(sample_rate=16000)
        camera = await singer.publish_video(64, 48, fps=10)
        playing = asyncio.create_task(MediaPlayer(source).play(film))
        for i in range(20):  # 2 s of a quiet 880 Hz at 16 kHz, and pictures of 64x48
            await asyncio.gather(voice.capture(media.tone(880, 100, 16000, amplitude=0.04, start_sample=i * 1600)),
                                 camera.capture(media.test_pattern(64, 48, i)))
        await playing
        await voice.wait_for_playout()
        await asyncio.sleep(0.3)
        await recorder.stop()
    info = probe(out)
    assert len(stream_of(info, "audio")) == 1
    videos = stream_of(info, "video")
    titles = [s["tags"].get("title", s["tags"].get("TITLE")) for s in videos]
    assert sorted(zip(titles, ((s["width"], s["height"]) for s in videos))) == [("film", (96, 64)),
                                                                                   ("singer", (64, 48))]
    mixed = decode_audio(np, out)
    assert level_at(np, mixed, 48000, 440) > 0.1 and level_at(np, mixed, 48000, 880) > 0.1
    # The mix is in step with the film's pictures: each beep within a frame of its white picture.
    beeps = audio_onsets(np, mixed, 48000)
    pictures, times = decode_video(np, out, 96, 64, stream=titles.index("film"))
    pairs = offsets(beeps, video_onsets(pictures, times))
    assert len(pairs) == 3 and max(abs(p) for p in pairs) < 1 / 15, (beeps, pairs)
    assert decodes_cleanly(out)[0]


async def test_a_room_mixed_by_the_sdk_to_an_audio_only_file_keeps_a_pause(lumora_runner, np, tmp_path):
    from lumora_kit import Room, media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from lumora_kit.testing import join_peer
    out = tmp_path / "room.ogg"
    async with join_peer("mixing", mix_audio=True) as room, \
            Room.join(room.app_id, room.room_id, "talker", "s") as talker:
        await room.wait_for_user("talker")
        async with MediaRecorder(out) as recorder:
            await recorder.start(room)
            voice = await talker.publish_audio(sample_rate=16000)
            await voice.capture(media.tone(600, 500, 16000))
            await voice.wait_for_playout()
            await asyncio.sleep(0.6)  # a pause of 0.6 s
            await voice.capture(media.tone(600, 500, 16000))
            await voice.wait_for_playout()
            await asyncio.sleep(0.2)
        assert recorder.tracks == [("audio", None)]
    info = probe(out)
    assert [s["codec_name"] for s in info["streams"]] == ["opus"]
    audio = decode_audio(np, out)
    loud = np.flatnonzero(np.abs(audio) > 2000) / 48000
    gaps = np.diff(loud)
    assert abs(loud[-1] - loud[0] - 1.6) < 0.05 and abs(gaps.max() - 0.6) < 0.05  # tone, pause, tone
    assert abs(dominant_frequency(np, audio, 48000) - 600) < 5


async def test_a_recording_ends_complete_when_stopped_after_a_leave_or_cancelled(lumora_runner, lumora_peer,
                                                                                   np, tmp_path):
    from lumora_kit import Room, media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    peer = lumora_peer
    left, cancelled = tmp_path / "left.mp4", tmp_path / "cancelled.webm"
    async with Room.join(peer.app_id, peer.room_id, "talker", "s") as talker:
        await peer.wait_for_user("talker")
        voice = await talker.publish_audio()
        camera = await talker.publish_video(64, 48, fps=15)
        until_left = MediaRecorder(left)
        await until_left.start(peer, "talker")

        async def record_until_cancelled():
            async with MediaRecorder(cancelled) as recorder:
                await recorder.start(peer, "talker")
                await asyncio.Event().wait()

        cancelling = asyncio.create_task(record_until_cancelled())
        for i in range(10):
            await asyncio.gather(voice.capture(media.tone(440, 100)), camera.capture(media.test_pattern(64, 48, i)))
        await voice.wait_for_playout()
        await asyncio.sleep(0.2)
        cancelling.cancel()
        with pytest.raises(asyncio.CancelledError):
            await cancelling
    await until_left.stop()  # talker left: the recording waits for them to come back until stop()
    for path in (left, cancelled):
        info = probe(path)
        assert len(info["streams"]) == 2 and 0.8 <= float(info["format"]["duration"]) <= 1.4, (path, info["format"])
        clean, errors = decodes_cleanly(path)
        assert clean, (path, errors)


RECORD_UNTIL_INTERRUPTED = textwrap.dedent("""
    import asyncio, signal, sys
    from lumora_kit import media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from lumora_kit.testing import join_peer

    # Started in the background of a shell, the suite inherits SIGINT
    # ignored, and so would this child (asyncio.run then takes no Ctrl-C).
    signal.signal(signal.SIGINT, signal.default_int_handler)

    async def main(path):
        async with join_peer("talker") as talker, join_peer("recorder", talker.room_id) as room:
            await room.wait_for_user("talker")
            voice = await talker.publish_audio()
            camera = await talker.publish_video(64, 48, fps=15)
            async with MediaRecorder(path) as recorder:
                await recorder.start(room, "talker")
                for i in range(1000):
                    await asyncio.gather(voice.capture(media.tone(440, 100)),
                                         camera.capture(media.test_pattern(64, 48, i)))
                    if i == 10:
                        print("recording", flush=True)

    asyncio.run(main(sys.argv[1]))
""")


@pytest.mark.parametrize("name", ["interrupted.mp4", "interrupted.webm"])
def test_ctrl_c_leaves_a_finished_file(np, tmp_path, name, lumora_sdk):
    out = tmp_path / name
    script = tmp_path / "record.py"
    script.write_text(RECORD_UNTIL_INTERRUPTED)
    child = subprocess.Popen([sys.executable, str(script), str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=dict(os.environ))
    try:
        assert child.stdout.readline() == "recording\n"
        child.send_signal(signal.SIGINT)
        _, errors = child.communicate(timeout=30)
    finally:
        child.kill()
    assert "KeyboardInterrupt" in errors
    info = probe(out)
    assert len(info["streams"]) == 2 and float(info["format"]["duration"]) >= 0.3
    clean, problems = decodes_cleanly(out)
    assert clean, problems


def test_unknown_containers_and_formats_are_refused_by_name(np):
    from lumora_kit import media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    with pytest.raises(ValueError, match=r"cannot tell the container of 'call.xyz'.*\.mp4"):
        MediaRecorder("call.xyz")
    with pytest.raises(ValueError, match="cannot record to format 'flv'"):
        MediaRecorder("call", format="flv")
    assert MediaRecorder("call", format="webm").plan.video_codec == "libvpx"


# ---- Malformed frames from a remote sender ----

YUV420P, RGBA, PCM, OPUS, VIDEO_HIGH = 0, 2, 0, 1, 2


def malformed_frames(sdk, cloud, user, pts):
    """Frames from `user` that no encoder can take, delivered to `cloud` as if the room had sent them.

    Returns how many are pictures and how many are audio."""
    pictures = [
        (VIDEO_HIGH, pts, 64, 48, YUV420P, 0, b"\x80" * 100),           # too short for 64x48
        (VIDEO_HIGH, pts + 1, 63, 47, YUV420P, 0, b"\x80" * 4464),      # an odd size
        (VIDEO_HIGH, pts + 2, 64, 48, RGBA, 0, b"\x80" * 64 * 48 * 4),  # a format the recorder does not take
    ]
    audio = [
        (48000, 1, 16, PCM, pts, 1, b"\1" * 1921),       # half a sample too many
        (48000, 3, 16, PCM, pts + 1, 1, b"\1" * 1920),   # three channels
        (48000, 1, 16, OPUS, pts + 2, 1, b"\1" * 120),   # encoded audio
        (1, 1, 16, PCM, pts + 3, 1, b"\1" * 1920),       # 1 Hz: hours of audio once resampled
    ]
    for args in pictures:
        assert sdk.inject("remote_pixel_frame", cloud, user, *args) == 0
    for args in audio:
        assert sdk.inject("remote_audio", cloud, user, *args) == 0
    return len(pictures), len(audio)


async def test_malformed_frames_are_skipped_and_counted_and_the_user_recorded_on(lumora_runner, lumora_sdk, np,
                                                                                    tmp_path, caplog):
    from lumora_kit import Room, media
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer
    out = tmp_path / "user.mp4"
    async with join_peer("talker") as talker:
        async with Room.join(talker.app_id, talker.room_id, "recorder", "s") as room:
            cloud = lumora_sdk.last_cloud_id()
            await room.wait_for_user("talker")
            voice = await talker.publish_audio()
            camera = await talker.publish_video(64, 48, fps=10)
            recorder = MediaRecorder(out)
            await recorder.start(room, "talker")
            bad = (0, 0)
            for i in range(20):  # 2 s of a 440 Hz tone and pictures; the bad frames come twice in the middle
                await asyncio.gather(voice.capture(media.tone(440, 100, start_sample=i * 4800)),
                                     camera.capture(media.test_pattern(64, 48, i)))
                if i in (5, 6):
                    bad = malformed_frames(lumora_sdk, cloud, "talker", i * 100)
            await voice.wait_for_playout()
            await asyncio.sleep(0.3)
            await recorder.stop()
    skipped = recorder.stats().frames_skipped
    assert skipped == {"video talker": 2 * bad[0], "audio talker": 2 * bad[1]}, skipped
    skip_lines = [r for r in caplog.records if "skipping frames" in r.getMessage()]
    assert len(skip_lines) == 2, [r.getMessage() for r in skip_lines]  # one per track for the whole run
    info = probe(out)
    assert len(info["streams"]) == 2 and float(info["format"]["duration"]) >= 1.9, info
    clean, errors = decodes_cleanly(out)
    assert clean, errors
    audio = decode_audio(np, out)
    second_half = audio[len(audio) // 2:]
    assert np.abs(second_half).max() > 2000 and abs(dominant_frequency(np, second_half, 48000) - 440) < 5
    pictures, _ = decode_video(np, out, 64, 48)
    assert len(pictures) >= 18  # the pictures after the bad ones are there too


async def test_one_users_malformed_frames_leave_the_whole_room_recorded(lumora_runner, lumora_sdk, np, tmp_path):
    from lumora_kit import Room, media
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer
    out = tmp_path / "room.mp4"
    async with join_peer("low") as low, join_peer("high", low.room_id) as high:
        async with Room.join(low.app_id, low.room_id, "recorder", "s") as room:
            cloud = lumora_sdk.last_cloud_id()
            await room.wait_for_user("low")
            await room.wait_for_user("high")
            sources = [(await low.publish_audio(), await low.publish_video(64, 48, fps=10), 440),
                       (await high.publish_audio(), await high.publish_video(64, 48, fps=10), 880)]
            recorder = MediaRecorder(out, size=(128, 48), fps=10)
            await recorder.start(room)
            for i in range(24):
                await asyncio.gather(*(s.capture(media.tone(f, 100, amplitude=0.3, start_sample=i * 4800))
                                       for s, _, f in sources),
                                     *(c.capture(media.test_pattern(64, 48, i)) for _, c, _ in sources))
                if i == 6:  # a bad picture from "low", bad audio from "high", and both from each
                    bad = [malformed_frames(lumora_sdk, cloud, user, i * 100) for user in ("low", "high")]
            for voice, _, _ in sources:
                await voice.wait_for_playout()
            await asyncio.sleep(0.6)  # the mix and the grid are behind the room
            await recorder.stop()
    skipped = recorder.stats().frames_skipped
    assert skipped == {"video low": bad[0][0], "video high": bad[1][0], "audio low": bad[0][1],
                       "audio high": bad[1][1]}, skipped
    clean, errors = decodes_cleanly(out)
    assert clean, errors
    audio = decode_audio(np, out)
    last_second = audio[-48000 - 24000:-24000]  # both users talked until the end; the last 0.5 s is quiet
    assert level_at(np, last_second, 48000, 440) > 0.3 and level_at(np, last_second, 48000, 880) > 0.3
    pictures, _ = decode_video(np, out, 128, 48)
    last = pictures[-1].astype(np.int16)
    # Both tiles still show their test pattern at the end: neither user's tile went.
    assert last[:, :64].std() > 20 and last[:, 64:].std() > 20


# ---- Stopping under cancellation, and a loop that ends without stop() ----

async def test_a_cancelled_stop_still_finishes_the_file_and_a_second_stop_waits_for_it(lumora_runner, lumora_peer,
                                                                                       np, tmp_path):
    from lumora_kit import Room, media
    from lumora_kit.av import MediaRecorder
    peer = lumora_peer
    async with Room.join(peer.app_id, peer.room_id, "talker", "s") as talker:
        await peer.wait_for_user("talker")
        voice = await talker.publish_audio()
        camera = await talker.publish_video(64, 48, fps=15)
        recorders = {}
        for steps in (0, 1, 2, 3, 5, 8, 13):  # the stop() task is cancelled after this many loop iterations
            recorder = recorders[steps] = MediaRecorder(tmp_path / f"after{steps}.mp4")
            await recorder.start(peer, "talker")
            for i in range(4):
                await asyncio.gather(voice.capture(media.tone(440, 100)),
                                     camera.capture(media.test_pattern(64, 48, i)))
            await voice.wait_for_playout()
            stopping = asyncio.create_task(recorder.stop())
            for _ in range(steps):
                await asyncio.sleep(0)
            stopping.cancel()
            with pytest.raises(asyncio.CancelledError):
                await stopping
            await asyncio.wait_for(recorder.stop(), 30)  # waits for the file the first stop() finishes
    for steps, recorder in recorders.items():
        info = probe(recorder.path)
        assert len(info["streams"]) == 2 and float(info["format"]["duration"]) >= 0.3, (steps, info)
        clean, errors = decodes_cleanly(recorder.path)
        assert clean, (steps, errors)


async def test_every_stop_raises_what_finishing_the_file_raised(lumora_runner, lumora_peer, np, tmp_path,
                                                                monkeypatch):
    import errno
    from lumora_kit import Room, media
    from lumora_kit.av import MediaRecorder, muxer

    def disk_full(self, end_ms):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(muxer._AudioTrack, "finish", disk_full)  # the trailer cannot be written
    peer = lumora_peer
    async with Room.join(peer.app_id, peer.room_id, "talker", "s") as talker:
        await peer.wait_for_user("talker")
        voice = await talker.publish_audio()
        recorder = MediaRecorder(tmp_path / "full.ogg")
        await recorder.start(peer, "talker")
        await voice.capture(media.tone(440, 300))
        await voice.wait_for_playout()
        stopping = asyncio.create_task(recorder.stop())
        await asyncio.sleep(0)
        stopping.cancel()
        with pytest.raises(asyncio.CancelledError):
            await stopping
        for _ in range(2):  # not once, then success: each stop() reports it
            with pytest.raises(OSError, match="No space left"):
                await asyncio.wait_for(recorder.stop(), 30)


LOOP_ENDS_WITHOUT_STOP = textwrap.dedent("""
    import asyncio, sys, threading, time
    from lumora_kit import media
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer

    async def main(path, layout):
        async with join_peer("talker") as talker:
            room = await join_peer("recorder", talker.room_id).__aenter__()  # never left: the room goes on
            await room.wait_for_user("talker")
            voice = await talker.publish_audio()
            camera = await talker.publish_video(64, 48, fps=15)
            recorder = MediaRecorder(path, size=(64, 48))
            await recorder.start(room, None if layout == "grid" else "talker")
            for i in range(8):
                await asyncio.gather(voice.capture(media.tone(440, 100)),
                                     camera.capture(media.test_pattern(64, 48, i)))
            await voice.wait_for_playout()
            # Returns without stop(): the loop ends while the recorder records.

    def writers():
        return [t for t in threading.enumerate() if t.name.startswith("lumora_kit recorder")]

    path, how, layout = sys.argv[1:4]
    if how == "asyncio.run":
        asyncio.run(main(path, layout))
    else:  # closed without cancelling what still runs on it
        loop = asyncio.new_event_loop()
        loop.run_until_complete(main(path, layout))
        loop.close()
    closed = time.monotonic()
    while writers() and time.monotonic() - closed < 10:
        time.sleep(0.05)
    print("writers running" if writers() else "writers ended", flush=True)
    sys.stdin.readline()  # the file is checked while this process is still alive
""")


@pytest.mark.parametrize("how, layout", [("asyncio.run", "user"), ("asyncio.run", "grid"), ("close", "user")])
def test_a_loop_that_ends_without_stop_ends_the_writer_and_leaves_a_finished_file(np, tmp_path, lumora_sdk,
                                                                                   how, layout):
    out = tmp_path / "unstopped.mp4"
    script = tmp_path / "record.py"
    script.write_text(LOOP_ENDS_WITHOUT_STOP)
    child = subprocess.Popen([sys.executable, str(script), str(out), how, layout], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        line = child.stdout.readline()
        if not line:
            child.stdin.close()
            pytest.fail(child.stderr.read())
        assert line == "writers ended\n"
        info = probe(out)
        assert len(info["streams"]) == 2 and float(info["format"]["duration"]) >= 0.5, info
        clean, errors = decodes_cleanly(out)
        assert clean, errors
        child.stdin.close()
        child.wait(timeout=30)  # and the interpreter exits
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0


# ---- A writer that falls behind ----

def test_a_writer_that_falls_behind_drops_pictures_beyond_its_bytes_and_keeps_the_voice(np, tmp_path):
    """Pictures of 1920x1080 handed in all at once, far faster than x264 encodes them, then 2 s of audio."""
    import time
    from lumora_kit import media
    from lumora_kit.av.muxer import FRAME_COST_BYTES, Muxer
    from lumora_kit.media.video import pixel_frame_from_i420
    out = tmp_path / "flood.mkv"
    picture = pixel_frame_from_i420(media.test_pattern(1920, 1080, 0), 1920, 1080)
    # Pictures take three quarters of the bound: eight of them, and less room than a frame of audio takes.
    bound = (8 * (picture.size + FRAME_COST_BYTES) + 1000) * 4 // 3
    writer = Muxer(str(out), audio_keys=(None,), video_size=(1920, 1080), expected={"camera"}, fps=30,
                   video_codec="libx264", video_options={"preset": "medium"}, max_queue_bytes=bound)
    start = time.monotonic()
    pictures, tones = 60, 100
    writer.put("video", "camera", picture, start)
    while writer.stats().queued_bytes and time.monotonic() - start < 30:
        time.sleep(0.001)  # the thread has taken the first picture: it encodes it while the rest come
    for i in range(1, pictures):
        writer.put("video", "camera", picture, start + i / 30)
    after_pictures = writer.stats()
    for i in range(tones):  # 20 ms each: the queue is full of pictures, the voice still goes in
        writer.put("audio", None, media.frame_from_pcm(media.tone(440, 20, start_sample=i * 960), 48000, 1, pts=i * 20),
                   start + i / 50)
    writer.finish(start + 2)
    assert writer.finished.wait(120)
    assert writer.error is None
    stats = writer.stats()
    assert after_pictures.queued_bytes_peak <= bound * 3 // 4 and stats.queued_bytes_peak <= bound
    assert stats.queued_bytes == 0
    # Every picture is accounted for: encoded, or dropped and counted; most were dropped.
    encoded = stats.frames["video camera"] - stats.pictures_held  # the last picture is held to the end
    assert encoded + stats.dropped == pictures and stats.dropped >= pictures - 20, stats
    assert stats.frames["audio"] == tones  # no audio was dropped
    audio = decode_audio(np, out)
    assert abs(dominant_frequency(np, audio, 48000) - 440) < 5 and np.abs(audio[:48000 * 2 - 2400]).min() < 2000
    frames, _ = decode_video(np, out, 1920, 1080)
    assert len(frames) == stats.frames["video camera"]

"""Recordings of rooms that change: users who come late, leave and come back, change their camera's size.

Each user sends a tone of their own and a flat picture of their own
brightness, so ffmpeg's decoding of the file says who is heard (the tone's
level) and who is seen (which brightnesses the picture holds) at any time.
"""

import asyncio

import pytest

from av_tools import audio_onsets, decode_audio, decode_video, decodes_cleanly, offsets, probe, require_tools, \
    video_onsets

TONES = {"ann": 400, "ben": 700, "cai": 1000, "dee": 1300}
LUMAS = {"ann": 60, "ben": 100, "cai": 140, "dee": 180}


@pytest.fixture(scope="module")
def np():
    return require_tools()


def flat_picture(width, height, luma):
    return bytes([luma]) * (width * height) + bytes([128]) * (width * height // 2)


def tone_level(np, samples, start, end, frequency, rate=48000):
    """The amplitude (0 to 1 of full scale) of `frequency` in samples [start, end) s."""
    piece = samples[int(start * rate):int(end * rate)]
    spectrum = np.abs(np.fft.rfft(piece * np.hanning(len(piece))))
    index = round(frequency * len(piece) / rate)
    return spectrum[index - 2:index + 3].max() * 4 / len(piece) / 32768


def heard(np, samples, start, end):
    return {user for user, frequency in TONES.items() if tone_level(np, samples, start, end, frequency) > 0.03}


def region_of(np, picture, user):
    return np.abs(picture.astype(np.int16) - LUMAS[user]) < 12


def seen(np, picture):
    """The users whose brightness covers at least 2% of the picture."""
    return {user for user in LUMAS if region_of(np, picture, user).mean() > 0.02}


def aspect_of(np, picture, user):
    rows, columns = np.nonzero(region_of(np, picture, user))
    return (columns.max() - columns.min() + 1) / (rows.max() - rows.min() + 1)


def picture_at(pictures, times, t):
    """The picture shown at time `t` (the last one stamped at or before it)."""
    index = max(i for i, time in enumerate(times) if time <= t)
    return pictures[index]


def first_time(times, pictures, predicate):
    return next(time for time, picture in zip(times, pictures) if predicate(picture))


async def send(room, user, seconds, size, *, start=0):
    """`seconds` of the user's tone and picture, 100 ms at a time; returns when they are played out."""
    voice = await room.publish_audio()
    camera = await room.publish_video(*size, fps=10)
    from lumora_kit import media
    picture = flat_picture(*size, LUMAS[user])
    for i in range(round(seconds * 10)):
        tone = media.tone(TONES[user], 100, amplitude=0.2, start_sample=(start + i) * 4800)
        await asyncio.gather(voice.capture(tone), camera.capture(picture))
    await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())
    return voice, camera


class Schedule:
    """Waits for moments counted from the start of the recording."""

    def __init__(self):
        self.loop = asyncio.get_running_loop()
        self.start = self.loop.time()

    async def at(self, t):
        await asyncio.sleep(max(0.0, self.start + t - self.loop.time()))


@pytest.mark.parametrize("name", ["room.mp4", "room.webm"])
async def test_a_grid_keeps_everyone_who_comes_leaves_returns_and_changes_camera(lumora_runner, np, tmp_path, name):
    """ann from 0.2 s, ben from 0.8 s, cai 1.4-2.6 s and from 3.4 s, dee from 1.8 s at 160x120 and from 3.0 s at
    96x96; the recording starts before anyone is there and stops at 5.3 s."""
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer
    out = tmp_path / name
    async with join_peer("recorder") as room:
        room_id = room.room_id
        recorder = MediaRecorder(out, size=(320, 240), fps=15)
        await recorder.start(room)
        clock = Schedule()

        async def ann():
            await clock.at(0.2)
            async with join_peer("ann", room_id) as ann:
                await send(ann, "ann", 4.8, (160, 120))

        async def ben():
            await clock.at(0.8)
            async with join_peer("ben", room_id) as ben:
                await send(ben, "ben", 4.2, (160, 120))

        async def cai():
            await clock.at(1.4)
            async with join_peer("cai", room_id) as cai:
                await send(cai, "cai", 1.2, (160, 120))
            await clock.at(3.4)
            async with join_peer("cai", room_id) as cai:
                await send(cai, "cai", 1.6, (160, 120))

        async def dee():
            await clock.at(1.8)
            async with join_peer("dee", room_id) as dee:
                voice = await dee.publish_audio()
                camera = await dee.publish_video(160, 120, fps=10)
                from lumora_kit import media
                for i in range(32):
                    if i == 12:  # 3.0 s: the camera is published again, square
                        await camera.aclose()
                        camera = await dee.publish_video(96, 96, fps=10)
                    size = (160, 120) if i < 12 else (96, 96)
                    await asyncio.gather(
                        voice.capture(media.tone(TONES["dee"], 100, amplitude=0.2, start_sample=i * 4800)),
                        camera.capture(flat_picture(*size, LUMAS["dee"])))
                await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())

        await asyncio.gather(ann(), ben(), cai(), dee())
        await clock.at(5.3)
        await recorder.stop()

    info = probe(out)
    assert [(s["codec_type"], s.get("width"), s.get("height")) for s in info["streams"]] == [
        ("audio", None, None), ("video", 320, 240)]
    assert 5.0 <= float(info["format"]["duration"]) <= 5.7
    assert decodes_cleanly(out)[0]
    stats = recorder.stats()
    assert stats.dropped == 0 and stats.pictures_fitted > 0 and stats.bytes == out.stat().st_size

    audio = decode_audio(np, out)
    assert heard(np, audio, 0.0, 0.15) == set()
    assert heard(np, audio, 0.5, 0.75) == {"ann"}
    assert heard(np, audio, 1.1, 1.35) == {"ann", "ben"}
    assert heard(np, audio, 2.1, 2.5) == {"ann", "ben", "cai", "dee"}
    assert heard(np, audio, 2.9, 3.3) == {"ann", "ben", "dee"}  # cai is away: the gap is silence
    assert heard(np, audio, 3.8, 4.6) == {"ann", "ben", "cai", "dee"}  # and heard again after returning

    pictures, times = decode_video(np, out, 320, 240)
    assert np.all(np.diff(times) > 0.05)  # one picture every 1/15 s: none crammed together
    expected = [(0.1, set()), (0.6, {"ann"}), (1.3, {"ann", "ben"}), (2.4, {"ann", "ben", "cai", "dee"}),
                (3.2, {"ann", "ben", "dee"}), (4.2, {"ann", "ben", "cai", "dee"})]
    assert [(t, seen(np, picture_at(pictures, times, t))) for t, _ in expected] == expected
    # dee's tile shows the whole picture, scaled with its aspect kept: 4:3 when she comes, square at the end.
    dee_seen = first_time(times, pictures, lambda picture: "dee" in seen(np, picture))
    assert abs(aspect_of(np, picture_at(pictures, times, dee_seen + 0.15), "dee") - 4 / 3) < 0.1
    assert abs(aspect_of(np, picture_at(pictures, times, 4.6), "dee") - 1) < 0.1
    # Each late user is seen from their first picture, when they are first heard.
    for user in ("ben", "cai", "dee"):
        first_seen = first_time(times, pictures, lambda picture: user in seen(np, picture))
        first_heard = next(t / 100 for t in range(0, 500, 2) if user in heard(np, audio, t / 100, t / 100 + 0.1))
        assert abs(first_seen - first_heard) < 0.15, (user, first_seen, first_heard)


async def test_the_grid_keeps_a_film_in_step_with_the_mix(lumora_runner, lumora_peer, np, tmp_path):
    """A beep and a white picture every half second: in the mixed audio and the composed grid, within a frame."""
    from lumora_kit import Room, media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from av_tools import make_file
    source = make_file(tmp_path / "film.mp4", 3, flashes=True, size="160x120", fps=15)
    out = tmp_path / "room.mkv"
    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "film", "s") as film:
        await lumora_peer.wait_for_user("film")
        async with MediaRecorder(out, size=(160, 120), fps=30) as recorder:
            await recorder.start(lumora_peer)
            await MediaPlayer(source).play(film)
            await asyncio.sleep(0.3)
    audio = decode_audio(np, out)
    beeps = audio_onsets(np, audio, 48000)
    pictures, times = decode_video(np, out, 160, 120)
    pairs = offsets(beeps, video_onsets(pictures, times))
    assert len(pairs) == 5 and max(abs(p) for p in pairs) < 1 / 15, (beeps, pairs)


async def test_one_user_is_recorded_until_stop_through_a_leave_and_a_new_camera_size(lumora_runner, np, tmp_path):
    """cai sends 1 s at 160x120, leaves for 1 s, comes back at 96x96 for 1 s; the file goes on until stop()."""
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer
    out = tmp_path / "cai.mkv"
    async with join_peer("recorder") as room, join_peer("cai", room.room_id) as cai:
        await room.wait_for_user("cai")
        recorder = MediaRecorder(out)
        await recorder.start(room, "cai")
        clock = Schedule()
        await send(cai, "cai", 1.0, (160, 120))
        await cai.leave()
        await clock.at(2.0)
        async with join_peer("cai", room.room_id) as again:
            await send(again, "cai", 1.0, (96, 96), start=10)
        await clock.at(3.6)
        await recorder.stop()
    info = probe(out)
    assert [(s["codec_type"], s.get("width"), s.get("height")) for s in info["streams"]] == [
        ("audio", None, None), ("video", 160, 120)]
    assert 3.3 <= float(info["format"]["duration"]) <= 3.9  # from cai's first frame until stop()
    audio = decode_audio(np, out)
    assert heard(np, audio, 0.2, 0.8) == {"cai"}
    assert heard(np, audio, 1.3, 1.8) == set()  # away: silence
    assert heard(np, audio, 2.2, 2.8) == {"cai"}
    pictures, times = decode_video(np, out, 160, 120)
    assert np.all(np.diff(times) > 0.02), times  # no pictures crammed together after the new size
    gap = max(np.diff(times))
    assert 0.9 < gap < 1.4  # away: the last picture stays
    returned = [t for t in times if t > 1.5]
    assert abs(aspect_of(np, picture_at(pictures, times, returned[2]), "cai") - 1) < 0.1  # fitted, not stretched
    assert abs(aspect_of(np, picture_at(pictures, times, 0.5), "cai") - 4 / 3) < 0.1
    first_heard_again = next(t / 100 for t in range(150, 300, 2) if "cai" in heard(np, audio, t / 100, t / 100 + 0.1))
    assert abs(returned[0] - first_heard_again) < 0.15, (returned[0], first_heard_again)
    assert times[-1] > 3.0  # the last picture is held until stop()


async def test_a_file_per_user_keeps_a_late_user_on_the_rooms_time_line(lumora_runner, np, tmp_path):
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer
    out = tmp_path / "room.webm"
    async with join_peer("recorder") as room:
        recorder = MediaRecorder(out, layout="files")
        await recorder.start(room)
        clock = Schedule()
        async with join_peer("ann", room.room_id) as ann:
            sending = asyncio.create_task(send(ann, "ann", 1.5, (160, 120)))
            await clock.at(0.8)
            async with join_peer("ben", room.room_id) as ben:
                await send(ben, "ben", 0.6, (96, 64))
            await sending
        await recorder.stop()
    assert sorted(recorder.files) == sorted([str(tmp_path / "room-ann.webm"), str(tmp_path / "room-ben.webm")])
    for user, size in (("ann", (160, 120)), ("ben", (96, 64))):
        path = tmp_path / f"room-{user}.webm"
        assert [(s["codec_type"], s.get("width")) for s in probe(path)["streams"]] == [("audio", None),
                                                                                        ("video", size[0])]
        audio = decode_audio(np, path)
        assert heard(np, audio, 0.0, len(audio) / 48000) == {user}
    ben = decode_audio(np, tmp_path / "room-ben.webm")
    assert heard(np, ben, 0.0, 0.7) == set() and heard(np, ben, 1.0, 1.3) == {"ben"}  # on the room's time line


async def test_mistakes_are_named_at_start(lumora_runner, np, tmp_path):
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer
    async with join_peer("recorder") as room, join_peer("alice", room.room_id):
        await room.wait_for_user("alice")
        with pytest.raises(LookupError, match=r"user 'alcie' is not in room .* after 300 ms; in the room: 'alice'"):
            await MediaRecorder(tmp_path / "a.mp4", wait_ms=300).start(room, "alcie")
        missing = tmp_path / "no such folder" / "a.mp4"
        with pytest.raises(FileNotFoundError, match="no such folder") as caught:
            await MediaRecorder(missing).start(room, "alice")
        assert caught.value.filename == str(missing)
        with pytest.raises(ValueError, match="no video encoder named 'libx999'"):
            await MediaRecorder(tmp_path / "b.mp4", video_codec="libx999").start(room)
        with pytest.raises(ValueError, match="'aac' encodes audio, not video"):
            await MediaRecorder(tmp_path / "c.mkv", video_codec="aac").start(room)
    assert sorted(p.name for p in tmp_path.iterdir()) == []  # nothing left behind

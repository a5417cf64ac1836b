"""AudioMixer, received frames placed in time, and frames to and from PyAV."""

import asyncio
from fractions import Fraction

import pytest

from av_tools import dominant_frequency, level_at, require_tools


@pytest.fixture(scope="module")
def np():
    return require_tools()


def frames_of(media, pcm, rate, channels, *, first_pts=0, frame_ms=20):
    """`pcm` in frames of `frame_ms`, stamped from `first_pts` on."""
    return [media.frame_from_pcm(piece, rate, channels, pts=first_pts + i * frame_ms)
            for i, piece in enumerate(media.split_pcm(pcm, rate, channels, frame_ms))]


def mixed_samples(np, frames):
    return np.concatenate([np.frombuffer(f.data, dtype="<i2") for f in frames]).astype(np.float64)


async def test_inputs_of_any_rate_and_channels_are_mixed_into_one_format(lumora_runner, np):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av
    mixer = AudioMixer(48000, channels=2, latency_ms=0)
    mixer.start(0.0)
    low = frames_of(media, media.tone(440, 1000, 16000), 16000, 1)
    high = frames_of(media, media.tone(1000, 1000, 44100, channels=2), 44100, 2)
    out = []
    for i in range(50):
        mixer.write("low", low[i], arrival=(i + 1) * 0.02)
        mixer.write("high", high[i], arrival=(i + 1) * 0.02)
        mixer.write("quiet", media.frame_from_pcm(media.silence(20, 8000), 8000, 1, pts=i * 20),
                    arrival=(i + 1) * 0.02)
        out.append(mixer.mix())
    assert {(f.sample_rate, f.channels, len(f.data)) for f in out} == {(48000, 2, 3840)}
    assert [f.pts for f in out[:3]] == [0, 20, 40]
    stereo = mixed_samples(np, out).reshape(-1, 2)
    assert (stereo[:, 0] == stereo[:, 1]).all()
    body = stereo[4800:, 0]
    assert level_at(np, body, 48000, 440) > 0.5 and level_at(np, body, 48000, 1000) > 0.5
    assert mixer.clipped_samples == 0 and mixer.dropped_samples == 0


async def test_a_loud_sum_saturates_instead_of_wrapping_around(lumora_runner, np):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av
    mixer = AudioMixer(16000, latency_ms=0)
    mixer.start(0.0)
    loud = np.full(320, 30000, dtype=np.int16).tobytes()
    quiet = np.full(320, -30000, dtype=np.int16).tobytes()
    for name in ("a", "b"):
        mixer.write(name, media.frame_from_pcm(loud, 16000, 1), arrival=0.02)
    high = np.frombuffer(mixer.mix().data, dtype="<i2")
    for name in ("a", "b"):
        mixer.write(name, media.frame_from_pcm(quiet, 16000, 1, pts=20), arrival=0.04)
    low = np.frombuffer(mixer.mix().data, dtype="<i2")
    assert (high == 32767).all() and (low == -32768).all()  # wrapped, 60000 would read as -5536
    assert mixer.clipped_samples == 640


async def test_a_pause_in_pts_is_silence_and_late_audio_is_delayed_not_lost(lumora_runner, np):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av
    mixer = AudioMixer(16000, latency_ms=0)
    mixer.start(0.0)
    tone = frames_of(media, media.tone(500, 400, 16000), 16000, 1)
    # 200 ms of tone, then the sender pauses 200 ms (pts jump), then 200 ms more;
    # the frames arrive in bursts (jitter): the time comes from pts.
    for frame in tone[:10]:
        mixer.write("a", frame, arrival=0.02)
    for frame in tone[10:]:
        frame.pts += 200
        mixer.write("a", frame, arrival=0.45)
    out = mixed_samples(np, [mixer.mix() for _ in range(32)])
    loud = np.abs(out.reshape(-1, 320)).max(axis=1) > 1000
    assert loud.tolist() == [True] * 10 + [False] * 10 + [True] * 10 + [False] * 2
    # A frame that comes after its time was mixed goes into the next window.
    mixer.write("a", media.frame_from_pcm(media.tone(500, 20, 16000), 16000, 1, pts=620), arrival=0.66)
    assert np.abs(np.frombuffer(mixer.mix().data, dtype="<i2")).max() > 1000


async def test_the_mixer_follows_room_streams_on_its_clock(lumora_runner, lumora_peer, np):
    from lumora_kit import Room, media
    from lumora_kit.av import AudioMixer, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av
    peer = lumora_peer
    async with Room.join(peer.app_id, peer.room_id, "a", "s") as a, Room.join(peer.app_id, peer.room_id, "b", "s") as b:
        await peer.wait_for_user("a")
        await peer.wait_for_user("b")
        async with AudioMixer(48000) as mixer:
            mixer.add_input(peer.audio_stream("a"), "a")
            mixer.add_input(peer.audio_stream("b"), "b")
            voice_a = await a.publish_audio(sample_rate=16000)
            voice_b = await b.publish_audio(sample_rate=32000, channels=2)
            await asyncio.gather(voice_a.capture(media.tone(300, 600, 16000)),
                                 voice_b.capture(media.tone(1200, 600, 32000, channels=2)))
            out = []
            async for frame in mixer:
                out.append(frame)
                if len(out) == 40:
                    break
    samples = mixed_samples(np, out)
    loud = np.abs(samples.reshape(-1, 960)).max(axis=1) > 1000
    assert 29 <= loud.sum() <= 31 and not loud[-5:].any()  # 600 ms of voices, then silence
    assert level_at(np, samples, 48000, 300) > 0.5 and level_at(np, samples, 48000, 1200) > 0.5
    assert [f.pts for f in out] == [20 * i for i in range(40)]



async def test_audio_handed_in_before_anyone_reads_is_kept_up_to_the_bound(lumora_runner, np):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer
    tone = frames_of(media, media.tone(440, 3000, 16000), 16000, 1)
    mixer = AudioMixer(16000, latency_ms=0)
    mixer.start(0.0)
    for i, frame in enumerate(tone):  # 3 s come in while nobody reads
        mixer.write("late reader", frame, arrival=(i + 1) * 0.02)
    out = mixed_samples(np, [mixer.mix() for _ in range(150)])
    assert np.count_nonzero(np.abs(out.reshape(-1, 320)).max(axis=1) > 1000) == 150  # 3.0 s in, 3.0 s out
    assert mixer.dropped_samples == 0
    bounded = AudioMixer(16000, latency_ms=0, max_buffer_ms=1000)
    bounded.start(0.0)
    for i, frame in enumerate(tone):
        bounded.write("a", frame, arrival=(i + 1) * 0.02)
    assert bounded.dropped_samples == 2 * 16000  # beyond the stated bound: the oldest dropped, and counted


async def test_an_input_that_ended_gives_up_its_name_and_still_has_its_rest_mixed(lumora_runner, np):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer

    async def stream_of(frames):
        for frame in frames:
            yield frame

    mixer = AudioMixer(16000, latency_ms=0)
    mixer.start(asyncio.get_running_loop().time())
    first = frames_of(media, media.tone(500, 200, 16000), 16000, 1)
    mixer.add_input(stream_of(first), "alice")
    await asyncio.sleep(0.05)  # her first stay's stream ends: its 200 ms are buffered, not mixed yet
    assert mixer.inputs == []
    again = frames_of(media, media.tone(900, 200, 16000), 16000, 1)
    mixer.add_input(stream_of(again), "alice")  # she is back: the same name is taken again
    await asyncio.sleep(0.05)
    assert mixer.inputs == []
    out = mixed_samples(np, [mixer.mix() for _ in range(12)])
    assert level_at(np, out, 16000, 500) > 0.3 and level_at(np, out, 16000, 900) > 0.3  # both stays heard
    with pytest.raises(ValueError, match="already has an input named 'bob'"):
        mixer.add_input(stream_of(first * 100), "bob")
        mixer.add_input(stream_of(first), "bob")
    await mixer.aclose()


def test_pts_unwrap_across_32_bits_and_streams_resync_after_a_restart():
    from lumora_kit.media.timeline import PtsUnwrapper, StreamTimeline
    unwrap = PtsUnwrapper()
    assert [unwrap(p) for p in (0xFFFFFFEC, 0xFFFFFFFF, 12, 32)] == [0xFFFFFFEC, 0xFFFFFFFF, 2**32 + 12, 2**32 + 32]
    timeline = StreamTimeline(origin=10.0)
    assert timeline.place(5000, 10.5) == 500  # the first frame goes where it arrived
    assert timeline.place(5020, 10.6) == 520  # the rest by pts: jitter does not move them
    assert timeline.place(6020, 11.55) == 1520  # a pause of a second
    assert timeline.place(0, 12.0) == 2000 and timeline.resyncs == 1  # the sender started again at 0
    # A new source stamped from 0 soon after the old one's stamps: anchored where it came, not in the past.
    restarted = StreamTimeline(origin=0.0)
    restarted.place(0, 0.0)
    restarted.place(800, 0.8)
    assert restarted.place(0, 0.9) == 900 and restarted.place(40, 0.95) == 940


def test_audio_frames_to_pyav_and_back(np):
    import av
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av
    stereo = media.tone(440, 20, 48000, channels=2)
    frame = media.frame_from_pcm(stereo, 48000, 2, pts=1234)
    converted = av_audio_frame(frame)
    assert (converted.format.name, converted.layout.name, converted.sample_rate, converted.samples) == (
        "s16", "stereo", 48000, 960)
    assert converted.pts == 1234 and converted.time_base == Fraction(1, 1000)
    back = audio_frame_from_av(converted)
    assert (back.data, back.sample_rate, back.channels, back.pts) == (stereo, 48000, 2, 1234)
    # Planar float (what decoders give) becomes interleaved 16-bit, clipped at full scale.
    planar = av.AudioFrame.from_ndarray(np.array([[0.5, 2.0], [-0.5, -2.0]], dtype=np.float32), format="fltp",
                                        layout="stereo")
    planar.sample_rate, planar.pts, planar.time_base = 16000, 32, Fraction(1, 16000)
    pcm = audio_frame_from_av(planar)
    assert np.frombuffer(pcm.data, "<i2").tolist() == [16384, -16384, 32767, -32768] and pcm.pts == 2
    surround = av.AudioFrame(format="s16", layout="5.1", samples=4)
    with pytest.raises(ValueError, match="1 or 2 channels"):
        audio_frame_from_av(surround)


def test_pictures_to_pyav_and_back(np):
    import av
    from lumora_kit import media
    from lumora_kit.av import AudioMixer, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av
    picture = media.test_pattern(64, 48, 3)
    frame = media.pixel_frame_from_i420(picture, 64, 48, pts=99)
    converted = av_video_frame(frame)
    assert (converted.format.name, converted.width, converted.height, converted.pts) == ("yuv420p", 64, 48, 99)
    back = pixel_frame_from_av(converted)
    assert (back.data, back.width, back.height, back.pts) == (picture, 64, 48, 99)
    # Any pixel format, scaled to the size asked for (rounded down to even).
    rgb = av.VideoFrame.from_ndarray(np.full((30, 40, 3), (255, 0, 0), dtype=np.uint8), format="rgb24")
    small = pixel_frame_from_av(rgb, 21, 15)
    assert (small.width, small.height) == (20, 14)
    red = media.i420_to_rgb(small.data, 20, 14)
    assert abs(int(red[..., 0].mean()) - 255) < 8 and red[..., 1].mean() < 8
    # Padded rows (a width that is not a multiple of the row alignment) come out packed.
    odd = av.VideoFrame(50, 20, "yuv420p")
    assert len(i420_from_av(odd)) == 50 * 20 * 3 // 2


# ---- Keeping time after stalls and bursts ----

class Talker:
    """An input that never pauses: frame i is 20 ms at 16 kHz whose every sample is 100 + i.

    So a mixed window tells which of the talker's frames it holds, and how
    late that frame was mixed."""

    def __init__(self, media):
        self.media = media
        self.sent = 0

    def frame(self):
        pcm = (self.sent + 100).to_bytes(2, "little") * 320
        frame = self.media.frame_from_pcm(pcm, 16000, 1, pts=self.sent * 20)
        self.sent += 1
        return frame


def held_frames(np, window):
    """The talker's frame held in a mixed window (-1 for silence), from its samples."""
    values = np.unique(np.frombuffer(window.data, dtype="<i2"))
    assert len(values) == 1, "a window holds one frame: the talker's frames lie on the windows"
    return int(values[0]) - 100 if values[0] else -1


def talk_live(mixer, talker, windows):
    """`windows` windows in step: each frame arrives at its end, and its window is mixed then."""
    out = []
    for _ in range(windows):
        mixer.write("talker", talker.frame(), arrival=talker.sent * 0.02)
        out.append(mixer.mix())
    return out


async def test_a_stalled_loop_or_a_burst_does_not_leave_an_input_late_for_the_rest_of_the_mix(lumora_runner, np):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer

    def mixer_and_talker():
        mixer = AudioMixer(16000, latency_ms=0)
        mixer.start(0.0)
        talker = Talker(media)
        assert [held_frames(np, w) for w in talk_live(mixer, talker, 50)] == list(range(50))
        return mixer, talker

    # The loop stalls 3 s; the mix catches up first (silence where the talker was due), then the
    # 150 frames that queued up meanwhile are taken at once. They are stale: the talker must be
    # heard live again at once, not 3 s late for the rest of the mix.
    mixer, talker = mixer_and_talker()
    assert {held_frames(np, mixer.mix()) for _ in range(150)} == {-1}
    for _ in range(150):
        mixer.write("talker", talker.frame(), arrival=4.0)
    after = [held_frames(np, w) for w in talk_live(mixer, talker, 76)]
    due = list(range(200, 276))
    assert all(0 <= due[i] - held <= 1 for i, held in enumerate(after)), after[:5]  # at most a window late
    stats = mixer.stats().inputs["talker"]
    assert 148 * 320 <= stats.dropped_samples <= 150 * 320 and stats.resyncs >= 1
    assert stats.filled_samples == 150 * 320  # the stall's windows were mixed without it
    assert mixer.stats().dropped_samples == stats.dropped_samples

    # The frames queued in the stall are taken before the mix catches up: they are in time, mixed
    # where they belong, and nothing is dropped or filled.
    mixer, talker = mixer_and_talker()
    for _ in range(150):
        mixer.write("talker", talker.frame(), arrival=4.0)
    assert [held_frames(np, mixer.mix()) for _ in range(150)] == list(range(50, 200))
    assert [held_frames(np, w) for w in talk_live(mixer, talker, 76)] == list(range(200, 276))
    stats = mixer.stats().inputs["talker"]
    assert (stats.dropped_samples, stats.filled_samples, stats.frames) == (0, 0, 276)

    # A sender holds 2 s back while the mix goes on, then sends them at once, and goes on live.
    mixer, talker = mixer_and_talker()
    held = [talker.frame() for _ in range(100)]
    assert {held_frames(np, mixer.mix()) for _ in range(100)} == {-1}
    for frame in held:
        mixer.write("talker", frame, arrival=3.0)
    after = [held_frames(np, w) for w in talk_live(mixer, talker, 76)]
    assert all(0 <= 150 + i - held <= 1 for i, held in enumerate(after)), after[:5]
    assert mixer.stats().inputs["talker"].dropped_samples >= 98 * 320

    # A frame one window late is still delayed, not lost; a pause in the stamps is no fill.
    mixer, talker = mixer_and_talker()
    late = talker.frame()
    assert held_frames(np, mixer.mix()) == -1
    mixer.write("talker", late, arrival=1.04)
    assert held_frames(np, mixer.mix()) == 50
    talker.sent += 25  # half a second of pause
    assert [held_frames(np, w) for w in talk_live(mixer, talker, 30)][23:26] == [-1, 76, 77]
    stats = mixer.stats().inputs["talker"]
    assert (stats.dropped_samples, stats.filled_samples) == (0, 320)


async def test_audio_handed_in_ahead_of_its_time_is_kept_and_hostile_stamps_insert_no_silence(lumora_runner, np):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer
    # A program with its own timing hands in 3 s at once (stamps ahead of the arrival, not held
    # back): nothing of it is late. Halfway its source starts again from pts 0: it follows on.
    mixer = AudioMixer(16000, latency_ms=0)
    mixer.start(0.0)
    talker = Talker(media)
    for i in range(150):
        if i == 75:
            talker.sent = 0
        frame = talker.frame()
        mixer.write("file", frame, arrival=0.02)
    held = [held_frames(np, mixer.mix()) for _ in range(150)]
    assert held == list(range(75)) * 2
    assert mixer.stats().dropped_samples == 0 and mixer.stats().inputs["file"].resyncs == 1
    # Live, a stamp hours ahead (and back again) is placed where the frame came: no hour of silence.
    mixer = AudioMixer(16000, latency_ms=0)
    mixer.start(0.0)
    talker = Talker(media)
    talk_live(mixer, talker, 10)
    jump = talker.frame()
    jump.pts += 3_600_000
    mixer.write("talker", jump, arrival=0.22)
    assert held_frames(np, mixer.mix()) == 10
    assert [held_frames(np, w) for w in talk_live(mixer, talker, 5)] == list(range(11, 16))
    stats = mixer.stats().inputs["talker"]
    assert stats.buffered_samples <= 320 and stats.dropped_samples == 0


async def test_arguments_out_of_range_are_refused_with_the_range(lumora_runner):
    from lumora_kit.av import AudioMixer
    refused = [
        (dict(latency_ms=-10**7), "latency_ms must be from 0 to 10000 ms"),
        (dict(latency_ms=-1000), "latency_ms must be from 0 to 10000 ms"),
        (dict(latency_ms=10**9), "latency_ms must be from 0 to 10000 ms"),
        (dict(sample_rate=0), "sample_rate must be from 8000 to 192000 Hz"),
        (dict(sample_rate=10**9), "sample_rate must be from 8000 to 192000 Hz"),
        (dict(channels=3), "channels must be from 1 to 2"),
        (dict(frame_ms=0), "frame_ms must be from 1 to 1000 ms"),
        (dict(frame_ms=-20), "frame_ms must be from 1 to 1000 ms"),
        (dict(sample_rate=44100, frame_ms=15), "not a whole number of samples"),
        (dict(latency_ms=500, max_buffer_ms=100), "max_buffer_ms must be from 520 to 600000 ms"),
    ]
    for arguments, message in refused:
        with pytest.raises(ValueError, match=message):
            AudioMixer(**arguments)
    for arguments in (dict(latency_ms=1.5), dict(frame_ms=True), dict(sample_rate="48000")):
        with pytest.raises(TypeError, match="whole number"):
            AudioMixer(**arguments)
    AudioMixer(8000, 2, frame_ms=1000, latency_ms=10_000, max_buffer_ms=11_000)  # the bounds themselves


# ---- Streams the mixer was given are closed ----

class RecordedStream:
    """An async iterator of 20 ms frames that records whether it was closed (and how often)."""

    def __init__(self, media, frames=None):
        self.media, self.left, self.closes = media, frames, 0

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self.left is not None:
            if self.left == 0:
                raise StopAsyncIteration
            self.left -= 1
        await asyncio.sleep(0.005)
        return self.media.frame_from_pcm(self.media.silence(20, 16000), 16000, 1)

    async def aclose(self):
        self.closes += 1


async def test_removing_inputs_or_closing_the_mixer_closes_their_streams(lumora_runner):
    from lumora_kit import media
    from lumora_kit.av import AudioMixer
    mixer = AudioMixer(16000)
    streams = []
    generator_closed = []

    async def generator():
        try:
            while True:
                await asyncio.sleep(0.005)
                yield media.frame_from_pcm(media.silence(20, 16000), 16000, 1)
        finally:
            generator_closed.append(True)

    async def churn(task):
        for i in range(40):
            stream = RecordedStream(media)
            streams.append(stream)
            name = mixer.add_input(stream, f"{task} {i}")
            if i % 3 == 0:
                mixer.remove_input(name)  # before its task ever ran
            elif i % 3 == 1:
                await asyncio.sleep(0.01)
                mixer.remove_input(name)  # while its task waits for a frame
            else:
                await asyncio.sleep(0)  # kept until the mixer is closed

    await asyncio.wait_for(asyncio.gather(*(churn(task) for task in range(3))), 30)
    ended = RecordedStream(media, frames=2)  # ends by itself
    streams.append(ended)
    mixer.add_input(ended, "short")
    started = mixer.add_input(generator(), "generator")
    await asyncio.sleep(0.05)
    assert ended.closes == 1 and "short" not in mixer.inputs
    mixer.remove_input(started)
    await asyncio.wait_for(mixer.aclose(), 30)
    assert [s.closes for s in streams] == [1] * len(streams)
    assert generator_closed == [True]
    readers = [t for t in asyncio.all_tasks() if "AudioMixer" in t.get_name()]
    assert readers == []


async def test_room_streams_given_to_the_mixer_are_closed_with_it(lumora_runner, lumora_peer):
    from lumora_kit import Room
    from lumora_kit.av import AudioMixer
    peer = lumora_peer
    async with Room.join(peer.app_id, peer.room_id, "a", "s"):
        await peer.wait_for_user("a")
        mixer = AudioMixer(48000)
        streams = []

        async def churn(task):
            for i in range(20):
                stream = peer.audio_stream("a")
                streams.append(stream)
                name = mixer.add_input(stream, f"{task} {i}")
                if i % 4:
                    await asyncio.sleep(0.002 * (i % 4))  # its reader waits for a frame
                if i % 5:
                    mixer.remove_input(name)  # for i % 4 == 0, before its reader ever ran
                await asyncio.sleep(0)

        await asyncio.wait_for(asyncio.gather(*(churn(task) for task in range(3))), 30)
        await asyncio.wait_for(mixer.aclose(), 30)
        assert [s.end_reason for s in streams] == ["closed"] * 60


def tone_blocks(np, samples, frequency, rate=48000, block=0.1):
    """Per `block` seconds of `samples`: whether `frequency` is clearly in it."""
    size = int(rate * block)
    levels = []
    for start in range(0, len(samples) - size + 1, size):
        piece = samples[start:start + size]
        spectrum = np.abs(np.fft.rfft(piece * np.hanning(size)))
        index = round(frequency * size / rate)
        levels.append(spectrum[index - 2:index + 3].max() * 4 / size / 32768 > 0.03)
    return np.array(levels)


async def test_a_whole_room_recording_hears_a_talker_on_time_after_the_loop_stalled(lumora_runner, lumora_peer,
                                                                                   np, tmp_path):
    """A talker who never pauses (500 Hz for 4.5 s, then 1200 Hz) while the loop stalls 3 s."""
    import time
    from lumora_kit import Room, media
    from lumora_kit.av import MediaRecorder
    from av_tools import decode_audio
    out = tmp_path / "room.wav"
    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "ann", "s") as ann:
        await lumora_peer.wait_for_user("ann")
        async with MediaRecorder(out) as recorder:
            await recorder.start(lumora_peer)
            # The pacing thread goes on sending while the loop stands still: all of it is queued.
            voice = await ann.publish_audio(queue_ms=8000)
            await voice.capture(media.tone(500, 4500, amplitude=0.3) + media.tone(1200, 2500, amplitude=0.3))
            await asyncio.sleep(1.0)
            time.sleep(3.0)  # the loop stalls
            await asyncio.wait_for(voice.wait_for_playout(), 30)
            await asyncio.sleep(0.5)
    audio = decode_audio(np, out)
    low, high = tone_blocks(np, audio, 500), tone_blocks(np, audio, 1200)
    first = int(np.argmax(low))
    # The low tone throughout, the stall included (a block may miss it on a loaded machine).
    assert low[first:first + 44].mean() > 0.9, low[first:first + 44]
    change = first + int(np.argmax(high[first:]))
    assert high[change:change + 20].mean() > 0.9 and not low[change + 2:].any()
    assert 43 <= change - first <= 48, (first, change)  # 4.5 s after it began, not seconds later

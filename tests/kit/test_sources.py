"""lumora_kit.AudioSource and VideoSource: pacing, catch-up bound, back-pressure, barge-in.

The pacing tests run on an event loop with a virtual clock: waiting for a
timer advances the clock at once, so send times are exact and the tests do
not depend on the machine's load.
"""

import array
import asyncio
import selectors

import pytest

pytest.importorskip("_lumora")

import _lumora as lumora  # noqa: E402

from lumora_kit import AudioSource, VideoSource  # noqa: E402

FRAME = 960 * 2  # 20 ms of 48 kHz mono PCM


@pytest.fixture
def np():
    return pytest.importorskip("numpy")


class VirtualSelector(selectors.DefaultSelector):
    def __init__(self, loop):
        super().__init__()
        self.loop = loop

    def select(self, timeout=None):
        if timeout is not None and timeout > 0:
            self.loop.now += timeout  # nothing else happens meanwhile: jump to the timer
        return super().select(0)


class VirtualClockLoop(asyncio.SelectorEventLoop):
    def __init__(self):
        self.now = 1000.0
        super().__init__(VirtualSelector(self))

    def time(self):
        return self.now


def run_virtual(coro):
    loop = VirtualClockLoop()
    try:
        return loop.run_until_complete(coro)
    finally:
        loop.close()


class Sent:
    """A send function recording (clock, pts, payload, clear) per frame; `cost` advances the clock."""

    def __init__(self, cost=0.0):
        self.frames = []
        self.cost = cost

    def __call__(self, frame, clear=False):
        loop = asyncio.get_running_loop()
        self.frames.append((loop.time(), frame.pts, frame.data, clear))
        loop.now += self.cost
        return 0


def audio_source(sent, **options):
    settings = dict(sample_rate=48000, channels=1, frame_ms=20, queue_ms=200, max_burst_ms=60, on_close=None)
    settings.update(options)
    return AudioSource(sent, **settings)


def test_frames_are_sent_on_the_ideal_clock_without_drift():
    async def main():
        sent = Sent(cost=0.003)  # each send takes 3 ms: a sleep-per-frame sender would drift by that
        source = audio_source(sent)
        start = asyncio.get_running_loop().time()
        await source.capture(bytes(FRAME * 50))
        await source.wait_for_playout()
        times = [t - start for t, *_ in sent.frames]
        assert times == pytest.approx([k * 0.020 for k in range(50)], abs=1e-9)
        assert [pts for _, pts, *_ in sent.frames] == [k * 20 for k in range(50)]
        assert source.stats().frames_sent == 50 and source.stats().runs == 1
        await source.aclose()

    run_virtual(main())


def test_pts_follow_the_sources_clock_so_a_pause_shows_as_a_jump():
    async def main():
        sent, pictures = Sent(), []
        audio = audio_source(sent)
        video = VideoSource(lambda frame: pictures.append(frame.pts) or 0, width=4, height=2, fps=25,
                            stream_type=lumora.STREAM_TYPE_VIDEO_HIGH, queue_ms=500, max_burst_ms=100,
                            on_close=None)
        for _ in range(2):  # 1 s of tone, 1 s of nothing, 1 s of tone
            await asyncio.gather(audio.capture(bytes(FRAME * 50)), video.capture(bytes(12 * 25)))
            await asyncio.gather(audio.wait_for_playout(), video.wait_for_playout())
            await asyncio.sleep(1.0)
        for pts, period in (([p for _, p, *_ in sent.frames], 20), (pictures, 40)):
            steps = [b - a for a, b in zip(pts, pts[1:])]
            assert pts[0] == 0 and len(pts) == 2 * 1000 // period
            assert steps.count(period) == len(steps) - 1  # one jump, where the pause was
            jump = max(steps) - period  # silence between the end of one frame and the start of the next
            assert 1000 - period <= jump <= 1000 + period
        await audio.aclose()
        await video.aclose()

    run_virtual(main())


def test_a_stall_is_caught_up_in_a_bounded_burst():
    async def main():
        loop = asyncio.get_running_loop()
        sent = Sent()
        source = audio_source(sent, queue_ms=1000)
        await source.capture(bytes(FRAME * 40))
        await asyncio.sleep(0.1)
        loop.now += 0.2  # the loop was blocked for 200 ms
        await source.wait_for_playout()
        times = [t for t, *_ in sent.frames]
        gaps = [b - a for a, b in zip(times, times[1:])]
        burst = 1 + max(len(list(run)) for run in _runs_of_zero(gaps))
        assert burst == 1 + 60 // 20  # at most 1 + max_burst_ms / frame_ms frames at once
        assert all(g == pytest.approx(0.020) for g in gaps[gaps.index(0.0) + burst:])
        assert source.stats().rebased == 1
        await source.aclose()

    run_virtual(main())


def _runs_of_zero(gaps):
    run = []
    for gap in gaps:
        if gap == 0.0:
            run.append(gap)
        elif run:
            yield run
            run = []
    yield run


def test_capture_is_held_to_the_output_pace_by_the_queue():
    async def main():
        loop = asyncio.get_running_loop()
        sent, queued = Sent(), []

        def send(frame, clear):
            queued.append(source.stats().pending)
            return sent(frame, clear)

        source = audio_source(send, queue_ms=100)  # 5 frames
        start = loop.time()
        await source.capture(bytes(FRAME * 30))
        assert max(queued) == 5  # never more than queue_ms
        # It returned once the last frame fitted into the queue, which it
        # refills from half (2 frames) to full (5): 26 were sent, one waits
        # in the sender for its time and 3 in the queue.
        assert source.stats().pending == 3 and len(sent.frames) == 26
        assert loop.time() - start == pytest.approx(25 * 0.020)
        await source.aclose()

    run_virtual(main())


def test_clear_drops_the_queue_stops_the_capture_and_clears_the_sdk_queue():
    async def main():
        sent = Sent()
        source = audio_source(sent, queue_ms=100)
        capture = asyncio.create_task(source.capture(b"\x01\x00" * 960 * 50))
        await asyncio.sleep(0.1)
        source.clear()
        await capture  # returns at once, without queuing the rest
        await source.wait_for_playout()
        sent_before_clear = [f for f in sent.frames if not f[3]]
        cleared = [f for f in sent.frames if f[3]]
        assert len(cleared) == 1 and cleared[0][2] == bytes(FRAME)  # one silent frame with clear_send_queue
        stats = source.stats()
        assert len(sent_before_clear) == 6 and stats.frames_queued == 6 + stats.frames_cleared  # none left over
        await source.capture(bytes(FRAME))  # the source goes on after a clear
        await source.wait_for_playout()
        assert len(sent.frames) == len(sent_before_clear) + 2
        await source.aclose()

    run_virtual(main())


def test_capture_keeps_part_frames_and_takes_int16_arrays():
    async def main():
        sent = Sent()
        source = audio_source(sent, channels=2)
        samples = array.array("h", range(960 * 2))  # one stereo frame
        await source.capture(memoryview(samples.tobytes())[:FRAME])
        await source.capture(samples[960:])
        await source.capture(b"\x07\x00" * 10)
        await source.wait_for_playout()  # pads the last part frame with silence
        assert [f[2] for f in sent.frames] == [samples.tobytes(), b"\x07\x00" * 10 + bytes(FRAME * 2 - 20)]
        with pytest.raises(TypeError, match="16-bit"):
            await source.capture(array.array("f", [0.5] * 10))
        with pytest.raises(TypeError, match="not str"):
            await source.capture("pcm")
        with pytest.raises(ValueError, match="whole number of samples"):
            audio_source(sent, sample_rate=44100, frame_ms=15)
        await source.aclose()

    run_virtual(main())


def test_capture_refuses_part_samples_whole_and_the_next_audio_is_intact():
    async def main():
        sent = Sent()
        source = audio_source(sent, channels=2)
        with pytest.raises(ValueError, match="1001 bytes is not a whole number of 16-bit samples for 2 channel"):
            await source.capture(bytes(1001))
        with pytest.raises(ValueError, match="whole number"):
            await source.capture(bytes(FRAME * 2 + 2))  # a whole frame and half a stereo sample
        tone = b"".join(k.to_bytes(2, "little", signed=True) * 2 for k in range(960))  # one stereo frame
        await source.capture(tone)
        await source.wait_for_playout()
        assert [f[2] for f in sent.frames] == [tone] and source.stats().frames_queued == 1
        await source.aclose()

    run_virtual(main())


def test_a_source_resamples_from_its_input_rate(np):
    pytest.importorskip("soxr")

    async def main():
        sent = Sent()
        source = audio_source(sent, input_rate=24000)
        assert (source.input_rate, source.sample_rate, source.frame_bytes) == (24000, 48000, FRAME)
        t = np.arange(24000)
        await source.capture((np.sin(2 * np.pi * 440 * t / 24000) * 10000).astype(np.int16))  # 1 s at 24 kHz
        await source.wait_for_playout()  # with what the filter still held
        pcm = b"".join(f[2] for f in sent.frames)
        assert len(sent.frames) in (50, 51)
        spectrum = np.abs(np.fft.rfft(np.frombuffer(pcm[:96000], "<i2")))
        assert np.argmax(spectrum) == 440  # 1 s at 48 kHz: bin k is k Hz
        await source.aclose()

    run_virtual(main())


def test_closing_stops_the_sender_and_destroys_the_channel():
    async def main():
        sent, closed = Sent(), []
        source = audio_source(sent, on_close=lambda: closed.append(True))
        await source.capture(bytes(FRAME * 10))
        await source.aclose()
        await source.aclose()
        assert closed == [True] and len(sent.frames) <= 1
        with pytest.raises(RuntimeError, match="closed"):
            await source.capture(bytes(FRAME))
        await source.wait_for_playout()  # a closed source has nothing to wait for

    run_virtual(main())


@pytest.mark.parametrize("close_after", [0.0, 0.005, 0.05, 0.21])
def test_stats_add_up_after_close_with_a_held_frame_and_a_blocked_capture(close_after):
    async def main():
        sent = Sent()
        source = audio_source(sent, queue_ms=100)  # 5 frames
        capture = asyncio.create_task(source.capture(bytes(FRAME * 30)))
        await asyncio.sleep(close_after)  # the sender waits with a frame for its time, the capture for room
        await source.aclose()
        await capture
        await asyncio.sleep(0.1)
        stats = source.stats()
        assert stats.pending == 0 and stats.frames_sent == len(sent.frames)
        assert stats.frames_queued == stats.frames_sent + stats.frames_cleared

    run_virtual(main())


def test_stats_add_up_after_close_on_a_real_clock_at_any_moment():
    import random

    async def round_(close_after):
        source = audio_source(lambda frame, clear: 0, queue_ms=60)
        capture = asyncio.create_task(source.capture(bytes(FRAME * 20)))
        await asyncio.sleep(close_after)
        source.close()
        await capture
        await asyncio.sleep(0.005)
        stats = source.stats()
        return stats.pending, stats.frames_queued - stats.frames_sent - stats.frames_cleared

    async def main():
        rng = random.Random(7)
        return [await round_(rng.uniform(0, 0.08)) for _ in range(20)]

    assert asyncio.run(main()) == [(0, 0)] * 20


def test_video_frames_are_whole_pictures_paced_at_fps():
    async def main():
        pictures = []

        def send(frame):
            pictures.append((asyncio.get_running_loop().time(), frame.width, frame.height, frame.format, frame.pts))
            return 0

        source = VideoSource(send, width=4, height=2, fps=25, stream_type=lumora.STREAM_TYPE_VIDEO_HIGH,
                             queue_ms=500, max_burst_ms=100, on_close=None)
        await source.capture(bytes(12 * 3))
        await source.wait_for_playout()
        start = pictures[0][0]
        assert [t - start for t, *_ in pictures] == pytest.approx([0, 0.04, 0.08])
        assert [p[1:] for p in pictures] == [(4, 2, lumora.VIDEO_PIXEL_FORMAT_YUV420p, k * 40) for k in range(3)]
        with pytest.raises(ValueError, match="whole number"):
            await source.capture(bytes(13))
        with pytest.raises(ValueError, match="even"):
            VideoSource(send, width=3, height=2, fps=25, stream_type=lumora.STREAM_TYPE_VIDEO_HIGH,
                        queue_ms=500, max_burst_ms=100, on_close=None)
        await source.aclose()

    run_virtual(main())


def test_a_short_slice_is_asked_for_the_calling_thread_only():
    import re
    import threading

    from lumora_kit.latency import request_short_slice

    def slice_ns(tid):
        try:
            with open(f"/proc/self/task/{tid}/sched") as sched:
                return int(re.search(r"se\.slice\s*:\s*(\d+)", sched.read()).group(1))
        except (OSError, AttributeError):
            return None

    with pytest.raises(ValueError, match="100 to 100,000"):
        request_short_slice(50)
    main_before = slice_ns(threading.get_native_id())
    got = []
    worker = threading.Thread(target=lambda: got.append((request_short_slice(200), slice_ns(threading.get_native_id()))))
    worker.start()
    worker.join()
    (taken, worker_slice), = got
    if taken and worker_slice is not None:
        assert worker_slice == 200_000
    assert slice_ns(threading.get_native_id()) == main_before


class ThreadSent:
    """A send function for the pacing thread: (thread, monotonic time, payload, clear) per frame."""

    def __init__(self):
        import threading
        import time
        self.frames, self._threading, self._time = [], threading, time

    def __call__(self, frame, clear=False):
        self.frames.append((self._threading.get_ident(), self._time.monotonic(), frame.data, clear))
        return 0


def test_on_a_real_clock_the_pacing_thread_sends_while_the_loop_is_blocked():
    import threading
    import time

    async def main():
        sent = ThreadSent()
        source = audio_source(sent, queue_ms=400)
        assert source.pacing == "thread"
        await source.capture(bytes(FRAME * 15))
        blocked_from = time.monotonic()
        time.sleep(0.15)  # the loop does nothing meanwhile
        blocked_until = time.monotonic()
        await asyncio.wait_for(source.wait_for_playout(), 10)
        stats = source.stats()
        await source.aclose()
        return sent.frames, stats, blocked_from, blocked_until

    frames, stats, blocked_from, blocked_until = asyncio.run(main())
    assert len(frames) == 15 and stats.frames_sent == 15 and stats.pending == 0
    assert {thread for thread, *_ in frames} != {threading.get_ident()}  # not the loop's thread
    assert any(blocked_from < at < blocked_until for _, at, _, _ in frames)  # the loop was not needed


def test_on_the_pacing_thread_a_clear_stops_what_was_queued_and_capture_goes_on():
    import random

    first, after = b"\x01\x00" * 960, b"\x02\x00" * 960

    async def round_(clear_after):
        sent = ThreadSent()
        source = audio_source(sent, queue_ms=100)
        capture = asyncio.create_task(source.capture(first * 50))
        await asyncio.sleep(clear_after)  # any moment: the thread may be sending right then
        source.clear()
        await asyncio.wait_for(capture, 10)  # stopped, without queuing the rest
        await source.capture(after * 2)
        await asyncio.wait_for(source.wait_for_playout(), 10)
        stats = source.stats()
        await source.aclose()
        return sent.frames, stats

    async def main():
        rng = random.Random(11)
        return [await round_(rng.uniform(0.001, 0.06)) for _ in range(10)]

    for frames, stats in asyncio.run(main()):
        payloads = [(data, clear) for _, _, data, clear in frames]
        cleared = [i for i, (_, clear) in enumerate(payloads) if clear]
        if not cleared:  # cleared before the first send: nothing to clear in the SDK
            assert payloads == [(after, False)] * 2
            assert stats.frames_queued == stats.frames_sent + stats.frames_cleared
            continue
        cleared_at, = cleared
        assert payloads[cleared_at] == (bytes(FRAME), True)  # the silent frame that clears the SDK's queue
        assert all(data == first for data, _ in payloads[:cleared_at])
        assert payloads[cleared_at + 1:] == [(after, False)] * 2  # nothing queued before the clear came after it
        assert stats.frames_queued == stats.frames_sent - 1 + stats.frames_cleared and stats.pending == 0


def test_pacing_is_chosen_by_the_loops_clock_or_by_name():
    async def main():
        real = audio_source(lambda frame, clear: 0)
        loop_paced = audio_source(lambda frame, clear: 0, pacing="loop")
        with pytest.raises(ValueError, match="pacing"):
            audio_source(lambda frame, clear: 0, pacing="sometimes")
        await real.aclose()
        await loop_paced.aclose()
        return real.pacing, loop_paced.pacing

    assert asyncio.run(main()) == ("thread", "loop")

    async def virtual():
        source = audio_source(Sent())
        await source.aclose()
        return source.pacing

    assert run_virtual(virtual()) == "loop"  # a loop with its own clock paces its sources itself

"""The gateway's time keeping, without a browser: capture times, 20 ms audio frames, video slots' time lines."""

import pytest

from lumora_kit.web.timing import AudioChunker, CaptureTimeline, SlotClock


def test_capture_times_follow_the_sender_clock_not_the_trip():
    timeline = CaptureTimeline(origin=100.0)
    # Frames captured every 20 ms; their trips take 50, 30 (the shortest), 90 and 40 ms.
    trips = [0.050, 0.030, 0.090, 0.040]
    placed = [timeline.place(k * 0.020, 100.0 + k * 0.020 + trip) for k, trip in enumerate(trips)]
    # From the shortest trip on, frames sit exactly 20 ms apart whatever their own trip was.
    assert placed[1:] == pytest.approx([50.0, 70.0, 90.0])
    assert timeline.lag(0.040, 100.0 + 0.040 + 0.090) == pytest.approx(0.060)


def test_a_pause_of_the_sender_is_a_pause_of_the_same_length():
    timeline = CaptureTimeline(origin=0.0)
    before = timeline.place(1.0, 1.05)
    after = timeline.place(2.0, 2.06)  # a second later on the sender's clock, a slower trip
    assert after - before == pytest.approx(1000.0)


def test_a_frame_held_back_keeps_its_capture_time():
    # aiortc hands the last frame before a pause on with the first one after it.
    timeline = CaptureTimeline(origin=0.0)
    timeline.place(0.0, 0.03)
    assert timeline.place(0.02, 1.05) == pytest.approx(50.0)
    assert timeline.lag(0.02, 1.05) == pytest.approx(1.0)
    assert timeline.place(1.04, 1.07) == pytest.approx(1070.0)


def test_chunks_are_whole_frames_stamped_with_their_first_sample():
    chunker = AudioChunker(48000, 1, 20)
    ten_ms = bytes(960)  # 480 samples
    assert chunker.feed(ten_ms, 1000.0) == []
    chunks = chunker.feed(ten_ms * 3, 1010.0)
    assert [(len(c.pcm), c.pts) for c in chunks] == [(1920, 1000), (1920, 1020)]
    assert chunker.gaps == 0


def test_a_gap_pads_the_frame_in_progress_and_restarts_at_the_new_time():
    chunker = AudioChunker(48000, 1, 20)
    chunker.feed(b"\x01\x00" * 480, 0.0)  # 10 ms
    chunks = chunker.feed(b"\x02\x00" * 960, 1000.0)  # after a 990 ms pause
    assert [c.pts for c in chunks] == [0, 1000]
    assert chunks[0].pcm == b"\x01\x00" * 480 + bytes(960)  # padded with silence
    assert chunks[1].pcm == b"\x02\x00" * 960
    assert chunker.gaps == 1 and chunker.flush() == []


def test_audio_that_follows_on_keeps_counting_samples_when_its_estimate_moves_back():
    chunker = AudioChunker(48000, 1, 20)
    pts = [c.pts for start in (0.0, 15.0, 39.0, 57.0) for c in chunker.feed(bytes(1920), start)]
    assert pts == [0, 20, 40, 60] and chunker.gaps == 0
    # A move back by more than `max_overlap_ms` (the track moved onto the browser's shared
    # clock) starts again at the new time rather than keeping the old estimate.
    assert [c.pts for c in chunker.feed(bytes(1920), 20.0)] == [20]
    assert [c.pts for c in chunker.feed(bytes(1920), -5000.0)] == [(-5000) & 0xFFFFFFFF]


def test_pts_wrap_at_32_bits():
    chunker = AudioChunker(48000, 1, 20)
    chunks = chunker.feed(bytes(3840), float(2**32 - 20))
    assert [c.pts for c in chunks] == [2**32 - 20, 0]


def test_a_video_slot_keeps_one_time_line_over_its_members():
    clock = SlotClock()
    clock.start(now_ms=500)
    assert [clock.place(p) for p in (90_000, 90_033, 91_033)] == [500, 533, 1533]  # the member's pause kept
    clock.start(now_ms=1000)  # the next member, whose pts count from elsewhere
    assert clock.place(7) == 1534  # never back in time
    assert clock.place(2**32 - 1) == 1534 + 1  # before the first: still forward
    assert clock.place(40) == 1567


def test_sender_reports_give_wall_clock_times_and_a_late_stamped_report_does_not_move_them():
    from lumora_kit.web.timing import SenderReports

    reports = SenderReports(90000)
    ntp = lambda seconds: int(seconds * (1 << 32))  # noqa: E731
    reports.add(4_294_000_000, ntp(1000.0))  # RTP time near the 32-bit wrap
    assert reports.wall_time(4_294_000_000 + 90000) == pytest.approx(1001.0)
    assert reports.wall_time((4_294_000_000 + 180000) & 0xFFFFFFFF) == pytest.approx(1002.0)  # across the wrap
    reports.add(4_294_000_000 + 9000, ntp(1000.130))  # stamped 30 ms after the time its RTP stands for
    assert reports.wall_time(4_294_000_000 + 90000) == pytest.approx(1001.0)


def test_one_capture_clock_keeps_two_tracks_in_step_whatever_their_own_delays():
    from lumora_kit.web.timing import CaptureClock

    clock = CaptureClock(origin=50.0)
    # Both captured at wall time 10.0; audio waits 80 ms in its jitter buffer, video 30 ms.
    video = clock.place(10.0, 50.0 + 0.030)
    audio = clock.place(10.0, 50.0 + 0.080)
    assert audio == video == pytest.approx(30.0)
    assert clock.lag(10.0, 50.08) == pytest.approx(0.05)

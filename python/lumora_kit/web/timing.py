"""Time both ways through the gateway: capture times of a browser's frames, and a room's `pts` to a browser.

Browser to room. Every RTP packet carries its capture time on the clock of
its track (48 kHz for audio, 90 kHz for video, each from a random start).
The browser's RTCP sender reports pair those clocks with its wall clock
(NTP), the same for audio and video: that is how a browser keeps lip sync,
and so does the gateway. `SenderReports` turns a track's RTP time into the
browser's wall-clock time; `CaptureClock` puts that time on the gateway's
clock with one offset for both tracks, the smallest ``arrival - capture``
seen on either (the shortest trip, whatever track made it). A pause of the
browser is then a pause of the same length in the frames' `pts`, jitter of
the trip (network, aiortc's jitter buffers, which hold audio longer than
video, decoding) does not move them, and audio and video of one browser are
in step in the room.

Until a track's first sender report (browsers send one within a second or
so), `CaptureTimeline` stands in: the track's own RTP time plus its own
shortest trip, which keeps each track's pauses but not the lip sync.

A frame may arrive well after its capture without the gateway being
behind: aiortc hands a frame on when the next packet comes, so the last
frame before a pause arrives after the pause. Its capture time is still
right, and it is passed on; what bounds a backlog is the depth of aiortc's
queue of decoded frames (`session.py`).

`AudioChunker` cuts the decoded audio into the SDK's 20 ms frames, each
stamped with the capture time of its first sample; audio that follows on
keeps counting samples (so the frames stay exactly 20 ms apart while the
estimate of the trip settles by a few ms), a larger move back starts
again at the new time, and a gap in the input (the browser paused)
pads the frame in progress with silence and starts the next one at the new
capture time.

Room to browser. `SlotClock` gives the pictures of whichever member is in
a video slot one steady time line: the member's own `pts` differences, from
where the slot's time line stands when the member arrives.
"""

from collections import deque
from dataclasses import dataclass

_UINT32 = 0xFFFFFFFF
_NTP_FRACTION = float(1 << 32)
REPORTS_KEPT = 10  # sender reports a track's mapping is taken from: the last ten seconds or so


def rtp_step(timestamp: int, earlier: int) -> int:
    """RTP clock ticks from `earlier` to `timestamp`, both wrapping 32-bit: the shorter way round."""
    return (timestamp - earlier + (1 << 31)) % (1 << 32) - (1 << 31)


class SenderReports:
    """A track's RTP time as the sender's wall-clock time (seconds), from its RTCP sender reports.

    A report pairs an RTP timestamp with the wall-clock time it stands for.
    A sender that stamps a report with the time it sends it, rather than
    the time of the RTP timestamp, only ever errs late; of the last
    `REPORTS_KEPT` reports the one that puts the track earliest is taken
    (for an exact sender, they all agree; the window follows a sample
    clock that drifts against the wall clock)."""

    def __init__(self, clock_rate: int) -> None:
        self.clock_rate = clock_rate
        self._reports: deque[tuple[int, float]] = deque(maxlen=REPORTS_KEPT)

    @property
    def ready(self) -> bool:
        return bool(self._reports)

    def add(self, rtp_timestamp: int, ntp_timestamp: int) -> None:
        """A sender report: its RTP timestamp and its 64-bit NTP timestamp."""
        self._reports.append((rtp_timestamp & _UINT32, ntp_timestamp / _NTP_FRACTION))

    def wall_time(self, rtp_timestamp: int) -> float:
        """The sender's wall-clock time (seconds, NTP era) of an RTP timestamp."""
        return min(ntp + rtp_step(rtp_timestamp & _UINT32, rtp) / self.clock_rate for rtp, ntp in self._reports)


class CaptureTimeline:
    """One track's capture times on the gateway's clock, in milliseconds since `origin` (seconds)."""

    def __init__(self, origin: float) -> None:
        self.origin = origin
        self.offset: float | None = None

    def place(self, media_time: float, arrival: float) -> float:
        """The capture time of a frame (ms since `origin`) from its media time and its arrival (seconds)."""
        candidate = arrival - media_time
        if self.offset is None or candidate < self.offset:
            self.offset = candidate
        return (media_time + self.offset - self.origin) * 1000.0

    def lag(self, media_time: float, arrival: float) -> float:
        """How much later than its shortest trip the frame arrived, in seconds (after `place`)."""
        assert self.offset is not None
        return arrival - media_time - self.offset


class CaptureClock(CaptureTimeline):
    """One browser's wall-clock capture times on the gateway's clock: one offset for all its tracks.

    The same shortest-trip rule as a track's time line, fed the sender's wall-clock times (from its
    RTCP sender reports) instead of one track's media time, so that every track of the browser
    shares the offset."""


@dataclass
class Chunk:
    pcm: bytes
    pts: int  # ms, wrapped to 32 bits


class AudioChunker:
    """16-bit PCM pieces with capture times, cut into frames of `frame_ms`."""

    def __init__(self, sample_rate: int = 48000, channels: int = 1, frame_ms: int = 20,
                 max_gap_ms: float = 5.0, max_overlap_ms: float = 10.0) -> None:
        self.sample_rate, self.channels, self.frame_ms = sample_rate, channels, frame_ms
        self.frame_bytes = sample_rate * frame_ms // 1000 * channels * 2
        self.max_gap_ms, self.max_overlap_ms = max_gap_ms, max_overlap_ms
        self._buffer = bytearray()
        self._start_ms: float | None = None  # capture time of the first sample in the buffer
        self.gaps = 0

    def _end_ms(self, start: float) -> float:
        return start + len(self._buffer) / (2 * self.channels) * 1000.0 / self.sample_rate

    def feed(self, pcm: bytes, start_ms: float) -> list[Chunk]:
        """Adds `pcm` captured from `start_ms` on; returns the whole frames now complete.

        Input that starts where the last ended (or up to `max_overlap_ms`
        before it: the estimate of the shortest trip only ever moves back, by
        the jitter of the first trips) continues the frames; a later start is
        a pause, and an earlier one (the sender reports came in and moved the
        track onto the browser's shared clock) starts again from there."""
        chunks: list[Chunk] = []
        if self._start_ms is not None:
            expected = self._end_ms(self._start_ms)
            if start_ms - expected > self.max_gap_ms or expected - start_ms > self.max_overlap_ms:
                self.gaps += 1
                chunks.extend(self.flush())
                self._start_ms = start_ms
        else:
            self._start_ms = start_ms
        self._buffer += pcm
        while len(self._buffer) >= self.frame_bytes:
            chunks.append(Chunk(bytes(self._buffer[:self.frame_bytes]), round(self._start_ms) & _UINT32))
            del self._buffer[:self.frame_bytes]
            self._start_ms += self.frame_ms
        return chunks

    def flush(self) -> list[Chunk]:
        """The part frame in progress, padded with silence (nothing when empty)."""
        if not self._buffer or self._start_ms is None:
            return []
        pcm = bytes(self._buffer) + bytes(self.frame_bytes - len(self._buffer))
        self._buffer.clear()
        start, self._start_ms = self._start_ms, self._start_ms + self.frame_ms
        return [Chunk(pcm, round(start) & _UINT32)]


class SlotClock:
    """The time line (ms) of one video slot, over the members that pass through it."""

    def __init__(self) -> None:
        self._last_out: int | None = None
        self._first_in: int | None = None
        self._base = 0

    def start(self, now_ms: int) -> None:
        """A new member's pictures begin: carry on from `now_ms`, or after the last picture sent."""
        self._first_in = None
        self._base = now_ms if self._last_out is None else max(now_ms, self._last_out + 1)

    def place(self, pts: int) -> int:
        """The slot time (ms) of a picture with the member's `pts` (32-bit, wrapping)."""
        if self._first_in is None:
            self._first_in = pts
        step = rtp_step(pts, self._first_in)
        out = self._base + step
        if self._last_out is not None and out <= self._last_out:
            out = self._last_out + 1  # pictures go forward in time, also when the member's pts went back
        self._last_out = out
        return out

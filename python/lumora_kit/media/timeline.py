"""Putting received frames back on a time line: senders' `pts` to positions in a recording or a mix.

A sender stamps each frame's `pts` in milliseconds on its own clock
(counted from that source's first frame, wrapping as a 32-bit number), so a
pause in sending shows as a jump in `pts`. The clocks of two sources (a
user's audio and video, or two users) share no origin. A receiver therefore
places a stream like this:

- the stream's first frame goes where it arrived, on the receiver's clock
  (`origin`: the start of the recording or mix);
- every later frame goes by how far its `pts` is from the first one's, so
  network jitter does not move it;
- when that position and the arrival time disagree by more than
  `resync_ms` (frames waited in a queue, or the sender's clock drifted), the
  stream is anchored again at the arrival;
- so it is when the `pts` goes back by more than `rewind_ms`: the sender
  started a new source (a camera published again at another size, a user
  who left and came back), whose stamps begin again near 0. Without this a
  restart less than `resync_ms` after the old stamps would put the new
  frames in the past.

Audio is continuous: `AudioCursor` appends samples one after the other and
puts silence in only where the next frame's position is more than `gap_ms`
past the end of what was written (a pause), so jitter in the stamps neither
inserts clicks of silence nor loses samples.

The kit's own file writers (`WavWriter`, `Y4MWriter`) place by `pts` alone,
counting what they have written (`FillerTimeline`):

- the first frame anchors the time line: its pts is at what is written so
  far;
- a frame whose pts lies more than `tolerance` units beyond what is written
  follows a pause: the difference is filled in (silence, the last picture
  again);
- a frame more than `tolerance` units early (its sender started again from
  0, or its clock runs slower than the media) anchors the time line afresh;
  so does a pause longer than `MAX_GAP_MS`, which is taken for a sender that
  was replaced rather than one that paused (no hour of silence for a stray
  stamp);
- anything within `tolerance` is written as it comes: the rounding of pts
  to whole milliseconds never inserts anything.
"""

from fractions import Fraction

_WRAP = 1 << 32
_HALF = 1 << 31

MAX_GAP_MS = 10 * 60 * 1000


def pts_step(pts: int, earlier: int) -> int:
    """Milliseconds from `earlier` to `pts`, both wrapping 32-bit stamps: the shorter way round."""
    return (pts - earlier + _HALF) % _WRAP - _HALF


class PtsUnwrapper:
    """32-bit wrapping `pts` to a steadily counting number of milliseconds."""

    def __init__(self) -> None:
        self._last: int | None = None
        self._value = 0

    def __call__(self, pts: int) -> int:
        pts &= _WRAP - 1
        if self._last is None:
            self._value = pts
        else:
            self._value += pts_step(pts, self._last)
        self._last = pts
        return self._value


class StreamTimeline:
    """Positions (ms since `origin`, receiver's clock in seconds) of one stream's frames, from their `pts`."""

    def __init__(self, origin: float, *, resync_ms: float = 1000.0, rewind_ms: float = 100.0) -> None:
        self.origin = origin
        self.resync_ms = resync_ms
        self.rewind_ms = rewind_ms
        self._unwrap = PtsUnwrapper()
        self._anchor: tuple[float, int] | None = None  # (position ms, unwrapped pts) of the anchor frame
        self._last_stamp: int | None = None
        self.resyncs = 0

    def place(self, pts: int, arrival: float) -> float:
        """The position in ms of a frame stamped `pts` that arrived at `arrival` (the origin's clock)."""
        stamp = self._unwrap(pts)
        arrived_ms = (arrival - self.origin) * 1000.0
        rewound = self._last_stamp is not None and stamp < self._last_stamp - self.rewind_ms
        self._last_stamp = stamp
        if self._anchor is None:
            self._anchor = (arrived_ms, stamp)
            return arrived_ms
        position = self._anchor[0] + (stamp - self._anchor[1])
        if rewound or abs(position - arrived_ms) > self.resync_ms:
            self._anchor = (arrived_ms, stamp)
            self.resyncs += 1
            return arrived_ms
        return position


class AudioCursor:
    """Where the next samples of a continuous audio track go, with silence for pauses."""

    def __init__(self, sample_rate: int, *, gap_ms: float = 80.0) -> None:
        self.sample_rate = sample_rate
        self.gap_samples = round(gap_ms * sample_rate / 1000)
        self.written = 0  # samples (per channel) of the track so far, silence included

    def silence_before(self, position_ms: float, samples: int) -> int:
        """The samples of silence to write before `samples` samples that belong at `position_ms`."""
        gap = round(position_ms * self.sample_rate / 1000) - self.written
        fill = gap if gap > self.gap_samples else 0
        self.written += fill + samples
        return fill


class FillerTimeline:
    """The anchor of one file writer's time line; `units_per_second` is its sample rate or frame rate."""

    def __init__(self, units_per_second: int | Fraction) -> None:
        self._rate = Fraction(units_per_second)
        self._anchor: tuple[int, int] | None = None  # (pts, units written when it was stamped)

    def filler(self, pts: int, written: int, tolerance: float) -> int:
        """Units to write before a frame stamped `pts` when `written` units are in the file."""
        if self._anchor is None:
            self._anchor = (pts, written)
            return 0
        anchor_pts, anchor_written = self._anchor
        due = anchor_written + round(pts_step(pts, anchor_pts) * self._rate / 1000)
        late = due - written
        if late > tolerance and late * 1000 <= MAX_GAP_MS * self._rate:
            return late
        if late > tolerance or -late > tolerance:
            self._anchor = (pts, written)
        return 0

"""Where received frames go on a file's time line, by their `pts`.

A frame's `pts` is milliseconds on its sender's clock, a uint32 that wraps;
only differences between frames of one sender mean something. A writer that
keeps time counts what it has written in its own units (sample frames,
pictures) and asks, before each frame, how many units of filler (silence,
the last picture again) belong in front of it:

- The first frame anchors the time line: its pts is at what is written so
  far.
- A frame whose pts lies more than `tolerance` units beyond what is written
  follows a pause: the difference is filled in.
- A frame more than `tolerance` units early (its sender started again from
  0, or its clock runs slower than the media) anchors the time line afresh;
  so does a pause longer than `MAX_GAP_MS`, which is taken for a sender that
  was replaced rather than one that paused (no hour of silence for a stray
  stamp).
- Anything within `tolerance` is written as it comes: the rounding of pts
  to whole milliseconds never inserts anything.
"""

from fractions import Fraction

MAX_GAP_MS = 10 * 60 * 1000


class Timeline:
    """The anchor of one writer's time line; `units_per_second` is its sample rate or frame rate."""

    def __init__(self, units_per_second: int | Fraction) -> None:
        self._rate = Fraction(units_per_second)
        self._anchor: tuple[int, int] | None = None  # (pts, units written when it was stamped)

    def filler(self, pts: int, written: int, tolerance: float) -> int:
        """Units to write before a frame stamped `pts` when `written` units are in the file."""
        if self._anchor is None:
            self._anchor = (pts, written)
            return 0
        anchor_pts, anchor_written = self._anchor
        step_ms = (pts - anchor_pts + 2**31) % 2**32 - 2**31  # wrapping difference
        due = anchor_written + round(step_ms * self._rate / 1000)
        late = due - written
        if late > tolerance and late * 1000 <= MAX_GAP_MS * self._rate:
            return late
        if late > tolerance or -late > tolerance:
            self._anchor = (pts, written)
        return 0

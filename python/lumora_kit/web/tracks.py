"""The room's media as aiortc tracks for one browser: the audio mix, and video slots.

aiortc's sender asks its track for the next frame (`recv`) and encodes it;
each track here takes that frame from a bounded `lumora_kit.Stream` (what a
slow browser connection does not take in time is dropped there, oldest
first, and counted) and converts it to a PyAV frame with its time.

`MixTrack` is the SDK's mix of every other member's audio, so a browser
hears everyone but itself with one decoder. `VideoSlotTrack` shows one
member at a time: the gateway puts a member's video stream in a free slot
when the member starts sending pictures and the slot is freed when that
stream ends (the member left); the page labels the slot from the gateway's
messages.
"""

import asyncio
import fractions
import logging
from collections.abc import Callable
from typing import Any

from .extra import require_web

# Without the web extra: MissingWebExtra, naming it, rather than the first missing module.
require_web()

import _lumora
import av
from aiortc.mediastreams import MediaStreamError, MediaStreamTrack

from ..av.frames import av_audio_frame, av_video_frame
from ..streams import Stream, StreamEnded
from .timing import SlotClock

logger = logging.getLogger("lumora_kit.web")

MILLISECONDS = fractions.Fraction(1, 1000)
MIX_BACKLOG_FRAMES = 3  # 60 ms of the mix waiting for the browser's encoder at most


class MixTrack(MediaStreamTrack):
    """The room's mixed audio (16-bit PCM frames) as an aiortc audio track."""

    kind = "audio"

    def __init__(self, stream: Stream[_lumora.AudioFrame], max_backlog: int = MIX_BACKLOG_FRAMES) -> None:
        super().__init__()
        self.stream = stream
        self.max_backlog = max_backlog
        self.frames = 0
        self.skipped = 0

    async def recv(self) -> av.AudioFrame:
        try:
            # The mix comes in bursts (after everyone paused, the pause arrives as silence at once):
            # keep at most `max_backlog` frames ahead, so a burst does not become lasting delay.
            while self.stream.qsize() > self.max_backlog:
                self.stream.get_nowait()
                self.skipped += 1
            frame = await self.stream.get()
        except StreamEnded:
            self.stop()
            raise MediaStreamError from None
        self.frames += 1
        return av_audio_frame(frame)  # pts in ms, time base 1/1000: aiortc converts to the RTP clock


class VideoSlotTrack(MediaStreamTrack):
    """One video slot of a browser: the pictures of the member assigned to it, on one time line."""

    kind = "video"

    def __init__(self, index: int, on_free: Callable[["VideoSlotTrack"], None]) -> None:
        super().__init__()
        self.index = index
        self.user_id: str | None = None
        self._stream: Stream[Any] | None = None
        self._assigned = asyncio.Event()
        self._on_free = on_free
        self._clock = SlotClock()
        self._loop_start = asyncio.get_running_loop().time()
        self.frames = 0
        self.skipped = 0  # pictures not in I420, which the page's encoder does not take
        self._dropped_before = 0  # what the streams of members gone from the slot dropped

    @property
    def dropped(self) -> int:
        """Pictures of this slot's members that the browser's encoder did not take in time."""
        return self._dropped_before + (self._stream.dropped if self._stream is not None else 0)

    @property
    def free(self) -> bool:
        return self._stream is None

    def assign(self, user_id: str, stream: Stream[Any]) -> None:
        assert self._stream is None, "a slot holds one member"
        self.user_id, self._stream = user_id, stream
        self._clock.start(self._now_ms())
        self._assigned.set()

    def _now_ms(self) -> int:
        return round((asyncio.get_running_loop().time() - self._loop_start) * 1000)

    def _close_stream(self) -> None:
        """Closes the member's stream, keeping the count of what it dropped."""
        if self._stream is not None:
            self._dropped_before += self._stream.dropped
            self._stream.close()
            self._stream = None

    def _release(self) -> None:
        self._close_stream()
        self.user_id = None
        self._assigned.clear()
        self._on_free(self)

    async def recv(self) -> av.VideoFrame:
        while True:
            if self.readyState != "live":
                raise MediaStreamError
            stream = self._stream
            if stream is None:
                await self._assigned.wait()
                continue
            try:
                frame = await stream.get()
            except StreamEnded:
                self._release()
                continue
            if frame.format != _lumora.VIDEO_PIXEL_FORMAT_YUV420p:
                self.skipped += 1
                continue
            picture = av_video_frame(frame)
            picture.pts = self._clock.place(frame.pts)
            picture.time_base = MILLISECONDS
            self.frames += 1
            return picture

    def stop(self) -> None:
        self._close_stream()
        self._assigned.set()  # wakes a recv waiting for a member, which then sees the track ended
        super().stop()

"""Decoding a media file in a thread, into what a room's sources take, with back-pressure.

`FileDecoder` opens anything FFmpeg opens (a file or a URL), and a thread of
its own demuxes and decodes it and converts what it decodes:

- audio to 16-bit interleaved PCM at the output rate and channel count, cut
  into whole frames of `frame_ms` (FFmpeg's resampler does both);
- video to I420 at the output size, and, when an output frame rate is
  asked for, to that rate (pictures repeated or skipped by their time).

Each piece carries its presentation time in seconds from the start of the
file, so that a player can pace audio and video on one clock. When the file
loops, the times go on counting (the second pass starts where the first
ended).

Back-pressure. Audio and video wait in two bounded queues (`queue_ms` of
media each). The thread waits while the queue of what it decoded is full
(and is woken when it is half empty),
but not while the other queue is empty: a file whose audio is stored far
ahead of its video (or the reverse) makes one queue run over its bound
rather than leave the other side without media. The thread never touches
the event loop except to wake a waiting consumer (``call_soon_threadsafe``).
"""

import asyncio
import threading
from collections import deque
from collections.abc import Iterator
from dataclasses import dataclass
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Literal

from ..media.audio import SDK_SAMPLE_RATES, sdk_sample_rate
from .frames import i420_from_av, import_av, layout_name

if TYPE_CHECKING:
    import av
    import av.container

type Kind = Literal["audio", "video"]


@dataclass(frozen=True, slots=True)
class MediaInfo:
    """What a file holds, in the form it is played: the output's rate, channels, size and frame rate."""

    has_audio: bool
    sample_rate: int
    channels: int
    has_video: bool
    width: int
    height: int
    fps: float
    duration: float | None  # seconds, when the container says


@dataclass(frozen=True, slots=True)
class Decoded:
    """One frame's worth of converted media: PCM or an I420 picture, due at `time` seconds."""

    kind: Kind
    time: float
    data: bytes


class _Queue:
    """One kind's queue, filled by the thread and emptied on the loop."""

    def __init__(self, bound: int) -> None:
        self.items: deque[Decoded] = deque()
        self.bound = bound
        self.ended = False
        self.waiter: asyncio.Future[None] | None = None


class FileDecoder:
    """A media file decoded in a thread into audio frames and I420 pictures (see the module)."""

    def __init__(self, source: str, *, format: str | None = None, options: dict[str, str] | None = None,
                 loop: bool = False, audio: bool = True, video: bool = True, sample_rate: int | None = None,
                 channels: int | None = None, width: int | None = None, height: int | None = None,
                 fps: float | None = None, frame_ms: int = 20, queue_ms: int = 1000) -> None:
        """Opens `source` (this blocks while FFmpeg opens it: call it off the event loop)."""
        import_av("FileDecoder")
        self.source, self.loop = source, loop
        self._format, self._options = format, options
        self.frame_ms = frame_ms
        self._container = self._open()
        container = self._container
        audio_streams = container.streams.audio if audio else ()
        video_streams = container.streams.video if video else ()
        self._audio_stream = audio_streams[0] if audio_streams else None
        self._video_stream = video_streams[0] if video_streams else None
        if self._audio_stream is None and self._video_stream is None:
            container.close()
            raise ValueError(f"{source!r} has no audio or video stream to play")
        self.info = self._describe(sample_rate, channels, width, height, fps)
        self._requested_fps = fps
        self._frame_samples = self.info.sample_rate * frame_ms // 1000
        self._queues: dict[Kind, _Queue] = {
            "audio": _Queue(max(2, queue_ms // frame_ms)),
            "video": _Queue(max(2, round(queue_ms * self.info.fps / 1000))),
        }
        self._queues["audio"].ended = self._audio_stream is None
        self._queues["video"].ended = self._video_stream is None
        self._lock = threading.Condition()
        self._stop = False
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self.error: BaseException | None = None
        self.passes = 0

    def _open(self) -> "av.container.InputContainer":
        import av
        return av.open(self.source, "r", format=self._format, options=self._options)

    def _describe(self, sample_rate: int | None, channels: int | None, width: int | None, height: int | None,
                  fps: float | None) -> MediaInfo:
        audio, video = self._audio_stream, self._video_stream
        rate = out_channels = 0
        if audio is not None:
            rate = sample_rate or sdk_sample_rate(audio.codec_context.sample_rate or 48000)
            if rate not in SDK_SAMPLE_RATES:
                raise ValueError(f"the SDK takes audio at {', '.join(map(str, SDK_SAMPLE_RATES))} Hz, not {rate}")
            out_channels = channels or min(2, max(1, audio.codec_context.layout.nb_channels))
            layout_name(out_channels)
        out_width = out_height = 0
        out_fps = 0.0
        if video is not None:
            out_width = (width or video.codec_context.width) & ~1
            out_height = (height or video.codec_context.height) & ~1
            if out_width <= 0 or out_height <= 0:
                raise ValueError(f"cannot play video of {out_width}x{out_height}")
            rate_of_file = video.average_rate or video.guessed_rate or Fraction(30)
            out_fps = float(fps or rate_of_file)
        duration = None if self._container.duration is None else self._container.duration / 1_000_000
        return MediaInfo(audio is not None, rate, out_channels, video is not None, out_width, out_height,
                         out_fps, duration)

    # ---- The loop's side ----

    def start(self) -> None:
        """Starts the decoding thread; call on the event loop that takes the media."""
        self._loop = asyncio.get_running_loop()
        self._thread = threading.Thread(target=self._run, name=f"lumora_kit decoder {self.source}", daemon=True)
        self._thread.start()

    async def get(self, kind: Kind) -> Decoded | None:
        """The next piece of `kind`, waiting for the thread; None at the end (or after `close`)."""
        queue = self._queues[kind]
        while True:
            with self._lock:
                if queue.items:
                    item = queue.items.popleft()
                    self._refill(queue)
                    return item
                if queue.ended or self._stop:
                    if self.error is not None:
                        raise self.error
                    return None
                assert self._loop is not None
                waiter = queue.waiter = self._loop.create_future()
            await waiter

    def get_nowait(self, kind: Kind) -> Decoded | None:
        """The next piece of `kind` if one is waiting, else None."""
        queue = self._queues[kind]
        with self._lock:
            if not queue.items:
                return None
            item = queue.items.popleft()
            self._refill(queue)
            return item

    def _refill(self, queue: _Queue) -> None:
        """Wakes the thread once `queue` is down to half its bound (called with the lock held).

        The thread then fills it in one go: a few wake-ups a second instead
        of one per frame, each of which would pass the GIL back and forth."""
        if len(queue.items) <= queue.bound // 2:
            self._lock.notify()

    def close(self) -> None:
        """Stops the thread (it closes the file) and wakes whoever waits."""
        with self._lock:
            self._stop = True
            self._lock.notify_all()
        for queue in self._queues.values():
            self._wake(queue)
        if self._thread is None:
            self._container.close()

    def join(self, timeout: float | None = None) -> None:
        if self._thread is not None:
            self._thread.join(timeout)

    # ---- The thread's side ----

    def _wake(self, queue: _Queue) -> None:
        waiter, queue.waiter = queue.waiter, None
        if waiter is not None and self._loop is not None:
            self._loop.call_soon_threadsafe(_settle, waiter)

    def _put(self, item: Decoded) -> bool:
        """Queues `item`, waiting for room (see the module); False once stopped."""
        queue = self._queues[item.kind]
        other = self._queues["video" if item.kind == "audio" else "audio"]
        with self._lock:
            while (not self._stop and len(queue.items) >= queue.bound
                   and (other.items or other.ended)):
                self._lock.wait(0.5)
            if self._stop:
                return False
            queue.items.append(item)
            self._wake(queue)
        return True

    def _end(self, error: BaseException | None = None) -> None:
        with self._lock:
            self.error = error
            for queue in self._queues.values():
                queue.ended = True
                self._wake(queue)

    def _run(self) -> None:
        error: BaseException | None = None
        try:
            offset = 0.0
            while True:
                end = self._decode_pass(offset)
                self.passes += 1
                if not self.loop or self._stop or end <= offset:
                    break
                offset = end
                self._rewind()
        except BaseException as e:  # handed to the consumer by get()
            error = e
        finally:
            try:
                self._container.close()
            finally:
                self._end(error)

    def _rewind(self) -> None:
        try:
            self._container.seek(0)
        except Exception:
            self._container.close()  # not seekable (a stream): open it again
            self._container = self._open()
            self._audio_stream = self._container.streams.audio[0] if self._audio_stream is not None else None
            self._video_stream = self._container.streams.video[0] if self._video_stream is not None else None

    def _decode_pass(self, offset: float) -> float:
        """Decodes the file once, from `offset` seconds on; returns where this pass ended."""
        import av
        info = self.info
        streams = [s for s in (self._audio_stream, self._video_stream) if s is not None]
        start = self._container.start_time / 1_000_000 if self._container.start_time else 0.0
        resampler = av.AudioResampler(format="s16", layout=layout_name(info.channels) if info.channels else None,
                                      rate=info.sample_rate or None, frame_size=self._frame_samples or None)
        audio_samples = 0
        audio_origin: float | None = None
        video = _VideoTiming(offset, self._requested_fps and info.fps)
        ended = offset
        for frame in self._frames(streams):
            if self._stop:
                break
            if isinstance(frame, av.AudioFrame):
                if audio_origin is None:
                    audio_origin = offset + max(0.0, (frame.time or 0.0) - start)
                frame.pts = None  # the resampler then counts samples itself
                for piece in resampler.resample(frame):
                    if not self._put_audio(piece, audio_origin + audio_samples / info.sample_rate):
                        return ended
                    audio_samples += piece.samples
            elif isinstance(frame, av.VideoFrame):
                time = None if frame.time is None else offset + frame.time - start
                for due, picture in video.place(time, i420_from_av(frame, info.width, info.height)):
                    if not self._put(Decoded("video", due, picture)):
                        return ended
        for piece in resampler.resample(None):
            if audio_origin is not None and not self._put_audio(piece, audio_origin + audio_samples / info.sample_rate):
                return ended
            audio_samples += piece.samples
        if audio_origin is not None:
            ended = max(ended, audio_origin + audio_samples / info.sample_rate)
        for due, picture in video.finish():
            if not self._put(Decoded("video", due, picture)):
                return ended
        return max(ended, video.end)

    def _put_audio(self, piece: "av.AudioFrame", time: float) -> bool:
        data = bytes(piece.planes[0])[:piece.samples * self.info.channels * 2]
        if piece.samples < self._frame_samples:  # the end of the file: pad the last frame with silence
            data += bytes((self._frame_samples - piece.samples) * self.info.channels * 2)
        return self._put(Decoded("audio", time, data))

    def _frames(self, streams: "list[Any]") -> "Iterator[av.AudioFrame | av.VideoFrame]":
        for packet in self._container.demux(*streams):
            for frame in packet.decode():
                yield frame


class _VideoTiming:
    """When each decoded picture is shown: at its own time, or in the slots of a requested frame rate.

    With a requested rate, slot k is due at ``first + k / fps`` and shows the
    picture nearest in time before it: each picture is held until half a
    period before the next one's time, so pictures are repeated for a
    higher rate and skipped for a lower one."""

    def __init__(self, offset: float, fps: float | None) -> None:
        self.offset = offset
        self.period = 1 / fps if fps else None
        self.next_slot: float | None = None
        self.held: tuple[float, bytes] | None = None  # the latest picture, not yet placed in all its slots
        self.end: float = offset
        self.last_step: float = 1 / 30

    def place(self, time: float | None, picture: bytes) -> list[tuple[float, bytes]]:
        """The (due time, picture) pairs that are known once the picture of `time` is decoded."""
        time = self.end if time is None else max(time, self.offset)
        if self.held is not None and time > self.held[0]:
            self.last_step = time - self.held[0]
        if self.period is None:
            self.held = (time, picture)
            self.end = time + self.last_step
            return [(time, picture)]
        shown: list[tuple[float, bytes]] = []
        if self.next_slot is None:
            self.next_slot = time
        elif self.held is not None:
            while self.next_slot + self.period / 2 <= time:
                shown.append((self.next_slot, self.held[1]))
                self.next_slot += self.period
        self.held = (time, picture)
        self.end = time + self.last_step
        return shown

    def finish(self) -> list[tuple[float, bytes]]:
        """The slots of the last picture, up to the end of its time."""
        if self.period is None or self.held is None or self.next_slot is None:
            return []
        shown: list[tuple[float, bytes]] = []
        while self.next_slot < self.end - 1e-6:
            shown.append((self.next_slot, self.held[1]))
            self.next_slot += self.period
        self.end = max(self.end, self.next_slot)
        return shown


def _settle(waiter: "asyncio.Future[None]") -> None:
    if not waiter.done():
        waiter.set_result(None)

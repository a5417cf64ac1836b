"""Decoding a media file in a thread, into what a room's sources take, with back-pressure.

`FileDecoder` opens a local file, or a URL whose protocols the program
names (see `opening`: what FFmpeg is handed, and the timeout), and a thread of
its own demuxes and decodes it and converts what it decodes:

- audio to 16-bit interleaved PCM at the output rate and channel count (FFmpeg's
  resampler, a decoded frame at a time), handed on in pieces of whole
  frames of `frame_ms` (`_AUDIO_PIECE_FRAMES` of them, the end padded);
- video to I420 at the output size, and, when an output frame rate is
  asked for, to that rate (pictures repeated or skipped by their time).

Each piece carries its presentation time in seconds from the start of the
file, so that a player can pace audio and video on one clock. When the file
loops, the times go on counting (the second pass starts where the first
ended).

Pictures as players show them (`PictureFitter`). The video track has one
size, the first picture's (as the file's header gives it) unless asked
for. A picture of another size or shape (a stream whose size changes
midway) is scaled into it with its aspect kept, centred on black, at its
own time. A display rotation in the file (a phone's portrait video) is
applied to the pixels, and the track's size is the rotated one.

Damaged input. As the `ffmpeg` program does, a packet that does not decode
is skipped and counted (`packets_skipped`), and the decoding goes on; a
file that cannot be read further (cut short, or broken in its container)
ends there, after the decoders have given what they still hold
(`read_errors`). Audio keeps its time across what was skipped: a gap
between the decoded audio and a frame's own time is filled with silence.
An error that does end the decoding names the file.

Falling behind. When the player gives the decoder its clock (`start`), a
file that decodes slower than it plays degrades to fewer pictures, never to
gaps in the audio: one thread decodes both, so the audio comes out only as
fast as the video goes through. Once the audio handed on is less than
`_LEAD_S` ahead of the clock and the thread does not catch up (it decodes
less media than is played meanwhile), video packets are not decoded up to
the next key frame (a key frame itself at most every `_LATE_SHOWN_S` of
media), and a decoded picture already late by a frame period is not
converted, both counted (`pictures_late`). The audio then runs ahead again; pictures come
back with the next key frame the thread reaches in time.

Back-pressure. Audio and video wait in two bounded queues (`queue_ms` of
media each). The thread waits while the queue of what it decoded is full
(and is woken when it is half empty),
but not while the other queue is empty: a file whose audio is stored far
ahead of its video (or the reverse) makes one queue run over its bound
rather than leave the other side without media. The thread never touches
the event loop except to wake a waiting consumer (``call_soon_threadsafe``),
and stops on its own once that loop has closed (nobody will take the media).
"""

import asyncio
import logging
import math
import struct
import threading
from collections import deque
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Literal

from ..media.audio import SDK_SAMPLE_RATES, sdk_sample_rate
from .frames import i420_from_av, i420_planes, import_av, layout_name
from .opening import DEFAULT_TIMEOUT, checked_options, checked_protocols, input_target, open_input

if TYPE_CHECKING:
    import av
    import av.container
    import av.video.reformatter
    import av.video.stream
    import numpy as np

logger = logging.getLogger("lumora_kit")

# Audio frames handed on in one piece: a tenth of a second at 20 ms, so the
# thread, the queue and the player's task each see ten pieces a second.
_AUDIO_PIECE_FRAMES = 5
# A jump ahead of the decoded audio's time larger than this is filled with silence.
_AUDIO_GAP_S = 0.04
# How often a thread waiting for room in its queues looks whether its consumer's loop has closed.
_STOP_POLL_S = 0.25
# Decoding is behind when the audio handed on is less than this ahead of the player's clock
# (or half the audio queue, when that is shorter): video is then skipped to the next key frame.
_LEAD_S = 0.2
# While behind, a picture is still shown (decoded and converted though late) at least this often.
_LATE_SHOWN_S = 0.5
# Time given to a thread that is behind to show that it catches up (decodes faster than the playing).
_CATCHING_UP_S = 0.1

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


@dataclass(frozen=True, slots=True)
class PlaybackStats:
    """Counters of what a `MediaPlayer`'s decoder did, read together.

    - `audio_seconds`: audio decoded and handed on (with filled gaps).
    - `pictures`: pictures handed on (with those repeated for a frame rate).
    - `packets_skipped`: packets that did not decode, skipped as ffmpeg does.
    - `read_errors`: times the file could not be read further (damaged or
      cut short); each ends a pass over the file early.
    - `audio_gap_seconds`: silence put where audio was missing.
    - `pictures_fitted`: pictures of another size or shape than the track,
      scaled into it with their aspect kept.
    - `rotation`: the display rotation applied to the pictures, in degrees
      counterclockwise (0, 90, 180 or 270).
    - `passes`: passes over the file finished (more than one with ``loop``).
    - `pictures_late`: pictures of the file left out because decoding fell
      behind the playing (not decoded up to the next key frame, or decoded
      too late to be shown); the audio goes on without a gap meanwhile.
    """

    audio_seconds: float = 0.0
    pictures: int = 0
    packets_skipped: int = 0
    read_errors: int = 0
    audio_gap_seconds: float = 0.0
    pictures_fitted: int = 0
    rotation: int = 0
    passes: int = 0
    pictures_late: int = 0


@dataclass(slots=True)
class _Counts:
    """The decoding thread's counters (`PlaybackStats` reads them)."""

    audio_samples: int = 0
    gap_samples: int = 0
    pictures: int = 0
    packets_skipped: int = 0
    read_errors: int = 0
    pictures_late: int = 0


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
                 protocols: frozenset[str] | None = None, timeout: float = DEFAULT_TIMEOUT,
                 loop: bool = False, audio: bool = True, video: bool = True, sample_rate: int | None = None,
                 channels: int | None = None, width: int | None = None, height: int | None = None,
                 fps: float | None = None, frame_ms: int = 20, queue_ms: int = 1000) -> None:
        """Opens `source` (this blocks while FFmpeg opens it: call it off the event loop)."""
        import_av("FileDecoder")
        self.source, self.loop = source, loop
        self._format, self._options = format, options
        self._protocols, self._timeout = checked_protocols(protocols, timeout), timeout
        checked_options(options)
        self.frame_ms = frame_ms
        self._container = self._open()
        container = self._container
        try:
            self._choose_streams(audio, video)
            self.info = self._describe(sample_rate, channels, width, height, fps)
        except BaseException:
            container.close()
            raise
        self._requested_fps = fps
        self._frame_samples = self.info.sample_rate * frame_ms // 1000
        self._queues: dict[Kind, _Queue] = {
            "audio": _Queue(max(2, queue_ms // (frame_ms * _AUDIO_PIECE_FRAMES))),
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
        self._pictures = PictureFitter(self.info.width, self.info.height, self._rotation) if self.info.has_video \
            else None
        self.counts = _Counts()
        # Falling behind (the thread's own): the clock, how far the media handed on reaches, the
        # media time of the last picture shown, and whether video waits for a key frame.
        self._clock: Callable[[], float] | None = None
        audio_queue_s = self._queues["audio"].bound * frame_ms * _AUDIO_PIECE_FRAMES / 1000
        self._lead = min(_LEAD_S, audio_queue_s / 2)
        self._handed_until = 0.0
        self._last_shown = -math.inf
        self._awaiting_key = False
        self._behind_since: tuple[float, float] | None = None  # (clock, handed until) when it fell behind
        self._pass_origin = 0.0  # a packet's time in the file plus this: its time in the playing

    def _choose_streams(self, audio: bool, video: bool) -> None:
        container = self._container
        audio_streams = container.streams.audio if audio else ()
        video_streams = container.streams.video if video else ()
        self._audio_stream = audio_streams[0] if audio_streams else None
        self._video_stream = video_streams[0] if video_streams else None
        if self._audio_stream is None and self._video_stream is None:
            raise ValueError(f"{self.source!r} has no audio or video stream to play")
        self._rotation = display_rotation(self._video_stream) if self._video_stream is not None else 0

    def _open(self) -> "av.container.InputContainer":
        # Again on each reopening: a local name is checked for what it is now.
        target = input_target(self.source, self._protocols, self._timeout, self._format)
        return open_input(target, self._format, self._options)

    def stats(self) -> PlaybackStats:
        rate, counts = self.info.sample_rate or 1, self.counts
        return PlaybackStats(counts.audio_samples / rate, counts.pictures, counts.packets_skipped,
                             counts.read_errors, counts.gap_samples / rate,
                             self._pictures.fitted if self._pictures is not None else 0, self._rotation, self.passes,
                             counts.pictures_late)

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
            shown_width, shown_height = video.codec_context.width, video.codec_context.height
            if self._rotation in (90, 270):
                shown_width, shown_height = shown_height, shown_width
            if width and not height and shown_width:  # the other side follows the picture's aspect
                height = round(width * shown_height / shown_width)
            elif height and not width and shown_height:
                width = round(height * shown_width / shown_height)
            out_width = (width or shown_width) & ~1
            out_height = (height or shown_height) & ~1
            if out_width <= 0 or out_height <= 0:
                raise ValueError(f"cannot play the video of {self.source!r} at {out_width}x{out_height}")
            rate_of_file = video.average_rate or video.guessed_rate or Fraction(30)
            out_fps = float(fps or rate_of_file)
        duration = None if self._container.duration is None else self._container.duration / 1_000_000
        return MediaInfo(audio is not None, rate, out_channels, video is not None, out_width, out_height,
                         out_fps, duration)

    # ---- The loop's side ----

    def start(self, clock: Callable[[], float] | None = None) -> None:
        """Starts the decoding thread; call on the event loop that takes the media.

        `clock` gives the media time being played now (callable from the
        thread); with it, the thread skips pictures when it falls behind
        (see the module)."""
        self._loop = asyncio.get_running_loop()
        self._clock = clock
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
        """Stops the thread (it closes the file), drops what is queued and wakes whoever waits.

        Safe from any thread and after the loop has closed."""
        with self._lock:
            self._stop = True
            self._lock.notify_all()
            for queue in self._queues.values():
                queue.items.clear()
                self._wake(queue)
        if self._thread is None:
            self._container.close()

    def join(self, timeout: float | None = None) -> None:
        if self._thread is not None:
            self._thread.join(timeout)

    # ---- The thread's side ----

    def _wake(self, queue: _Queue) -> None:
        """Wakes the consumer waiting for `queue`, if any (called with the lock held).

        A loop that has closed takes no more calls: nobody will take the
        media any more, so the decoding stops."""
        waiter, queue.waiter = queue.waiter, None
        if waiter is not None and self._loop is not None:
            try:
                self._loop.call_soon_threadsafe(_settle, waiter)
            except RuntimeError:  # closed meanwhile
                self._stop = True

    def _abandoned(self) -> bool:
        """True once stopped or once the consumer's loop has closed (called with the lock held)."""
        if not self._stop and self._loop is not None and self._loop.is_closed():
            self._stop = True
        return self._stop

    def _put(self, item: Decoded) -> bool:
        """Queues `item`, waiting for room (see the module); False once stopped.

        The wait looks at the loop every `_STOP_POLL_S`: a loop closed
        while its player played (without `close`) ends the thread within
        that, plus the time of the frame being decoded."""
        queue = self._queues[item.kind]
        other = self._queues["video" if item.kind == "audio" else "audio"]
        with self._lock:
            while (not self._abandoned() and len(queue.items) >= queue.bound
                   and (other.items or other.ended)):
                self._lock.wait(_STOP_POLL_S)
            if self._stop:
                return False
            queue.items.append(item)
            self._wake(queue)
        until = item.time + (len(item.data) / (2 * self.info.channels * self.info.sample_rate)
                             if item.kind == "audio" else 0.0)
        self._handed_until = max(self._handed_until, until)
        return True

    def _end(self, error: BaseException | None = None) -> None:
        """Marks both queues ended; once stopped (or the loop closed), drops what they hold."""
        with self._lock:
            self.error = error
            for queue in self._queues.values():
                queue.ended = True
                self._wake(queue)
                if self._stop:  # nobody takes it: a second of 4K pictures is hundreds of MiB
                    queue.items.clear()

    def _run(self) -> None:
        error: BaseException | None = None
        try:
            offset = 0.0
            carry: _AudioCarry | None = None
            while True:
                end, carry = self._decode_pass(offset, carry)
                self.passes += 1
                if not self.loop or self._stop or end <= offset:
                    break
                offset = end
                self._rewind()
            if carry is not None and not self._stop:
                self._put(carry.padded(self._frame_samples * 2 * self.info.channels))
        except BaseException as e:  # handed to the consumer by get()
            error = naming_the_file(e, self.source)
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

    def _decode_pass(self, offset: float, carry: "_AudioCarry | None") -> "tuple[float, _AudioCarry | None]":
        """Decodes the file once, from `offset` seconds on, after the audio `carry` left by the pass before.

        Returns where this pass ended and, when looping, the audio it
        leaves short of a whole frame: the next pass goes on from it, so a
        file whose length is not a whole number of frames loops without a
        padded gap. The next pass starts where the audio ended, unless the
        video runs on for longer than a gap the audio would be filled in."""
        import av
        info = self.info
        streams = [s for s in (self._audio_stream, self._video_stream) if s is not None]
        start = self._container.start_time / 1_000_000 if self._container.start_time else 0.0
        audio = _AudioPieces(info, self._frame_samples, offset, start, self._put, self.counts, carry)
        video = _VideoTiming(offset, self._requested_fps and info.fps)
        pictures = self._pictures
        self._pass_origin = offset - start
        for frame in self._frames(streams):
            if self._stop:
                return audio.end, None
            if isinstance(frame, av.AudioFrame):
                if not audio.add(frame):
                    return audio.end, None
            elif isinstance(frame, av.VideoFrame):
                assert pictures is not None
                time = None if frame.time is None else offset + frame.time - start
                if time is not None and self._late(time):
                    self.counts.pictures_late += 1
                    continue
                for due, picture in video.place(time, pictures.convert(frame)):
                    if not self._put_picture(due, picture):
                        return audio.end, None
        if not audio.finish(keep_partial=self.loop):
            return audio.end, None
        for due, picture in video.finish():
            if not self._put_picture(due, picture):
                return audio.end, None
        if self._audio_stream is not None and video.end - audio.end <= _AUDIO_GAP_S:
            return audio.end, audio.carry()
        return max(audio.end, video.end), audio.carry()

    def _behind(self) -> bool:
        """True when decoding cannot keep up: the media handed on (its audio, with the video once
        the audio has ended) is less than the lead ahead of the clock, and has been for
        `_CATCHING_UP_S` over which the thread decoded less media than was played.

        A thread that was held up once (the machine stalled) and decodes faster than the playing
        catches up by itself and skips nothing. Never before the clock has started: the first
        pictures are not skipped while the queues fill."""
        if self._clock is None:
            return False
        now = self._clock()
        if now < 0 or self._handed_until - now >= self._lead:
            self._behind_since = None
            return False
        if self._behind_since is None:
            self._behind_since = (now, self._handed_until)
            return False
        since, handed_then = self._behind_since
        played = now - since
        return played >= _CATCHING_UP_S and self._handed_until - handed_then < played

    def _late(self, time: float) -> bool:
        """True when a decoded picture due at `time` is already a frame period late and another was
        shown less than `_LATE_SHOWN_S` before it: it is left out, unconverted."""
        if (self._clock is not None and time - self._last_shown < _LATE_SHOWN_S
                and self._clock() - time > 1 / (self.info.fps or 30)):
            return True
        self._last_shown = max(self._last_shown, time)
        return False

    def _skip_video_packet(self, packet: "av.Packet[Any]") -> bool:
        """True for a video packet left undecoded because decoding is behind (see the module).

        Once one is skipped, every packet up to the next key frame is (the
        pictures between depend on it); a key frame is decoded unless it
        comes less than `_LATE_SHOWN_S` after the last picture shown."""
        if packet.pts is None or packet.size == 0:
            return False  # the demuxer's flush at the end: what the decoder holds
        time = self._pass_origin + float(packet.pts * packet.time_base) if packet.time_base else math.inf
        if packet.is_keyframe:
            self._awaiting_key = self._behind() and time - self._last_shown < _LATE_SHOWN_S
        elif not self._awaiting_key:
            self._awaiting_key = self._behind()
        return self._awaiting_key

    def _decode(self, packet: "av.Packet[Any]") -> "list[Any]":
        """The frames of one packet."""
        return packet.decode()

    def _put_picture(self, due: float, picture: bytes) -> bool:
        self.counts.pictures += 1
        return self._put(Decoded("video", due, picture))

    def _frames(self, streams: "list[Any]") -> "Iterator[av.AudioFrame | av.VideoFrame]":
        """The decoded frames of `streams`, damaged packets skipped (see the module)."""
        import av
        packets = self._container.demux(*streams)
        video = self._video_stream
        while True:
            try:
                packet = next(packets)
            except StopIteration:
                return  # the end: the demuxer's last (empty) packets have drained the decoders
            except av.FFmpegError as e:
                self.counts.read_errors += 1
                logger.warning("MediaPlayer: %s cannot be read further (%s); playing what was read", self.source, e)
                break
            if video is not None and packet.stream.index == video.index and self._skip_video_packet(packet):
                self.counts.pictures_late += 1
                continue
            try:
                frames = self._decode(packet)
            except av.FFmpegError as e:
                self.counts.packets_skipped += 1
                if self.counts.packets_skipped == 1:
                    logger.warning("MediaPlayer: skipping what does not decode in %s (%s)", self.source, e)
                continue
            yield from frames
        for stream in streams:  # the file ended early: what the decoders still hold
            try:
                yield from stream.codec_context.decode(None)
            except av.FFmpegError:
                self.counts.packets_skipped += 1


@dataclass(frozen=True, slots=True)
class _AudioCarry:
    """Audio short of a whole frame at the end of a pass, due at `time`: the next pass goes on from it."""

    pcm: bytes
    time: float

    def padded(self, frame_bytes: int) -> Decoded:
        """The audio padded with silence to a whole frame (when no pass follows)."""
        return Decoded("audio", self.time, self.pcm + bytes(-len(self.pcm) % frame_bytes))


class _AudioPieces:
    """The audio of one pass: resampled, kept in time, and handed on in pieces of whole frames.

    A pass that follows another starts with what that one left short of a
    whole frame (`carry`), so the frames run on across the seam."""

    def __init__(self, info: MediaInfo, frame_samples: int, offset: float, start: float,
                 put: Callable[[Decoded], bool], counts: _Counts, carry: _AudioCarry | None = None) -> None:
        import av
        self._put, self._counts = put, counts
        self._offset, self._start = offset, start
        self._rate = info.sample_rate
        self._sample_bytes = 2 * info.channels
        self._piece_bytes = frame_samples * _AUDIO_PIECE_FRAMES * self._sample_bytes
        self._frame_bytes = frame_samples * self._sample_bytes
        self._resampler = av.AudioResampler(format="s16", layout=layout_name(info.channels) if info.channels else None,
                                            rate=info.sample_rate or None)
        self._origin: float | None = None
        self._samples = 0  # resampled so far, with filled gaps: the time of what comes next
        self._pending = bytearray()
        self._pending_time = 0.0
        if carry is not None and carry.pcm:
            self._origin, self._pending_time = carry.time, carry.time
            self._pending += carry.pcm
            self._samples = len(carry.pcm) // self._sample_bytes

    @property
    def end(self) -> float:
        return self._offset if self._origin is None else self._origin + self._samples / self._rate

    def add(self, frame: "av.AudioFrame") -> bool:
        """Resamples `frame` and hands on the whole pieces it completes; False once stopped."""
        if frame.time is not None:
            time = self._offset + max(0.0, frame.time - self._start)
            if self._origin is None:
                self._origin = time
            elif time - self.end > _AUDIO_GAP_S:  # audio is missing here (skipped packets): keep the time
                gap = round((time - self.end) * self._rate)
                self._counts.gap_samples += gap
                self._append(bytes(gap * self._sample_bytes))
        elif self._origin is None:
            self._origin = self._offset
        frame.pts = None  # the resampler then counts samples itself
        for piece in self._resampler.resample(frame):
            self._append(memoryview(piece.planes[0])[:piece.samples * self._sample_bytes])
        return self._hand_on(self._piece_bytes)

    def finish(self, keep_partial: bool = False) -> bool:
        """Hands on the rest, the resampler's tail with it, padded to a whole frame.

        With `keep_partial`, what is short of a whole frame is kept (for
        `carry`) rather than padded."""
        for piece in self._resampler.resample(None):
            self._append(memoryview(piece.planes[0])[:piece.samples * self._sample_bytes])
        if keep_partial:
            return self._hand_on(self._frame_bytes)
        if self._pending:
            padding = -len(self._pending) % self._frame_bytes
            self._samples += padding // self._sample_bytes
            self._pending += bytes(padding)
        return self._hand_on(self._frame_bytes)

    def carry(self) -> _AudioCarry | None:
        """What `finish(keep_partial=True)` kept, for the next pass (None when nothing was)."""
        if not self._pending:
            return None
        return _AudioCarry(bytes(self._pending), self._pending_time)

    def _append(self, pcm: "bytes | memoryview") -> None:
        if not self._pending:
            self._pending_time = self.end
        self._pending += pcm
        samples = len(pcm) // self._sample_bytes
        self._samples += samples
        self._counts.audio_samples += samples

    def _hand_on(self, at_least: int) -> bool:
        """Queues the pending audio in whole frames once it holds `at_least` bytes."""
        pending = self._pending
        if len(pending) < at_least or not pending:
            return True
        whole = len(pending) - len(pending) % self._frame_bytes
        data = bytes(pending[:whole])
        del pending[:whole]
        time = self._pending_time
        self._pending_time = time + whole / self._sample_bytes / self._rate
        return self._put(Decoded("audio", time, data))


class PictureFitter:
    """Decoded pictures as I420 of the track's size, rotated as the file says, their aspect kept.

    A picture of the track's size (after rotation) is converted as it is,
    with one scaler kept from picture to picture. Another is scaled to fit
    inside the track, centred on black (letterboxed or pillarboxed) where
    its shape differs; `fitted` counts those."""

    def __init__(self, width: int, height: int, rotation: int = 0) -> None:
        import av.video.reformatter
        self.width, self.height = width, height
        self.rotation = rotation
        self.fitted = 0
        self._reformatter = av.video.reformatter.VideoReformatter()
        self._canvas: "np.ndarray[Any, np.dtype[np.uint8]] | None" = None

    def convert(self, frame: "av.VideoFrame") -> bytes:
        # The frame's own rotation where PyAV shows it (FFmpeg gives every frame the stream's), else the stream's.
        turns = (round(getattr(frame, "rotation", 0) / 90) or self.rotation // 90) % 4
        width, height = self.width, self.height
        source_width, source_height = (frame.height, frame.width) if turns % 2 else (frame.width, frame.height)
        if (source_width & ~1, source_height & ~1) == (width, height):
            if not turns:
                return i420_from_av(frame, width, height, reformatter=self._reformatter)
        else:
            self.fitted += 1
        fit_width, fit_height = fitted_size(source_width, source_height, width, height)
        scaled = self._reformatter.reformat(frame, width=fit_height if turns % 2 else fit_width,
                                            height=fit_width if turns % 2 else fit_height, format="yuv420p")
        if not turns and (fit_width, fit_height) == (width, height):
            return i420_planes(scaled)
        return self._place(scaled, turns, fit_width, fit_height)

    def _place(self, picture: "av.VideoFrame", turns: int, fit_width: int, fit_height: int) -> bytes:
        """`picture` turned `turns` quarters counterclockwise and centred on black."""
        import numpy as np
        width, height = self.width, self.height
        if self._canvas is None:
            self._canvas = np.empty(width * height * 3 // 2, dtype=np.uint8)
        canvas = self._canvas
        luma = width * height
        planes = (canvas[:luma].reshape(height, width), canvas[luma:luma * 5 // 4].reshape(height // 2, width // 2),
                  canvas[luma * 5 // 4:].reshape(height // 2, width // 2))
        left, top = (width - fit_width) // 4 * 2, (height - fit_height) // 4 * 2
        for index, (plane, target) in enumerate(zip(picture.planes, planes)):
            shrink = 1 if index == 0 else 2
            rows = np.frombuffer(plane, dtype=np.uint8).reshape(-1, plane.line_size)
            source = rows[:picture.height // shrink, :picture.width // shrink]
            target[...] = 16 if index == 0 else 128  # black
            target[top // shrink:(top + fit_height) // shrink,
                   left // shrink:(left + fit_width) // shrink] = np.rot90(source, turns)
        return canvas.tobytes()


def fitted_size(width: int, height: int, box_width: int, box_height: int) -> tuple[int, int]:
    """`width` x `height` scaled to fit in the box with its aspect kept, even, within 2 of the box's sides."""
    if width <= 0 or height <= 0:
        return box_width, box_height
    scale = min(box_width / width, box_height / height)
    fit_width = min(box_width, max(2, round(width * scale / 2) * 2))
    fit_height = min(box_height, max(2, round(height * scale / 2) * 2))
    if box_width - fit_width <= 2 and box_height - fit_height <= 2:
        return box_width, box_height  # a rounding apart: no border of a pixel or two
    return fit_width, fit_height


def display_rotation(stream: "av.video.stream.VideoStream") -> int:
    """The stream's display rotation in degrees counterclockwise (0, 90, 180 or 270), from its display matrix.

    As FFmpeg reads the matrix (`av_display_rotation_get`), rounded to a
    quarter turn; 0 where the file has none or PyAV does not show it."""
    side_data = getattr(stream.codec_context, "coded_side_data", None) or {}
    matrix = side_data.get("display_matrix") if isinstance(side_data, dict) else None
    if not isinstance(matrix, bytes) or len(matrix) != 36:
        return 0
    values = struct.unpack("=9i", matrix)
    scale_x, scale_y = math.hypot(values[0], values[3]), math.hypot(values[1], values[4])
    if not scale_x or not scale_y:
        return 0
    degrees = -math.degrees(math.atan2(values[1] / scale_y, values[0] / scale_x))
    return round(degrees / 90) % 4 * 90


def naming_the_file(error: BaseException, source: str) -> BaseException:
    """`error` with the file in its message: PyAV's errors get it as their file name, others a note."""
    import av
    if isinstance(error, av.FFmpegError):
        if error.filename is None:
            named = type(error)(error.errno or 0, error.strerror or "", source)
            named.__cause__ = error
            named.__traceback__ = error.__traceback__
            return named
        return error
    if isinstance(error, Exception) and source not in str(error):
        error.add_note(f"while decoding {source!r}")
    return error


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

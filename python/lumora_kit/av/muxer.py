"""Writing received frames to a media file in a thread: placing, composing, encoding and muxing.

`Muxer` is the recorder's worker. The event loop hands it frames with the
loop time they arrived (`put`, which never waits); its thread puts each on
its track's time line (see `timeline`), encodes it and writes it.

Tracks. An audio track has a key (a user id, or None for mixed audio); its
rate is known before any frame (the given rate, or 48 kHz, or the nearest
the codec takes), so it exists from the start. Video is one of:

- a grid (`grid_size`): one track of a fixed size from the start, composed
  from every user's pictures (see `compose`) at `fps` pictures a second;
- a track per user: its size is its first picture's (or `video_size`), so
  the container's header waits for the users in `expected` to send one,
  up to `wait_ms` after the first frame of any track. A user whose first
  picture comes after the header is not in the file (`late_tracks`).

A picture of another size than its track's is fitted into it, its aspect
kept (black bars), so a camera published again at another size stays one
track of one size.

Time. The file's time 0 is `origin` (the loop time recording began) when
given, else the arrival of the first frame held for the header. Audio is
continuous: silence is put in where a sender paused (a jump in its `pts`)
or was away (a new source, stamped from 0 again, starts where it arrived),
so a 1 s pause stays 1 s. A picture is written at its position, in
milliseconds, and shown until the next one; a picture whose position is
less than half a nominal frame after the previous one's goes half a frame
after it. The grid is composed on a clock of its own, `GRID_LATENCY_MS`
behind the frames taken from the queue, so that pictures have come in
before the frame that shows them is made; each picture goes on the
composed frame nearest its place (within half a frame), which shows every
user's latest picture. At the end every track lasts until the end:
silence after the last audio, the last picture (or grid) held.

Surviving the process. While recording, what is written reaches the disk
within `fragment_seconds` (`KILL_SAFE_BY_CONTAINER`): mp4, mov and m4a are
written as fragmented MP4, matroska and webm in clusters, ogg in pages, each
of half the interval and handed to the kernel as soon as it is complete
(the other half is for what the encoders and the grid hold back: x264 runs
without look-ahead and B-frames, libvpx without lag); mp3 and wav are
written as they come. The file is also flushed to the disk (fsync) every
interval, for a machine that loses power. A process killed later than one
interval after the start leaves a file that FFmpeg reads up to about one
interval before the kill (killed sooner, the file may hold only its
header). `finish()` then makes the ordinary file: the
fragmented MP4 is rewritten (packets copied, not encoded again) as a plain
MP4 with its index, seekable everywhere; the other containers get their
index and length in their trailer. ``fragment_seconds=None`` writes the
ordinary file directly (nothing readable before `finish()`).

Where it goes. `path` is a local file (made before FFmpeg opens it, so a
path that cannot be written fails by name), unless `protocols` names what
FFmpeg may use to send it out; then `timeout` bounds connecting and each
write (see `opening`), and nothing of the local file's care applies (no
fsync, no rewriting as a plain MP4).

The queue. `put` hands a frame over without waiting; the queue holds at
most `max_queue_bytes` (64 MiB by default), and a frame that would go
beyond it is dropped and counted (`dropped`). A frame counts its payload
and `FRAME_COST_BYTES` (32 KiB) more, for what handling any frame costs
the thread besides its bytes. Pictures stop at three quarters of the
bound (16 of 1920x1080); the last quarter is the voices' (about 10 s of
48 kHz mono in 20 ms frames), so a queue filled with pictures still takes
them. A full queue, of pictures or of audio alone (about 39 s of it), is
at most about 1.3 s of the thread's work on a busy machine. So an encoder
that cannot keep up costs pictures, not memory, and what is left to write
when the recording stops is bounded too (see Finishing).

Frames that cannot be written. A frame from a remote sender may be
malformed (its payload the wrong size for its format, a format or rate no
encoder takes): such a frame is skipped, counted for its track
(`frames_skipped`: "audio alice", "video alice", the grid's pictures by
user) and logged once per run of them; the track, and every other one,
goes on. A failure to write the file itself (a full disk) still ends the
recording and is raised by `finish()`'s waiter (`error`).

Finishing. `finish()` (or the end of the main thread, or of the event loop
the muxer was made on, when that is closed without `finish()`) makes the
thread write what is queued, flush the encoders and write the container's
trailer: whatever stopped the recording, the file is complete and playable.
How long that takes is bounded by the queue: at most `max_queue_bytes` of
frames to encode (a full queue, of 1080p pictures with x264's veryfast
preset or of audio, took 0.5 to 1.3 s on a busy 2-core machine; see
bench/bench_recorder_queue.py), then the encoders' rest and the trailer
(0.3 s there with nothing queued, the copy below included), and for a fragmented MP4 the copy into a plain one (a
read and a write of the file, without encoding). The thread is not a
daemon, so an interpreter that is exiting waits for the trailer.

Codecs by container: mp4/mov/m4a H.264 (libx264) and AAC; webm and mkv VP8
(libvpx; ``video_codec="libvpx-vp9"`` for VP9) and Opus (libopus); ogg and
opus Opus; mp3 MP3 (libmp3lame); wav 16-bit PCM. Audio-only containers
record no video. libvpx encodes pictures of up to 1280x720 in one thread
(its worker threads spin while they wait for the next picture); give
``video_options={"threads": "4"}`` to choose.
"""

import asyncio
import collections
import errno
import logging
import os
import threading
import time
from dataclasses import dataclass, field
from fractions import Fraction
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import _lumora

from ..media.timeline import AudioCursor, StreamTimeline
from .compose import GridCompositor, fit
from .frames import MILLISECONDS, PcmConverter, import_av, layout_name
from .opening import (
    DEFAULT_TIMEOUT, checked_options, checked_protocols, input_target, open_input, open_output, output_target,
    timed_out,
)

if TYPE_CHECKING:
    import av
    import av.container
    import numpy as np
    import numpy.typing as npt

logger = logging.getLogger("lumora_kit")

GRID_LATENCY_MS = 500
MAX_QUEUE_BYTES = 64 * 2**20  # what the writer's queue holds by default (see the module)
FRAME_COST_BYTES = 32 * 2**10  # what a frame costs the writer besides its payload, counted as bytes
AUDIO_RATES = (8000, 192000)  # the sample rates taken (inclusive): a hostile 1 Hz would resample to hours
MAX_PICTURE_SIDE = 16384  # the largest width or height FFmpeg's scaler takes


@dataclass(frozen=True, slots=True)
class ContainerPlan:
    """What a container holds: its FFmpeg format name and codecs (video None: audio only)."""

    format: str
    audio_codec: str
    video_codec: str | None
    audio_rates: tuple[int, ...] = ()  # the rates the audio codec takes; empty: any
    video_options: dict[str, str] = field(default_factory=lambda: {})


_X264 = {"preset": "veryfast", "crf": "23"}
_VPX = {"deadline": "realtime", "cpu-used": "8", "b": "1M"}
_OPUS_RATES = (48000, 24000, 16000, 12000, 8000)
_MP3_RATES = (48000, 44100, 32000, 24000, 22050, 16000, 11025, 8000)

PLANS = {
    ".mp4": ContainerPlan("mp4", "aac", "libx264", (), _X264),
    ".m4a": ContainerPlan("mp4", "aac", None),
    ".mov": ContainerPlan("mov", "aac", "libx264", (), _X264),
    ".webm": ContainerPlan("webm", "libopus", "libvpx", _OPUS_RATES, _VPX),
    ".mkv": ContainerPlan("matroska", "libopus", "libvpx", _OPUS_RATES, _VPX),
    ".ogg": ContainerPlan("ogg", "libopus", None, _OPUS_RATES),
    ".opus": ContainerPlan("ogg", "libopus", None, _OPUS_RATES),
    ".mp3": ContainerPlan("mp3", "libmp3lame", None, _MP3_RATES),
    ".wav": ContainerPlan("wav", "pcm_s16le", None),
}

# How each container is kept readable while it is written (see the module).
KILL_SAFE_BY_CONTAINER = {
    "mp4": "fragmented MP4, a fragment per interval; rewritten as a plain MP4 at the end",
    "mov": "fragmented MOV, a fragment per interval; rewritten as a plain MOV at the end",
    "matroska": "a cluster per interval; index and length written at the end",
    "webm": "a cluster per interval; index and length written at the end",
    "ogg": "pages written as they fill",
    "mp3": "frames written as they come",
    "wav": "samples written as they come; the header's lengths are set at the end",
}


def plan_for(path: str, format: str | None) -> ContainerPlan:
    """The plan for a file name (its suffix), or for an FFmpeg format name given as `format`."""
    if format is not None:
        for plan in PLANS.values():
            if plan.format == format:
                return plan
        raise ValueError(f"cannot record to format {format!r}; the formats are "
                         f"{', '.join(sorted({p.format for p in PLANS.values()}))}")
    suffix = os.path.splitext(path)[1].lower()
    try:
        return PLANS[suffix]
    except KeyError:
        raise ValueError(f"cannot tell the container of {path!r} from its name; name it "
                         f"{', '.join(PLANS)}, or give format=") from None


def check_encoder(name: str, kind: str) -> None:
    """ValueError naming `name` unless FFmpeg (as PyAV has it) can encode `kind` ("audio", "video") with it."""
    import av
    try:
        codec = av.Codec(name, "w")
    except Exception:
        raise ValueError(f"no {kind} encoder named {name!r} in this FFmpeg (PyAV {av.__version__})") from None
    if codec.type != kind:
        raise ValueError(f"{name!r} encodes {codec.type}, not {kind}")


def container_options(plan: ContainerPlan, fragment_seconds: float | None) -> dict[str, str]:
    """The muxer options that make `plan`'s container readable while it is written (see the module)."""
    if not fragment_seconds:
        return {}
    # Units of half the interval: what the encoders and the grid hold back (a few hundred
    # milliseconds) and the unit being filled together stay within the interval.
    unit_us = round(fragment_seconds * 500_000)
    options = {"flush_packets": "1"}  # each unit is handed to the kernel as soon as it is complete
    if plan.format in ("mp4", "mov"):
        options["movflags"] = "+empty_moov+default_base_moof"
        options["frag_duration"] = str(unit_us)
    elif plan.format in ("matroska", "webm"):
        options["cluster_time_limit"] = str(unit_us // 1000)
    elif plan.format == "ogg":
        options["page_duration"] = str(unit_us)
    return options


def encoder_options(codec: str, fragment_seconds: float | None) -> dict[str, str]:
    """Encoder options that keep a codec from holding pictures back while the file must stay current."""
    if not fragment_seconds:
        return {}
    if codec == "libx264":
        # No look-ahead and no B-frames: a picture is written as it is encoded, and a fragment
        # (which cannot shift its pictures back, having no edit list) starts at time 0.
        return {"tune": "zerolatency"}
    if codec.startswith("libvpx"):
        return {"lag-in-frames": "0"}
    return {}


@dataclass(frozen=True, slots=True)
class RecordingStats:
    """What a recording has written so far (`MediaRecorder.stats()`).

    `seconds`: media time written (the longest track); `bytes`: the size of
    the file on the disk; `frames`: frames encoded per track ("audio",
    "audio alice", "video alice", "grid"); `silence_seconds`: audio filled
    in for pauses, absences and the end; `pictures_held`: pictures written
    again where no new one came (a held picture at the end, a grid frame
    that no new picture changed); `pictures_fitted`: pictures scaled into
    a track of another size; `dropped`: frames dropped because the writer
    fell behind (its queue held `max_queue_bytes`); `late_tracks`: tracks
    that came after the header (not in the file); `frames_skipped`: frames
    that could not be written (malformed: a payload of the wrong size for
    its format, a format or rate no encoder takes), per track as in
    `frames`, the grid's and the mix's by the user who sent them ("video
    alice", "audio alice"); `queued_bytes`: what waits for the writer now,
    and `queued_bytes_peak` the most it has held, as the queue counts it
    (a frame's payload and `FRAME_COST_BYTES`; at most `max_queue_bytes`,
    of which pictures take at most three quarters)."""

    seconds: float = 0.0
    bytes: int = 0
    frames: dict[str, int] = field(default_factory=lambda: {})
    silence_seconds: float = 0.0
    pictures_held: int = 0
    pictures_fitted: int = 0
    dropped: int = 0
    late_tracks: list[tuple[str, str | None]] = field(default_factory=lambda: [])
    frames_skipped: dict[str, int] = field(default_factory=lambda: {})
    queued_bytes: int = 0
    queued_bytes_peak: int = 0


def audio_frame_problem(frame: object) -> str | None:
    """Why `frame` cannot be recorded as audio, or None when it can (16-bit PCM, 1 or 2 channels, ...).

    Looks at the frame's header and the length of its payload only (no copy)."""
    if not isinstance(frame, _lumora.AudioFrame):
        return f"not an AudioFrame but {type(frame).__name__}"
    if frame.codec != _lumora.AUDIO_CODEC_TYPE_PCM or frame.bits_per_sample != 16:
        return f"not 16-bit PCM: codec {frame.codec.name}, {frame.bits_per_sample} bits per sample"
    if frame.channels not in (1, 2):
        return f"{frame.channels} channels (1 or 2 are taken)"
    if not AUDIO_RATES[0] <= frame.sample_rate <= AUDIO_RATES[1]:
        return f"a sample rate of {frame.sample_rate} Hz (taken: {AUDIO_RATES[0]} to {AUDIO_RATES[1]})"
    if frame.size % (2 * frame.channels):
        return f"{frame.size} bytes is not a whole number of {frame.channels}-channel 16-bit samples"
    return None


def picture_problem(frame: object) -> str | None:
    """Why `frame` cannot be recorded as a picture, or None when it can (I420 of its stated size).

    Looks at the frame's header and the length of its payload only (no copy)."""
    if not isinstance(frame, _lumora.PixelFrame):
        return f"not a PixelFrame but {type(frame).__name__}"
    if frame.format != _lumora.VIDEO_PIXEL_FORMAT_YUV420p:
        return f"pixel format {frame.format.name} (I420 is taken)"
    width, height = frame.width, frame.height
    if width <= 0 or height <= 0 or width % 2 or height % 2 or max(width, height) > MAX_PICTURE_SIDE:
        return f"a size of {width}x{height} (even, up to {MAX_PICTURE_SIDE} a side, is taken)"
    if frame.size != width * height * 3 // 2:
        return f"{frame.size} bytes for an I420 picture of {width}x{height} ({width * height * 3 // 2} expected)"
    return None


class _Unwritable(ValueError):
    """A frame the thread skips, with the reason."""


class SkippedFrames:
    """Frames that could not be written, counted per track and logged once per run of them.

    A run of a track ends when `RUN_GAP_SECONDS` pass without a skipped
    frame: a sender whose every other frame is malformed costs one log line
    every few seconds, not one per frame. Used by one thread only; `counts`
    may be copied from another (its values are ints)."""

    RUN_GAP_SECONDS = 5.0

    def __init__(self, path: str, doing: str = "written to") -> None:
        self.path = path
        self.doing = doing
        self.counts: dict[str, int] = {}
        self._last: dict[str, float] = {}  # when each track last skipped one

    def skip(self, label: str, reason: object) -> None:
        now = time.monotonic()
        self.counts[label] = self.counts.get(label, 0) + 1
        last = self._last.get(label)
        self._last[label] = now
        if last is None or now - last > self.RUN_GAP_SECONDS:
            logger.warning("MediaRecorder: skipping frames of %r that cannot be %s %s (%s); "
                           "the recording goes on", label, self.doing, self.path, reason)


def _label(kind: str, key: str | None) -> str:
    return kind if key is None else f"{kind} {key}"


class _AudioTrack:
    """One audio stream of the file: conversion, placing with silence, encoding."""

    def __init__(self, muxer: "Muxer", stream: "av.AudioStream") -> None:
        import av
        self.muxer = muxer
        self.stream = stream
        context = stream.codec_context
        self.rate = context.sample_rate
        self.channels = context.layout.nb_channels
        self.timeline: StreamTimeline | None = None
        self.cursor = AudioCursor(self.rate)
        self.converter = PcmConverter(self.rate, self.channels)
        self.layout = layout_name(self.channels)
        context.open()
        self.encoder_input = av.AudioResampler(format=context.format, layout=self.layout, rate=self.rate,
                                               frame_size=context.frame_size or None)
        self.samples_encoded = 0
        self.silence_samples = 0
        self.frames = 0

    @property
    def seconds(self) -> float:
        return self.cursor.written / self.rate

    def write(self, frame: _lumora.AudioFrame, arrival: float) -> None:
        problem = audio_frame_problem(frame)
        if problem is not None:
            raise _Unwritable(problem)
        np = self.muxer.np
        samples = self.converter.convert(frame)
        if not len(samples):
            return
        if self.timeline is None:
            self.timeline = StreamTimeline(self.muxer.origin)
        position = self.timeline.place(frame.pts, arrival)
        silence = self.cursor.silence_before(position, len(samples))
        if silence:
            self.silence_samples += silence
            samples = np.concatenate([np.zeros((silence, self.channels), dtype=np.int16), samples])
        self.frames += 1
        self._encode(samples)

    def _encode(self, samples: "npt.NDArray[np.int16]") -> None:
        import av
        packed = av.AudioFrame.from_ndarray(samples.reshape(1, -1), format="s16", layout=self.layout)
        packed.sample_rate = self.rate
        for piece in self.encoder_input.resample(packed):
            self._encode_piece(piece)

    def _encode_piece(self, piece: "av.AudioFrame | None") -> None:
        if piece is not None:
            piece.pts = self.samples_encoded
            piece.time_base = Fraction(1, self.rate)
            self.samples_encoded += piece.samples
        self.muxer.write_packets(self.stream.encode(piece))

    def finish(self, end_ms: float) -> None:
        """Silence up to `end_ms` (the recording lasts until it was stopped), then the encoder's rest."""
        missing = round(end_ms * self.rate / 1000) - self.cursor.written
        if missing > 0:
            self.cursor.written += missing
            self.silence_samples += missing
            self._encode(self.muxer.np.zeros((missing, self.channels), dtype=self.muxer.np.int16))
        for piece in self.encoder_input.resample(None):
            self._encode_piece(piece)
        self._encode_piece(None)


class _VideoTrack:
    """One user's video stream of the file: pictures at their positions, fitted to the track's size."""

    def __init__(self, muxer: "Muxer", stream: "av.VideoStream") -> None:
        self.muxer = muxer
        self.stream = stream
        self.timeline: StreamTimeline | None = None
        self.width, self.height = stream.codec_context.width, stream.codec_context.height
        self.last_pts: int | None = None
        self.last: _lumora.PixelFrame | None = None
        self.min_gap_ms = max(1, round(500 / muxer.fps))
        self.frames = 0
        self.fitted = 0
        self.held = 0

    @property
    def seconds(self) -> float:
        return 0.0 if self.last_pts is None else self.last_pts / 1000

    def write(self, frame: _lumora.PixelFrame, arrival: float) -> None:
        problem = picture_problem(frame)
        if problem is not None:
            raise _Unwritable(problem)
        if self.timeline is None:
            self.timeline = StreamTimeline(self.muxer.origin)
        self._encode(frame, round(self.timeline.place(frame.pts, arrival)))

    def _encode(self, frame: _lumora.PixelFrame, pts: int) -> None:
        pts = max(pts, 0)
        if self.last_pts is not None and pts < self.last_pts + self.min_gap_ms:
            # Placed on or just after the previous picture (its sender's time line started again, or
            # a burst after a stall): it goes half a nominal frame later, never crammed 1 ms apart.
            pts = self.last_pts + self.min_gap_ms
        picture = fit(frame, self.width, self.height, pts)
        packets = self.stream.encode(picture)
        # Kept only once encoded: a picture the encoder refused is not the one held at the end.
        self.last_pts, self.last = pts, frame
        if (frame.width, frame.height) != (self.width, self.height):
            self.fitted += 1
        self.frames += 1
        self.muxer.write_packets(packets)

    def finish(self, end_ms: float) -> None:
        """The last picture again at `end_ms`: it stays on screen until the recording was stopped."""
        frame_ms = 1000 / self.muxer.fps
        if self.last is not None and self.last_pts is not None and end_ms - self.last_pts >= 2 * frame_ms:
            self.held += 1
            self._encode(self.last, round(end_ms - frame_ms))
        self.muxer.write_packets(self.stream.encode(None))


class _GridTrack:
    """The whole room's video: every user's pictures composed into one grid track on a clock."""

    def __init__(self, muxer: "Muxer", stream: "av.VideoStream") -> None:
        self.muxer = muxer
        self.stream = stream
        context = stream.codec_context
        self.grid = GridCompositor(context.width, context.height)
        self.timelines: dict[str | None, StreamTimeline] = {}
        self.pending: list[tuple[float, str, _lumora.PixelFrame | None]] = []  # (position ms, user, picture)
        self.ticks = 0  # frames composed
        self.frames = 0
        self.held = 0
        self.fitted = 0
        self._changed = True

    @property
    def seconds(self) -> float:
        return self.ticks / self.muxer.fps

    def write(self, frame: _lumora.PixelFrame, arrival: float, key: str | None) -> None:
        problem = picture_problem(frame)
        if problem is not None:
            raise _Unwritable(problem)  # checked here: composed later, it would fail every frame of the grid
        timeline = self.timelines.get(key)
        if timeline is None:
            timeline = self.timelines[key] = StreamTimeline(self.muxer.origin)
        self.pending.append((timeline.place(frame.pts, arrival), key or "", frame))

    def left(self, key: str | None, arrival: float) -> None:
        """`key`'s video ended at `arrival`: its tile goes, and its next picture starts a new time line."""
        self.timelines.pop(key, None)
        self.pending.append(((arrival - self.muxer.origin) * 1000, key or "", None))

    def advance(self, until_ms: float) -> None:
        """Composes and encodes every frame due at or before `until_ms` of the file.

        A frame shows the pictures placed up to half a frame after its time:
        each picture lands on the nearest frame, within half a frame of its
        place, rather than up to a whole frame late."""
        frame_ms = 1000 / self.muxer.fps
        while self.ticks * frame_ms <= until_ms:
            tick_ms = self.ticks * frame_ms
            due = [p for p in self.pending if p[0] < tick_ms + frame_ms / 2]
            if due:
                self.pending = [p for p in self.pending if p[0] >= tick_ms + frame_ms / 2]
                for _, user, picture in sorted(due, key=lambda p: p[0]):
                    if picture is None:
                        self.grid.remove(user)
                    else:
                        if (picture.width, picture.height) != (self.grid.canvas.width, self.grid.canvas.height):
                            self.fitted += 1
                        self.grid.show(user, picture)
            elif self.frames:
                self.held += 1
            self.muxer.write_packets(self.stream.encode(self.grid.compose(round(tick_ms))))
            self.ticks += 1
            self.frames += 1

    def finish(self, end_ms: float) -> None:
        self.advance(end_ms - 1000 / self.muxer.fps)
        self.muxer.write_packets(self.stream.encode(None))


type _Item = tuple[str, str | None, Any, float]  # (kind, track key, frame, arrival)
_FINISH = "finish"


class _FrameQueue:
    """The frames between the loop and the writer thread, bounded by bytes (see the module).

    Audio and the markers of users who left are taken while the queue holds
    at most `max_bytes`, pictures up to three quarters of it: the last
    quarter is kept for the voices, which pictures alone cannot fill. What
    does not fit is dropped and counted. Once `close` put the last item,
    nothing more is taken."""

    def __init__(self, max_bytes: int) -> None:
        self.max_bytes = max_bytes
        self._picture_limit = max_bytes - max_bytes // 4
        self._items: collections.deque[tuple[_Item, int]] = collections.deque()
        self._ready = threading.Condition(threading.Lock())
        self.bytes = 0  # what is queued now: payloads and FRAME_COST_BYTES each
        self.peak = 0  # the most it held
        self.dropped = 0
        self.closed = False

    def put(self, item: _Item, cost: int) -> None:
        with self._ready:
            if self.closed:
                return  # after the end of the recording: not part of it
            if self.bytes + cost > (self._picture_limit if item[0] == "video" else self.max_bytes):
                self.dropped += 1
                return
            self._items.append((item, cost))
            self.bytes += cost
            self.peak = max(self.peak, self.bytes)
            self._ready.notify()

    def close(self, last: _Item) -> None:
        """Puts `last` whatever the queue holds, and takes nothing after it; a second call does nothing."""
        with self._ready:
            if not self.closed:
                self.closed = True
                self._items.append((last, 0))
                self._ready.notify()

    def get(self, timeout: float) -> _Item | None:
        """The next item, or None when none came within `timeout` seconds."""
        with self._ready:
            if not self._items and not self._ready.wait_for(lambda: bool(self._items), timeout):
                return None
            item, cost = self._items.popleft()
            self.bytes -= cost
            return item


class Muxer:
    """A media file written by a thread of its own from frames handed in on the loop (see the module).

    The file is opened and the codecs checked in the constructor, so a
    folder that does not exist or a codec FFmpeg lacks fails there."""

    def __init__(self, path: str, *, format: str | None = None, options: dict[str, str] | None = None,
                 audio_codec: str | None = None, video_codec: str | None = None,
                 audio_options: dict[str, str] | None = None, video_options: dict[str, str] | None = None,
                 sample_rate: int | None = None, channels: int = 1, fps: float = 30,
                 audio_keys: tuple[str | None, ...] = (None,), grid_size: tuple[int, int] | None = None,
                 video_size: tuple[int, int] | None = None, expected: set[str | None] | None = None,
                 origin: float | None = None, wait_ms: int = 1000, fragment_seconds: float | None = 2.0,
                 max_queue_bytes: int = MAX_QUEUE_BYTES, protocols: frozenset[str] | None = None,
                 timeout: float = DEFAULT_TIMEOUT) -> None:
        import_av("MediaRecorder")
        if max_queue_bytes <= 0:
            raise ValueError(f"max_queue_bytes is a positive number of bytes, not {max_queue_bytes!r}")
        import numpy
        self.np = numpy
        self.path = path
        self.plan = plan_for(path, format)
        self._audio_codec = audio_codec or self.plan.audio_codec
        self._video_codec = video_codec or self.plan.video_codec
        check_encoder(self._audio_codec, "audio")
        if self._video_codec is not None:
            check_encoder(self._video_codec, "video")
        self.records_video = self._video_codec is not None
        self._audio_options = audio_options or {}
        self._video_options = (self.plan.video_options | encoder_options(self._video_codec or "", fragment_seconds)
                               | (video_options or {}))
        self._sample_rate = sample_rate or 48000
        self._channels = channels
        self.fps = fps
        self.fragment_seconds = fragment_seconds
        self._grid_size = grid_size if self.records_video else None
        self._video_size = video_size
        self._expected = set(expected or ()) if self.records_video and grid_size is None else set()
        self.origin: float = 0.0 if origin is None else origin
        self._origin_known = origin is not None
        self._wait = wait_ms / 1000
        self._queue = _FrameQueue(max_queue_bytes)
        self._audio: dict[str | None, _AudioTrack] = {}
        self._videos: dict[str | None, _VideoTrack] = {}
        self._grid: _GridTrack | None = None
        self._held: list[_Item] = []  # frames that came before the header
        self._tracks_final = False  # the header is written: no more tracks
        self.late_tracks: list[tuple[str, str | None]] = []
        self.error: BaseException | None = None
        self.finished = threading.Event()
        self._skipped = SkippedFrames(path)
        self._file_error: BaseException | None = None  # writing the file failed: no frame is to blame
        try:  # the loop that puts the frames: closed without finish(), the file is finished
            self._loop: asyncio.AbstractEventLoop | None = asyncio.get_running_loop()
        except RuntimeError:
            self._loop = None
        self._fd: int | None = None
        self._last_sync = time.monotonic()
        self._end: float | None = None
        self._placed_until = 0.0  # the arrival of the last frame taken from the queue
        checked_options(options)
        target = self._target = output_target(path, checked_protocols(protocols, timeout), timeout)
        if target.local:
            folder = os.path.dirname(os.path.abspath(path))
            if not os.path.isdir(folder):
                raise FileNotFoundError(errno.ENOENT, f"cannot record to {path!r}: there is no folder {folder!r}",
                                        path)
            try:
                with open(path, "wb"):  # made now, so a path that cannot be written fails here, by name
                    pass
            except OSError as e:
                raise type(e)(e.errno, f"cannot record to {path!r}: {e.strerror}", path) from None
        all_options = container_options(self.plan, fragment_seconds) | (options or {})
        self._container: "av.container.OutputContainer" = open_output(target, self.plan.format, all_options)
        try:
            for key in audio_keys:
                self._audio[key] = _AudioTrack(self, self._add_audio(key))
            if self._grid_size is not None:
                self._grid = _GridTrack(self, self._add_video(*self._grid_size, None))
            elif self.records_video and video_size is not None:
                for user in self._expected:
                    self._videos[user] = _VideoTrack(self, self._add_video(*video_size, user))
                self._expected = set()
            if not self._expected:
                self._tracks_final = True
                self._container.start_encoding()  # the encoders open and the header is written now
        except BaseException as e:
            self._container.close()
            if target.local:
                os.unlink(path)
            named = timed_out(e, target, "to connect")
            if named is e:
                raise
            raise named from e
        if target.local:
            self._fd = os.open(path, os.O_RDONLY)
        self._thread = threading.Thread(target=self._run, name=f"lumora_kit recorder {path}")
        self._thread.start()

    # ---- The loop's side ----

    def put(self, kind: str, key: str | None, frame: object, arrival: float) -> None:
        """Hands a frame to the thread; never waits (a frame that does not fit in the queue is dropped).

        `kind` is "audio", "video", or "left" (that user's video ended).
        Frames put after `finish` are not recorded."""
        size = getattr(frame, "size", 0) if kind != "left" else 0
        cost = FRAME_COST_BYTES + (size if isinstance(size, int) and size > 0 else 0)
        self._queue.put((kind, key, frame, arrival), cost)

    def finish(self, end: float | None = None) -> None:
        """Asks the thread to write what it has and finalise the file, its tracks lasting until loop time
        `end` (now when None; see `finished`). Never waits; only the first call counts."""
        self._queue.close((_FINISH, None, None, time.monotonic() if end is None else end))

    @property
    def dropped(self) -> int:
        """Frames dropped because the queue held `max_queue_bytes` (the thread fell behind)."""
        return self._queue.dropped

    def join(self, timeout: float | None = None) -> None:
        self._thread.join(timeout)

    @property
    def tracks(self) -> list[tuple[str, str | None]]:
        if not self._tracks_final:
            return []
        return ([("audio", key) for key in self._audio] + ([("video", None)] if self._grid else [])
                + [("video", key) for key in self._videos])

    def stats(self) -> RecordingStats:
        # Read on the loop while the thread writes: copies of the track tables, whose figures are ints.
        audio, videos_by_user = list(self._audio.items()), list(self._videos.items())
        tracks: list[Any] = [t for _, t in audio + videos_by_user] + ([self._grid] if self._grid else [])
        frames = {_label("audio", k): t.frames for k, t in audio}
        frames |= {_label("video", k): t.frames for k, t in videos_by_user}
        if self._grid is not None:
            frames["grid"] = self._grid.frames
        try:
            size = os.path.getsize(self.path) if self._target.local else 0
        except OSError:
            size = 0
        videos: list[Any] = [t for _, t in videos_by_user] + ([self._grid] if self._grid else [])
        return RecordingStats(
            seconds=max((t.seconds for t in tracks), default=0.0), bytes=size, frames=frames,
            silence_seconds=sum(t.silence_samples / t.rate for _, t in audio),
            pictures_held=sum(t.held for t in videos), pictures_fitted=sum(t.fitted for t in videos),
            dropped=self.dropped, late_tracks=list(self.late_tracks), frames_skipped=dict(self._skipped.counts),
            queued_bytes=self._queue.bytes, queued_bytes_peak=self._queue.peak)

    # ---- The thread's side ----

    def _run(self) -> None:
        try:
            tick = 0.05 if self._grid is not None else 0.25
            while True:
                item = self._queue.get(tick)
                if item is None:
                    if not threading.main_thread().is_alive() or (self._loop is not None and self._loop.is_closed()):
                        break  # the program or its loop ended without stop(): finalise what there is
                    # Nothing waits: everything up to now is placed (asyncio's clock is monotonic).
                    self._on_clock(time.monotonic(), time.monotonic())
                    continue
                if item[0] == _FINISH:
                    self._end = item[3]
                    break
                self._handle(item)
                self._placed_until = max(self._placed_until, item[3])
                self._on_clock(time.monotonic(), self._placed_until)
            if not self._tracks_final:
                self._write_header()
            end_ms = ((self._end or time.monotonic()) - self.origin) * 1000
            tracks: list[_AudioTrack | _VideoTrack | _GridTrack] = [*self._audio.values(), *self._videos.values()]
            for track in tracks + ([self._grid] if self._grid is not None else []):
                track.finish(end_ms)
        except BaseException as e:
            self.error = timed_out(e, self._target, "to take what was written")
            logger.exception("MediaRecorder: writing %s failed", self.path)
        finally:
            try:
                self._container.close()
            except Exception as e:
                self.error = self.error or e
                logger.exception("MediaRecorder: finalising %s failed", self.path)
            if self._fd is not None:
                os.close(self._fd)
            if self.error is None and self.fragment_seconds and self.plan.format in ("mp4", "mov") \
                    and self._target.local:
                self._rewrite_plain()
            self.finished.set()

    def _on_clock(self, now: float, placed_until: float) -> None:
        """Time passed: the header when it is due, the grid's frames up to what is placed, the fsync.

        The grid goes by `placed_until`, the arrival of the last frame taken
        from the queue (now when the queue is empty), not by the clock
        alone: a thread that falls behind composes later instead of leaving
        out pictures that are still in the queue."""
        if not self._tracks_final:
            self._maybe_write_header(now)
        if self._grid is not None and self._tracks_final:
            self._grid.advance((min(now, placed_until) - self.origin) * 1000 - GRID_LATENCY_MS)
        if self.fragment_seconds and self._fd is not None and now - self._last_sync >= self.fragment_seconds:
            self._last_sync = now
            os.fsync(self._fd)  # what the muxer wrote is in the kernel; this puts it on the disk

    def _handle(self, item: _Item) -> None:
        kind, key, frame, arrival = item
        if not self._origin_known and kind != "left" and self._tracks_final:
            self.origin, self._origin_known = arrival, True
        if not self._tracks_final:
            if kind != "left":
                self._held.append(item)
            self._maybe_write_header(arrival)
            return
        if kind == "left":  # `frame` names the kind of stream that ended
            if frame == "audio" and key in self._audio:
                self._audio[key].timeline = None  # their next audio starts where it arrives
            elif frame == "video" and self._grid is not None:
                self._grid.left(key, arrival)
            elif frame == "video" and key in self._videos:
                self._videos[key].timeline = None
        elif kind == "audio":
            audio = self._audio.get(key)
            if audio is not None:
                self._write(_label("audio", key), audio.write, frame, arrival)
        elif self._grid is not None:
            grid = self._grid
            self._write(_label("video", key), lambda f, a: grid.write(f, a, key), frame, arrival)
        elif kind == "video":
            video = self._videos.get(key)
            if video is not None:
                self._write(_label("video", key), video.write, frame, arrival)
            elif ("video", key) not in self.late_tracks and self.records_video:
                self.late_tracks.append(("video", key))

    def _write(self, label: str, write: Callable[[Any, float], None], frame: object, arrival: float) -> None:
        """Writes a frame to its track; one that cannot be written is skipped and counted, and the
        track goes on (a failure of the file itself is raised)."""
        try:
            write(frame, arrival)
        except Exception as e:
            if e is self._file_error:
                raise
            self._skipped.skip(label, e)

    def _maybe_write_header(self, now: float) -> None:
        if not self._held:
            return
        first = min(arrival for _, _, _, arrival in self._held)
        seen = {key for kind, key, frame, _ in self._held if kind == "video" and picture_problem(frame) is None}
        if self._expected <= seen or now - first >= self._wait:
            self._write_header()

    def _write_header(self) -> None:
        """Makes a video stream for each user who sent a picture, then writes what was held."""
        if not self._origin_known and self._held:
            self.origin = min(arrival for _, _, _, arrival in self._held)
            self._origin_known = True
        firsts: dict[str | None, _lumora.PixelFrame] = {}
        for kind, key, frame, _ in self._held:
            if kind == "video" and picture_problem(frame) is None:  # a track's size is a sound picture's
                firsts.setdefault(key, frame)
        for key in sorted(firsts, key=lambda k: k or ""):  # by user id: one layout whatever came first
            frame = firsts[key]
            size = self._video_size or (frame.width & ~1, frame.height & ~1)
            self._videos[key] = _VideoTrack(self, self._add_video(*size, key))
        self._tracks_final = True
        held, self._held = self._held, []
        for item in sorted(held, key=lambda item: item[3]):
            self._handle(item)

    def _add_audio(self, key: str | None) -> "av.AudioStream":
        import av
        rate = self._sample_rate
        rates = self.plan.audio_rates if self._audio_codec == self.plan.audio_codec else ()
        if rates and rate not in rates:
            rate = min(rates, key=lambda r: (r < rate, abs(r - rate)))
        stream = self._container.add_stream(self._audio_codec, rate=rate, options=self._audio_options)
        assert isinstance(stream, av.AudioStream)
        stream.layout = layout_name(min(2, max(1, self._channels)))
        if key is not None:
            stream.metadata["title"] = stream.metadata["handler_name"] = key
        return stream

    def _add_video(self, width: int, height: int, key: str | None) -> "av.VideoStream":
        import av
        stream = self._container.add_stream(self._video_codec or "", rate=round(self.fps),
                                            options=self._video_options)
        assert isinstance(stream, av.VideoStream)
        stream.width, stream.height = width, height
        stream.pix_fmt = "yuv420p"
        if (self._video_codec or "").startswith("libvpx") and "threads" not in self._video_options \
                and width * height <= 1280 * 720:
            # libvpx's worker threads wait for work by spinning: fed in real time (a frame every
            # 1/fps s rather than as fast as it takes them) they cost several times the CPU of
            # the encoding itself. One thread keeps up with pictures of up to 1280x720.
            stream.codec_context.thread_count = 1
        stream.codec_context.time_base = MILLISECONDS
        if key is not None:  # matroska keeps a track's title, mp4 its handler name
            stream.metadata["title"] = stream.metadata["handler_name"] = key
        return stream

    def write_packets(self, packets: "list[av.Packet[Any]]") -> None:
        try:
            self._container.mux(packets)
        except BaseException as e:
            self._file_error = e  # the file, not the frame: this ends the recording
            raise

    def _rewrite_plain(self) -> None:
        """The fragmented MP4 copied, packet by packet, into a plain one with its index (see the module)."""
        temporary = f"{self.path}.plain"
        try:
            with open_input(input_target(self.path, None, DEFAULT_TIMEOUT)) as fragmented, \
                    open_output(output_target(temporary, None, DEFAULT_TIMEOUT), self.plan.format) as plain:
                streams = {}
                for stream in fragmented.streams:
                    copy = plain.add_stream_from_template(stream)
                    for name in ("title", "handler_name"):
                        if name in stream.metadata:
                            copy.metadata[name] = stream.metadata[name]
                    streams[stream.index] = copy
                for packet in fragmented.demux():
                    if packet.dts is None:
                        continue
                    packet.stream = streams[packet.stream.index]
                    plain.mux(packet)
            os.replace(temporary, self.path)
        except Exception:
            logger.exception("MediaRecorder: %s stays fragmented (rewriting it as a plain file failed)", self.path)
            try:
                os.unlink(temporary)
            except OSError:
                pass

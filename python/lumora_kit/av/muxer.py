"""Writing received frames to a media file in a thread: placing, encoding and muxing.

`Muxer` is the recorder's worker. The event loop hands it frames with the
loop time they arrived (`put`, which never waits); its thread puts each on
its track's time line (see `timeline`), encodes it and writes it.

Tracks. Each track has a key (a user id, or None for mixed audio) and a
kind. The container's streams must all exist before its header is written,
and a video stream's size is known only from its first picture, so the
header waits: until every expected track has its first frame, or until
`wait_ms` after the first frame of any track. Frames that came meanwhile
are kept and written then; a track whose first frame comes after the
header is not in the file (`late_tracks` names it).

Time. The file's time 0 is the arrival of the first frame of any track.
Audio is continuous: silence is put in where a sender paused (a jump in its
`pts`), so a 1 s pause stays 1 s. A picture is written at its position,
in milliseconds, and shown until the next one; a picture whose position is
not after the previous one's goes 1 ms after it.

Finishing. `finish()` (or the end of the main thread) makes the thread
flush the encoders and write the container's trailer: whatever stopped the
recording, the file is complete and playable. The thread is not a daemon,
so an interpreter that is exiting waits for the trailer.

Codecs by container: mp4/mov/m4a H.264 (libx264) and AAC; webm and mkv VP8
(libvpx; ``video_codec="libvpx-vp9"`` for VP9) and Opus (libopus); ogg and
opus Opus; mp3 MP3 (libmp3lame); wav 16-bit PCM. Audio-only containers
record no video. libvpx encodes pictures of up to 1280x720 in one thread
(its worker threads spin while they wait for the next picture); give
``video_options={"threads": "4"}`` to choose.
"""

import logging
import os
import queue
import threading
import time
from dataclasses import dataclass, field
from fractions import Fraction
from typing import TYPE_CHECKING, Any

import _lumora

from .frames import MILLISECONDS, PcmConverter, av_video_frame, import_av, layout_name
from ..media.timeline import AudioCursor, StreamTimeline

if TYPE_CHECKING:
    import av
    import av.container
    import numpy as np
    import numpy.typing as npt

logger = logging.getLogger("lumora_kit")


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


class _AudioTrack:
    """One audio stream of the file: conversion, placing with silence, encoding."""

    def __init__(self, muxer: "Muxer", stream: "av.AudioStream", timeline: StreamTimeline) -> None:
        import av
        self.muxer = muxer
        self.stream = stream
        self.timeline = timeline
        context = stream.codec_context
        self.rate = context.sample_rate
        self.channels = context.layout.nb_channels
        self.cursor = AudioCursor(self.rate)
        self.converter = PcmConverter(self.rate, self.channels)
        self.layout = layout_name(self.channels)
        context.open()
        self.encoder_input = av.AudioResampler(format=context.format, layout=self.layout, rate=self.rate,
                                               frame_size=context.frame_size or None)
        self.samples_encoded = 0
        self.silence_samples = 0

    def write(self, frame: _lumora.AudioFrame, arrival: float) -> None:
        np = self.muxer.np
        samples = self.converter.convert(frame)
        if not len(samples):
            return
        position = self.timeline.place(frame.pts, arrival)
        silence = self.cursor.silence_before(position, len(samples))
        if silence:
            self.silence_samples += silence
            samples = np.concatenate([np.zeros((silence, self.channels), dtype=np.int16), samples])
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

    def finish(self) -> None:
        for piece in self.encoder_input.resample(None):
            self._encode_piece(piece)
        self._encode_piece(None)


class _VideoTrack:
    """One video stream of the file: pictures at their positions, encoded."""

    def __init__(self, muxer: "Muxer", stream: "av.VideoStream", timeline: StreamTimeline) -> None:
        self.muxer = muxer
        self.stream = stream
        self.timeline = timeline
        self.width, self.height = stream.codec_context.width, stream.codec_context.height
        self.last_pts: int | None = None
        self.pictures = 0

    def write(self, frame: _lumora.PixelFrame, arrival: float) -> None:
        pts = round(self.timeline.place(frame.pts, arrival))
        if self.last_pts is not None and pts <= self.last_pts:
            pts = self.last_pts + 1
        self.last_pts = pts
        picture = av_video_frame(frame)
        if (picture.width, picture.height) != (self.width, self.height):
            picture = picture.reformat(width=self.width, height=self.height, format="yuv420p")
        picture.pts = pts
        picture.time_base = MILLISECONDS
        self.pictures += 1
        self.muxer.write_packets(self.stream.encode(picture))

    def finish(self) -> None:
        self.muxer.write_packets(self.stream.encode(None))


type _Item = tuple[str, str | None, Any, float]  # (kind, track key, frame, arrival)
_FINISH = ("finish", None, None, 0.0)


class Muxer:
    """A media file written by a thread of its own from frames handed in on the loop (see the module)."""

    def __init__(self, path: str, *, format: str | None = None, options: dict[str, str] | None = None,
                 audio_codec: str | None = None, video_codec: str | None = None,
                 audio_options: dict[str, str] | None = None, video_options: dict[str, str] | None = None,
                 sample_rate: int | None = None, fps: float = 30, expected: set[tuple[str, str | None]],
                 wait_ms: int = 1000, max_queue: int = 600) -> None:
        import_av("MediaRecorder")
        import numpy
        self.np = numpy
        self.path = path
        self.plan = plan_for(path, format)
        self._options = options
        self._audio_codec = audio_codec or self.plan.audio_codec
        self._video_codec = video_codec or self.plan.video_codec
        self._audio_options = audio_options or {}
        self._video_options = self.plan.video_options | (video_options or {})
        self._sample_rate = sample_rate
        self._fps = fps
        self.expected = {e for e in expected if e[0] == "audio" or self._video_codec is not None}
        self._wait = wait_ms / 1000
        self._queue: queue.Queue[_Item] = queue.Queue(max_queue)
        self._container: "av.container.OutputContainer | None" = None
        self._tracks: dict[tuple[str, str | None], _AudioTrack | _VideoTrack] = {}
        self._held: list[_Item] = []  # frames that came before the header
        self._tracks_final = False  # the header is written: no more tracks
        self._origin: float | None = None
        self.late_tracks: list[tuple[str, str | None]] = []
        self.dropped = 0
        self.error: BaseException | None = None
        self.finished = threading.Event()
        self._thread = threading.Thread(target=self._run, name=f"lumora_kit recorder {path}")
        self._thread.start()

    # ---- The loop's side ----

    def put(self, kind: str, key: str | None, frame: object, arrival: float) -> None:
        """Hands a frame to the thread; never waits (a frame that finds the queue full is dropped)."""
        try:
            self._queue.put_nowait((kind, key, frame, arrival))
        except queue.Full:
            self.dropped += 1

    def finish(self) -> None:
        """Asks the thread to write what it has and finalise the file (see `finished`)."""
        while True:
            try:
                self._queue.put(_FINISH, timeout=0.1)
                return
            except queue.Full:
                if not self._thread.is_alive():
                    return

    def join(self, timeout: float | None = None) -> None:
        self._thread.join(timeout)

    @property
    def tracks(self) -> list[tuple[str, str | None]]:
        return list(self._tracks)

    # ---- The thread's side ----

    def _run(self) -> None:
        try:
            import av
            self._container = av.open(self.path, "w", format=self.plan.format, options=self._options)
            while True:
                try:
                    item = self._queue.get(timeout=0.25)
                except queue.Empty:
                    if not threading.main_thread().is_alive():
                        break  # the program is ending without stop(): finalise what there is
                    self._maybe_write_header(time.monotonic())  # the loop's clock (asyncio uses monotonic)
                    continue
                if item[0] == "finish":
                    break
                self._handle(item)
            if self._held:
                self._write_header()
            for track in self._tracks.values():
                track.finish()
        except BaseException as e:
            self.error = e
            logger.exception("MediaRecorder: writing %s failed", self.path)
        finally:
            if self._container is not None:
                try:
                    self._container.close()
                except Exception as e:
                    self.error = self.error or e
                    logger.exception("MediaRecorder: finalising %s failed", self.path)
            self.finished.set()

    def _handle(self, item: _Item) -> None:
        kind, key, frame, arrival = item
        if self._origin is None:
            self._origin = arrival
        if not self._tracks_final:
            self._held.append(item)
            self._maybe_write_header(arrival)
            return
        track = self._tracks.get((kind, key))
        if track is None:
            if (kind, key) not in self.late_tracks and (kind == "audio" or self._video_codec is not None):
                self.late_tracks.append((kind, key))
            return
        track.write(frame, arrival)

    def _maybe_write_header(self, now: float) -> None:
        if self._tracks_final or not self._held or self._origin is None:
            return
        seen = {(kind, key) for kind, key, _, _ in self._held}
        if self.expected <= seen or now - self._origin >= self._wait:
            self._write_header()

    def _write_header(self) -> None:
        """Makes a stream for each track that has a frame, then writes what was held."""
        assert self._container is not None and self._origin is not None
        firsts: dict[tuple[str, str | None], Any] = {}
        for kind, key, frame, _ in self._held:
            firsts.setdefault((kind, key), frame)
        # Audio first, then the videos by user id: the same file layout whatever came first.
        for (kind, key), frame in sorted(firsts.items(), key=lambda item: (item[0][0] != "audio", item[0][1] or "")):
            timeline = StreamTimeline(self._origin)
            if kind == "audio":
                self._tracks[(kind, key)] = _AudioTrack(self, self._add_audio(frame), timeline)
            elif self._video_codec is not None:
                self._tracks[(kind, key)] = _VideoTrack(self, self._add_video(frame, key), timeline)
        self._tracks_final = True
        held, self._held = self._held, []
        for item in held:
            self._handle(item)

    def _add_audio(self, first: _lumora.AudioFrame) -> "av.AudioStream":
        assert self._container is not None
        rate = self._sample_rate or first.sample_rate
        rates = self.plan.audio_rates if self._audio_codec == self.plan.audio_codec else ()
        if rates and rate not in rates:
            rate = min(rates, key=lambda r: (r < rate, abs(r - rate)))
        import av
        stream = self._container.add_stream(self._audio_codec, rate=rate, options=self._audio_options)
        if not isinstance(stream, av.AudioStream):
            raise ValueError(f"{self._audio_codec!r} is not an audio codec")
        stream.layout = layout_name(min(2, max(1, first.channels)))
        return stream

    def _add_video(self, first: _lumora.PixelFrame, key: str | None) -> "av.VideoStream":
        assert self._container is not None
        import av
        stream = self._container.add_stream(self._video_codec or "", rate=round(self._fps),
                                            options=self._video_options)
        if not isinstance(stream, av.VideoStream):
            raise ValueError(f"{self._video_codec!r} is not a video codec")
        stream.width, stream.height = first.width, first.height
        stream.pix_fmt = "yuv420p"
        if (self._video_codec or "").startswith("libvpx") and "threads" not in self._video_options \
                and first.width * first.height <= 1280 * 720:
            # libvpx's worker threads wait for work by spinning: fed in real time (a frame every
            # 1/fps s rather than as fast as it takes them) they cost several times the CPU of
            # the encoding itself. One thread keeps up with pictures of up to 1280x720.
            stream.codec_context.thread_count = 1
        stream.codec_context.time_base = MILLISECONDS
        if key is not None:  # matroska keeps a track's title, mp4 its handler name
            stream.metadata["title"] = stream.metadata["handler_name"] = key
        return stream

    def write_packets(self, packets: "list[av.Packet[Any]]") -> None:
        assert self._container is not None
        self._container.mux(packets)

"""`MediaPlayer`: a media file or URL played into a room.

    player = MediaPlayer("talk.mp4")
    await player.play(room)          # returns when the file has been played

Design. A `FileDecoder` thread decodes and converts the file (PCM in whole
frames of 20 ms at a rate the SDK takes, I420 pictures of the track's
size) into two bounded queues, so decoding a large file never holds up the
event loop. On the loop, one task for audio and one for video take the
pieces in order and hand them to the Room's `AudioSource` or `VideoSource`
at their time on ONE clock: piece time t is due at ``start + t`` (loop
time), computed from the start, never by adding up sleeps, so audio and
video cannot drift apart over a long file. Audio goes in batches of up to
`_AUDIO_BATCH_S`, handed over at the time of the first frame: the source
sends that one at once and paces the rest by its frame length. The sources
stamp `pts` from their own clocks.

The decoder gets the clock too (`FileDecoder.start`): a file that decodes
slower than it plays leaves pictures out rather than starve the audio.

Shutdown. `play` closes what it opened however it ends: by the end of the
file, `stop()`, an error, or the cancellation of its task at any await
(both sources are closed before either is waited for; a decoder still
opening in its worker thread is closed when the open ends). A loop closed
while a player plays ends the decoder's thread on its own (see
`FileDecoder`), within a fraction of a second.

`pause()` holds both tasks; `resume()` moves the clock's start by the
length of the pause, so nothing is sent in a burst afterwards and the
receivers see a jump in `pts` (a gap) of that length. `stop()` ends the
playing; `play` then returns. With ``loop=True`` the file starts again at
its end and the clock runs on.

Needs PyAV: ``pip install 'lumora-kit[av]'``.
"""

import asyncio
import functools
import logging
import os
from collections.abc import Collection
from typing import TYPE_CHECKING

from ..sources import AudioSource, VideoSource
from .frames import import_av
from .decoder import Decoded, FileDecoder, Kind, MediaInfo, PlaybackStats
from .opening import DEFAULT_TIMEOUT, checked_options, checked_protocols, open_off_loop

if TYPE_CHECKING:
    from ..room import Room

logger = logging.getLogger("lumora_kit")

# Time given to the decoder to fill its queues before the first piece is due.
_PREROLL_S = 0.1
# Audio handed to the AudioSource at once (see MediaPlayer._pump): what goes
# on playing after pause(), and how often the audio pump wakes up.
_AUDIO_BATCH_S = 0.1


class PlaybackClock:
    """Media time on the loop's clock, with pauses: time t is due at ``start + t + paused``."""

    def __init__(self, loop: asyncio.AbstractEventLoop, start: float) -> None:
        self._loop = loop
        self.start = start
        self._paused_at: float | None = None
        self._resumed = asyncio.Event()
        self._resumed.set()

    @property
    def paused(self) -> bool:
        return self._paused_at is not None

    def now(self) -> float:
        """The media time now (it stands still while paused)."""
        at = self._paused_at if self._paused_at is not None else self._loop.time()
        return at - self.start

    def pause(self) -> None:
        if self._paused_at is None:
            self._paused_at = self._loop.time()
            self._resumed.clear()

    def resume(self) -> None:
        if self._paused_at is not None:
            self.start += self._loop.time() - self._paused_at
            self._paused_at = None
            self._resumed.set()

    async def wait_until(self, time: float) -> None:
        """Returns when media time `time` has come (at once if it has); waits out pauses."""
        while True:
            if self._paused_at is not None:
                await self._resumed.wait()
                continue
            delay = self.start + time - self._loop.time()
            if delay <= 0:
                return
            await asyncio.sleep(delay)
            if self._paused_at is None and self.start + time <= self._loop.time():
                return  # else paused meanwhile (or the start moved): look again


class MediaPlayer:
    """Plays a media file or URL into a room: its audio as an `AudioSource`, its video as a `VideoSource`.

    `source` is a local file FFmpeg reads (mp4, webm, mkv, ogg, mp3, wav,
    flac, a local playlist of local files): a plain name is a path and
    nothing else, so a name a user supplies is safe to play. A URL (or any
    of FFmpeg's protocols) is opened only when `protocols` names the
    protocols it may use, e.g. ``{"https", "tls", "tcp"}``; then opening it,
    and each read after, gives up after `timeout` seconds (10 by default).
    `format` and `options` go to FFmpeg's demuxer as in `av.open` (they are
    the program's, not a user's: a ``protocol_whitelist`` in `options` is
    refused).
    `audio` and `video` choose what to play. Audio is played at
    `sample_rate` (8000, 16000, 32000, 44100 or 48000; by default the
    lowest of these that keeps the file's) and `channels` (1 or 2; by
    default the file's, at most 2). Video is played at `width` x `height`
    (by default the file's as it is displayed, rotated where the file says
    so, rounded down to even; one of them given, the other follows the
    picture's aspect) and `fps` (by default the file's frame rate). A
    picture of another shape (a stream whose size changes, or a size asked
    for) is scaled into that size with its aspect kept, centred on black.
    `queue_ms` bounds what is decoded ahead.

    Damaged or cut-short files play as far as they decode: what does not
    decode is skipped and counted (`stats`), as the ``ffmpeg`` program does.
    """

    def __init__(self, source: str | os.PathLike[str], *, format: str | None = None,
                 options: dict[str, str] | None = None, protocols: Collection[str] | None = None,
                 timeout: float = DEFAULT_TIMEOUT, loop: bool = False, audio: bool = True,
                 video: bool = True, sample_rate: int | None = None,
                 channels: int | None = None, width: int | None = None, height: int | None = None,
                 fps: float | None = None, queue_ms: int = 1000) -> None:
        import_av("MediaPlayer")  # fails here, naming the extra, rather than in play()
        self.source = os.fspath(source)
        if not isinstance(self.source, str):
            raise TypeError(f"source is a str or a path, not {type(self.source).__name__}")
        self.loop = loop
        checked_options(options)  # bad arguments fail here rather than in play()
        self._open_decoder = functools.partial(
            FileDecoder, self.source, format=format, options=options,
            protocols=checked_protocols(protocols, timeout), timeout=timeout, loop=loop, audio=audio, video=video,
            sample_rate=sample_rate, channels=channels, width=width, height=height, fps=fps, queue_ms=queue_ms)
        self._decoder: FileDecoder | None = None
        self._clock: PlaybackClock | None = None
        self._tasks: list[asyncio.Task[None]] = []
        self._stopped = False
        self._playing = False
        self.info: MediaInfo | None = None
        self.audio_source: AudioSource | None = None
        self.video_source: VideoSource | None = None

    # ---- Control ----

    @property
    def playing(self) -> bool:
        return self._playing

    @property
    def paused(self) -> bool:
        return self._clock is not None and self._clock.paused

    @property
    def position(self) -> float:
        """Seconds of media played so far (0 before `play`)."""
        return 0.0 if self._clock is None else max(0.0, self._clock.now())

    def stats(self) -> PlaybackStats:
        """What the decoder has done so far: media handed on, packets skipped, pictures fitted (zeros before `play`)."""
        return PlaybackStats() if self._decoder is None else self._decoder.stats()

    def pause(self) -> None:
        """Holds the playing; the receivers get nothing until `resume`."""
        if self._clock is not None:
            self._clock.pause()

    def resume(self) -> None:
        """Goes on from where `pause` held it; the clock moves by the pause's length."""
        if self._clock is not None:
            self._clock.resume()

    def stop(self) -> None:
        """Ends the playing: `play` returns soon after, without sending what was still queued."""
        self._stopped = True
        for task in self._tasks:
            task.cancel()
        if self._decoder is not None:
            self._decoder.close()

    # ---- Playing ----

    async def play(self, room: "Room") -> None:
        """Publishes the file into `room` and returns when it has been played (or `stop` was called).

        The sources are made here and closed at the end. Raises what FFmpeg
        raises for a file it cannot open (naming the file), ValueError for
        a file without audio or video, and the Room's errors for publishing."""
        if self._playing:
            raise RuntimeError("this MediaPlayer is playing already")
        self._playing, self._stopped = True, False
        loop = asyncio.get_running_loop()
        decoder: FileDecoder | None = None
        try:
            decoder = self._decoder = await open_off_loop(self._open_decoder, FileDecoder.close, self.source)
            info = self.info = decoder.info
            if info.has_audio:
                self.audio_source = await room.publish_audio(sample_rate=info.sample_rate, channels=info.channels,
                                                             frame_ms=decoder.frame_ms)
            if info.has_video:
                self.video_source = await room.publish_video(info.width, info.height, fps=info.fps)
            if self._stopped:
                return
            clock = self._clock = PlaybackClock(loop, loop.time() + _PREROLL_S)
            decoder.start(clock.now)
            if self.audio_source is not None:
                self._tasks.append(loop.create_task(self._pump(decoder, "audio", self.audio_source)))
            if self.video_source is not None:
                self._tasks.append(loop.create_task(self._pump(decoder, "video", self.video_source)))
            await self._wait_for_pumps()
        finally:
            # What needs no loop first: this also runs when a closed loop's pending task is dropped.
            self._playing = False
            if decoder is not None:
                decoder.close()
            tasks, self._tasks = self._tasks, []
            if not loop.is_closed():
                for task in tasks:
                    task.cancel()
            await self._close_sources(loop)

    async def _wait_for_pumps(self) -> None:
        try:
            await asyncio.gather(*self._tasks)
        except asyncio.CancelledError:
            current = asyncio.current_task()
            if not self._stopped or (current is not None and current.cancelling()):
                raise  # cancelled from outside, not by stop()
            return
        if not self._stopped:
            sources = [s for s in (self.audio_source, self.video_source) if s is not None]
            await asyncio.gather(*(s.wait_for_playout() for s in sources))

    async def _pump(self, decoder: FileDecoder, kind: Kind, source: AudioSource | VideoSource) -> None:
        """Hands `kind` to `source` on the clock.

        Audio goes in batches of up to `_AUDIO_BATCH_S` of contiguous PCM
        (the decoder's audio always is), each at the time of its first
        frame: the source sends that one at once and paces the rest by its
        frame length, which saves the loop a wake-up per frame. The next
        batch is due when the last frame of this one has been sent, so the
        source's run, and with it the clock, goes on unbroken. Each picture
        is handed over at its own time, so video follows the player's clock
        picture by picture (and a file of variable frame rate keeps its
        times)."""
        clock = self._clock
        assert clock is not None
        audio = source if isinstance(source, AudioSource) else None
        period = 1 / source.fps if isinstance(source, VideoSource) else 0.0
        limit = _AUDIO_BATCH_S if audio is not None else 0.0

        def length(data: bytes) -> float:
            return len(data) / (2 * audio.channels * audio.sample_rate) if audio is not None else period

        pending: Decoded | None = None
        while True:
            item = pending if pending is not None else await decoder.get(kind)
            pending = None
            if item is None:
                return
            batch = [item.data]
            end = item.time + length(item.data)
            while (following := decoder.get_nowait(kind)) is not None:
                if following.time - item.time >= limit - 1e-6 or abs(following.time - end) > period / 4 + 1e-3:
                    pending = following
                    break
                batch.append(following.data)
                end = following.time + length(following.data)
            await clock.wait_until(item.time)
            await source.capture(batch[0] if len(batch) == 1 else b"".join(batch))

    async def _close_sources(self, loop: asyncio.AbstractEventLoop) -> None:
        """Closes both sources, then waits for their senders.

        Every source is closed (its channel destroyed) before the first
        wait, so a cancellation that interrupts a wait (``aclose`` raises it
        again while `play` is being cancelled) cannot leave another one
        open; it is raised once all have been waited for."""
        sources = [s for s in (self.audio_source, self.video_source) if s is not None]
        self.audio_source = self.video_source = None
        for source in sources:
            try:
                source.close()
            except Exception:
                logger.exception("MediaPlayer: closing a source failed")
        if loop.is_closed():
            return  # nothing can run on it: their senders are gone with it
        cancelled: asyncio.CancelledError | None = None
        for source in sources:
            try:
                await source.aclose()
            except asyncio.CancelledError as e:
                cancelled = e
            except Exception:
                logger.exception("MediaPlayer: closing a source failed")
        if cancelled is not None:
            raise cancelled


"""Paced audio and video sources: what `Room.publish_audio` and `Room.publish_video` return.

A source takes media in any amount (`capture`), cuts it into whole frames,
and a sender task hands one frame to the SDK per frame period.

Pacing. Frame k of a run is due at ``start + k * period`` on the event
loop's clock (`loop.time()`, monotonic). The due time is computed from the
start of the run, never by adding up sleeps, so errors do not accumulate
(no drift): a frame sent late does not delay the frames after it.

Who sends. On a loop that keeps the monotonic clock (asyncio's own loops),
the process's pacing thread (`lumora_kit.pacer`) sends every source's
frames at their due times, so a busy or late loop does not make them late:
the loop only queues frames, and is woken by the thread only to let a
waiting capture go on or to end a `wait_for_playout`. A loop with a clock of
its own (a test's virtual clock, say) has a sender task on the loop
instead, on that clock. ``pacing="loop"`` or ``"thread"`` chooses.

Catch-up bound. When the sender falls behind (the loop was busy, the
machine stalled), it sends the frames that are due back to back, but at most
``1 + max_burst_ms / frame_ms`` of them (`max_burst_ms`, default 60 ms: 4
audio frames of 20 ms). If it is later than that, its clock moves: the rest
is sent on the normal pace from there, later than first planned. A receiver
therefore never gets more than `max_burst_ms` of media ahead of real time
in one burst.

Runs. When the queue runs empty and the next frame arrives after its due
time, a new run starts at that moment: pauses in the input never cause a
burst afterwards.

Back-pressure. The queue holds at most `queue_ms` of media; `capture`
waits while it is full, so a producer that has a whole reply ready is held
to the pace of the output, with `queue_ms` of it queued ahead. A waiting
capture is woken once the queue is down to half, and then fills it again
in one go: producer and sender do not take turns on every frame, so a
frame costs the sender's wake-up and little more.

Queue. A plain deque with two futures (the sender waiting for a frame, a
capture waiting for room) rather than an asyncio.Queue: frames enter only
after a capture has checked that no clear() or close() came while it
waited, so nothing is queued behind a barge-in or after closing, and every
frame is counted once: queued = sent + cleared + pending (+ the one the
sender holds until its due time, counted as cleared if dropped).

Time stamps. Each frame's `pts` is the time it is due to play, in
milliseconds on the loop's monotonic clock since the source's first frame,
wrapping as a uint32. Within a run they advance by the frame length; a
pause in the input, or a move of the clock after a stall, shows as a jump
of the same length, so a receiver can put the silence (or the still
picture) back where it was.

Barge-in. `clear()` drops what is queued (and what a running `capture`
has not queued yet); the audio source also asks the SDK to drop the audio
it still holds (`SendContinuousAudioFrame` with clear_send_queue, carrying
one frame of silence).

Closing (`aclose`, leaving ``async with``, or leaving the room) stops the
sender, drops what is queued and destroys the SDK's local channel.
"""

import asyncio
import logging
import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Literal, Self, cast

import _lumora

from .media import Resampler
from .media.audio import check_whole_samples
from .pacer import pacer

type Pacing = Literal["auto", "thread", "loop"]

if TYPE_CHECKING:
    from .media.decoding import AudioInput

logger = logging.getLogger("lumora_kit")

# Buffer formats of 16-bit samples and of plain bytes (memoryview.format).
_SAMPLE_FORMATS = frozenset({"h", "<h", "=h", "@h"})
_BYTE_FORMATS = frozenset({"B", "b", "c", "<B", "=B", "@B", "<b", "=b", "@b"})


@dataclass(frozen=True, slots=True)
class SourceStats:
    """Counters of a source, read together.

    - `frames_queued`: whole frames accepted by `capture`.
    - `frames_sent`: frames handed to the SDK (successfully or not).
    - `frames_cleared`: frames dropped by `clear` or by closing.
    - `send_errors`: sends whose SDK result was not 0.
    - `runs`: times the clock (re)started after the queue had run empty.
    - `rebased`: times the sender was later than `max_burst_ms` and moved its clock.
    - `max_lateness`: the largest delay of a send after its due time, in seconds.
    - `pending`: frames waiting in the queue.
    """

    frames_queued: int
    frames_sent: int
    frames_cleared: int
    send_errors: int
    runs: int
    rebased: int
    max_lateness: float
    pending: int


def bytes_view(data: object, *, samples: bool, what: str) -> memoryview:
    """A flat byte view of `data`: any bytes-like object (bytes, bytearray,
    memoryview, array.array, a numpy array), without a copy when it is
    contiguous. With `samples`, the items must be bytes or 16-bit integers."""
    if isinstance(data, str):
        raise TypeError(f"{what} takes a bytes-like object, not str")
    try:
        view = memoryview(data)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} takes a bytes-like object or an array, not {type(data).__name__}") from None
    allowed = _BYTE_FORMATS | _SAMPLE_FORMATS if samples else _BYTE_FORMATS
    if view.format not in allowed:
        kind = "bytes or 16-bit integer samples" if samples else "bytes"
        raise TypeError(f"{what} takes {kind}; this buffer holds items of format {view.format!r}")
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    return view.cast("B")


class PacedSource:
    """The queue and the paced sender shared by `AudioSource` and `VideoSource`.

    The sender task runs on the loop that made the source. `lateness` keeps
    the delay of each of the last 4096 sends after its due time (seconds),
    for measurements.
    """

    def __init__(self, *, period: float, queue_frames: int, max_burst: float,
                 on_close: Callable[[], None] | None, kind: str, pacing: Pacing = "auto") -> None:
        self._loop = asyncio.get_running_loop()
        if pacing not in ("auto", "thread", "loop"):
            raise ValueError(f"pacing is 'auto', 'thread' or 'loop', not {pacing!r}")
        if pacing == "auto":  # the thread keeps time.monotonic, as asyncio's own loops do
            pacing = "thread" if getattr(type(self._loop), "time", None) is asyncio.BaseEventLoop.time else "loop"
        self.pacing: Pacing = pacing
        # The queue and the counters, shared by the loop and the pacing thread (only that thread's
        # sends and the loop's clear and close take it in loop pacing, where it is never contended).
        self._lock = threading.Lock()
        self._due: float | None = None  # thread pacing: when the next frame is due
        self._scheduled = False  # thread pacing: on the pacer's heap
        self._room_wake_sent = False  # thread pacing: a wake-up of the waiting capture is on its way
        self._period = period
        self._max_burst = max_burst
        self._kind = kind
        self._on_close = on_close
        self._frames: deque[bytes] = deque()
        self._capacity = max(1, queue_frames)
        self._refill_at = self._capacity // 2  # a waiting capture is woken at this many queued frames
        self._frame_wanted: asyncio.Future[None] | None = None  # the sender waits for a frame
        self._room_wanted: asyncio.Future[None] | None = None  # a capture waits for room
        self._played: asyncio.Future[None] | None = None  # wait_for_playout waits for the end
        self._held = False  # the sender holds a frame until its due time
        self._generation = 0  # advanced by clear() and close(): a capture in progress stops
        self._capture_lock = asyncio.Lock()
        self._closed = False
        self._frames_queued = self._frames_sent = self._frames_cleared = 0
        self._send_errors = self._runs = self._rebased = 0
        self._failing = False
        self._origin: float | None = None  # due time of the first frame: pts 0
        self._max_lateness = 0.0
        self.lateness: deque[float] = deque(maxlen=4096)
        self._task: asyncio.Task[None] | None = None
        if pacing == "loop":
            self._task = self._loop.create_task(self._run(), name=f"lumora_kit {kind} sender")

    # ---- What subclasses supply ----

    def _send(self, payload: bytes, pts: int) -> int:
        raise NotImplementedError


    # ---- Sender ----

    async def _run(self) -> None:
        loop = self._loop
        frames = self._frames
        due: float | None = None  # when the next frame is due; None before the first
        while True:
            if not frames:
                self._wake(self._played)
                self._played = None
                self._frame_wanted = loop.create_future()
                await self._frame_wanted
                now = loop.time()
                if due is None or now > due:  # the queue ran dry: a new run starts now, without a burst
                    due = now
                    self._runs += 1
            elif due is None:
                due = loop.time()
                self._runs += 1
            payload = frames.popleft()
            if self._room_wanted is not None and len(frames) <= self._refill_at:
                self._wake(self._room_wanted)
            now = loop.time()
            if due > now:
                generation = self._generation
                self._held = True
                try:
                    await asyncio.sleep(due - now)
                finally:
                    self._held = False
                if generation != self._generation:  # cleared while waiting for its time (and counted)
                    continue
                now = loop.time()
            if now - due > self._max_burst:
                due = now - self._max_burst  # bounded catch-up: the clock moves
                self._rebased += 1
            with self._lock:
                self._send_one(payload, now - due, due)
            due += self._period

    # ---- Sender on the pacing thread ----

    def fire(self, now: float) -> float | None:
        """Sends the frame due at `now` (the pacing thread); returns when the next is due, None when idle."""
        with self._lock:
            frames, due = self._frames, self._due
            if self._closed or not frames or due is None:
                self._scheduled = False
                return None
            if due > now:
                return due
            if now - due > self._max_burst:
                due = now - self._max_burst  # bounded catch-up: the clock moves
                self._rebased += 1
            self._send_one(frames.popleft(), now - due, due)
            self._due = due + self._period
            if self._room_wanted is not None and not self._room_wake_sent and len(frames) <= self._refill_at:
                self._room_wake_sent = True
                self._call_on_loop(self._wake_room)
            if frames:
                return self._due
            self._scheduled = False
            if self._played is not None:
                self._call_on_loop(self._wake_played)
            return None

    def _call_on_loop(self, callback: Callable[[], None]) -> None:
        try:
            self._loop.call_soon_threadsafe(callback)
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more

    def _wake_room(self) -> None:
        self._wake(self._room_wanted)

    def _wake_played(self) -> None:
        with self._lock:
            if self._frames:
                return  # more came meanwhile: the end of those wakes it
            played, self._played = self._played, None
        self._wake(played)

    def _start_sending(self) -> None:
        """Thread pacing: after frames were queued, puts an idle source on the pacer's heap."""
        with self._lock:
            if self._scheduled or self._closed or not self._frames:
                return
            now = time.monotonic()
            if self._due is None or now > self._due:  # the queue ran dry: a new run starts now, without a burst
                self._due = now
                self._runs += 1
            self._scheduled = True
            due = self._due
        pacer().schedule(self, due)

    @staticmethod
    def _wake(waiter: asyncio.Future[None] | None) -> None:
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _send_one(self, payload: bytes, lateness: float, due: float) -> None:
        index = self._frames_sent
        self._frames_sent += 1
        self.lateness.append(lateness)
        if lateness > self._max_lateness:
            self._max_lateness = lateness
        if self._origin is None:
            self._origin = due
        # pts: milliseconds from the first frame's due time, as a wrapping uint32.
        pts = round((due - self._origin) * 1000) & 0xFFFFFFFF
        try:
            result = self._send(payload, pts)
        except Exception:
            logger.exception("%s source: sending frame %d failed", self._kind, index)
            result = -1
        if result != 0:
            self._send_errors += 1
            if not self._failing:  # one line per run of failures, not one per frame
                logger.warning("%s source: the SDK refused frame %d (result %d)", self._kind, index, result)
            self._failing = True
        else:
            self._failing = False

    # ---- Producer side ----

    async def _queue_frames(self, data: bytes | memoryview, frame_bytes: int) -> bytes:
        """Queues the whole frames of `data` (waiting for room); returns the rest."""
        if self._closed:
            raise RuntimeError(f"this {self._kind} source is closed")
        if self._task is not None and self._task.done():
            self._task.result()  # the sender failed: raise its error here
        frames = self._frames
        generation = self._generation
        whole = len(data) - len(data) % frame_bytes
        start = 0
        while start < whole:
            room = self._capacity - len(frames)
            if room <= 0:
                with self._lock:
                    self._room_wanted = self._loop.create_future()
                    self._room_wake_sent = False
                try:
                    await self._room_wanted
                finally:
                    self._room_wanted = None
                if generation != self._generation:
                    return b""  # cleared (barge-in) or closed while this capture waited
                continue
            end = min(whole, start + room * frame_bytes)
            if type(data) is bytes:
                cut = [data[i:i + frame_bytes] for i in range(start, end, frame_bytes)]
            else:
                cut = [bytes(data[i:i + frame_bytes]) for i in range(start, end, frame_bytes)]
            with self._lock:
                frames.extend(cut)
                self._frames_queued += len(cut)
            start = end
            if self._task is None:
                self._start_sending()
            elif self._frame_wanted is not None:
                self._wake(self._frame_wanted)
                self._frame_wanted = None
        return bytes(data[whole:])

    def _drop_queued(self) -> int:
        """Drops what is queued (with the lock held)."""
        self._generation += 1
        dropped = len(self._frames) + self._held  # the frame the sender holds goes too
        self._frames.clear()
        self._frames_cleared += dropped
        self._held = False
        self._wake(self._room_wanted)  # a waiting capture stops
        return dropped

    def clear(self) -> None:
        """Drops every queued frame, and stops a `capture` that is still queuing."""
        with self._lock:
            self._drop_queued()

    async def wait_for_playout(self) -> None:
        """Waits until every captured frame has been handed to the SDK at its time.

        Returns at once for a closed source; raises the sender's error if it failed."""
        if self._closed:
            return
        task = self._task
        with self._lock:
            pending = bool(self._frames or self._held)
            if pending and self._played is None:
                self._played = self._loop.create_future()
            played = self._played
        if pending and played is not None:
            await asyncio.wait((played,) if task is None else (played, task), return_when=asyncio.FIRST_COMPLETED)
        if task is not None and task.done() and not task.cancelled():
            task.result()

    # ---- Closing ----

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops the sender now, drops what is queued and destroys the local channel."""
        if self._closed:
            return
        with self._lock:
            self._closed = True
            self._drop_queued()
        if self._task is not None:
            self._task.cancel()
        self._wake(self._played)
        on_close, self._on_close = self._on_close, None
        if on_close is not None:
            try:
                on_close()
            except Exception:
                logger.exception("%s source: destroying the local channel failed", self._kind)

    async def aclose(self) -> None:
        """Closes the source (see `close`) and waits until its sender task has stopped."""
        self.close()
        if self._task is None:
            return  # the pacing thread sends nothing for a closed source
        try:
            await self._task
        except asyncio.CancelledError:
            # Our own cancellation of the sender; a cancellation of the
            # caller is raised again.
            current = asyncio.current_task()
            if current is not None and current.cancelling():
                raise

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.aclose()

    def stats(self) -> SourceStats:
        return SourceStats(self._frames_queued, self._frames_sent, self._frames_cleared, self._send_errors,
                           self._runs, self._rebased, self._max_lateness, len(self._frames))


class AudioSource(PacedSource):
    """16-bit PCM, paced in frames of `frame_ms` (see the module's text).

    `capture` takes bytes-like PCM (signed 16-bit, little endian,
    interleaved) or a numpy int16 array of shape (n,) or (n, channels), in
    whole samples of every channel. A trailing part frame is kept for the
    next `capture`; `flush` (and `wait_for_playout`) pad it with silence and
    send it.

    `sample_rate` is the rate of the frames sent. With an `input_rate` that
    differs, `capture` takes audio at `input_rate` and resamples it
    (`lumora_kit.media.Resampler`, which needs the ``[media]`` extra).
    """

    def __init__(self, send: Callable[[_lumora.AudioFrame, bool], int], *, sample_rate: int, channels: int,
                 frame_ms: int, queue_ms: int, max_burst_ms: int, on_close: Callable[[], None] | None,
                 input_rate: int | None = None, pacing: Pacing = "auto") -> None:
        if sample_rate * frame_ms % 1000:
            raise ValueError(f"{frame_ms} ms at {sample_rate} Hz is not a whole number of samples")
        self.input_rate = sample_rate if input_rate is None else input_rate
        self._resampler: Resampler | None = None
        if self.input_rate != sample_rate:
            self._resampler = Resampler(self.input_rate, sample_rate, channels)
        self.sample_rate = sample_rate
        self.channels = channels
        self.frame_ms = frame_ms
        self.frame_samples = sample_rate * frame_ms // 1000
        self.frame_bytes = self.frame_samples * channels * 2
        self._send_frame = send
        self._pending = b""  # the start of a frame that the next capture completes
        self._clear_sdk_queue = False
        self._frame = _lumora.AudioFrame()
        self._frame.sample_rate, self._frame.channels, self._frame.bits_per_sample = sample_rate, channels, 16
        self._frame.codec = _lumora.AUDIO_CODEC_TYPE_PCM
        super().__init__(period=frame_ms / 1000, queue_frames=queue_ms // frame_ms,
                         max_burst=max_burst_ms / 1000, on_close=on_close, kind="audio", pacing=pacing)

    def _send(self, payload: bytes, pts: int) -> int:
        frame = self._frame
        frame.pts = pts
        frame.SetData(payload)
        clear, self._clear_sdk_queue = self._clear_sdk_queue, False
        return self._send_frame(frame, clear)

    async def capture(self, data: object) -> None:
        """Queues `data` in whole frames, waiting while the queue is full (see the module's text).

        If the call is cancelled, or `clear` is called meanwhile, the frames
        queued so far stay queued (until cleared) and the rest is dropped."""
        view = bytes_view(data, samples=True, what="AudioSource.capture")
        shape: object = getattr(data, "shape", None)
        if isinstance(shape, tuple) and len(cast(tuple[object, ...], shape)) == 2 and shape[1] != self.channels:
            raise ValueError(f"samples of shape {shape} for a source of {self.channels} channel(s)")
        check_whole_samples(len(view), self.channels)  # refused whole: nothing of it is queued
        async with self._capture_lock:
            generation = self._generation
            chunk: bytes | memoryview = data if type(data) is bytes else view  # bytes slice without a view
            if self._resampler is not None:
                chunk = self._resampler.process(view)
            data_bytes = self._pending + chunk if self._pending else chunk
            self._pending = b""
            rest = await self._queue_frames(data_bytes, self.frame_bytes)
            if generation == self._generation:
                self._pending = rest

    async def flush(self) -> None:
        """Pads a part frame left by `capture` with silence and queues it."""
        async with self._capture_lock:
            pending, self._pending = self._pending, b""
            if self._resampler is not None:
                pending += self._resampler.flush()  # what the filter still holds
            if pending:
                await self._queue_frames(pending + bytes(-len(pending) % self.frame_bytes), self.frame_bytes)

    async def wait_for_playout(self) -> None:
        """Flushes a part frame, then waits until every frame has been sent at its time."""
        if not self._closed:
            await self.flush()
        await super().wait_for_playout()

    def clear(self) -> None:
        """Barge-in: drops what is queued here, and asks the SDK to drop the audio it still holds.

        The SDK's send queue is cleared with one frame of silence sent with
        clear_send_queue (the SDK has no separate call for it)."""
        self._pending = b""
        if self._resampler is not None:
            self._resampler.flush()  # dropped with the rest
        # One locked step: the pacing thread sends nothing queued before the
        # clear after the silence that clears the SDK's queue.
        with self._lock:
            self._drop_queued()
            if self._frames_sent and not self._closed:
                self._clear_sdk_queue = True
                self._send_one(bytes(self.frame_bytes), 0.0, self._loop.time())

    async def capture_file(self, source: "AudioInput") -> None:
        """Queues the audio of a file or of a file's bytes, converted to what `capture` takes.

        `source` is a path, a binary file object or bytes: WAV, or with
        PyAV any container FFmpeg reads (see `lumora_kit.media.read_audio`,
        which raises for input that is not audio). It is decoded here, a
        piece at a time as the queue takes it, with no temporary file."""
        from .media import read_audio
        for piece in read_audio(source, self.input_rate, self.channels):
            await self.capture(piece)


class VideoSource(PacedSource):
    """I420 pictures of `width` x `height` at `fps`, sent as PixelFrames (see the module's text).

    `capture` takes bytes-like I420 data holding one or more whole
    pictures (``width * height * 3 // 2`` bytes each), or a `PixelFrame`.
    """

    def __init__(self, send: Callable[[_lumora.PixelFrame], int], *, width: int, height: int, fps: float,
                 stream_type: _lumora.StreamType, queue_ms: int, max_burst_ms: int,
                 on_close: Callable[[], None] | None, pacing: Pacing = "auto") -> None:
        if width <= 0 or height <= 0 or width % 2 or height % 2:
            raise ValueError(f"I420 pictures need a positive, even width and height, not {width}x{height}")
        if not fps > 0:
            raise ValueError(f"fps must be positive, not {fps}")
        self.width, self.height, self.fps = width, height, fps
        self.stream_type = stream_type
        self.frame_bytes = width * height * 3 // 2
        self._send_frame = send
        self._frame = _lumora.PixelFrame()
        self._frame.width, self._frame.height = width, height
        self._frame.format = _lumora.VIDEO_PIXEL_FORMAT_YUV420p
        super().__init__(period=1 / fps, queue_frames=round(queue_ms * fps / 1000),
                         max_burst=max_burst_ms / 1000, on_close=on_close, kind="video", pacing=pacing)

    def _send(self, payload: bytes, pts: int) -> int:
        frame = self._frame
        frame.pts = pts
        frame.SetData(payload)
        return self._send_frame(frame)

    async def capture(self, data: object) -> None:
        """Queues whole I420 pictures, waiting while the queue is full."""
        if isinstance(data, _lumora.PixelFrame):
            if (data.width, data.height) != (self.width, self.height):
                raise ValueError(f"a {data.width}x{data.height} picture for a {self.width}x{self.height} source")
            data = data.data
        view = bytes_view(data, samples=False, what="VideoSource.capture")
        if len(view) % self.frame_bytes:
            raise ValueError(f"{len(view)} bytes is not a whole number of {self.width}x{self.height} I420 "
                             f"pictures ({self.frame_bytes} bytes each)")
        async with self._capture_lock:
            await self._queue_frames(view, self.frame_bytes)

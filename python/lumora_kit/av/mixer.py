"""`AudioMixer`: several users' audio mixed into one stream, on a clock.

    mixer = AudioMixer(sample_rate=48000, channels=1)
    mixer.add_input(room.audio_stream("alice"), "alice")
    mixer.add_input(room.audio_stream("bob"), "bob")
    async for frame in mixer:        # one AudioFrame every 20 ms
        ...

Design. The mixer's clock starts with the first frame asked for (or
`start`): output frame k covers ``[k * frame_ms, (k + 1) * frame_ms)``
milliseconds of mixer time and is handed out at that window's end plus
`latency_ms`, so input that arrives up to `latency_ms` late is still in it.

Each input is converted to the output's rate and channels (FFmpeg's
resampler; mono is copied to both channels, stereo averaged to mono) and
placed on the mixer's time line by its `pts`: its first frame where it
arrived, then by its own clock, one frame after the other, with silence
where its stamps jump ahead (the sender paused, or frames were lost on the
way). Stamps that go back (the sender started again) or that jump more
than a second ahead of both the frame's arrival and the input's audio so
far go on where the input's audio ends (or where the frame came, if that
is later); an input that sends nothing adds silence.

Keeping time. Audio that comes after its window was mixed goes into the
next window, so a little lateness delays an input a little. What came late
is bounded, per input: after each frame, the input's audio must end at most
one window (`frame_ms`) after the latest of the frame's arrival, where its
stamp puts it and the next window to mix. Beyond that its oldest audio not
mixed yet is dropped (and counted), so the rest moves up and the input is
heard again within one window. This is what resynchronises an input after
the loop stalled (its frames queued meanwhile come all at once, after the
mix went on without them) or after a sender held its audio back and sent it
in a burst: the stale audio is dropped, not played seconds late for the
rest of the recording. Audio held up while its windows were not mixed yet
(the frames of a stall taken before the mix catches up) is still in time
and is mixed where its stamps put it. So the jitter an input may have
without losing audio is `latency_ms` plus one window. Audio handed in ahead
of its time (stamps ahead of its arrival: a program that writes a file's
audio at once) is not late, and is kept up to `max_buffer_ms`; so is the
audio of a sender whose clock runs fast, whose delay grows by that much.

Mixing sums the inputs in 32 bits and saturates at full scale, so a loud
sum clips instead of wrapping around into noise.

Keeping. Audio handed in is kept until a window takes it, also before
anyone reads the mix (a first reader that comes 3 s late gets those 3 s):
each input keeps at most `max_buffer_ms` (10 s) not mixed yet; beyond that
its oldest audio is dropped and counted in `dropped_samples`.

Names and streams. An input's name is free again once its stream ended (a
user who left and comes back is added under the same name); what the ended
input had not been mixed yet is still mixed, after which it is forgotten.
The mixer closes every stream it was given (``aclose()`` when it has one):
when the stream ends or fails, when `remove_input` removes it (in the
background: the reading task is cancelled and awaited first) and at
`aclose`, which waits until all of them are closed.

Counters (samples are per channel, at the mix's rate), read together with
`stats()` (`MixerStats`, and a `MixerInputStats` per input): the windows
handed out, audio dropped, silence filled in, samples of the sum that
clipped and the times an input was resynchronised.

`write` places a frame by hand and `mix` takes the next window at once
(no clock), for programs that have their own timing, and for tests: give
each frame its `arrival` (the loop time it came), since the bound on late
audio is measured against it.

Needs PyAV and numpy: ``pip install 'lumora-kit[av]'``.
"""

import asyncio
import inspect
import logging
from collections.abc import AsyncIterable, AsyncIterator, Mapping
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Self

import _lumora

from ..media.audio import frame_from_pcm
from .frames import PcmConverter, import_av
from ..media.timeline import PtsUnwrapper

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

logger = logging.getLogger("lumora_kit")

# The accepted arguments (inclusive ranges).
SAMPLE_RATES = (8000, 192_000)
FRAME_MS = (1, 1000)
LATENCY_MS = (0, 10_000)
MAX_BUFFER_MS = 600_000

PAUSE_MS = 80  # a jump in an input's stamps beyond this is a pause, filled with silence; less is jitter
EARLY_MS = 1000  # stamps further ahead of the frame's arrival than this put the input where it arrived
REWIND_MS = 100  # stamps that go back further than this: the sender started again


@dataclass(frozen=True, slots=True)
class MixerInputStats:
    """What the mixer did with one input (samples per channel, at the mix's rate).

    - `frames`, `samples`: what the input handed in (after conversion).
    - `dropped_samples`: its audio dropped: come too late to keep time
      (after a stall or a burst, beyond one window of delay) or beyond
      `max_buffer_ms` while nobody read the mix.
    - `filled_samples`: silence mixed where its stamps said audio was due
      but it came after its window (it was held up); pauses in its stamps
      are not counted.
    - `resyncs`: times it was put back on time: late audio dropped, or its
      stamps went back or jumped ahead and it was placed where it arrived.
    - `buffered_samples`: its audio waiting for a window now.
    """

    frames: int = 0
    samples: int = 0
    dropped_samples: int = 0
    filled_samples: int = 0
    resyncs: int = 0
    buffered_samples: int = 0


@dataclass(frozen=True, slots=True)
class MixerStats:
    """An `AudioMixer`'s counters, read together.

    - `frames_mixed`: windows handed out.
    - `dropped_samples`, `filled_samples`, `resyncs`: the sums of those of
      every input so far (also of inputs removed or forgotten).
    - `clipped_samples`: samples of the sum that saturated.
    - `inputs`: a `MixerInputStats` for each input the mixer has now, by name.
    """

    frames_mixed: int = 0
    dropped_samples: int = 0
    filled_samples: int = 0
    clipped_samples: int = 0
    resyncs: int = 0
    inputs: Mapping[str, MixerInputStats] = field(default_factory=lambda: {})


@dataclass(slots=True)
class _Input:
    """One input: its stream, where its samples go and what is buffered of it.

    Positions are sample indices of the mix. The buffered audio covers
    ``[start, written)``; `anchor` ties the input's stamps to the mix."""

    converter: PcmConverter
    stream: AsyncIterable[_lumora.AudioFrame] | None = None  # open until the mixer closed it
    task: "asyncio.Task[None] | None" = None
    chunks: "list[npt.NDArray[np.int16]]" = field(default_factory=lambda: [])
    start: int = 0  # the mix's sample index of the first buffered sample
    written: int = 0  # just past the last buffered sample
    started: bool = False  # a first frame was placed
    ended: bool = False  # its stream ended: mixed until what it buffered is taken, then forgotten
    unwrap: PtsUnwrapper = field(default_factory=PtsUnwrapper)
    anchor: tuple[int, int] | None = None  # (position, unwrapped stamp in ms) of the anchoring frame
    last_stamp: int = 0
    stamped_end: int = 0  # where the last frame ended by its stamp
    audio_end: int = 0  # where the last frame's audio was put
    frames: int = 0
    samples: int = 0
    dropped: int = 0
    filled: int = 0
    resyncs: int = 0


def _check_range(what: str, value: int, low: int, high: int, unit: str) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} is a whole number of {unit}, not {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{what} must be from {low} to {high} {unit}, not {value}")


class AudioMixer:
    """Mixes audio inputs (any rate, mono or stereo) into 16-bit PCM frames of one format (see the module).

    Arguments: `sample_rate` 8000 to 192000 Hz, `channels` 1 or 2,
    `frame_ms` 1 to 1000 (a whole number of samples), `latency_ms` 0 to
    10000, `max_buffer_ms` from `latency_ms` plus `frame_ms` to 600000;
    anything else raises ValueError naming the range.

    Audio handed in is kept until the mix takes it, also before the first
    read: at most `max_buffer_ms` per input. Each input keeps time: audio
    that comes more than `latency_ms` plus one window late (after a stall
    of the loop, or a burst of held audio) is dropped, oldest first, so the
    input is heard again within one window instead of seconds late for the
    rest of the mix. Counters, in samples per channel at the mix's rate:
    `frames_mixed` (windows handed out), `dropped_samples` (audio too late
    to keep time, or beyond `max_buffer_ms`), `filled_samples` (silence
    mixed where an input's audio was due but came late), `clipped_samples`
    (samples of the sum that saturated), `resyncs`; `stats()` reads them
    with those of each input (`MixerStats`, `MixerInputStats`).

    An input's name is free again once its stream ended. The streams given
    to `add_input` are closed when they end, when `remove_input` removes
    them, and by `aclose`, which waits for all of them.
    """

    def __init__(self, sample_rate: int = 48000, channels: int = 1, frame_ms: int = 20, *,
                 latency_ms: int = 100, max_buffer_ms: int = 10_000) -> None:
        _check_range("sample_rate", sample_rate, *SAMPLE_RATES, "Hz")
        _check_range("channels", channels, 1, 2, "channels")
        _check_range("frame_ms", frame_ms, *FRAME_MS, "ms")
        if sample_rate * frame_ms % 1000:
            raise ValueError(f"{frame_ms} ms at {sample_rate} Hz is not a whole number of samples")
        _check_range("latency_ms", latency_ms, *LATENCY_MS, "ms")
        _check_range("max_buffer_ms", max_buffer_ms, latency_ms + frame_ms, MAX_BUFFER_MS, "ms")
        import_av("AudioMixer")
        import numpy as np
        self._np = np
        self.sample_rate = sample_rate
        self.channels = channels
        self.frame_ms = frame_ms
        self.frame_samples = sample_rate * frame_ms // 1000
        self.latency_ms = latency_ms
        self._max_buffer = sample_rate * max_buffer_ms // 1000
        self._pause = sample_rate * PAUSE_MS // 1000
        self._early = sample_rate * EARLY_MS // 1000
        self._inputs: dict[str, _Input] = {}
        self._closing: set[asyncio.Task[None]] = set()  # removed inputs whose streams are being closed
        self._origin: float | None = None  # loop time of mixer time 0
        self._read = 0  # sample index of the next window
        self.frames_mixed = 0
        self.dropped_samples = 0
        self.filled_samples = 0
        self.clipped_samples = 0
        self.resyncs = 0
        self._closed = False

    # ---- Inputs ----

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def inputs(self) -> list[str]:
        """The names of the inputs being mixed (not those that ended)."""
        return [name for name, entry in self._inputs.items() if not entry.ended]

    def start(self, origin: float | None = None) -> None:
        """Starts the clock now (or at loop time `origin`); the first frame asked for does it otherwise."""
        if self._origin is None:
            self._origin = asyncio.get_running_loop().time() if origin is None else origin

    def add_input(self, stream: AsyncIterable[_lumora.AudioFrame], name: str | None = None) -> str:
        """Mixes `stream` in, reading it in a task, until it ends or `remove_input`; returns its name.

        The mixer owns `stream` from now on: it closes it (see the class)."""
        name = self._new_input(name)
        entry = self._inputs[name]
        entry.stream = stream
        entry.task = asyncio.get_running_loop().create_task(
            self._read_input(name, entry, stream), name=f"lumora_kit AudioMixer input {name}")
        return name

    def _new_input(self, name: str | None) -> str:
        if self._closed:
            raise RuntimeError("this AudioMixer is closed")
        if name is None:
            name = f"input {len(self._inputs) + 1}"
            while name in self._inputs:
                name += "'"
        old = self._inputs.get(name)
        if old is not None and not old.ended:
            raise ValueError(f"the mixer already has an input named {name!r}")
        if old is not None:  # it ended: what it still has is mixed under a name of its own
            del self._inputs[name]
            self._inputs[self._retired_name(name)] = old
        self.start()
        self._inputs[name] = _Input(PcmConverter(self.sample_rate, self.channels))
        return name

    def _retired_name(self, name: str) -> str:
        retired = f"{name} (ended)"
        while retired in self._inputs:
            retired += "'"
        return retired

    async def _read_input(self, name: str, entry: _Input, stream: AsyncIterable[_lumora.AudioFrame]) -> None:
        loop = asyncio.get_running_loop()
        try:
            async for frame in stream:
                if self._inputs.get(name) is not entry:
                    break
                self.write(name, frame, loop.time())
        except Exception:
            logger.exception("AudioMixer: input %r failed; it is mixed no more", name)
        finally:
            entry.ended = True
            await self._close_stream(entry)

    async def _close_stream(self, entry: _Input) -> None:
        """Closes the stream of `entry` once (``aclose()``, when it has one)."""
        stream, entry.stream = entry.stream, None
        close = getattr(stream, "aclose", None)
        if close is None:
            return
        try:
            await close()
        except Exception:
            logger.exception("AudioMixer: closing an input's stream failed")

    def remove_input(self, name: str) -> None:
        """Stops mixing `name` (what it already gave for windows not mixed yet is dropped).

        Its reading task is cancelled and its stream closed in the
        background, right after; `aclose` waits for that."""
        entry = self._inputs.pop(name, None)
        if entry is None:
            return
        task = entry.task
        if task is not None and not entry.ended and task is not asyncio.current_task():
            task.cancel()  # one that ended is closing its stream itself: that is not interrupted
        entry.ended = True
        if entry.stream is None:
            return  # made by `write`, or its stream is closed already
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:  # no loop runs here: a stream that closes without one is closed now
            close = getattr(entry.stream, "close", None)
            if close is not None and not inspect.iscoroutinefunction(close):
                entry.stream = None
                close()
            return
        closer = loop.create_task(self._retire(entry), name=f"lumora_kit AudioMixer closing input {name}")
        self._closing.add(closer)
        closer.add_done_callback(self._closing.discard)

    async def _retire(self, entry: _Input) -> None:
        """Waits for a removed input's reading task to end, then closes its stream.

        The task may have been cancelled before it ever ran (removed right
        after it was added): then its own cleanup never runs, and this does it."""
        task = entry.task
        if task is not None and task is not asyncio.current_task():
            await asyncio.wait([task])
        await self._close_stream(entry)

    def write(self, name: str, frame: _lumora.AudioFrame, arrival: float | None = None) -> None:
        """Places `frame` of input `name` (made by `add_input`, or here on first use) on the time line.

        `arrival` is the loop time it came (now, when None); the first frame
        of an input goes there, the later ones by their `pts`, and the
        input's lateness is measured against it (see the module)."""
        entry = self._inputs.get(name)
        if entry is None or entry.ended:
            self._new_input(name)
            entry = self._inputs[name]
        if arrival is None:
            arrival = asyncio.get_running_loop().time()
        assert self._origin is not None
        samples = entry.converter.convert(frame)
        count = len(samples)
        if not count:
            return
        now = round((arrival - self._origin) * self.sample_rate)  # where its audio ends if it is on time
        position = self._position(entry, frame.pts, now - count)
        if not entry.started:
            entry.started = True
            entry.start = entry.written = entry.audio_end = entry.stamped_end = max(self._read, position)
        # Silence goes in where the stamps jump (a pause); less than a pause is jitter, absorbed.
        jump = position - entry.stamped_end
        pause = position - entry.written if position - entry.written > self._pause else 0
        if pause:
            entry.chunks.append(self._np.zeros((pause, self.channels), dtype=self._np.int16))
        # What the mix put in for this input since its last audio, beyond the pause its stamps show,
        # is audio that came after its window: silence filled in for it.
        filled = entry.written + pause - entry.audio_end - (jump if jump > self._pause else 0)
        if filled > 0:
            entry.filled += filled
            self.filled_samples += filled
        entry.chunks.append(samples)
        entry.written += pause + count
        entry.audio_end = entry.written
        entry.stamped_end = position + count
        entry.frames += 1
        entry.samples += count
        # Keeping time: its audio ends at most one window after where it is due (or after the next window).
        late = entry.written - max(now, position + count, self._read + count) - self.frame_samples
        if late > 0:
            self._drop_late(entry, min(late, entry.written - entry.start))
        self._trim(entry)

    def _position(self, entry: _Input, pts: int, arrived: int) -> int:
        """Where a frame stamped `pts` starts in the mix; `arrived` is where it starts if it is on time.

        Stamps behind the arrival are trusted (the frame was held up: it
        belongs where its stamp says, and what cannot be mixed there any
        more is the lateness bound's business). A restart of the stamps, or
        a jump ahead beyond `EARLY_MS`, continues the input where its audio
        ends, or where the frame arrived if that is later."""
        stamp = entry.unwrap(pts)
        here = max(arrived, entry.written) if entry.started else arrived
        if entry.anchor is None:
            entry.anchor = (arrived, stamp)
        elif stamp < entry.last_stamp - REWIND_MS:  # the sender started again
            entry.anchor = (here, stamp)
            self._resynced(entry)
        entry.last_stamp = stamp
        position = entry.anchor[0] + round((stamp - entry.anchor[1]) * self.sample_rate / 1000)
        if position > here + self._early:  # far ahead of both: a stamp that makes no sense
            entry.anchor = (here, stamp)
            self._resynced(entry)
            return here
        return position

    def _resynced(self, entry: _Input) -> None:
        entry.resyncs += 1
        self.resyncs += 1

    def _drop_late(self, entry: _Input, count: int) -> None:
        """Drops the oldest `count` samples of `entry`; what follows moves up to take their place."""
        if count <= 0:
            return
        self._remove(entry, count)
        entry.written -= count
        entry.audio_end -= count
        entry.dropped += count
        self.dropped_samples += count
        self._resynced(entry)

    def _trim(self, entry: _Input) -> None:
        """Drops the oldest audio of an input that is more than `max_buffer_ms` ahead of the clock."""
        over = entry.written - entry.start - self._max_buffer
        if over > 0:
            entry.dropped += over
            self.dropped_samples += over
            self._take(entry, over)

    def _remove(self, entry: _Input, count: int) -> "npt.NDArray[np.int16]":
        """Removes and returns the first `count` samples buffered of `entry` (fewer if it has less)."""
        np = self._np
        if len(entry.chunks) == 1:
            buffered = entry.chunks[0]
        elif entry.chunks:
            buffered = np.concatenate(entry.chunks)
        else:
            buffered = np.zeros((0, self.channels), dtype=np.int16)
        taken, rest = buffered[:count], buffered[count:]
        entry.chunks = [rest] if len(rest) else []
        return taken

    def _take(self, entry: _Input, count: int) -> "npt.NDArray[np.int16]":
        """Removes and returns the next `count` samples of `entry` from its start, zeros past its end.

        An input that had less (its audio came late) continues at the new
        start: it moves up, so its next audio is not placed in the past."""
        np = self._np
        taken = self._remove(entry, count)
        entry.start += count
        if entry.written < entry.start:
            entry.written = entry.start
        if len(taken) < count:
            taken = np.concatenate([taken, np.zeros((count - len(taken), self.channels), dtype=np.int16)])
        return taken

    def stats(self) -> MixerStats:
        """The counters, with those of each input the mixer has now (see the class)."""
        inputs = {name: MixerInputStats(entry.frames, entry.samples, entry.dropped, entry.filled, entry.resyncs,
                                        entry.written - entry.start)
                  for name, entry in self._inputs.items()}
        return MixerStats(self.frames_mixed, self.dropped_samples, self.filled_samples, self.clipped_samples,
                          self.resyncs, inputs)

    # ---- Output ----

    def mix(self) -> _lumora.AudioFrame:
        """The next window of the mix, now (silence where no input has audio)."""
        np = self._np
        count = self.frame_samples
        total = np.zeros((count, self.channels), dtype=np.int32)
        for name, entry in list(self._inputs.items()):
            if entry.ended and not entry.chunks:
                del self._inputs[name]  # an input that ended and was mixed to its end is forgotten
                continue
            if not entry.started or entry.start >= self._read + count:
                continue  # nothing of it in this window
            lead = max(0, entry.start - self._read)
            part = self._take(entry, count - lead)
            total[lead:] += part
        self.clipped_samples += int(np.count_nonzero((total > 32767) | (total < -32768)))
        np.clip(total, -32768, 32767, out=total)
        pts = (self._read * 1000 // self.sample_rate) & 0xFFFFFFFF
        self._read += count
        self.frames_mixed += 1
        return frame_from_pcm(total.astype("<i2").tobytes(), self.sample_rate, self.channels, pts=pts)

    def arrival_of(self, frame: _lumora.AudioFrame) -> float:
        """The loop time at which the audio of a mixed `frame` came in (its window's end on the clock).

        A mix is handed out `latency_ms` later than that: a recorder that
        puts the mix beside other streams dates it by this time instead."""
        if self._origin is None:
            raise RuntimeError("the mixer's clock has not started")
        return self._origin + (frame.pts + self.frame_ms) / 1000

    async def recv(self) -> _lumora.AudioFrame:
        """The next window of the mix, handed out on the clock (see the module)."""
        if self._closed:
            raise RuntimeError("this AudioMixer is closed")
        self.start()
        assert self._origin is not None
        loop = asyncio.get_running_loop()
        due = self._origin + (self._read + self.frame_samples) / self.sample_rate + self.latency_ms / 1000
        # Behind the clock (the loop stalled) the windows come one after the other, but each lets
        # the loop run first: the inputs take what queued up meanwhile, in time for its windows.
        await asyncio.sleep(max(0.0, due - loop.time()))
        return self.mix()

    def __aiter__(self) -> AsyncIterator[_lumora.AudioFrame]:
        return self._frames()

    async def _frames(self) -> AsyncIterator[_lumora.AudioFrame]:
        while not self._closed:
            yield await self.recv()

    # ---- Closing ----

    async def aclose(self) -> None:
        """Stops the inputs' tasks and closes their streams, waiting for both; iteration ends."""
        self._closed = True
        entries = list(self._inputs.values())
        self._inputs.clear()
        current = asyncio.current_task()
        tasks = [entry.task for entry in entries if entry.task is not None and entry.task is not current]
        for entry in entries:
            if entry.task is not None and entry.task is not current and not entry.ended:
                entry.task.cancel()
        if tasks:
            await asyncio.wait(tasks)
        for entry in entries:  # a task cancelled before it ever ran did not close its stream
            await self._close_stream(entry)
        while self._closing:
            await asyncio.wait(list(self._closing))

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.aclose()

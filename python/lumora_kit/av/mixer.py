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
placed on the mixer's time line by its `pts` (see `timeline`): its first
frame where it arrived, then by its own clock, with silence where its
sender paused. Audio that arrives after its window was mixed goes into the
next window (it is delayed, not lost: a jitter buffer that grows by what
came late, until the sender's next pause); an input that sends nothing
adds silence.

Mixing sums the inputs in 32 bits and saturates at full scale, so a loud
sum clips instead of wrapping around into noise.

Keeping. Audio handed in is kept until a window takes it, also before
anyone reads the mix (a first reader that comes 3 s late gets those 3 s):
each input keeps at most `max_buffer_ms` (10 s) not mixed yet; beyond that
its oldest audio is dropped and counted in `dropped_samples`.

Names. An input's name is free again once its stream ended (a user who
left and comes back is added under the same name); what the ended input
had not been mixed yet is still mixed, after which it is forgotten.

Counters (samples are per channel, at the mix's rate): `frames_mixed`, the
windows handed out; `dropped_samples`, audio dropped beyond `max_buffer_ms`;
`clipped_samples`, samples of the sum that saturated.

`write` places a frame by hand and `mix` takes the next window at once
(no clock), for programs that have their own timing, and for tests.

Needs PyAV and numpy: ``pip install 'lumora-kit[av]'``.
"""

import asyncio
import logging
from collections.abc import AsyncIterable, AsyncIterator
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Self

import _lumora

from ..media.audio import frame_from_pcm
from .frames import PcmConverter, import_av
from ..media.timeline import AudioCursor, StreamTimeline

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

logger = logging.getLogger("lumora_kit")


@dataclass(slots=True)
class _Input:
    """One input: where its samples go and what is buffered of it, from sample `start` of the mix."""

    timeline: StreamTimeline
    cursor: AudioCursor
    converter: PcmConverter
    chunks: "list[npt.NDArray[np.int16]]" = field(default_factory=lambda: [])
    start: int = 0  # the mix's sample index of the first buffered sample
    started: bool = False  # a first frame was placed
    task: "asyncio.Task[None] | None" = None
    ended: bool = False  # its stream ended: mixed until what it buffered is taken, then forgotten


class AudioMixer:
    """Mixes audio inputs (any rate, mono or stereo) into 16-bit PCM frames of one format (see the module).

    Audio handed in is kept until the mix takes it, also before the first
    read: at most `max_buffer_ms` per input. Counters, in samples per
    channel at the mix's rate: `frames_mixed` (windows handed out),
    `dropped_samples` (audio beyond `max_buffer_ms`, oldest first),
    `clipped_samples` (samples of the sum that saturated). An input's name
    is free again once its stream ended.
    """

    def __init__(self, sample_rate: int = 48000, channels: int = 1, frame_ms: int = 20, *,
                 latency_ms: int = 100, max_buffer_ms: int = 10_000) -> None:
        if channels not in (1, 2):
            raise ValueError(f"the mix has 1 or 2 channels, not {channels}")
        if sample_rate <= 0 or frame_ms <= 0 or sample_rate * frame_ms % 1000:
            raise ValueError(f"{frame_ms} ms at {sample_rate} Hz is not a whole number of samples")
        import_av("AudioMixer")
        import numpy as np
        self._np = np
        self.sample_rate = sample_rate
        self.channels = channels
        self.frame_ms = frame_ms
        self.frame_samples = sample_rate * frame_ms // 1000
        self.latency_ms = latency_ms
        self._max_buffer = sample_rate * max_buffer_ms // 1000
        self._inputs: dict[str, _Input] = {}
        self._origin: float | None = None  # loop time of mixer time 0
        self._read = 0  # sample index of the next window
        self.frames_mixed = 0
        self.dropped_samples = 0
        self.clipped_samples = 0
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
        """Mixes `stream` in, reading it in a task, until it ends or `remove_input`; returns its name."""
        name = self._new_input(name)
        self._inputs[name].task = asyncio.get_running_loop().create_task(
            self._read_input(name, stream), name=f"lumora_kit AudioMixer input {name}")
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
        assert self._origin is not None
        self._inputs[name] = _Input(StreamTimeline(self._origin), AudioCursor(self.sample_rate),
                                    PcmConverter(self.sample_rate, self.channels))
        return name

    def _retired_name(self, name: str) -> str:
        retired = f"{name} (ended)"
        while retired in self._inputs:
            retired += "'"
        return retired

    async def _read_input(self, name: str, stream: AsyncIterable[_lumora.AudioFrame]) -> None:
        loop = asyncio.get_running_loop()
        entry = self._inputs[name]
        try:
            async for frame in stream:
                if self._inputs.get(name) is not entry:
                    break
                self.write(name, frame, loop.time())
        except Exception:
            logger.exception("AudioMixer: input %r failed; it is mixed no more", name)
        finally:
            entry.ended = True
            close = getattr(stream, "aclose", None)
            if close is not None and self._inputs.get(name) is not entry:
                await close()

    def remove_input(self, name: str) -> None:
        """Stops mixing `name` (what it already gave for windows not mixed yet is dropped)."""
        entry = self._inputs.pop(name, None)
        if entry is not None and entry.task is not None and entry.task is not asyncio.current_task():
            entry.task.cancel()

    def write(self, name: str, frame: _lumora.AudioFrame, arrival: float | None = None) -> None:
        """Places `frame` of input `name` (made by `add_input`, or here on first use) on the time line.

        `arrival` is the loop time it came (now, when None); the first frame
        of an input goes there, the later ones by their `pts`."""
        entry = self._inputs.get(name)
        if entry is None or entry.ended:
            self._new_input(name)
            entry = self._inputs[name]
        np = self._np
        if arrival is None:
            arrival = asyncio.get_running_loop().time()
        samples = entry.converter.convert(frame)
        if not len(samples):
            return
        duration_ms = len(samples) * 1000 / self.sample_rate
        # The frame's audio was spoken during the frame's length before it arrived.
        position_ms = entry.timeline.place(frame.pts, arrival - duration_ms / 1000)
        if not entry.started:
            entry.started = True
            entry.cursor.written = entry.start = max(self._read, round(position_ms * self.sample_rate / 1000))
        silence = entry.cursor.silence_before(position_ms, len(samples))
        if silence:
            entry.chunks.append(np.zeros((silence, self.channels), dtype=np.int16))
        entry.chunks.append(samples)
        self._trim(entry)

    def _trim(self, entry: _Input) -> None:
        """Drops the oldest audio of an input that is more than `max_buffer_ms` ahead of the clock."""
        over = entry.cursor.written - entry.start - self._max_buffer
        if over > 0:
            self.dropped_samples += over
            self._take(entry, over)

    def _take(self, entry: _Input, count: int) -> "npt.NDArray[np.int16]":
        """Removes and returns the next `count` samples of `entry` from its start, zeros past its end.

        An input that had less (its audio came late) continues at the new
        start: its cursor moves up, so its next audio is not placed in the past."""
        np = self._np
        if len(entry.chunks) == 1:
            buffered = entry.chunks[0]
        elif entry.chunks:
            buffered = np.concatenate(entry.chunks)
        else:
            buffered = np.zeros((0, self.channels), dtype=np.int16)
        taken, rest = buffered[:count], buffered[count:]
        entry.chunks = [rest] if len(rest) else []
        entry.start += count
        if entry.cursor.written < entry.start:
            entry.cursor.written = entry.start
        if len(taken) < count:
            taken = np.concatenate([taken, np.zeros((count - len(taken), self.channels), dtype=np.int16)])
        return taken

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
        delay = due - loop.time()
        if delay > 0:
            await asyncio.sleep(delay)
        return self.mix()

    def __aiter__(self) -> AsyncIterator[_lumora.AudioFrame]:
        return self._frames()

    async def _frames(self) -> AsyncIterator[_lumora.AudioFrame]:
        while not self._closed:
            yield await self.recv()

    # ---- Closing ----

    async def aclose(self) -> None:
        """Stops the inputs' tasks; iteration ends."""
        self._closed = True
        tasks = [entry.task for entry in self._inputs.values() if entry.task is not None]
        self._inputs.clear()
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.aclose()

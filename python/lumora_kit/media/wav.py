"""WAV files of 16-bit PCM, read and written with the standard `wave` module."""

import os
import wave
from collections.abc import Iterator
from typing import IO, TYPE_CHECKING

import _lumora

from ._extras import ClosedOnExit, is_ndarray
from .timeline import FillerTimeline
from .audio import BytesLike, check_pcm_frame, frame_bytes, pcm_from_samples

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

PathOrFile = str | os.PathLike[str] | IO[bytes]


def _fs_path(path: PathOrFile) -> str | IO[bytes]:
    return os.fspath(path) if isinstance(path, os.PathLike) else path


def _describe(sample_rate: int, channels: int) -> str:
    return f"{sample_rate} Hz, {channels} channel(s)"


class WavWriter(ClosedOnExit):
    """Writes 16-bit PCM to a WAV file; use as a context manager.

    `write` takes PCM bytes, int16 samples or an `AudioFrame`, whose format
    must match the file's (ValueError naming both otherwise).
    `frames_written` counts sample frames (one sample of every channel), as
    the `wave` module does. The file's header is completed on `close`.

    With `keep_time` (the default), `AudioFrame`s are placed by their `pts`:
    where a frame's pts lies more than half its length beyond the end of
    what is written (its sender paused), silence is written first, so the
    file lasts as long as the sending did. `silence_filled` counts those
    sample frames. Bytes and samples carry no time and are written as they
    come. See `lumora_kit.media.timeline` for the rules.
    """

    def __init__(self, path: PathOrFile, sample_rate: int, channels: int = 1, *, keep_time: bool = True) -> None:
        frame_bytes(sample_rate, channels, 1000)  # checks the format
        self.sample_rate = sample_rate
        self.channels = channels
        self.frames_written = 0
        self.silence_filled = 0
        self._timeline = FillerTimeline(sample_rate) if keep_time else None
        self._file: wave.Wave_write | None = wave.open(_fs_path(path), "wb")
        self._file.setnchannels(channels)
        self._file.setsampwidth(2)
        self._file.setframerate(sample_rate)

    def write(self, audio: "BytesLike | _lumora.AudioFrame | npt.NDArray[np.int16]") -> None:
        if self._file is None:
            raise ValueError("write to a closed WavWriter")
        if isinstance(audio, _lumora.AudioFrame):
            check_pcm_frame(audio)
            if (audio.sample_rate, audio.channels) != (self.sample_rate, self.channels):
                raise ValueError(f"the frame is {_describe(audio.sample_rate, audio.channels)}; "
                                 f"the file is {_describe(self.sample_rate, self.channels)}")
            pcm: BytesLike = audio.data
            if self._timeline is not None:
                length = len(pcm) // (2 * self.channels)
                self._write_silence(self._timeline.filler(audio.pts, self.frames_written, length / 2))
        elif is_ndarray(audio):
            channels = 1 if audio.ndim == 1 else int(audio.shape[-1])
            if channels != self.channels:
                raise ValueError(f"the samples have {channels} channel(s); the file has {self.channels}")
            pcm = pcm_from_samples(audio, "WavWriter.write")
        else:
            pcm = memoryview(audio)
        nbytes = memoryview(pcm).nbytes
        block = 2 * self.channels
        if nbytes % block:
            raise ValueError(f"{nbytes} bytes is not a whole number of samples for {self.channels} channel(s)")
        self._file.writeframesraw(pcm)
        self.frames_written += nbytes // block

    def _write_silence(self, count: int) -> None:
        assert self._file is not None
        block = 2 * self.channels
        chunk = bytes(block * min(count, self.sample_rate))  # at most a second at a time
        left = count
        while left > 0:
            part = min(left, len(chunk) // block)
            self._file.writeframesraw(chunk[:part * block])
            left -= part
        self.frames_written += count
        self.silence_filled += count

    @property
    def duration_ms(self) -> float:
        return self.frames_written * 1000 / self.sample_rate

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None


class WavReader(ClosedOnExit):
    """Reads a WAV file of 16-bit PCM; use as a context manager.

    Other sample widths and compressed files raise ValueError (the `wave`
    module reads uncompressed PCM only).
    """

    def __init__(self, path: PathOrFile) -> None:
        try:
            self._file: wave.Wave_read | None = wave.open(_fs_path(path), "rb")
        except (wave.Error, EOFError) as e:
            raise ValueError(f"not a readable PCM WAV file: {e}") from e
        width = self._file.getsampwidth()
        if width != 2:
            self._file.close()
            raise ValueError(f"the WAV file holds {8 * width}-bit samples; only 16-bit PCM is read")
        self.sample_rate: int = self._file.getframerate()
        self.channels: int = self._file.getnchannels()
        self.frame_count: int = self._file.getnframes()

    @property
    def duration_ms(self) -> float:
        return self.frame_count * 1000 / self.sample_rate

    def _opened(self) -> wave.Wave_read:
        if self._file is None:
            raise ValueError("read from a closed WavReader")
        return self._file

    def read(self, ms: float | None = None) -> bytes:
        """The next `ms` of PCM (less at the end of the file), or all that is left."""
        wav = self._opened()
        count = wav.getnframes() if ms is None else round(ms * self.sample_rate / 1000)
        return wav.readframes(count)

    def frames(self, frame_ms: int = 20, *, pad: bool = True) -> Iterator[bytes]:
        """The rest of the file in frames of `frame_ms`; a short last frame padded with silence unless ``pad=False``."""
        size = frame_bytes(self.sample_rate, self.channels, frame_ms)
        wav = self._opened()
        while chunk := wav.readframes(size // (2 * self.channels)):
            yield chunk + bytes(size - len(chunk)) if pad and len(chunk) < size else chunk

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None

"""PCM audio: frames, samples, frame cutting, test signals and resampling.

PCM here is always signed 16-bit little endian, channels interleaved, which
is what `AudioFrame` carries with codec `AUDIO_CODEC_TYPE_PCM` and
``bits_per_sample`` 16. Audio goes around as bytes; numpy arrays (int16,
shape ``(samples, channels)``, or ``(samples,)`` for mono input) are offered
where the extra ``lumora-kit[media]`` is installed.
"""

import importlib
import math
import sys
from array import array
from collections.abc import Buffer
from typing import TYPE_CHECKING, Any, Protocol, cast, overload

import _lumora

from ._extras import is_ndarray, needs, require

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Samples = npt.NDArray[np.int16]

# Byte-like PCM as the functions take it. numpy arrays are buffers too, but
# the functions that take both tell them apart and give back the same kind.
BytesLike = bytes | bytearray | memoryview

SAMPLE_BYTES = 2


def byte_length(data: Buffer) -> int:
    with memoryview(data) as view:
        return view.nbytes


def as_bytes(data: Buffer) -> bytes:
    """`data` as bytes; a bytes object itself is returned without a copy."""
    return data if type(data) is bytes else bytes(memoryview(data).cast("B"))


def samples_per_frame(sample_rate: int, frame_ms: int) -> int:
    """Samples per channel in a frame of `frame_ms`; ValueError unless a whole number."""
    if sample_rate <= 0 or frame_ms <= 0:
        raise ValueError(f"sample rate and frame length must be positive, not {sample_rate} Hz, {frame_ms} ms")
    samples, rest = divmod(sample_rate * frame_ms, 1000)
    if rest:
        raise ValueError(f"{frame_ms} ms at {sample_rate} Hz is not a whole number of samples")
    return samples


def frame_bytes(sample_rate: int, channels: int, frame_ms: int = 20) -> int:
    """Bytes of PCM in one frame of `frame_ms`."""
    _check_channels(channels)
    return samples_per_frame(sample_rate, frame_ms) * channels * SAMPLE_BYTES


def duration_ms(pcm: Buffer, sample_rate: int, channels: int) -> float:
    """How long `pcm` plays, in milliseconds."""
    return byte_length(pcm) / (SAMPLE_BYTES * channels) * 1000 / sample_rate


# The sample rates the SDK's local audio channel takes.
SDK_SAMPLE_RATES = (8000, 16000, 32000, 44100, 48000)


def sdk_sample_rate(rate: int) -> int:
    """The rate to send audio captured at `rate`: the lowest the SDK takes that keeps all of it.

    Going up never lowers the bandwidth: 22,050 Hz is sent at 32 kHz, not cut
    to 16 kHz. Above 48 kHz, 48 kHz (the SDK's highest)."""
    for candidate in SDK_SAMPLE_RATES:
        if candidate >= rate:
            return candidate
    return SDK_SAMPLE_RATES[-1]


def _check_channels(channels: int) -> None:
    if channels < 1:
        raise ValueError(f"channels must be at least 1, not {channels}")


def check_whole_samples(nbytes: int, channels: int) -> None:
    """Raises ValueError unless `nbytes` holds whole 16-bit samples of every channel: a part
    sample would shift every later sample by a byte."""
    if nbytes % (SAMPLE_BYTES * channels):
        raise ValueError(f"{nbytes} bytes is not a whole number of 16-bit samples for {channels} channel(s)")


def check_pcm_frame(frame: _lumora.AudioFrame) -> None:
    """ValueError unless `frame` holds 16-bit PCM."""
    if frame.codec != _lumora.AUDIO_CODEC_TYPE_PCM or frame.bits_per_sample != 16:
        raise ValueError(f"not a 16-bit PCM frame: codec {frame.codec.name}, {frame.bits_per_sample} bits per sample")
    _check_channels(frame.channels)


# ---- Frames ----------------------------------------------------------------------


def pcm_from_frame(frame: _lumora.AudioFrame) -> bytes:
    """The frame's PCM payload (``frame.data``, one copy); ValueError for non-PCM frames."""
    check_pcm_frame(frame)
    return frame.data


def samples_from_frame(frame: _lumora.AudioFrame) -> "Samples":
    """The frame's samples as a read-only int16 array of shape ``(samples, channels)``.

    The array is a view of the bytes that ``frame.data`` copies out, so that
    copy is the only one; ``.copy()`` it to change it.
    """
    with needs("numpy", "samples_from_frame"):
        import numpy as np
    check_pcm_frame(frame)
    data = frame.data
    check_whole_samples(len(data), frame.channels)
    return np.frombuffer(data, dtype="<i2").reshape(-1, frame.channels)


def frame_from_pcm(pcm: Buffer, sample_rate: int, channels: int, pts: int = 0) -> _lumora.AudioFrame:
    """A 16-bit PCM `AudioFrame` holding `pcm` (any bytes-like object)."""
    _check_channels(channels)
    if sample_rate <= 0:
        raise ValueError(f"sample rate must be positive, not {sample_rate}")
    payload = as_bytes(pcm)
    check_whole_samples(len(payload), channels)
    frame = _lumora.AudioFrame()
    frame.sample_rate = sample_rate
    frame.channels = channels
    frame.bits_per_sample = 16
    frame.codec = _lumora.AUDIO_CODEC_TYPE_PCM
    frame.pts = pts
    frame.SetData(payload)
    return frame


def frame_from_samples(samples: "Samples", sample_rate: int, pts: int = 0) -> _lumora.AudioFrame:
    """A 16-bit PCM `AudioFrame` from int16 samples, ``(samples,)`` mono or ``(samples, channels)``."""
    return frame_from_pcm(pcm_from_samples(samples, "frame_from_samples"), sample_rate, _channels_of(samples), pts)


def _channels_of(samples: "npt.NDArray[Any]") -> int:
    if samples.ndim == 1:
        return 1
    if samples.ndim == 2 and samples.shape[1] >= 1:
        return int(samples.shape[1])
    raise ValueError(f"samples must have shape (samples,) or (samples, channels), not {samples.shape}")


def pcm_from_samples(samples: "npt.NDArray[Any]", what: str = "pcm_from_samples") -> bytes:
    """int16 samples as interleaved little-endian PCM bytes (one copy)."""
    with needs("numpy", what):
        import numpy as np
    if samples.dtype != np.int16:
        raise TypeError(f"samples must be int16, not {samples.dtype}")
    _channels_of(samples)
    return samples.astype("<i2", copy=False).tobytes()


def split_pcm(pcm: Buffer, sample_rate: int, channels: int, frame_ms: int = 20, *, pad: bool = True) -> list[bytes]:
    """`pcm` cut into frames of `frame_ms`.

    A partial last frame is padded with silence (``pad=True``) or kept as it
    is, shorter than the others (``pad=False``).
    """
    size = frame_bytes(sample_rate, channels, frame_ms)
    data = as_bytes(pcm)
    check_whole_samples(len(data), channels)
    frames = [data[i:i + size] for i in range(0, len(data), size)]
    if pad and frames and len(frames[-1]) < size:
        frames[-1] += bytes(size - len(frames[-1]))
    return frames


# ---- Test signals ----------------------------------------------------------------


def silence(duration_ms: int, sample_rate: int = 48000, channels: int = 1) -> bytes:
    """`duration_ms` of silent PCM."""
    _check_channels(channels)
    return bytes(sample_rate * duration_ms // 1000 * channels * SAMPLE_BYTES)


def tone(frequency_hz: float, duration_ms: int, sample_rate: int = 48000, channels: int = 1,
         amplitude: float = 0.5, *, start_sample: int = 0) -> bytes:
    """A sine tone as PCM, the same in every channel; `amplitude` 1.0 is full scale.

    `start_sample` continues an earlier tone of the same frequency: pieces
    made with consecutive start samples join without a click.
    """
    _check_channels(channels)
    if not 0.0 <= amplitude <= 1.0:
        raise ValueError(f"amplitude must be within 0.0 and 1.0, not {amplitude}")
    count = sample_rate * duration_ms // 1000
    step = 2 * math.pi * frequency_hz / sample_rate
    scale = amplitude * 32767
    if _numpy_available():
        import numpy as np
        phases = (np.arange(start_sample, start_sample + count, dtype=np.float64) * step)
        mono = np.rint(np.sin(phases) * scale).astype("<i2")
        return np.repeat(mono, channels).tobytes()
    values = array("h", (round(math.sin((start_sample + i) * step) * scale)
                         for i in range(count) for _ in range(channels)))
    if sys.byteorder == "big":
        values.byteswap()
    return values.tobytes()


def _numpy_available() -> bool:
    try:
        require("numpy", "tone")
    except ImportError:
        return False
    return True


# ---- Resampling ------------------------------------------------------------------


class _SoxrStream(Protocol):
    def resample_chunk(self, x: "npt.NDArray[np.int16]", last: bool = False) -> "npt.NDArray[np.int16]": ...
    def clear(self) -> None: ...


def _soxr(what: str) -> Any:
    with needs("soxr", what):
        return importlib.import_module("soxr")


class Resampler:
    """A streaming resampler (soxr) to 16-bit PCM, with channel remixing.

    `process` takes the next piece and returns it at the output rate and
    channel count: PCM bytes for bytes-like input, int16 samples
    ``(samples, channels)`` for a numpy array. Input may be 16-bit PCM or
    int16 samples, or float samples (a numpy float32/float64 array, or a
    buffer of C floats or doubles such as ``array("f")``) in -1.0 to 1.0,
    scaled to 16 bits and clipped. `channels` is the input's channel count,
    `output_channels` the output's (the same by default): mono is copied to
    every output channel, several channels mixed to mono are averaged, and
    otherwise output channel k takes input channel k (the last one where
    there are fewer).

    The filter keeps a little of each piece for the next one, so the output
    lags by a few milliseconds; `flush` gives back what it still holds at
    the end of the stream. Pieces need not be whole frames, but each must
    hold whole samples for every channel (ValueError otherwise). With equal
    rates nothing is filtered, and 16-bit input of the output's channel
    count passes through unchanged.
    """

    def __init__(self, input_rate: int, output_rate: int, channels: int = 1, *,
                 output_channels: int | None = None, quality: str = "HQ") -> None:
        _check_channels(channels)
        if output_channels is None:
            output_channels = channels
        _check_channels(output_channels)
        if input_rate <= 0 or output_rate <= 0:
            raise ValueError(f"sample rates must be positive, not {input_rate} and {output_rate}")
        self.input_rate = input_rate
        self.output_rate = output_rate
        self.channels = channels
        self.output_channels = output_channels
        self._stream: _SoxrStream | None = None
        if input_rate != output_rate:
            require("numpy", "Resampler")
            self._stream = cast(_SoxrStream, _soxr("Resampler").ResampleStream(
                input_rate, output_rate, output_channels, dtype="int16", quality=quality))
        elif channels != output_channels:
            require("numpy", "Resampler (remixing channels)")

    @overload
    def process(self, data: "npt.NDArray[Any]") -> "Samples": ...
    @overload
    def process(self, data: "BytesLike | array[Any]") -> bytes: ...

    def process(self, data: "npt.NDArray[Any] | BytesLike | array[Any]") -> "Samples | bytes":
        """The resampled next piece of the stream, PCM bytes for bytes, samples for samples."""
        return self._resample(data, last=False)

    def flush(self) -> bytes:
        """What the filter still holds, as PCM bytes; the stream then starts afresh."""
        if self._stream is None:
            return b""
        return pcm_from_samples(self.flush_samples(), "Resampler.flush")

    def flush_samples(self) -> "Samples":
        """What the filter still holds, as int16 samples ``(samples, channels)``."""
        with needs("numpy", "Resampler.flush_samples"):
            import numpy as np
        empty = np.zeros((0, self.output_channels), dtype=np.int16)
        if self._stream is None:
            return empty
        tail = self._stream.resample_chunk(empty, last=True)
        self._stream.clear()
        return tail

    def _resample(self, data: "npt.NDArray[Any] | BytesLike | array[Any]", last: bool) -> "Samples | bytes":
        if is_ndarray(data):
            if _channels_of(data) != self.channels:
                raise ValueError(f"samples have {_channels_of(data)} channel(s); this resampler takes {self.channels}")
            if data.dtype.name == "int16" and self._stream is None and self.channels == self.output_channels:
                return data
            out = self._convert(data.reshape(-1, self.channels), last)
            return out.reshape(-1) if data.ndim == 1 and self.output_channels == 1 else out
        view = memoryview(data)
        kind = view.format.lstrip("<=@")
        if kind in ("f", "d"):
            _check_whole_items(view.nbytes // view.itemsize, self.channels)
        else:
            if view.format not in ("h", "<h", "=h", "@h", "B", "b", "c"):
                raise TypeError(f"Resampler takes 16-bit PCM or float samples, not items of format {view.format!r}")
            check_whole_samples(view.nbytes, self.channels)
            if self._stream is None and self.channels == self.output_channels:
                return as_bytes(data)
        import numpy as np
        dtype = {"f": "=f4", "d": "=f8"}.get(kind, "<i2")
        samples = np.frombuffer(view.cast("B"), dtype=dtype).reshape(-1, self.channels)
        return pcm_from_samples(self._convert(samples, last), "Resampler.process")

    def _convert(self, samples: "npt.NDArray[Any]", last: bool) -> "Samples":
        """(n, channels) samples of any supported type to int16 (m, output_channels) at the output rate."""
        import numpy as np
        if samples.dtype.kind == "f":
            samples = np.rint(np.clip(samples, -1.0, 1.0) * 32767.0).astype(np.int16)
        elif samples.dtype != np.int16:
            raise TypeError(f"samples must be int16, float32 or float64, not {samples.dtype}")
        samples = _remix(samples.astype("=i2", copy=False), self.output_channels)
        if self._stream is None:
            return samples
        return self._stream.resample_chunk(np.ascontiguousarray(samples), last)


def _remix(samples: "npt.NDArray[np.int16]", channels: int) -> "Samples":
    """(n, c) int16 samples as (n, `channels`): mono copied, to mono averaged, else channel k from min(k, c-1)."""
    import numpy as np
    have = samples.shape[1]
    if have == channels:
        return samples
    if have == 1:
        return np.repeat(samples, channels, axis=1)
    if channels == 1:
        return np.rint(samples.mean(axis=1, keepdims=True)).astype(np.int16)
    return np.ascontiguousarray(samples[:, [min(k, have - 1) for k in range(channels)]])


def _check_whole_items(count: int, channels: int) -> None:
    if count % channels:
        raise ValueError(f"{count} samples is not a whole number of sample frames for {channels} channel(s)")


@overload
def resample(data: "Samples", input_rate: int, output_rate: int, channels: int = 1) -> "Samples": ...
@overload
def resample(data: BytesLike, input_rate: int, output_rate: int, channels: int = 1) -> bytes: ...


def resample(data: "Samples | BytesLike", input_rate: int, output_rate: int, channels: int = 1) -> "Samples | bytes":
    """A whole recording at another rate (the same kind as `data`; `channels` for PCM bytes)."""
    if is_ndarray(data):
        channels = _channels_of(data)
    resampler = Resampler(input_rate, output_rate, channels)
    if is_ndarray(data):
        import numpy as np
        body = resampler.process(data)
        tail = resampler.flush_samples()
        return np.concatenate([body, tail.reshape(-1) if body.ndim == 1 else tail])
    return resampler.process(memoryview(data)) + resampler.flush()

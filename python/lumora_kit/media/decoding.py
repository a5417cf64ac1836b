"""Audio of a file or of bytes as PCM at a chosen rate: `read_audio`.

    async with await room.publish_audio(sample_rate=48000) as voice:
        for piece in media.read_audio(speech_bytes, voice.sample_rate, voice.channels):
            await voice.capture(piece)

Speech synthesis hands back WAV bytes, a WAV file, or an mp3/ogg/... file;
`read_audio` takes any of them, in memory or on disk, and gives 16-bit PCM
at the rate and channel count asked for, in pieces, without a temporary
file.

Two readers. WAV of 16-bit PCM is read with the standard `wave` module and
resampled with `Resampler` (soxr, the ``[media]`` extra, needed only when
the rate or the channels differ), so it works without PyAV. Everything
else (other containers and codecs, WAV of other sample formats) goes
through PyAV (the ``[av]`` extra): its demuxer reads bytes from memory,
and FFmpeg's resampler converts. Which reader is used follows from the
first bytes (``RIFF....WAVE``), not from a file name.

The source is opened and its header read when `read_audio` is called, so
a file that is missing or not audio raises there (naming the file), not at
the first piece; the pieces are decoded as they are taken.
"""

import io
import os
from collections.abc import Buffer, Iterator
from typing import IO, TYPE_CHECKING

from ._extras import needs
from .audio import Resampler, frame_bytes
from .wav import WavReader

if TYPE_CHECKING:
    import av.container

AudioInput = str | os.PathLike[str] | bytes | bytearray | memoryview | IO[bytes]

_WAV_MAGIC = (b"RIFF", b"WAVE")


def read_audio(source: AudioInput, sample_rate: int, channels: int = 1, *,
               piece_ms: int = 200) -> Iterator[bytes]:
    """The audio of `source` as 16-bit PCM at `sample_rate` and `channels`, in pieces of about `piece_ms`.

    `source` is a path, a binary file object, or the bytes of a file (WAV,
    or with PyAV anything FFmpeg reads: mp3, ogg, m4a, flac, webm, ...);
    its first audio stream is read. The pieces hold whole samples of every
    channel; together they are the whole recording (the resampler's tail
    included). Raises ValueError for input that holds no readable audio,
    `MissingExtra` naming the extra where PyAV (for a file that is not
    16-bit WAV) or soxr (for a rate to change) is needed and missing, and
    FileNotFoundError for a missing path; each names the file."""
    frame_bytes(sample_rate, channels, 1000)  # checks the output format
    if piece_ms <= 0:
        raise ValueError(f"piece_ms must be positive, not {piece_ms}")
    name, data = _opened(source)
    head = _header(data)
    if (head[:4], head[8:12]) == _WAV_MAGIC:
        wav = _open_wav(data)
        if wav is not None:
            try:
                resampler = Resampler(wav.sample_rate, sample_rate, wav.channels, output_channels=channels)
            except BaseException:
                wav.close()
                raise
            return _wav_pieces(wav, resampler, piece_ms)
    if channels not in (1, 2):
        raise ValueError(f"read_audio gives 1 or 2 channels from {name}, not {channels}")
    container = _open_av(data, name)
    piece_bytes = max(1, sample_rate * piece_ms // 1000) * channels * 2
    return _decode(container, sample_rate, channels, piece_bytes)


# ---- The source, as bytes or a seekable file ----------------------------------------


def _opened(source: AudioInput) -> tuple[str, "bytes | IO[bytes]"]:
    """A name for messages, and the source as bytes or a binary file at its start."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        with open(path, "rb") as file:  # FileNotFoundError names the path
            return repr(path), file.read()
    if isinstance(source, Buffer):
        return f"{type(source).__name__} of audio", bytes(memoryview(source).cast("B"))
    name = repr(getattr(source, "name", "a file object"))
    if not source.seekable():
        return name, source.read()
    return name, source


def _header(data: "bytes | IO[bytes]") -> bytes:
    if isinstance(data, bytes):
        return data[:12]
    start = data.tell()
    head = data.read(12)
    data.seek(start)
    return head


# ---- WAV of 16-bit PCM: the standard library ---------------------------------------


def _open_wav(data: "bytes | IO[bytes]") -> WavReader | None:
    """A reader of 16-bit PCM WAV, or None for a WAV file `wave` does not read (left to PyAV)."""
    if isinstance(data, bytes):
        data = io.BytesIO(data)
    start = data.tell()
    try:
        return WavReader(data)
    except ValueError:
        data.seek(start)
        return None


def _wav_pieces(wav: WavReader, resampler: Resampler, piece_ms: int) -> Iterator[bytes]:
    with wav:
        while chunk := wav.read(piece_ms):
            if out := resampler.process(chunk):
                yield out
        if tail := resampler.flush():
            yield tail


# ---- Anything else: PyAV -----------------------------------------------------------


def _open_av(data: "bytes | IO[bytes]", name: str) -> "av.container.InputContainer":
    with needs("av", f"read_audio (for {name}, which is not 16-bit PCM WAV)"):
        import av
    try:
        container = av.open(io.BytesIO(data) if isinstance(data, bytes) else data, "r")
    except av.FFmpegError as e:
        raise ValueError(f"{name} is not audio FFmpeg reads: {e.strerror}") from e
    if not container.streams.audio:
        container.close()
        raise ValueError(f"{name} has no audio stream")
    return container


def _decode(container: "av.container.InputContainer", sample_rate: int, channels: int,
            piece_bytes: int) -> Iterator[bytes]:
    """The first audio stream decoded and resampled, in pieces of at least `piece_bytes` (the last shorter).

    As the `ffmpeg` program does, a packet that does not decode is skipped,
    and a file that cannot be read further ends there."""
    import av
    resampler = av.AudioResampler(format="s16", layout="mono" if channels == 1 else "stereo", rate=sample_rate)
    sample_bytes = 2 * channels
    pending = bytearray()

    def take(frames: "list[av.AudioFrame]") -> None:
        for out in frames:
            pending.extend(memoryview(out.planes[0])[:out.samples * sample_bytes])

    with container:
        packets = container.demux(container.streams.audio[0])
        while True:
            try:
                packet = next(packets)
            except (StopIteration, av.FFmpegError):
                break
            try:
                frames = packet.decode()
            except av.FFmpegError:
                continue
            for frame in frames:
                frame.pts = None  # the resampler counts samples itself
                take(resampler.resample(frame))
            if len(pending) >= piece_bytes:
                yield bytes(pending)
                pending.clear()
        take(resampler.resample(None))
        if pending:
            yield bytes(pending)

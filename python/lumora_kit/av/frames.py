"""Frames to and from PyAV: `AudioFrame` and `PixelFrame` as `av.AudioFrame` and `av.VideoFrame`.

With these a received frame goes to any FFmpeg filter, encoder or muxer, and
anything FFmpeg decodes becomes a frame to send.

Time. A frame's `pts` is in milliseconds; the PyAV frames made here carry
the same number with ``time_base = 1/1000``. Going the other way, a PyAV
frame with a `pts` and a `time_base` gives ``pts * time_base`` in
milliseconds, wrapped to 32 bits like the SDK's; without them, `pts`
(or 0).

PyAV (the ``av`` package, with numpy) comes with
``pip install 'lumora-kit[av]'``; it is imported when a function here is
first called, so `lumora_kit.media` imports without it. A function called
without it raises `MissingExtra` naming that command.
"""

from fractions import Fraction
from typing import TYPE_CHECKING, cast

import _lumora

from ..media._extras import needs
from ..media.audio import check_pcm_frame, frame_from_pcm
from ..media.video import check_pixel_frame, pixel_frame_from_i420

if TYPE_CHECKING:
    import av
    import av.video.reformatter
    import numpy as np

MILLISECONDS = Fraction(1, 1000)
_UINT32 = 0xFFFFFFFF

# The SDK's audio is interleaved 16-bit PCM, one or two channels.
_LAYOUTS = {1: "mono", 2: "stereo"}


_imported = False


def import_av(what: str) -> None:
    """Imports PyAV and numpy; `MissingExtra` naming `what` and the extra when one is not installed.

    Callers then ``import av`` themselves (a typed import). Once both have
    been imported this returns at once: it runs for every frame converted."""
    global _imported
    if _imported:
        return
    with needs("av", what):
        import av  # noqa: F401
    with needs("numpy", what):
        import numpy  # noqa: F401  (PyAV's ndarray conversions need it)
    _imported = True


def layout_name(channels: int) -> str:
    """PyAV's layout name for `channels` (1 or 2); ValueError for others."""
    try:
        return _LAYOUTS[channels]
    except KeyError:
        raise ValueError(f"frames have 1 or 2 channels here, not {channels}") from None


def pts_ms(frame: "av.AudioFrame | av.VideoFrame") -> int:
    """The frame's presentation time in whole milliseconds, wrapped to 32 bits (0 without one)."""
    if frame.pts is None:
        return 0
    if frame.time_base is None:
        return frame.pts & _UINT32
    return round(frame.pts * frame.time_base * 1000) & _UINT32


# ---- Audio -------------------------------------------------------------------------


def av_audio_frame(frame: _lumora.AudioFrame) -> "av.AudioFrame":
    """A 16-bit PCM `AudioFrame` as an ``s16`` (interleaved) `av.AudioFrame`, pts in milliseconds."""
    import_av("av_audio_frame")
    import av
    import av.video.reformatter
    import numpy as np
    check_pcm_frame(frame)
    layout = layout_name(frame.channels)
    samples = np.frombuffer(frame.data, dtype="<i2").astype("=i2", copy=False).reshape(1, -1)
    converted = av.AudioFrame.from_ndarray(samples, format="s16", layout=layout)
    converted.sample_rate = frame.sample_rate
    converted.pts = frame.pts
    converted.time_base = MILLISECONDS
    return converted


def audio_frame_from_av(frame: "av.AudioFrame", pts: int | None = None) -> _lumora.AudioFrame:
    """An `av.AudioFrame` of any sample format as a 16-bit PCM `AudioFrame` (mono or stereo).

    Planar and float formats are converted to interleaved 16-bit (floats
    are clipped to full scale); more than two channels raise ValueError
    (remix them with `av.AudioResampler` first). `pts` (milliseconds)
    overrides the frame's own."""
    import_av("audio_frame_from_av")
    import av
    import av.video.reformatter
    import numpy as np
    channels = frame.layout.nb_channels
    layout_name(channels)
    if frame.format.name != "s16":
        resampler = av.AudioResampler(format="s16", layout=frame.layout.name, rate=frame.sample_rate)
        pieces = resampler.resample(frame)
        data = b"".join(bytes(np.asarray(p.to_ndarray()).astype("<i2", copy=False).tobytes()) for p in pieces)
    else:
        data = np.asarray(frame.to_ndarray()).astype("<i2", copy=False).tobytes()
    return frame_from_pcm(data, frame.sample_rate, channels, pts_ms(frame) if pts is None else pts & _UINT32)


# ---- Video -------------------------------------------------------------------------


def av_video_frame(frame: _lumora.PixelFrame) -> "av.VideoFrame":
    """An I420 `PixelFrame` as a ``yuv420p`` `av.VideoFrame`, pts in milliseconds.

    The picture is copied once more than ``frame.data`` copies it out: each
    plane straight into the new frame's buffer (`VideoPlane.update`), unless
    the frame's rows are padded for alignment (a width that is not a
    multiple of 32), which goes through numpy instead."""
    import_av("av_video_frame")
    import av
    import av.video.reformatter
    check_pixel_frame(frame)
    if frame.format != _lumora.VIDEO_PIXEL_FORMAT_YUV420p:
        raise ValueError(f"av_video_frame takes I420 (VIDEO_PIXEL_FORMAT_YUV420p) pictures, not {frame.format}")
    width, height = frame.width, frame.height
    data = memoryview(frame.data)
    converted = av.VideoFrame(width, height, "yuv420p")
    luma, chroma = width * height, (width // 2) * (height // 2)
    y, u, v = converted.planes
    if y.line_size == width and u.line_size == v.line_size == width // 2:
        # `update` takes any buffer (PyAV's stubs say bytes): views, so each plane is copied once.
        y.update(cast(bytes, data[:luma]))
        u.update(cast(bytes, data[luma:luma + chroma]))
        v.update(cast(bytes, data[luma + chroma:luma + 2 * chroma]))
    else:
        import numpy as np
        planes = np.frombuffer(data, dtype=np.uint8).reshape(height * 3 // 2, width)
        converted = av.VideoFrame.from_ndarray(planes, format="yuv420p")
    converted.pts = frame.pts
    converted.time_base = MILLISECONDS
    return converted


def i420_from_av(frame: "av.VideoFrame", width: int | None = None, height: int | None = None, *,
                 reformatter: "av.video.reformatter.VideoReformatter | None" = None) -> bytes:
    """The picture as I420 bytes, scaled to `width` x `height` when given (each rounded down to even).

    A ``yuv420p`` picture of that size is copied once, straight from its
    planes; others are converted by FFmpeg's scaler first. A decoder that
    converts many pictures passes its own `reformatter`, which keeps the
    scaler's set-up from one picture to the next (a picture's own
    `reformat` builds a new one each time)."""
    import_av("i420_from_av")
    width = (frame.width if width is None else width) & ~1
    height = (frame.height if height is None else height) & ~1
    if width <= 0 or height <= 0:
        raise ValueError(f"I420 needs an even, positive width and height, not {width}x{height}")
    if (frame.format.name, frame.width, frame.height) != ("yuv420p", width, height):
        if reformatter is None:
            frame = frame.reformat(width=width, height=height, format="yuv420p")
        else:
            frame = reformatter.reformat(frame, width=width, height=height, format="yuv420p")
    return i420_planes(frame)


def i420_planes(frame: "av.VideoFrame") -> bytes:
    """A ``yuv420p`` picture's planes as I420 bytes: one copy, or two where its rows are padded."""
    width, height = frame.width, frame.height
    y, u, v = frame.planes
    if y.line_size == width and u.line_size == v.line_size == width // 2:
        return b"".join((y, u, v))  # the planes are the picture: one copy into the result
    import numpy as np
    rows = [np.frombuffer(plane, dtype=np.uint8).reshape(-1, plane.line_size)[:plane_height, :plane_width]
            for plane, plane_width, plane_height in ((y, width, height), (u, width // 2, height // 2),
                                                     (v, width // 2, height // 2))]
    return b"".join(np.ascontiguousarray(plane) for plane in rows)


def pixel_frame_from_av(frame: "av.VideoFrame", width: int | None = None, height: int | None = None,
                        pts: int | None = None) -> _lumora.PixelFrame:
    """An `av.VideoFrame` of any pixel format as an I420 `PixelFrame` (see `i420_from_av` for the size).

    `pts` (milliseconds) overrides the frame's own."""
    width = (frame.width if width is None else width) & ~1
    height = (frame.height if height is None else height) & ~1
    data = i420_from_av(frame, width, height)
    return pixel_frame_from_i420(data, width, height, pts_ms(frame) if pts is None else pts & _UINT32)


# ---- Received audio in one format ---------------------------------------------------


class PcmConverter:
    """Received 16-bit PCM `AudioFrame`s of any rate and 1 or 2 channels, as int16 samples of one format.

    `convert` returns an array of shape ``(samples, channels)``; frames
    already in the format pass through without a copy, others go through
    FFmpeg's resampler (which keeps about a millisecond back between
    frames). A change of the input's format starts a new resampler."""

    def __init__(self, sample_rate: int, channels: int) -> None:
        import_av("PcmConverter")
        self.sample_rate = sample_rate
        self.channels = channels
        self._layout = layout_name(channels)
        self._input: tuple[int, int] | None = None
        self._resampler: "av.AudioResampler | None" = None

    def convert(self, frame: _lumora.AudioFrame) -> "np.ndarray[tuple[int, int], np.dtype[np.int16]]":
        import numpy as np
        check_pcm_frame(frame)
        rate, channels = frame.sample_rate, frame.channels
        layout_name(channels)
        samples = np.frombuffer(frame.data, dtype="<i2").astype("=i2", copy=False).reshape(-1, channels)
        if (rate, channels) == (self.sample_rate, self.channels):
            return samples
        if self._input != (rate, channels):
            self._input = (rate, channels)
            import av
            self._resampler = av.AudioResampler(format="s16", layout=self._layout, rate=self.sample_rate)
        assert self._resampler is not None
        packed = av_audio_frame(frame)
        packed.pts = None  # the resampler keeps its own time line across frames
        pieces = [np.asarray(p.to_ndarray(), dtype=np.int16).reshape(-1, self.channels)
                  for p in self._resampler.resample(packed)]
        if not pieces:
            return np.zeros((0, self.channels), dtype=np.int16)
        return pieces[0] if len(pieces) == 1 else np.concatenate(pieces)

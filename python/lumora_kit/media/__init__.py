"""Media helpers: PCM and frames, pictures, resampling and media files.

- Audio (`audio`): `pcm_from_frame`, `samples_from_frame`, `frame_from_pcm`,
  `frame_from_samples`, `split_pcm`, `tone`, `silence`, `Resampler`,
  `resample`. PCM is signed 16-bit little endian, channels interleaved.
- Video (`video`): `i420_to_rgb`, `i420_to_rgba`, `rgb_to_i420`,
  `pixel_frame_from_i420`, `pixel_frame_from_rgb`, `i420_from_pixel_frame`,
  `rgb_from_pixel_frame`, `test_pattern`.
- Files: `WavWriter`, `WavReader` (`wav`), `Y4MWriter`, `Y4MReader` (`y4m`),
  `write_png`, `png_bytes` (`png`); `read_audio` (`decoding`): the audio
  of a file or of bytes (WAV, or any container with PyAV) as PCM at a
  chosen rate.
- Received frames placed in time by their `pts` (`timeline`).

numpy (int16 samples, RGB images) and soxr (the resampler) are optional:
``pip install 'lumora-kit[media]'``. Without them this package imports and
everything that works on bytes works; a function that needs one raises
`MissingExtra`, an ImportError naming the function and that command.
This package is the floor of the media layer: it imports nothing of
`lumora_kit` but the module `_lumora`. The player, the recorder, the mixer
and the frames to and from PyAV live one floor up, above the Room, in
`lumora_kit.av`. Their old names here (`lumora_kit.media.MediaPlayer`,
`MediaRecorder`, `AudioMixer`, `MediaInfo`, `PcmConverter`,
`audio_frame_from_av`, `av_audio_frame`, `av_video_frame`, `i420_from_av`,
`pixel_frame_from_av`) still work, with a DeprecationWarning: they are
looked up in `lumora_kit.av` when first asked for, the one place where this
floor reaches up, by name and only for programs written before the move.
New code imports them from `lumora_kit.av`.
"""

import importlib
import warnings
from typing import Any

from ._extras import AV_EXTRA_INSTALL, EXTRA_INSTALL, MissingExtra
from .audio import (
    Resampler, duration_ms, frame_bytes, frame_from_pcm, frame_from_samples, pcm_from_frame, pcm_from_samples,
    resample, samples_from_frame, samples_per_frame, silence, split_pcm, tone,
)
from .decoding import read_audio
from .png import encode_png, png_bytes, write_png
from .video import (
    check_pixel_frame, i420_from_pixel_frame, i420_size, i420_to_rgb, i420_to_rgba, pixel_frame_from_i420,
    pixel_frame_from_rgb, rgb_from_pixel_frame, rgb_to_i420, test_pattern,
)
from .wav import WavReader, WavWriter
from .y4m import Y4MReader, Y4MWriter

# The names that moved up to lumora_kit.av, still found here for programs written before.
_MOVED_TO_AV = frozenset({
    "AudioMixer", "MediaInfo", "MediaPlayer", "MediaRecorder", "PcmConverter", "audio_frame_from_av",
    "av_audio_frame", "av_video_frame", "i420_from_av", "pixel_frame_from_av",
})

# The floor's own names; the moved ones stay out, so that `import *` does not load lumora_kit.av.
__all__ = [
    "AV_EXTRA_INSTALL", "EXTRA_INSTALL", "MissingExtra", "Resampler", "WavReader", "WavWriter", "Y4MReader", "Y4MWriter",
    "check_pixel_frame", "duration_ms", "encode_png", "frame_bytes", "frame_from_pcm", "frame_from_samples",
    "i420_from_pixel_frame", "i420_size", "i420_to_rgb", "i420_to_rgba", "pcm_from_frame", "pcm_from_samples",
    "pixel_frame_from_i420", "pixel_frame_from_rgb", "png_bytes", "read_audio", "resample", "rgb_from_pixel_frame",
    "rgb_to_i420", "samples_from_frame", "samples_per_frame", "silence", "split_pcm", "test_pattern", "tone",
    "write_png",
]


def __getattr__(name: str) -> Any:
    # Typed as Any: a type checker would otherwise follow these names up a floor; new code
    # imports them from lumora_kit.av, where they are typed.
    if name not in _MOVED_TO_AV:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    warnings.warn(f"lumora_kit.media.{name} moved to lumora_kit.av.{name}", DeprecationWarning, stacklevel=2)
    # By name, at the time of use: the floor does not import the floor above it.
    return getattr(importlib.import_module("lumora_kit.av"), name)


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__) | _MOVED_TO_AV)

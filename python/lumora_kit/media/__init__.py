"""Media helpers: PCM and frames, pictures, resampling and media files.

- Audio (`audio`): `pcm_from_frame`, `samples_from_frame`, `frame_from_pcm`,
  `frame_from_samples`, `split_pcm`, `tone`, `silence`, `Resampler`,
  `resample`. PCM is signed 16-bit little endian, channels interleaved.
- Video (`video`): `i420_to_rgb`, `i420_to_rgba`, `rgb_to_i420`,
  `pixel_frame_from_i420`, `pixel_frame_from_rgb`, `i420_from_pixel_frame`,
  `rgb_from_pixel_frame`, `test_pattern`.
- Files: `WavWriter`, `WavReader` (`wav`), `Y4MWriter`, `Y4MReader` (`y4m`),
  `write_png`, `png_bytes` (`png`).
- Media files and streams on PyAV: `MediaPlayer` (`player`, decoding in
  `decoder`), `MediaRecorder` (`recorder`, writing in `muxer`),
  `AudioMixer` (`mixer`), frames to and from PyAV (`av_frames`), and
  received frames placed in time by their `pts` (`timeline`).

numpy (int16 samples, RGB images) and soxr (the resampler) are optional:
``pip install 'lumora-kit[media]'``. Without them this package imports and
everything that works on bytes works; a function that needs one raises
`MissingExtra`, an ImportError naming the function and that command.
PyAV (the player, the recorder, the mixer, the PyAV frames) comes with
``pip install 'lumora-kit[av]'`` and is imported when first used. The
player, the recorder and the mixer are also loaded on first use: they build
on `lumora_kit.sources`, which itself uses this package's resampler, so
loading them here would make each package wait for the other.
"""

from typing import TYPE_CHECKING

from .._lazy import load_on_first_use

from ._extras import AV_EXTRA_INSTALL, EXTRA_INSTALL, MissingExtra
from .audio import (
    Resampler, duration_ms, frame_bytes, frame_from_pcm, frame_from_samples, pcm_from_frame, pcm_from_samples,
    resample, samples_from_frame, samples_per_frame, silence, split_pcm, tone,
)
from .av_frames import (
    PcmConverter, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av,
)
from .png import encode_png, png_bytes, write_png
from .video import (
    check_pixel_frame, i420_from_pixel_frame, i420_size, i420_to_rgb, i420_to_rgba, pixel_frame_from_i420,
    pixel_frame_from_rgb, rgb_from_pixel_frame, rgb_to_i420, test_pattern,
)
from .wav import WavReader, WavWriter
from .y4m import Y4MReader, Y4MWriter

if TYPE_CHECKING:
    from .decoder import MediaInfo
    from .mixer import AudioMixer
    from .player import MediaPlayer
    from .recorder import MediaRecorder

_LAZY = {"MediaInfo": "decoder", "AudioMixer": "mixer", "MediaPlayer": "player", "MediaRecorder": "recorder"}

__all__ = [
    "AV_EXTRA_INSTALL", "AudioMixer", "MediaInfo", "MediaPlayer", "MediaRecorder", "PcmConverter",
    "audio_frame_from_av", "av_audio_frame", "av_video_frame", "i420_from_av", "pixel_frame_from_av",
    "EXTRA_INSTALL", "MissingExtra", "Resampler", "WavReader", "WavWriter", "Y4MReader", "Y4MWriter",
    "check_pixel_frame", "duration_ms", "encode_png", "frame_bytes", "frame_from_pcm", "frame_from_samples",
    "i420_from_pixel_frame", "i420_size", "i420_to_rgb", "i420_to_rgba", "pcm_from_frame", "pcm_from_samples",
    "pixel_frame_from_i420", "pixel_frame_from_rgb", "png_bytes", "resample", "rgb_from_pixel_frame",
    "rgb_to_i420", "samples_from_frame", "samples_per_frame", "silence", "split_pcm", "test_pattern", "tone",
    "write_png",
]


__getattr__ = load_on_first_use(__name__, _LAZY, globals())


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))

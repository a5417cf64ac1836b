"""Media files and streams on PyAV: players, recorders, the mixer and frames to and from PyAV.

- `MediaPlayer` (`player`, decoding in `decoder`, `MediaInfo`,
  `PlaybackStats`): a file or stream played into a Room as paced audio and
  video sources.
- `MediaRecorder` (`recorder`, writing in `muxer`, pictures fitted and
  composed into a grid in `compose`): a Room's users written to media
  files; `RecordingStats` is what `MediaRecorder.stats()` returns.
- `AudioMixer` (`mixer`): several audio inputs mixed into one stream;
  `MixerStats` (with a `MixerInputStats` per input) is what
  `AudioMixer.stats()` returns.
- Frames to and from PyAV (`frames`): `audio_frame_from_av`,
  `pixel_frame_from_av`, `av_audio_frame`, `av_video_frame`,
  `i420_from_av`, `PcmConverter`.

This package stands above the Room and the paced sources (the player sends
through them, the recorder reads a Room's streams) and below nothing but
programs; `lumora_kit.media` (PCM, pictures, WAV/Y4M/PNG, resampling, the
time line of received frames) is the floor it builds on. Importing it does
not import PyAV: PyAV (the ``av`` package, with numpy) comes with
``pip install 'lumora-kit[av]'`` and is imported when first used; without it
a function or class here raises `MissingExtra` naming that command.
"""

from .decoder import MediaInfo, PlaybackStats
from .frames import (
    PcmConverter, audio_frame_from_av, av_audio_frame, av_video_frame, i420_from_av, pixel_frame_from_av,
)
from .mixer import AudioMixer, MixerInputStats, MixerStats
from .muxer import RecordingStats
from .player import MediaPlayer
from .recorder import MediaRecorder

__all__ = [
    "AudioMixer", "MediaInfo", "MediaPlayer", "MediaRecorder", "MixerInputStats", "MixerStats", "PcmConverter",
    "PlaybackStats", "RecordingStats",
    "audio_frame_from_av", "av_audio_frame", "av_video_frame", "i420_from_av", "pixel_frame_from_av",
]

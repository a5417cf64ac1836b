"""Media made and checked by FFmpeg's own programs, for the PyAV player and recorder tests.

Inputs come from FFmpeg's generators (the `ffmpeg` program); recordings are
checked with `ffprobe` and by decoding them with `ffmpeg` to raw PCM and
I420, never with the kit's own readers.
"""

import json
import shutil
import subprocess

import pytest

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")


def require_tools():
    if FFMPEG is None or FFPROBE is None:
        pytest.skip("ffmpeg and ffprobe are not installed")
    pytest.importorskip("av")
    return pytest.importorskip("numpy")


def ffmpeg(*args, timeout=60):
    done = subprocess.run([FFMPEG, "-nostdin", "-v", "error", "-y", *map(str, args)], capture_output=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    return done.stdout


def make_file(path, seconds=2, *, frequency=440, sample_rate=48000, channels=1, size="160x120", fps=15,
              video=True, flashes=False, extra=()):
    """A file of `seconds` of a sine tone and (with `video`) FFmpeg's test picture.

    With `flashes`, a marker every half second: from t = 0.5, 1.0, ... for
    0.1 s the tone sounds and the picture is white; silence and black
    otherwise. An A/V offset shows as the distance between their onsets."""
    inputs = []
    if flashes:
        inputs += ["-f", "lavfi", "-i", f"sine=f={frequency}:d={seconds}:sample_rate={sample_rate},"
                   "volume='if(lt(mod(t,0.5),0.1)*gte(t,0.5),1,0)':eval=frame"]
        if video:
            inputs += ["-f", "lavfi", "-i", f"color=c=black:s={size}:r={fps}:d={seconds},"
                       "drawbox=c=white:t=fill:enable='lt(mod(t,0.5),0.1)*gte(t,0.5)'"]
    else:
        inputs += ["-f", "lavfi", "-i", f"sine=f={frequency}:d={seconds}:sample_rate={sample_rate}"]
        if video:
            inputs += ["-f", "lavfi", "-i", f"testsrc=size={size}:rate={fps}:d={seconds}"]
    codecs = ["-ac", str(channels)]
    if video:
        codecs += ["-pix_fmt", "yuv420p"]
    ffmpeg(*inputs, *codecs, *extra, path)
    return path


def probe(path):
    """ffprobe's streams and format of `path`, as dicts."""
    done = subprocess.run([FFPROBE, "-v", "error", "-show_streams", "-show_format", "-of", "json", str(path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def decodes_cleanly(path):
    """True when FFmpeg decodes every stream of `path` to its end without an error.

    Pictures keep their own times, in milliseconds (``-fps_mode passthrough
    -enc_time_base:v 1:1000``): otherwise the null output's rate, guessed
    from the average rate, can put two pictures of a variable-rate file on
    one tick, which FFmpeg reports as an error of its own output, not of the
    file."""
    done = subprocess.run([FFMPEG, "-nostdin", "-v", "error", "-i", str(path), "-fps_mode", "passthrough",
                           "-enc_time_base:v", "1:1000", "-f", "null", "-"],
                          capture_output=True, text=True, timeout=60)
    return done.returncode == 0 and not done.stderr.strip(), done.stderr


def decode_audio(np, path, sample_rate=48000, stream=0):
    """The audio of `path` as mono float samples at `sample_rate`, decoded by ffmpeg."""
    raw = ffmpeg("-i", path, "-map", f"0:a:{stream}", "-ac", "1", "-ar", sample_rate, "-f", "s16le", "-")
    return np.frombuffer(raw, dtype="<i2").astype(np.float64)


def decode_video(np, path, width, height, stream=0):
    """The pictures of `path` as luma planes, and their times in seconds (ffprobe's), decoded by ffmpeg."""
    raw = ffmpeg("-i", path, "-map", f"0:v:{stream}", "-fps_mode", "passthrough", "-f", "rawvideo",
                 "-pix_fmt", "yuv420p", "-")
    pictures = np.frombuffer(raw, dtype=np.uint8).reshape(-1, height * 3 // 2, width)[:, :height]
    done = subprocess.run([FFPROBE, "-v", "error", "-select_streams", f"v:{stream}", "-show_entries",
                           "frame=pts_time", "-of", "csv=p=0", str(path)], capture_output=True, text=True,
                          timeout=60)
    times = [float(line.strip().strip(",")) for line in done.stdout.split() if line.strip()]
    return pictures, times


def dominant_frequency(np, samples, sample_rate):
    spectrum = np.abs(np.fft.rfft(samples * np.hanning(len(samples))))
    return np.argmax(spectrum) * sample_rate / len(samples)


def level_at(np, samples, sample_rate, frequency):
    """The spectrum's magnitude at `frequency`, relative to its largest peak."""
    spectrum = np.abs(np.fft.rfft(samples * np.hanning(len(samples))))
    index = round(frequency * len(samples) / sample_rate)
    return spectrum[index - 3:index + 4].max() / spectrum.max()


def audio_onsets(np, samples, sample_rate, threshold=2000, hold=0.2):
    """Times (s) where the audio rises above `threshold` after at least `hold` s of quiet."""
    loud = np.flatnonzero(np.abs(samples) > threshold)
    onsets, last = [], None
    for index in loud:
        if last is None or index - last > hold * sample_rate:
            onsets.append(index / sample_rate)
        last = index
    return onsets


def video_onsets(pictures, times, threshold=128):
    """Times (s) of the pictures that turn bright after a dark one."""
    onsets, dark = [], True
    for picture, time in zip(pictures, times):
        bright = picture.mean() > threshold
        if bright and dark:
            onsets.append(time)
        dark = not bright
    return onsets


def offsets(audio, video, tolerance=0.25):
    """Video onset minus audio onset, for each audio onset with a video onset within `tolerance` s."""
    pairs = []
    for a in audio:
        near = [v for v in video if abs(v - a) <= tolerance]
        if near:
            pairs.append(min(near, key=lambda v: abs(v - a)) - a)
    return pairs

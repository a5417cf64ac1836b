"""How long a recording's writer takes to finish with its queue full, and the memory a flood of pictures costs.

    $PY bench/bench_recorder_queue.py [--pictures 300] [--repeat 3]

The recorder's writer thread takes frames from a queue bounded by bytes
(`max_queue_bytes`, 64 MiB by default); `finish()` (what `MediaRecorder.stop()`
waits for) writes what is queued, then the encoders' rest and the trailer.
Measured here, on the `Muxer` alone (no room), wall time from `finish()` to
the file being written, the best of `--repeat` runs:

- baseline: the same file with nothing queued (one picture and 1 s of
  audio written before `finish()`): the trailer, the encoders' rest and
  the copy of the fragmented MP4 into a plain one;
- a queue full of 1920x1080 pictures (mp4 as the recorder writes it: x264
  veryfast without look-ahead, in fragments), handed in at once;
- a queue full of 20 ms frames of 48 kHz mono audio, all it takes, as a
  writer stalled for a minute would hold.

And the peak RSS of a process (one each, so that each peak is its own)
that hands `--pictures` pictures of 1080p at once to a writer with the
default bound, against the same with one picture (the encoder's own
memory: the baseline) and with a queue of no bound (what the flood would
cost without it).
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy  # noqa: F401  (imported before anything is timed)

from _variants import print_table, progress
from lumora_kit import media
from lumora_kit.av.muxer import FRAME_COST_BYTES, MAX_QUEUE_BYTES, Muxer
from lumora_kit.media.video import pixel_frame_from_i420

WIDTH, HEIGHT = 1920, 1080


def picture():
    return pixel_frame_from_i420(media.test_pattern(WIDTH, HEIGHT, 0), WIDTH, HEIGHT)


def audio(i):
    return media.frame_from_pcm(media.tone(440, 20, start_sample=i * 960), 48000, 1, pts=i * 20)


def finish_seconds(folder, name, pictures, audio_frames, bound=MAX_QUEUE_BYTES):
    """Seconds from finish() to the file written, after handing in `pictures` pictures and `audio_frames`."""
    path = os.path.join(folder, name)
    writer = Muxer(path, audio_keys=(None,), video_size=(WIDTH, HEIGHT), expected={"camera"}, fps=30,
                   max_queue_bytes=bound)
    start = time.monotonic()
    frame = picture()
    for i in range(pictures):
        writer.put("video", "camera", frame, start + i / 30)
    for i in range(audio_frames):
        writer.put("audio", None, audio(i), start + i / 50)
    queued = writer.stats().queued_bytes
    began = time.monotonic()
    writer.finish(start + max(pictures / 30, audio_frames / 50))
    writer.finished.wait()
    took = time.monotonic() - began
    assert writer.error is None, writer.error
    os.unlink(path)
    return took, queued, writer.dropped


def peak_rss(folder, pictures, bound):
    """Peak RSS (MiB) of handing `pictures` 1080p pictures at once to a writer bounded by `bound`, and writing them.

    Runs in this process: call it in a child of its own (see `rss_in_child`)."""
    frame = picture()
    path = os.path.join(folder, f"flood{pictures}.mp4")
    writer = Muxer(path, audio_keys=(None,), video_size=(WIDTH, HEIGHT), expected={"camera"}, fps=30,
                   max_queue_bytes=bound)
    start = time.monotonic()
    for i in range(pictures):
        # A room hands out a new frame object for every picture: the queue holds each one.
        writer.put("video", "camera", pixel_frame_from_i420(frame.data, WIDTH, HEIGHT), start + i / 30)
    writer.finish()
    writer.finished.wait()
    os.unlink(path)
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, writer.dropped


def rss_in_child(folder, pictures, bound):
    done = subprocess.run([sys.executable, __file__, "--child", folder, str(pictures), str(bound)],
                          capture_output=True, text=True, check=True)
    rss, dropped = done.stdout.split()
    return float(rss), int(dropped)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pictures", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        rss, dropped = peak_rss(args.child[0], int(args.child[1]), int(args.child[2]))
        print(rss, dropped)
        return 0
    per_picture = WIDTH * HEIGHT * 3 // 2
    capacity = (MAX_QUEUE_BYTES - MAX_QUEUE_BYTES // 4) // (per_picture + FRAME_COST_BYTES)
    audio_capacity = MAX_QUEUE_BYTES // (1920 + FRAME_COST_BYTES)
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        floods = []
        for label, pictures, bound in [("one picture (baseline)", 1, MAX_QUEUE_BYTES),
                                       (f"{args.pictures} pictures, default bound", args.pictures, MAX_QUEUE_BYTES),
                                       (f"{args.pictures} pictures, no bound", args.pictures, 2**62)]:
            progress(label)
            rss, dropped = rss_in_child(folder, pictures, bound)
            floods.append((label, f"{pictures * per_picture / 2**20:.0f}", dropped, f"{rss:.0f}"))
        cases = [("nothing queued (baseline)", 1, 50),
                 (f"{capacity + 5} pictures of 1080p", capacity + 5, 0),
                 (f"{audio_capacity + 100} audio frames (20 ms)", 0, audio_capacity + 100)]
        for label, pictures, audio_frames in cases:
            progress(label)
            runs = [finish_seconds(folder, "case.mp4", pictures, audio_frames) for _ in range(args.repeat)]
            took, queued, lost = min(runs)
            rows.append((label, f"{queued / 2**20:.1f}", lost, f"{took:.2f}"))
    title = f"finish() with the queue as handed in (mp4, x264 veryfast + AAC; bound {MAX_QUEUE_BYTES // 2**20} MiB)"
    print_table(title, ("handed in", "queued MiB", "dropped", "finish s (best)"), rows)
    print()
    print_table("peak RSS of a process that hands 1080p pictures to a writer at once (mp4, x264 veryfast)",
                ("handed in", "sent MiB", "dropped", "peak RSS MiB"), floods)
    return 0


if __name__ == "__main__":
    sys.exit(main())

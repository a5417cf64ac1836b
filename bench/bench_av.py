"""CPU of lumora_kit.media's PyAV player and recorder against the ffmpeg program, and their A/V offset.

    $PY bench/bench_av.py [--seconds 10]

Player: process CPU (user + system, every thread: decoder, loop, SDK) per
second of a 640x360 15 fps + 48 kHz mono mp4 (H.264 + AAC) played into a
loopback room with one other participant, against `ffmpeg` decoding the
same file to raw I420 and 16-bit PCM (``-f rawvideo`` / ``-f s16le`` to
/dev/null; the child's CPU from getrusage).

Recorder: CPU per second of recording one user who sends 640x360 15 fps
I420 and 48 kHz mono PCM, to mp4 (libx264 veryfast crf 23 + AAC) and to
webm (libvpx realtime cpu-used 8 1 Mb/s, one thread, + Opus). The sender's own cost
(the same sending with nobody recording) is measured in the same run and
taken off. Baseline: `ffmpeg` encoding the same raw frames, read from
files, with the same codecs and settings, as fast as it can, and with
``-re`` (reading the input at its real pace, as a recording gets it). "writer alone" is the recorder's
writing thread fed the same frames directly (no room, no streams): the
difference to "recording" is what the room's streams and the loop add.

A/V offset: a file with a beep and a white picture together every half
second, played into a room and recorded to mp4; the offset of each white
picture from its beep in the recording (decoded by ffmpeg), p99 and
largest, against one frame (66.7 ms).
"""

import argparse
import asyncio
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "kit"))

import numpy as np  # noqa: E402

from _variants import print_table, progress  # noqa: E402
from av_tools import audio_onsets, decode_audio, decode_video, make_file, video_onsets  # noqa: E402

WIDTH, HEIGHT, FPS, RATE = 640, 360, 15, 48000
X264 = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "23"]
VPX = ["-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "1M", "-threads", "1"]


def child_cpu(args):
    """CPU seconds (user + system) of running `args`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(args, check=True, capture_output=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def own_cpu():
    return time.process_time()


# ---- Player ----


async def play_once(path, raw):
    """CPU of playing `path` into a room, and of sending its decoded frames (`raw`) by hand the same way."""
    from lumora_kit import Room, media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from lumora_kit.testing import join_peer
    video, audio = (p.read_bytes() for p in raw)
    async with join_peer("listener") as listener, Room.join(listener.app_id, listener.room_id, "player", "s") as room:
        await listener.wait_for_user("player")
        start = own_cpu()
        await MediaPlayer(str(path)).play(room)
        played = own_cpu() - start
        start = own_cpu()
        async with await room.publish_audio(sample_rate=RATE) as voice, \
                await room.publish_video(WIDTH, HEIGHT, fps=FPS) as camera:
            await asyncio.gather(voice.capture(audio), camera.capture(video))
            await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())
        return played, own_cpu() - start


def bench_player(folder, seconds):
    path = make_file(folder / "play.mp4", seconds, sample_rate=RATE, size=f"{WIDTH}x{HEIGHT}", fps=FPS,
                     extra=["-c:v", "libx264", "-c:a", "aac"])
    raw = folder / "decoded.yuv", folder / "decoded.pcm"
    progress("player: ffmpeg decoding")
    decoded = child_cpu(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", str(path),
                         "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "yuv420p", str(raw[0]),
                         "-map", "0:a", "-f", "s16le", "-ar", str(RATE), "-ac", "1", str(raw[1])])
    progress("player: playing, and sending the decoded frames by hand")
    played, by_hand = asyncio.run(play_once(path, raw))
    ms = 1000 / seconds
    return [("player: CPU ms per s of media", f"{played * ms:.0f}", f"{decoded * ms:.0f} (ffmpeg decoding)",
             f"{played / decoded:.2f}x", "<= 1.5x"),
            ("  against decoding + sending", f"{played * ms:.0f}",
             f"{(decoded + by_hand) * ms:.0f} (+ {by_hand * ms:.0f} by hand)", f"{played / (decoded + by_hand):.2f}x",
             "")]


# ---- Recorder ----


def raw_media(folder, seconds):
    video = folder / "raw.yuv"
    audio = folder / "raw.pcm"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc=size={WIDTH}x{HEIGHT}:rate={FPS}:d={seconds}", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                    str(video), "-f", "lavfi", "-i", f"sine=f=440:d={seconds}:sample_rate={RATE}", "-map", "1:a",
                    "-f", "s16le", "-ac", "1", str(audio)], check=True)
    return video, audio


async def send_and_maybe_record(video, audio, out):
    """CPU of one user sending the raw media (and, with `out`, of recording it)."""
    from lumora_kit import Room, media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from lumora_kit.testing import join_peer
    pictures, pcm = video.read_bytes(), audio.read_bytes()
    async with join_peer("recorder") as room, Room.join(room.app_id, room.room_id, "sender", "s") as sender:
        await room.wait_for_user("sender")
        recorder = MediaRecorder(str(out)) if out is not None else None
        start = own_cpu()
        if recorder is not None:
            await recorder.start(room, "sender")
        else:
            streams = [room.audio_stream("sender"), room.video_stream("sender")]  # the frames still arrive
        voice = await sender.publish_audio(sample_rate=RATE)
        camera = await sender.publish_video(WIDTH, HEIGHT, fps=FPS)
        await asyncio.gather(voice.capture(pcm), camera.capture(pictures))
        await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())
        await asyncio.sleep(0.2)
        if recorder is not None:
            await recorder.stop()
        else:
            for stream in streams:
                await stream.aclose()
        return own_cpu() - start


def writer_alone(video, audio, out, seconds):
    """CPU of the recorder's writing thread fed the same frames directly, as fast as it takes them."""
    from lumora_kit import media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from lumora_kit.av.muxer import Muxer
    pictures, pcm = video.read_bytes(), audio.read_bytes()
    size = WIDTH * HEIGHT * 3 // 2
    start = own_cpu()
    muxer = Muxer(str(out), expected={("audio", "u"), ("video", "u")}, max_queue=100_000)
    t0 = time.monotonic()
    for i in range(seconds * FPS):
        muxer.put("video", "u", media.pixel_frame_from_i420(pictures[i * size:(i + 1) * size], WIDTH, HEIGHT,
                                                              pts=round(i * 1000 / FPS)), t0)
    for i, piece in enumerate(media.split_pcm(pcm, RATE, 1)):
        muxer.put("audio", "u", media.frame_from_pcm(piece, RATE, 1, pts=i * 20), t0)
    muxer.finish()
    muxer.join()
    return own_cpu() - start


def bench_recorder(folder, seconds):
    video, audio = raw_media(folder, seconds)
    progress("recorder: sending alone")
    sending = asyncio.run(send_and_maybe_record(video, audio, None))
    rows = []
    for suffix, video_codec, audio_codec in ((".mp4", X264, ["-c:a", "aac"]), (".webm", VPX, ["-c:a", "libopus"])):
        progress(f"recorder: {suffix}")
        recording = asyncio.run(send_and_maybe_record(video, audio, folder / f"rec{suffix}")) - sending
        alone = writer_alone(video, audio, folder / f"alone{suffix}", seconds)
        encoded, paced = (child_cpu(["ffmpeg", "-nostdin", "-v", "error", "-y",
                                     *realtime, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{WIDTH}x{HEIGHT}",
                                     "-r", str(FPS), "-i", str(video),
                                     *realtime, "-f", "s16le", "-ar", str(RATE), "-ac", "1", "-i", str(audio),
                                     *video_codec, *audio_codec, str(folder / f"ffmpeg{suffix}")])
                           for realtime in ([], ["-re"]))
        ms = 1000 / seconds
        rows.append((f"recorder {suffix}: CPU ms per s", f"{recording * ms:.0f}", f"{encoded * ms:.0f} (ffmpeg)",
                     f"{recording / encoded:.2f}x", "<= 1.3x"))
        rows.append(("  against ffmpeg -re (real time)", f"{recording * ms:.0f}", f"{paced * ms:.0f}",
                     f"{recording / paced:.2f}x", ""))
        rows.append((f"  writer alone {suffix}", f"{alone * ms:.0f}", f"{encoded * ms:.0f} (ffmpeg)",
                     f"{alone / encoded:.2f}x", ""))
    rows.append(("  (sending, taken off)", f"{sending / seconds * 1000:.0f}", "", "", ""))
    return rows


# ---- A/V offset ----


async def play_and_record(path, out):
    from lumora_kit import Room, media
    from lumora_kit.av import MediaPlayer, MediaRecorder
    from lumora_kit.testing import join_peer
    async with join_peer("recorder") as room, Room.join(room.app_id, room.room_id, "player", "s") as player:
        await room.wait_for_user("player")
        async with MediaRecorder(str(out)) as recorder:
            await recorder.start(room, "player")
            await MediaPlayer(str(path)).play(player)
            await asyncio.sleep(0.3)


def bench_offset(folder, seconds):
    path = make_file(folder / "flashes.mp4", seconds, flashes=True, size="160x120", fps=FPS)
    out = folder / "flashes-recorded.mp4"
    progress("A/V offset: playing and recording")
    asyncio.run(play_and_record(path, out))
    # A marker's picture shows at the first frame on or after its beep, so the file itself has an
    # offset (a beep at 0.5 s, a picture at 8/15 s); what play and record add is the difference.
    source, recorded = marker_offsets(path), marker_offsets(out)
    count = min(len(source), len(recorded))
    added_ms = np.abs(np.array(recorded[:count]) - np.array(source[:count])) * 1000
    frame_ms = 1000 / FPS
    return [("A/V offset added p99 (ms)", f"{np.percentile(added_ms, 99):.1f}", f"{frame_ms:.1f} (a frame)",
             f"{count} markers", "< 1 frame"),
            ("A/V offset added, largest (ms)", f"{added_ms.max():.1f}", "", "", ""),
            ("A/V offset in the file / recording", f"{np.mean(source) * 1000:.1f} / {np.mean(recorded) * 1000:.1f}",
             "", "", "")]


def marker_offsets(path):
    beeps = audio_onsets(np, decode_audio(np, path), 48000)
    pictures, times = decode_video(np, path, 160, 120)
    flashes = video_onsets(pictures, times)
    return [min(flashes, key=lambda f: abs(f - b)) - b for b in beeps]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=10)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        rows = bench_player(folder, args.seconds)
        rows += bench_recorder(folder, args.seconds)
        rows += bench_offset(folder, args.seconds)
    print_table(f"lumora_kit.media on PyAV, {args.seconds} s of media",
                ["measure", "lumora_kit", "baseline", "ratio", "target"], rows)


if __name__ == "__main__":
    main()

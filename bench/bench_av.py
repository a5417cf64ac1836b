"""CPU of lumora_kit.av's player and recorder against PyAV by hand and the ffmpeg program, and their A/V offset.

    $PY bench/bench_av.py [--seconds 10] [--only player|recorder|offset]

Every figure is process CPU (user + system, every thread: decoder, loop,
encoder, SDK) per second of media, measured in one run; PyAV, numpy and
lumora_kit are imported before anything is timed.

Player: a 640x360 15 fps + 48 kHz mono mp4 (H.264 + AAC) played by
`MediaPlayer` into a loopback room with one other participant. Baselines:
(1) the same file decoded and sent by hand in the same process: a loop on
the event loop that decodes it with PyAV (pictures copied once out of their
planes, audio through FFmpeg's resampler a decoded frame at a time) and
hands each picture and each piece of PCM to `publish_video`/`publish_audio`'s
sources, which pace them; (2) `ffmpeg` decoding the same file to raw I420
and 16-bit PCM (``-f rawvideo`` / ``-f s16le`` to /dev/null), less the CPU
of ``ffmpeg -version`` (the program's start: loading its libraries)
measured in the same run, which is what a player already running does not
pay. "decoder alone" is the player's decoding thread drained as fast as it
goes, with no room: what the decoding and converting cost by themselves.

Recorder: one user who sends 640x360 15 fps I420 and 48 kHz mono PCM,
recorded by `MediaRecorder` to mp4 (libx264 veryfast crf 23 + AAC) and to
webm (libvpx realtime cpu-used 8 1 Mb/s, one thread, + Opus). The sender's
own cost (the same sending with nobody recording) is measured in the same
run and taken off. Baselines: (1) PyAV encoding the same frames by hand in
the same process, with the same codecs and settings (a `VideoFrame` filled
plane by plane, `AudioFrame`s of 20 ms), both as fast as it goes and paced
in real time (each frame encoded at its time, as a recording gets them);
(2) `ffmpeg` encoding the same raw frames from files, as fast as it can and
with ``-re`` (reading the input at its real pace), less its start-up.
"writer alone" is the recorder's writing thread fed the same frames
directly (no room, no streams), to compare with PyAV by hand as fast as it
goes: the difference between "recording" and "writer alone" is what the
room's streams and the loop add.

Units (in worker processes, the best of five batches, each after one
batch to warm up): `i420_from_av` of a decoded 640x360 picture, against one
copy of as many bytes (``bytes`` of a buffer, the floor); `av_video_frame`
of a 640x360 `PixelFrame`; the player's decoding of the file (the
decoder's pass, nothing queued), against PyAV by hand decoding the same
file (pictures joined out of their planes, audio resampled to 16-bit a
frame at a time). With ``--before DIR`` the kit's units are measured again
with the lumora_kit package found in DIR (an earlier checkout's
``python/`` folder), in the same run.

A/V offset: a file with a beep and a white picture together every half
second, played into a room and recorded to mp4; the offset of each white
picture from its beep in the recording (decoded by ffmpeg), p99 and
largest, against one frame (66.7 ms).
"""

import argparse
import asyncio
import os
import pathlib
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from fractions import Fraction

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "kit"))

# Everything the measurements use is imported here, outside any timed window.
import av  # noqa: E402
import numpy as np  # noqa: E402

from _variants import print_table, progress  # noqa: E402
from av_tools import audio_onsets, decode_audio, decode_video, make_file, video_onsets  # noqa: E402
from lumora_kit import Room, media  # noqa: E402
from lumora_kit.av import MediaPlayer, MediaRecorder  # noqa: E402
from lumora_kit.av.decoder import FileDecoder  # noqa: E402
from lumora_kit.av.muxer import Muxer  # noqa: E402
from lumora_kit.testing import join_peer  # noqa: E402

WIDTH, HEIGHT, FPS, RATE = 640, 360, 15, 48000
X264 = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "23"]
VPX = ["-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "1M", "-threads", "1"]
MS = Fraction(1, 1000)
PYAV_CODECS = {".mp4": ("libx264", {"preset": "veryfast", "crf": "23"}, "aac"),
               ".webm": ("libvpx", {"deadline": "realtime", "cpu-used": "8", "b": "1M"}, "libopus")}


def child_cpu(args):
    """CPU seconds (user + system) of running `args`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(args, check=True, capture_output=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


def ffmpeg_start_cpu():
    """CPU of starting the ffmpeg program and no more (``ffmpeg -version``), the median of five."""
    return statistics.median(child_cpu(["ffmpeg", "-version"]) for _ in range(5))


def own_cpu():
    return time.process_time()


def ratio(a, b):
    return f"{a / b:.2f}x" if b > 0 else "-"


# ---- Player ----


async def in_a_room(play):
    """CPU of `play(room)` in a room that a listener watches (the listener receives everything)."""
    async with join_peer("listener") as listener, Room.join(listener.app_id, listener.room_id, "player", "s") as room:
        await listener.wait_for_user("player")
        streams = [listener.audio_stream("player"), listener.video_stream("player")]
        start = own_cpu()
        await play(room)
        cpu = own_cpu() - start
        for stream in streams:
            await stream.aclose()
        return cpu


async def play_with_the_player(room, path):
    await MediaPlayer(str(path)).play(room)


async def play_by_hand(room, path):
    """A file decoded with PyAV by hand on the loop and handed to the Room's sources, which pace it."""
    async with await room.publish_audio(sample_rate=RATE) as voice, \
            await room.publish_video(WIDTH, HEIGHT, fps=FPS) as camera:
        resampler = av.AudioResampler(format="s16", layout="mono", rate=RATE)
        with av.open(str(path)) as container:
            for frame in container.decode(container.streams.audio[0], container.streams.video[0]):
                if isinstance(frame, av.VideoFrame):
                    await camera.capture(b"".join(frame.planes))  # 640x360 I420: planes without padding
                else:
                    frame.pts = None
                    for piece in resampler.resample(frame):
                        await voice.capture(memoryview(piece.planes[0])[:piece.samples * 2])
        await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())


async def send_decoded(room, pictures, pcm):
    """The same media, decoded beforehand, handed to the sources in one piece each: the floor of sending."""
    async with await room.publish_audio(sample_rate=RATE) as voice, \
            await room.publish_video(WIDTH, HEIGHT, fps=FPS) as camera:
        await asyncio.gather(voice.capture(pcm), camera.capture(pictures))
        await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())


def decoder_alone(path):
    """CPU of the player's decoding thread drained as fast as it goes."""
    async def drain():
        decoder = FileDecoder(str(path))
        start = own_cpu()
        decoder.start()
        await asyncio.gather(*(take_all(decoder, kind) for kind in ("audio", "video")))
        decoder.close()
        decoder.join()
        return own_cpu() - start

    async def take_all(decoder, kind):
        while await decoder.get(kind) is not None:
            pass

    return asyncio.run(drain())


def bench_player(folder, seconds, start_cpu):
    path = make_file(folder / "play.mp4", seconds, sample_rate=RATE, size=f"{WIDTH}x{HEIGHT}", fps=FPS,
                     extra=["-c:v", "libx264", "-c:a", "aac"])
    progress("player: ffmpeg decoding")
    decoded = child_cpu(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", str(path),
                         "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "yuv420p", "/dev/null",
                         "-map", "0:a", "-f", "s16le", "-ar", str(RATE), "-ac", "1", "/dev/null"]) - start_cpu
    progress("player: decoder alone")
    alone = decoder_alone(path)
    progress("player: playing")
    played = asyncio.run(in_a_room(lambda room: play_with_the_player(room, path)))
    progress("player: PyAV by hand")
    by_hand = asyncio.run(in_a_room(lambda room: play_by_hand(room, path)))
    progress("player: sending decoded media")
    raw = folder / "decoded.yuv", folder / "decoded.pcm"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", str(path), "-map", "0:v", "-f", "rawvideo",
                    "-pix_fmt", "yuv420p", str(raw[0]), "-map", "0:a", "-f", "s16le", "-ar", str(RATE), "-ac", "1",
                    str(raw[1])], check=True)
    pictures, pcm = (part.read_bytes() for part in raw)
    sending = asyncio.run(in_a_room(lambda room: send_decoded(room, pictures, pcm)))
    ms = 1000 / seconds
    return [("player: CPU ms per s of media", f"{played * ms:.1f}", f"{by_hand * ms:.1f} (PyAV by hand)",
             ratio(played, by_hand), "<= 1.3x"),
            ("  against ffmpeg decoding", f"{played * ms:.1f}", f"{decoded * ms:.1f} (start-up taken off)",
             ratio(played, decoded), "<= 1.5x"),
            ("  decoder alone (no room)", f"{alone * ms:.1f}", f"{decoded * ms:.1f} (ffmpeg)", ratio(alone, decoded),
             ""),
            ("  sending decoded media (no decoding)", f"{sending * ms:.1f}", f"{decoded * ms:.1f} (ffmpeg)",
             ratio(sending, decoded), "")]


# ---- Recorder ----


def raw_media(folder, seconds):
    video = folder / "raw.yuv"
    audio = folder / "raw.pcm"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    f"testsrc=size={WIDTH}x{HEIGHT}:rate={FPS}:d={seconds}", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                    str(video), "-f", "lavfi", "-i", f"sine=f=440:d={seconds}:sample_rate={RATE}", "-map", "1:a",
                    "-f", "s16le", "-ac", "1", str(audio)], check=True)
    return video, audio


async def send_and_maybe_record(video, audio, out, *, read=False):
    """CPU of one user sending the raw media (and, with `out`, of recording it; with `read`, of
    reading the two streams on the loop and dropping what they give)."""
    pictures, pcm = video.read_bytes(), audio.read_bytes()
    async with join_peer("recorder") as room, Room.join(room.app_id, room.room_id, "sender", "s") as sender:
        await room.wait_for_user("sender")
        recorder = MediaRecorder(str(out)) if out is not None else None
        start = own_cpu()
        if recorder is not None:
            await recorder.start(room, "sender")
        else:
            streams = [room.audio_stream("sender"), room.video_stream("sender")]  # the frames still arrive
            readers = [asyncio.create_task(drop_all(stream)) for stream in streams] if read else []
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
            await asyncio.gather(*readers)
        return own_cpu() - start


async def drop_all(stream):
    async for _ in stream:
        pass


def writer_alone(video, audio, out, seconds):
    """CPU of the recorder's writing thread fed the same frames directly, as fast as it takes them."""
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


def encode_by_hand(video, audio, out, seconds, *, paced):
    """CPU of PyAV encoding the same frames by hand with the recorder's codecs and settings.

    With `paced`, each frame is encoded at its time (a picture every 1/15 s,
    audio every 20 ms, in one thread), as a recording gets them."""
    video_codec, video_options, audio_codec = PYAV_CODECS[out.suffix]
    pictures, pcm = video.read_bytes(), audio.read_bytes()
    size = WIDTH * HEIGHT * 3 // 2
    luma, chroma = WIDTH * HEIGHT, WIDTH * HEIGHT // 4
    start = own_cpu()
    with av.open(str(out), "w") as container:
        sound = container.add_stream(audio_codec, rate=RATE)
        sound.layout = "mono"
        camera = container.add_stream(video_codec, rate=FPS, options=video_options)
        camera.width, camera.height, camera.pix_fmt = WIDTH, HEIGHT, "yuv420p"
        camera.codec_context.time_base = MS
        if video_codec == "libvpx":
            camera.codec_context.thread_count = 1
        events = sorted([(i / FPS, "video", i) for i in range(seconds * FPS)]
                        + [(i * 0.02, "audio", i) for i in range(seconds * 50)])
        t0 = time.monotonic()
        for due, kind, i in events:
            if paced and (delay := t0 + due - time.monotonic()) > 0:
                time.sleep(delay)
            if kind == "video":
                picture = memoryview(pictures)[i * size:(i + 1) * size]
                frame = av.VideoFrame(WIDTH, HEIGHT, "yuv420p")
                y, u, v = frame.planes
                y.update(picture[:luma])
                u.update(picture[luma:luma + chroma])
                v.update(picture[luma + chroma:])
                frame.pts, frame.time_base = round(i * 1000 / FPS), MS
                container.mux(camera.encode(frame))
            else:
                samples = np.frombuffer(pcm, dtype="<i2", count=960, offset=i * 1920).reshape(1, -1)
                frame = av.AudioFrame.from_ndarray(samples, format="s16", layout="mono")
                frame.sample_rate, frame.pts, frame.time_base = RATE, i * 20, MS
                container.mux(sound.encode(frame))
        container.mux(camera.encode(None))
        container.mux(sound.encode(None))
    return own_cpu() - start


def bench_recorder(folder, seconds, start_cpu):
    video, audio = raw_media(folder, seconds)
    progress("recorder: sending alone")
    sending = asyncio.run(send_and_maybe_record(video, audio, None))
    progress("recorder: sending and reading the streams")
    reading = asyncio.run(send_and_maybe_record(video, audio, None, read=True)) - sending
    rows = []
    ms = 1000 / seconds
    for suffix, video_codec, audio_codec in ((".mp4", X264, ["-c:a", "aac"]), (".webm", VPX, ["-c:a", "libopus"])):
        progress(f"recorder: {suffix}")
        recording = asyncio.run(send_and_maybe_record(video, audio, folder / f"rec{suffix}")) - sending
        alone = writer_alone(video, audio, folder / f"alone{suffix}", seconds)
        hand = encode_by_hand(video, audio, folder / f"hand{suffix}", seconds, paced=False)
        hand_paced = encode_by_hand(video, audio, folder / f"paced{suffix}", seconds, paced=True)
        encoded, realtime_encoded = (child_cpu(["ffmpeg", "-nostdin", "-v", "error", "-y",
                                                *realtime, "-f", "rawvideo", "-pix_fmt", "yuv420p",
                                                "-s", f"{WIDTH}x{HEIGHT}", "-r", str(FPS), "-i", str(video),
                                                *realtime, "-f", "s16le", "-ar", str(RATE), "-ac", "1", "-i",
                                                str(audio), *video_codec, *audio_codec,
                                                str(folder / f"ffmpeg{suffix}")]) - start_cpu
                                     for realtime in ([], ["-re"]))
        rows.append((f"recorder {suffix}: CPU ms per s", f"{recording * ms:.1f}",
                     f"{hand_paced * ms:.1f} (PyAV by hand, paced)", ratio(recording, hand_paced), "<= 1.2x"))
        rows.append(("  against ffmpeg -re (paced)", f"{recording * ms:.1f}", f"{realtime_encoded * ms:.1f}",
                     ratio(recording, realtime_encoded), "<= 1.3x"))
        rows.append(("  against ffmpeg as fast as it goes", f"{recording * ms:.1f}", f"{encoded * ms:.1f}",
                     ratio(recording, encoded), ""))
        rows.append((f"  writer alone {suffix}", f"{alone * ms:.1f}", f"{hand * ms:.1f} (PyAV by hand, unpaced)",
                     ratio(alone, hand), ""))
    rows.append(("  (sending, taken off)", f"{sending * ms:.1f}", "", "", ""))
    rows.append(("  reading the two streams, nothing written", f"{reading * ms:.1f}", "", "", ""))
    return rows


# ---- A/V offset ----


async def play_and_record(path, out):
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


# ---- Units of work, old and new kit ----

UNIT_REPEATS = 5


def unit_worker(unit, count, path):
    """Prints the CPU seconds of the best of `UNIT_REPEATS` batches of `count` units of `unit`."""
    if unit in ("i420_from_av", "one copy"):
        from lumora_kit.av import i420_from_av
        with av.open(path) as container:
            frame = next(container.decode(video=0))
        source = bytearray(frame.width * frame.height * 3 // 2)

        def work():
            for _ in range(count):
                i420_from_av(frame) if unit == "i420_from_av" else bytes(source)
    elif unit == "av_video_frame":
        from lumora_kit.av import av_video_frame
        picture = media.pixel_frame_from_i420(media.test_pattern(WIDTH, HEIGHT, 0), WIDTH, HEIGHT)

        def work():
            for _ in range(count):
                av_video_frame(picture)
    elif unit == "decoder":
        def work():
            decoder = FileDecoder(path)
            decoder._put = lambda item: True  # nothing queued: the decoding and converting alone
            decoder._decode_pass(0.0)
    elif unit == "PyAV by hand":
        def work():
            resampler = av.AudioResampler(format="s16", layout="mono", rate=RATE)
            with av.open(path) as container:
                for frame in container.decode(container.streams.audio[0], container.streams.video[0]):
                    if isinstance(frame, av.VideoFrame):
                        b"".join(frame.planes)
                    else:
                        frame.pts = None
                        for piece in resampler.resample(frame):
                            bytes(memoryview(piece.planes[0])[:piece.samples * 2])
    else:
        raise ValueError(unit)
    work()  # warm: codecs opened, caches filled
    best = float("inf")
    for _ in range(UNIT_REPEATS):
        start = own_cpu()
        work()
        best = min(best, own_cpu() - start)
    print(f"cpu {best}")


def unit_cpu(unit, count, path, kit):
    env = dict(os.environ)
    env["PYTHONPATH"] = kit + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, __file__, "--unit-worker", unit, str(count), str(path)],
                          capture_output=True, text=True, env=env, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{unit} worker failed:\n{done.stderr[-2000:]}")
    return float(re.search(r"cpu ([0-9.e-]+)", done.stdout).group(1))


def bench_units(folder, seconds, before):
    """µs per picture of the frame conversions and ms per s of media of the decoding, by the kit and
    by the floor or PyAV by hand; with `before`, also by the kit in that folder."""
    path = make_file(folder / "units.mp4", seconds, sample_rate=RATE, size=f"{WIDTH}x{HEIGHT}", fps=FPS,
                     extra=["-c:v", "libx264", "-c:a", "aac"])
    kit = str(HERE.parent / "python")
    rows = []
    for unit, count, scale, label, baseline in (
            ("i420_from_av", 100, 1e6 / 100, "µs a 640x360 picture", "one copy"),
            ("av_video_frame", 100, 1e6 / 100, "µs a 640x360 picture", None),
            ("decoder", 1, 1000 / seconds, "CPU ms per s of media (no room)", "PyAV by hand")):
        progress(f"units: {unit}")
        ours = unit_cpu(unit, count, path, kit) * scale
        floor = unit_cpu(baseline, count, path, kit) * scale if baseline else None
        old = unit_cpu(unit, count, path, before) * scale if before else None
        rows.append((f"{unit}: {label}", f"{ours:.1f}", f"{floor:.1f} ({baseline})" if floor else "",
                     ratio(ours, floor) if floor else "", ""))
        if old is not None:
            rows.append(("  before", f"{old:.1f}", f"{floor:.1f}" if floor else "", ratio(old, floor) if floor else "",
                         f"now {ratio(ours, old)} of before"))
    return rows


def main():
    if sys.argv[1:2] == ["--unit-worker"]:
        unit_worker(sys.argv[2], int(sys.argv[3]), sys.argv[4])
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--only", choices=["player", "recorder", "offset", "units"], action="append")
    parser.add_argument("--before", help="an earlier lumora_kit (the folder holding it) to measure units with too")
    args = parser.parse_args()
    parts = args.only or ["units", "player", "recorder", "offset"]
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        start_cpu = ffmpeg_start_cpu()
        rows = [("ffmpeg's start (ffmpeg -version), ms", f"{start_cpu * 1000:.0f}", "", "", "taken off ffmpeg")]
        if "player" in parts:
            rows += bench_player(folder, args.seconds, start_cpu)
        if "recorder" in parts:
            rows += bench_recorder(folder, args.seconds, start_cpu)
        if "offset" in parts:
            rows += bench_offset(folder, args.seconds)
        if "units" in parts:
            rows += bench_units(folder, args.seconds, args.before)
    print_table(f"lumora_kit.av, {args.seconds} s of media", ["measure", "lumora_kit", "baseline", "ratio", "target"],
                rows)


if __name__ == "__main__":
    main()

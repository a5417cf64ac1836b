"""Room recorder: everyone in a room to one mp4 file, the voices mixed and the pictures in a grid.

Run it: python examples/room_recorder.py [--out room.mp4] [--seconds 3] [--layout grid]

Two simulated participants from `lumora_kit.testing` join the stand-in
SDK's loopback room after the recording started: "alice" at once, playing
FFmpeg's test picture and a 440 Hz tone, "bob" a second later with a 660 Hz
tone and a moving bar. The recorder records the room for --seconds,
printing its progress (`recorder.stats()`) every second, then what the file
holds. `--layout files` writes a file per user instead (room-alice.mp4,
...). Needs `pip install 'lumora-kit[av]'`.
"""

import argparse
import asyncio
import pathlib

import av
from lumora_kit import Room, media
from lumora_kit.av import MediaPlayer, MediaRecorder
from lumora_kit.testing import join_peer

ALICE = "testsrc=size=320x240:rate=15 [out0]; sine=f=440:sample_rate=48000 [out1]"


async def alice_plays(room_id: int | str, seconds: float) -> None:
    async with join_peer("alice", room_id) as alice:
        player = MediaPlayer(ALICE, format="lavfi")
        playing = asyncio.create_task(player.play(alice))
        await asyncio.sleep(seconds)
        player.stop()
        await playing


async def bob_talks(room_id: int | str, seconds: float) -> None:
    await asyncio.sleep(1.0)  # bob comes late: his tile appears when his first picture does
    async with join_peer("bob", room_id) as bob:
        voice = await bob.publish_audio(sample_rate=16000)
        camera = await bob.publish_video(160, 120, fps=10)
        for i in range(int((seconds - 1.0) * 10)):
            await asyncio.gather(voice.capture(media.tone(660, 100, 16000, start_sample=i * 1600)),
                                 camera.capture(media.test_pattern(160, 120, i)))
        await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())


def progress_line(recorder: MediaRecorder, seconds: float) -> str:
    """One line of a recording's progress: a bar of the length asked for, and what is written."""
    stats = recorder.stats()
    done = min(1.0, stats.seconds / seconds)
    bar = "#" * round(done * 20)
    frames = ", ".join(f"{track} {count}" for track, count in stats.frames.items())
    return (f"[{bar:<20}] {stats.seconds:4.1f}/{seconds:.1f} s  {stats.bytes / 1000:6.0f} kB  frames: {frames}; "
            f"{stats.silence_seconds:.1f} s silence filled in, {stats.dropped} dropped")


async def main(out: pathlib.Path, seconds: float, layout: str) -> None:
    async with join_peer("recorder") as room:
        size = (640, 360) if layout == "grid" else None  # a file per user keeps each camera's size
        async with MediaRecorder(str(out), layout=layout, size=size) as recorder:  # type: ignore[arg-type]
            await recorder.start(room)  # no user: the whole room, also who comes later
            sending = asyncio.gather(alice_plays(room.room_id, seconds), bob_talks(room.room_id, seconds))
            while not (await asyncio.wait([sending], timeout=1.0))[0]:
                print(progress_line(recorder, seconds), flush=True)
            await sending
    print(progress_line(recorder, seconds))  # the file is finished: the final figures
    for path in recorder.files:
        with av.open(path) as recording:
            for stream in recording.streams:
                if isinstance(stream, av.VideoStream):
                    what = f"{stream.width}x{stream.height}"
                else:
                    what = "mixed audio" if layout != "files" else "audio"
                print(f"{pathlib.Path(path).name}: {stream.type} {stream.codec_context.name} ({what})")
            print(f"{pathlib.Path(path).name}: {float(recording.duration or 0) / 1_000_000:.1f} s")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("room.mp4"))
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--layout", choices=("grid", "files", "tracks"), default="grid")
    args = parser.parse_args()
    asyncio.run(main(args.out, args.seconds, args.layout))

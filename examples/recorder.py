"""Recorder: one user's audio to a WAV file and video to a Y4M file (and a PNG snapshot).

Run it: python examples/recorder.py [--out DIR]   (a simulated user joins; or APP_ID ROOM_ID USER [--seconds 5])

Shows `lumora_kit.Room` streams (subscribed before they return, so nothing
is lost) and `lumora_kit.media` files; needs `pip install 'lumora-kit[media]'`
for the snapshot. The Y4M file opens in common players (ffplay, mpv, VLC).
It stops after --seconds or when USER leaves. Without a room it records a
simulated user from `lumora_kit.testing` in a loopback room of the stand-in SDK.
"""

import argparse
import asyncio
import pathlib

import _lumora
from lumora_kit import Room, Stream, media


async def record_audio(stream: Stream[_lumora.AudioFrame], path: pathlib.Path) -> int:
    """Writes the stream to a WAV file in the format of its first frame; returns the frames written."""
    first = await anext(stream, None)
    if first is None:
        return 0
    with media.WavWriter(path, first.sample_rate, first.channels) as wav:
        wav.write(first)
        async for frame in stream:
            wav.write(frame)
        return wav.frames_written


async def record_video(stream: Stream[_lumora.PixelFrame], path: pathlib.Path, fps: float) -> int:
    """Writes the stream's pictures to a Y4M file, and the first one to a PNG; returns the pictures written."""
    first = await anext(stream, None)
    if first is None:
        return 0
    media.write_png(path.with_suffix(".png"), first)
    with media.Y4MWriter(path, first.width, first.height, fps) as y4m:
        y4m.write(first)
        async for picture in stream:
            y4m.write(picture)
        return y4m.frames_written


async def record(room: Room, user_id: str, out: pathlib.Path, seconds: float, fps: float = 15) -> tuple[int, int]:
    """Records `user_id` for `seconds` (or until they leave); returns (audio sample frames, pictures)."""
    await room.wait_for_user(user_id, timeout=None)
    async with room.audio_stream(user_id) as audio, room.video_stream(user_id) as video:
        tasks = [asyncio.create_task(record_audio(audio, out / f"{user_id}.wav")),
                 asyncio.create_task(record_video(video, out / f"{user_id}.y4m", fps))]
        loop, running = asyncio.get_running_loop(), set(tasks)
        deadline = loop.time() + seconds
        while running and loop.time() < deadline:  # a progress line every second
            _, running = await asyncio.wait(tasks, timeout=min(1.0, deadline - loop.time()))
            print(f"recording {user_id}: {audio.delivered} audio frames, {video.delivered} pictures", flush=True)
        if running:  # time is up: the writers take what is queued, then close their files
            audio.end("time is up")
            video.end("time is up")
        samples, pictures = await asyncio.gather(*tasks)
    return samples, pictures


async def main(app_id: int, room_id: int | str, user_id: str, out: pathlib.Path, seconds: float) -> None:
    out.mkdir(parents=True, exist_ok=True)
    async with Room.join(app_id, room_id, "recorder", "sig-recorder") as room:
        samples, pictures = await record(room, user_id, out, seconds)
    print(f"recorded {samples} audio sample frames and {pictures} pictures of {user_id} into {out}")


async def with_simulated_user(out: pathlib.Path) -> None:
    from lumora_kit.testing import DEFAULT_APP_ID, new_room_id, simulated_talker

    room_id = new_room_id()
    recording = asyncio.create_task(main(DEFAULT_APP_ID, room_id, "alice", out, seconds=30))
    await simulated_talker(DEFAULT_APP_ID, room_id, "alice", listener="recorder", video=(160, 120, 15))
    await recording


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("room", nargs="*", metavar="APP_ID ROOM_ID USER", help="record USER in that room")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("recording"))
    args = parser.parse_args()
    if not args.room:
        asyncio.run(with_simulated_user(args.out))
    elif len(args.room) == 3 and args.room[0].isdigit():
        asyncio.run(main(int(args.room[0]), args.room[1], args.room[2], args.out, args.seconds))
    else:
        parser.error("give APP_ID ROOM_ID USER, or nothing for a simulated user")

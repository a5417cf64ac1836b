"""Room recorder: everyone in a room to one mp4 file, the voices mixed and a video track per user.

Run it: python examples/room_recorder.py [--out room.mp4] [--seconds 3]

Two simulated participants from `lumora_kit.testing` join the stand-in
SDK's loopback room: "alice" plays FFmpeg's test picture and a 440 Hz tone,
"bob" sends a 660 Hz tone and a moving bar. The recorder records the room
for --seconds, then prints what the file holds. Needs
`pip install 'lumora-kit[av]'`.
"""

import argparse
import asyncio
import pathlib

import av
from lumora_kit import Room, media
from lumora_kit.av import MediaPlayer, MediaRecorder
from lumora_kit.testing import join_peer

ALICE = "testsrc=size=320x240:rate=15 [out0]; sine=f=440:sample_rate=48000 [out1]"


async def bob_talks(bob: Room, seconds: float) -> None:
    voice = await bob.publish_audio(sample_rate=16000)
    camera = await bob.publish_video(160, 120, fps=10)
    for i in range(int(seconds * 10)):
        await asyncio.gather(voice.capture(media.tone(660, 100, 16000, start_sample=i * 1600)),
                             camera.capture(media.test_pattern(160, 120, i)))
    await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())


async def main(out: pathlib.Path, seconds: float) -> None:
    async with join_peer("recorder") as room, join_peer("alice", room.room_id) as alice, \
            join_peer("bob", room.room_id) as bob:
        await room.wait_for_user("alice")
        await room.wait_for_user("bob")
        async with MediaRecorder(str(out)) as recorder:
            await recorder.start(room)  # no user: the whole room
            player = MediaPlayer(ALICE, format="lavfi")
            playing = asyncio.create_task(player.play(alice))
            await bob_talks(bob, seconds)
            player.stop()
            await playing
    with av.open(str(out)) as recording:
        for stream in recording.streams:
            title = stream.metadata.get("title") or stream.metadata.get("handler_name", "")
            title = title if stream.type == "video" else "mixed audio"
            print(f"{out.name}: {stream.type} {stream.codec_context.name} ({title})")
        print(f"{out.name}: {float(recording.duration or 0) / 1_000_000:.1f} s")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("room.mp4"))
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    asyncio.run(main(args.out, args.seconds))

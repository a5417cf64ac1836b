"""File player: a media file (or FFmpeg's test source) played into a room, with a listener that counts what arrives.

Run it: python examples/file_player.py [FILE] [--loop]

Without FILE it plays 3 s of FFmpeg's test picture and a 440 Hz tone. The
listener is a simulated participant from `lumora_kit.testing`, in the
stand-in SDK's loopback room; the program ends when the file has been
played. Needs `pip install 'lumora-kit[av]'`.
"""

import argparse
import asyncio

import _lumora
from lumora_kit import Room, Stream
from lumora_kit.av import MediaPlayer
from lumora_kit.testing import join_peer

TEST_SOURCE = "testsrc=size=320x240:rate=15:d=3 [out0]; sine=f=440:d=3:sample_rate=48000 [out1]"


async def count(stream: Stream[_lumora.AudioFrame] | Stream[_lumora.PixelFrame], counts: dict[str, int],
                kind: str) -> None:
    async for _ in stream:
        counts[kind] += 1


async def main(source: str, *, format: str | None, loop: bool) -> None:
    async with join_peer("listener") as listener, Room.join(listener.app_id, listener.room_id, "player", "s") as room:
        await listener.wait_for_user("player")
        counts = {"audio": 0, "video": 0}
        counting = [asyncio.create_task(count(listener.audio_stream("player"), counts, "audio")),
                    asyncio.create_task(count(listener.video_stream("player"), counts, "video"))]
        player = MediaPlayer(source, format=format, loop=loop)
        if loop:  # a looping file plays until stopped: stop it after 5 s
            asyncio.get_running_loop().call_later(5, player.stop)
        await player.play(room)
        await asyncio.sleep(0.2)  # the last frames are on their way
        for task in counting:
            task.cancel()
        info = player.info
        assert info is not None
        print(f"played {counts['audio'] * 0.02:.1f} s ({info.sample_rate} Hz x {info.channels}, "
              f"{info.width}x{info.height} at {info.fps:g} fps): the listener got {counts['audio']} audio frames "
              f"and {counts['video']} pictures")
        stats = player.stats()
        if stats.packets_skipped or stats.read_errors:  # a damaged or cut-short file plays as far as it decodes
            print(f"skipped {stats.packets_skipped} packets that did not decode, {stats.read_errors} read errors")
        if stats.pictures_fitted or stats.rotation:
            print(f"{stats.pictures_fitted} pictures of another size fitted in; turned by {stats.rotation} degrees")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", help="a file or URL that FFmpeg opens")
    parser.add_argument("--loop", action="store_true", help="play the file again and again (stops after 5 s)")
    args = parser.parse_args()
    asyncio.run(main(args.file or TEST_SOURCE, format=None if args.file else "lavfi", loop=args.loop))

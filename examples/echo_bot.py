"""Echo bot: says back to a user of the room what that user says.

Run it: python examples/echo_bot.py APP_ID ROOM_ID TALKER [--user-id echo-bot --user-sig SIG]

Shows `lumora_kit.Room`: join, wait for a user, one user's audio stream, a
paced AudioSource; leaving in order on every way out (Ctrl-C included).
The bot ends when TALKER leaves. tests/kit/test_kit_media_examples.py runs
it against the stand-in SDK's loopback room.
"""

import argparse
import asyncio

from lumora_kit import Room


async def echo(room: Room, talker: str) -> None:
    """Sends every audio frame of `talker` back to the room, paced, until `talker` leaves."""
    await room.wait_for_user(talker, audio=True, timeout=None)
    async with await room.publish_audio() as voice:
        async for frame in room.audio_stream(talker):
            await voice.capture(frame.data)
        await voice.wait_for_playout()


async def main(app_id: int, room_id: int, talker: str, user_id: str, user_sig: str) -> None:
    async with Room.join(app_id, room_id, user_id, user_sig) as room:
        await echo(room, talker)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("app_id", type=int)
    parser.add_argument("room_id", type=int)
    parser.add_argument("talker", help="the user whose audio is echoed")
    parser.add_argument("--user-id", default="echo-bot")
    parser.add_argument("--user-sig", default="sig-echo-bot")
    args = parser.parse_args()
    asyncio.run(main(args.app_id, args.room_id, args.talker, args.user_id, args.user_sig))

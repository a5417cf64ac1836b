"""Echo bot: says back to a user of the room what that user says.

Run it: python examples/echo_bot.py   (a simulated talker joins; or APP_ID ROOM_ID TALKER to wait for a real one)

Shows `lumora_kit.Room`: join, wait for a user, one user's audio stream, a
paced AudioSource; leaving in order on every way out (Ctrl-C included).
The bot ends when TALKER leaves. Without arguments it meets a simulated
talker from `lumora_kit.testing` in a loopback room of the stand-in SDK.
"""

import argparse
import asyncio

from lumora_kit import Room


async def echo(room: Room, talker: str) -> int:
    """Sends every audio frame of `talker` back to the room, paced, until `talker` leaves."""
    await room.wait_for_user(talker, audio=True, timeout=None)
    echoed = 0
    async with await room.publish_audio() as voice:
        async for frame in room.audio_stream(talker):
            await voice.capture(frame.data)
            echoed += 1
        await voice.wait_for_playout()
    return echoed


async def main(app_id: int, room_id: int | str, talker: str, user_id: str, user_sig: str) -> None:
    async with Room.join(app_id, room_id, user_id, user_sig) as room:
        print(f"{user_id} is in room {room_id}, waiting for {talker}")
        echoed = await echo(room, talker)
    print(f"{talker} left; {user_id} echoed {echoed} frames")


async def with_simulated_talker(user_id: str, user_sig: str) -> None:
    from lumora_kit.testing import DEFAULT_APP_ID, new_room_id, simulated_talker

    room_id = new_room_id()
    bot = asyncio.create_task(main(DEFAULT_APP_ID, room_id, "alice", user_id, user_sig))
    talk = await simulated_talker(DEFAULT_APP_ID, room_id, "alice", listener=user_id, listener_answers=True)
    await bot
    print(f"alice said {talk.said_ms / 1000:.1f} s and heard {talk.heard_ms / 1000:.1f} s back")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("room", nargs="*", metavar="APP_ID ROOM_ID TALKER", help="wait for TALKER in that room")
    parser.add_argument("--user-id", default="echo-bot")
    parser.add_argument("--user-sig", default="sig-echo-bot")
    args = parser.parse_args()
    if not args.room:
        asyncio.run(with_simulated_talker(args.user_id, args.user_sig))
    elif len(args.room) == 3 and args.room[0].isdigit():
        asyncio.run(main(int(args.room[0]), args.room[1], args.room[2], args.user_id, args.user_sig))
    else:
        parser.error("give APP_ID ROOM_ID TALKER, or nothing for a simulated talker")

"""A Room still leaves in order when asyncio.run ends with it in the room.

asyncio.run cancels every task left when its main coroutine returns, the
Room's own event pump among them; leaving must still see OnExitRoom instead
of waiting out its exit timeout.
"""

import subprocess
import sys
import textwrap

PROGRAM = textwrap.dedent("""
    import asyncio, logging
    from lumora_kit import Room
    from lumora_kit.testing import DEFAULT_APP_ID, new_room_id
    logging.basicConfig(level=logging.WARNING)

    async def bot(joined):
        async with Room.join(DEFAULT_APP_ID, new_room_id(), "bot", "sig-bot", exit_timeout=3.0) as room:
            joined.set()
            await asyncio.Event().wait()

    async def main():
        joined = asyncio.Event()
        asyncio.create_task(bot(joined))
        await joined.wait()  # returns with the bot in the room

    asyncio.run(main())
    print("done")
""")


def test_room_left_by_asyncio_run_shutdown_sees_its_exit(lumora_sdk):
    done = subprocess.run([sys.executable, "-c", PROGRAM], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "done"
    assert "no OnExitRoom" not in done.stderr, done.stderr

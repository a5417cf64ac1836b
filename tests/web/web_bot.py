"""A bot for the cross-process browser test: python web_bot.py APP_ID ROOM_ID USER.

It enters the room (on the room server LUMORA_ROOM_SERVER names), prints
"ready", waits for USER's audio, measures its pitch over a second, answers
with a message, waits for USER to leave, and prints the result as JSON on
its last line.
"""

import asyncio
import json
import sys
import time

import numpy as np

from lumora_kit import Room, events


async def main(app_id: int, room_id: int, user: str) -> dict[str, object]:
    async with Room.join(app_id, room_id, "bot", "sig-bot") as room:
        left = room.events(events.OnRemoteUserExitRoom)
        print("ready", flush=True)
        await room.wait_for_user(user, audio=True, timeout=60)
        async with room.audio_stream(user) as heard:
            frames = [await heard.get() for _ in range(100)]
        samples = np.frombuffer(b"".join(f.data for f in frames[50:]), "<i2").astype(np.float64)
        spectrum = np.abs(np.fft.rfft(samples * np.hanning(len(samples))))
        frequency = float(np.argmax(spectrum) * frames[0].sample_rate / len(samples))
        await room.send_command(1, f"heard {frequency:.0f} Hz")
        print("answered", flush=True)
        async with asyncio.timeout(60):
            while str((await left.get()).info.user_id) != user:
                pass
        return {"frequency": frequency, "left_at": time.time()}


if __name__ == "__main__":
    result = asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]))
    print(json.dumps(result), flush=True)

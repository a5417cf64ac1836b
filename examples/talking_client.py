"""Talking client: a user in one process talks to the voice agent in another.

Run it: python examples/talking_client.py   (starts a room server and the agent itself; or with LUMORA_ROOM_SERVER set, meets an agent already waiting there)

Shows two processes meeting in one room on the stand-in SDK's local room
server (docs/room-server.md): this client says something, listens to the
agent's answer, says something again (cutting into the answer), and leaves,
which ends the agent. Nothing in the code names the server: the environment
variable LUMORA_ROOM_SERVER points the SDK at it. Needs
`pip install 'lumora-kit[media]'` for the agent.

In three terminals:

    lumora-room
    LUMORA_ROOM_SERVER=default python examples/voice_agent.py --wait
    LUMORA_ROOM_SERVER=default python examples/talking_client.py

Without LUMORA_ROOM_SERVER it does all three itself: a room server in a
temporary folder, the agent as a child process, and this client.
"""

import asyncio
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from _lumora import AudioFrame

from lumora_kit import Room, media
from lumora_kit.streams import Stream

APP_ID, ROOM_ID = 1400, 8001  # where `voice_agent.py --wait` waits
USER, AGENT = "caller", "voice-agent"
RATE = 48000


def loud(pcm: bytes) -> bool:
    return max((abs(int.from_bytes(pcm[i:i + 2], "little", signed=True)) for i in range(0, len(pcm), 2)),
               default=0) > 1000


async def next_answer(answer: Stream[AudioFrame], timeout: float = 15.0) -> float:
    """Milliseconds of the agent's next answer: loud frames until a quiet one, or until the
    agent stops sending for half a second."""
    loud_ms = 0.0
    async with asyncio.timeout(timeout):
        while True:
            try:
                frame = await (asyncio.wait_for(answer.get(), 0.5) if loud_ms else answer.get())
            except TimeoutError:
                return loud_ms
            if loud(frame.data):
                loud_ms += media.duration_ms(frame.data, frame.sample_rate, frame.channels)
            elif loud_ms:
                return loud_ms


async def talk() -> None:
    async with Room.join(APP_ID, ROOM_ID, USER, "sig-" + USER) as room:
        print(f"{USER} is in room {ROOM_ID}, waiting for {AGENT}")
        await room.wait_for_user(AGENT, timeout=60)
        heard: list[float] = []
        async with await room.publish_audio(RATE, 1) as mouth:
            await room.wait_for_user(AGENT, audio=True, timeout=60)
            await asyncio.sleep(0.5)  # the agent subscribes to us once it sees us publish
            async with room.audio_stream(AGENT) as answer:
                for pitch in (440, 550):
                    await mouth.capture(media.tone(pitch, 600, RATE) + media.silence(600, RATE))
                    await mouth.wait_for_playout()
                    heard.append(await next_answer(answer))
        print(f"{USER} spoke twice and heard answers of {', '.join(f'{ms / 1000:.1f} s' for ms in heard)}")


def run_everything() -> None:
    """A room server and the agent in processes of their own, then this client."""
    from lumora_kit.testing.room_server import RoomServer

    with tempfile.TemporaryDirectory() as folder, RoomServer(folder) as server:
        print(f"room server at {server.address}")
        env = server.env()
        os.environ.update(env)
        agent = subprocess.Popen([sys.executable, str(Path(__file__).with_name("voice_agent.py")), "--wait"],
                                 env=env, stdout=sys.stdout, stderr=sys.stderr)
        try:
            asyncio.run(talk())
            agent.wait(60)
        finally:
            if agent.poll() is None:
                agent.kill()
        print(f"the server saw: {sum(line.count(' join ') for line in server.log().splitlines())} joins")


if __name__ == "__main__":
    if os.environ.get("LUMORA_ROOM_SERVER"):
        asyncio.run(talk())
    else:
        run_everything()

"""Voice agent skeleton: listens to one user, answers, and stops talking when interrupted.

Run it: python examples/voice_agent.py   (a simulated user joins; or APP_ID ROOM_ID USER to wait for a real one; --wait for "caller" of examples/talking_client.py)

Shows, on `lumora_kit.Room`:
- the user's audio resampled to 16 kHz (`lumora_kit.media.Resampler`) for a recogniser;
- a reply sent back paced by an `AudioSource` while the agent keeps listening;
- barge-in: when the user starts speaking again, the reply is cut (`source.clear()`).
The recogniser (a loudness detector) and the voice (a tone) are placeholders for
real speech recognition and synthesis. Needs `pip install 'lumora-kit[media]'`.
It ends when USER leaves. Without arguments it meets a simulated user from
`lumora_kit.testing` in a loopback room of the stand-in SDK, who speaks, and
speaks again while the agent answers. With --wait it waits in room 8001 for
"caller", a user in another process: with LUMORA_ROOM_SERVER naming a room
server, `python examples/talking_client.py` in another terminal is that user
(docs/room-server.md).
"""

import argparse
import asyncio

import numpy as np

from lumora_kit import AudioSource, Room, media


class Recogniser:
    """Placeholder recogniser of 16 kHz mono PCM: an utterance is sound louder than `threshold`
    that ends with `end_silence_ms` of quiet; its "transcript" says how long it was."""

    sample_rate = 16000

    def __init__(self, threshold: float = 300.0, end_silence_ms: float = 300.0) -> None:
        self.threshold, self.end_silence_ms = threshold, end_silence_ms
        self.speaking = False
        self.speech_ms = self.quiet_ms = 0.0
        self.samples_heard = 0

    def feed(self, pcm: bytes) -> tuple[bool, str | None]:
        """Takes the next piece; returns (speech started in it, the transcript of an utterance it ended)."""
        samples = np.frombuffer(pcm, dtype="<i2").astype(np.float64)
        self.samples_heard += len(samples)
        if not len(samples):
            return False, None
        ms = len(samples) * 1000 / self.sample_rate
        loud = float(np.sqrt(np.mean(samples ** 2))) > self.threshold
        if loud:
            started = not self.speaking
            self.speaking, self.quiet_ms = True, 0.0
            self.speech_ms = (0.0 if started else self.speech_ms) + ms
            return started, None
        self.quiet_ms += ms
        if self.speaking and self.quiet_ms >= self.end_silence_ms:
            self.speaking = False
            return False, f"({self.speech_ms / 1000:.1f} s of speech)"
        return False, None


class VoiceAgent:
    def __init__(self, room: Room, user_id: str, reply_ms: int = 2000) -> None:
        self.room, self.user_id, self.reply_ms = room, user_id, reply_ms
        self.recogniser = Recogniser()
        self.transcripts: list[str] = []
        self.barge_ins = 0
        self.voice: AudioSource | None = None

    def answer(self, transcript: str) -> bytes:
        """Placeholder speech synthesis: a tone of `reply_ms` at 48 kHz."""
        return media.tone(660, self.reply_ms, 48000, amplitude=0.3)

    async def say(self, voice: AudioSource, pcm: bytes) -> None:
        await voice.capture(pcm)  # waits while the source's queue is full: paced, not all at once
        await voice.wait_for_playout()

    async def run(self) -> None:
        await self.room.wait_for_user(self.user_id, audio=True, timeout=None)
        reply: asyncio.Task[None] | None = None
        async with await self.room.publish_audio(48000, 1) as voice, self.room.audio_stream(self.user_id) as heard:
            self.voice = voice
            to_16k: media.Resampler | None = None
            async for frame in heard:
                if to_16k is None:  # the user's format is known with the first frame
                    to_16k = media.Resampler(frame.sample_rate, Recogniser.sample_rate, frame.channels)
                started, transcript = self.recogniser.feed(to_16k.process(frame.data))
                if started and reply is not None and not reply.done():
                    reply.cancel()  # barge-in: stop the reply and drop what is queued of it
                    voice.clear()
                    self.barge_ins += 1
                if transcript is not None:
                    self.transcripts.append(transcript)
                    reply = asyncio.create_task(self.say(voice, self.answer(transcript)))
            if reply is not None:
                reply.cancel()


async def main(app_id: int, room_id: int | str, user_id: str, reply_ms: int = 2000) -> None:
    async with Room.join(app_id, room_id, "voice-agent", "sig-voice-agent") as room:
        print(f"voice-agent is in room {room_id}, waiting for {user_id}")
        agent = VoiceAgent(room, user_id, reply_ms)
        await agent.run()
    print(f"{user_id} left; heard {len(agent.transcripts)} utterances {agent.transcripts}, "
          f"interrupted {agent.barge_ins} times")


async def with_simulated_user() -> None:
    from lumora_kit.testing import DEFAULT_APP_ID, new_room_id, simulated_talker

    room_id = new_room_id()
    agent = asyncio.create_task(main(DEFAULT_APP_ID, room_id, "alice", reply_ms=1000))
    talk = await simulated_talker(DEFAULT_APP_ID, room_id, "alice", listener="voice-agent", listener_answers=True)
    await agent
    print(f"alice said {talk.said_ms / 1000:.1f} s and heard {talk.heard_ms / 1000:.1f} s of answers")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("room", nargs="*", metavar="APP_ID ROOM_ID USER", help="wait for USER in that room")
    parser.add_argument("--wait", action="store_true",
                        help='wait in room 8001 for "caller" (examples/talking_client.py), e.g. of another process')
    args = parser.parse_args()
    if args.wait:
        asyncio.run(main(1400, 8001, "caller"))
    elif not args.room:
        asyncio.run(with_simulated_user())
    elif len(args.room) == 3 and args.room[0].isdigit():
        asyncio.run(main(int(args.room[0]), args.room[1], args.room[2]))
    else:
        parser.error("give APP_ID ROOM_ID USER, or nothing for a simulated user")

"""A simulated participant of a loopback room, for examples and demos that need someone there.

The loopback room service lives inside one process, so a bot or a recorder
started alone waits for a user who never comes. `simulated_talker` is that
user: it joins the room, says its utterances (tones) while it shows a test
pattern if asked, waits between utterances until it hears the listener
answer (when told the listener answers), and leaves. Leaving is what ends
the examples' bots and recorders, as a real user leaving would.

    async with asyncio.TaskGroup() as group:
        talker = group.create_task(simulated_talker(room.app_id, room.room_id, listener="bot"))
        await run_bot(room, "alice")
    print(talker.result().heard_ms)
"""

import asyncio
from collections.abc import Sequence
from dataclasses import dataclass, field

from .. import media
from ..room import Room
from ..sources import AudioSource, VideoSource
from .loopback import DEFAULT_APP_ID

SAMPLE_RATE = 48000
LOUD = 1000  # peak sample value that counts as hearing the listener (a tone at 0.3 peaks near 9,800)


def default_utterances() -> list[bytes]:
    """Two short utterances: 400 ms of 440 Hz and 300 ms of 660 Hz (48 kHz mono)."""
    return [media.tone(440, 400, SAMPLE_RATE), media.tone(660, 300, SAMPLE_RATE)]


@dataclass
class Talk:
    """What a simulated talker did: milliseconds said and shown, and the listener's audio it heard."""

    user_id: str
    said_ms: float = 0.0
    pictures_shown: int = 0
    heard: bytearray = field(default_factory=bytearray)

    @property
    def heard_ms(self) -> float:
        return media.duration_ms(self.heard, SAMPLE_RATE, 1)


async def simulated_talker(app_id: int, room_id: int | str, user_id: str = "alice", *, listener: str,
                           utterances: Sequence[bytes] | None = None, pause_ms: int = 600,
                           listener_answers: bool = False, video: tuple[int, int, float] | None = None,
                           answer_timeout: float = 10.0) -> Talk:
    """Joins the room as `user_id`, talks to `listener`, and leaves; returns what it did.

    It waits for `listener` to be in the room before it speaks. Each utterance
    (48 kHz mono PCM) is followed by `pause_ms` of silence; with
    `listener_answers`, it also waits (up to `answer_timeout` seconds) until
    it hears the listener's audio before its next utterance, which then cuts
    into the answer, and listens once more after the last one. With `video`
    (width, height, fps) it shows a moving test pattern while it talks."""
    said = list(default_utterances() if utterances is None else utterances)
    talk = Talk(user_id)
    async with Room.join(app_id, room_id, user_id, "sig-" + user_id) as room:
        await room.wait_for_user(listener, timeout=answer_timeout)
        async with await room.publish_audio(SAMPLE_RATE, 1) as voice:
            if listener_answers:
                await room.wait_for_user(listener, audio=True, timeout=answer_timeout)
            heard = _Listening(room, listener, talk) if listener_answers else None
            camera = await room.publish_video(*video) if video else None
            try:
                await asyncio.sleep(0.3)  # the listener subscribes once it sees us publish
                showing = asyncio.create_task(_show(camera, video)) if camera and video else None
                for index, pcm in enumerate(said):
                    if heard is not None:
                        heard.expect()
                    await _say(voice, pcm + media.silence(pause_ms, SAMPLE_RATE), talk)
                    if heard is not None:
                        await heard.until_heard(answer_timeout, last=index == len(said) - 1)
                if showing is not None:
                    showing.cancel()
                    talk.pictures_shown = await _shown(showing)
            finally:
                if heard is not None:
                    heard.close()
                if camera is not None:
                    await camera.aclose()
    return talk


async def _say(voice: AudioSource, pcm: bytes, talk: Talk) -> None:
    await voice.capture(pcm)
    await voice.wait_for_playout()
    talk.said_ms += media.duration_ms(pcm, SAMPLE_RATE, 1)


async def _show(camera: VideoSource, video: tuple[int, int, float]) -> int:
    width, height, _ = video
    index = 0
    try:
        while True:
            await camera.capture(media.test_pattern(width, height, index))
            index += 1
    except asyncio.CancelledError:
        return index


async def _shown(task: "asyncio.Task[int]") -> int:
    try:
        return await task
    except asyncio.CancelledError:
        return 0


class _Listening:
    """The listener's audio, gathered in the background; `until_heard` waits for a loud part."""

    def __init__(self, room: Room, listener: str, talk: Talk) -> None:
        self._stream = room.audio_stream(listener)
        self._talk = talk
        self._loud = asyncio.Event()
        self._task = asyncio.create_task(self._gather())

    async def _gather(self) -> None:
        async for frame in self._stream:
            self._talk.heard += frame.data
            if _peak(frame.data) >= LOUD:
                self._loud.set()

    def expect(self) -> None:
        """Forgets what was heard so far: `until_heard` waits for an answer from now on."""
        self._loud.clear()

    async def until_heard(self, timeout: float, *, last: bool) -> None:
        """Waits until the listener was loud since `expect` (after the last utterance, also until
        they have been quiet for a moment, so the whole answer is heard)."""
        try:
            await asyncio.wait_for(self._loud.wait(), timeout)
        except TimeoutError:
            return
        if last:
            await self._quiet(0.5, timeout)
        else:
            await asyncio.sleep(0.3)  # let the answer start before cutting into it

    async def _quiet(self, quiet_s: float, timeout: float) -> None:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while loop.time() < deadline:
            self._loud.clear()
            try:
                await asyncio.wait_for(self._loud.wait(), quiet_s)
            except TimeoutError:
                return

    def close(self) -> None:
        self._stream.close()
        self._task.cancel()


def _peak(pcm: bytes) -> int:
    samples = memoryview(pcm).cast("h")
    return max(max(samples, default=0), -min(samples, default=0))


__all__ = ["DEFAULT_APP_ID", "Talk", "default_utterances", "simulated_talker"]

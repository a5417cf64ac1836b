"""The Room examples (echo bot, recorder, voice agent) run against the stand-in SDK's loopback room.

Each test imports the example as a module and meets it in a loopback room
with the `lumora_peer` fixture, a joined Room on the test's event loop; the
examples' own entry points take the same arguments from the command line.
"""

import asyncio
import importlib.util
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


async def collect_audio(stream, until_bytes, timeout=10.0):
    received = bytearray()
    async with asyncio.timeout(timeout):
        async for frame in stream:
            received += frame.data
            if len(received) >= until_bytes:
                break
    return bytes(received)


# The limits include the few lines that bring a simulated participant when run alone.
@pytest.mark.parametrize("name, limit", [("echo_bot", 60), ("recorder", 90)])
def test_examples_stay_small_and_say_how_to_run(name, limit):
    text = (EXAMPLES / f"{name}.py").read_text()
    assert len(text.splitlines()) <= limit
    assert "Run it:" in text.split('"""')[1]
    done = subprocess.run([sys.executable, str(EXAMPLES / f"{name}.py"), "--help"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0 and "usage" in done.stdout


async def test_echo_bot_says_back_what_it_hears(lumora_runner, lumora_peer):
    media = pytest.importorskip("lumora_kit.media")
    echo_bot = load_example("echo_bot")
    peer = lumora_peer
    bot = asyncio.create_task(echo_bot.main(peer.app_id, peer.room_id, "peer", "bot", "sig-bot"))
    speech = media.tone(440, 200) + media.tone(880, 200)
    async with await peer.publish_audio() as voice:
        await peer.wait_for_user("bot", audio=True)  # the bot publishes once it hears of the peer's audio
        echoed = peer.audio_stream("bot")
        await asyncio.sleep(0.2)  # the bot subscribes to the peer right after publishing; give it time
        await voice.capture(speech)
        heard = await collect_audio(echoed, len(speech))
    assert heard[:len(speech)] == speech
    await peer.leave()  # the talker leaves: the bot's stream ends and it leaves too
    await asyncio.wait_for(bot, 10)


async def test_recorder_writes_what_a_user_sends(lumora_runner, lumora_peer, tmp_path, np):
    from lumora_kit import media
    recorder = load_example("recorder")
    peer = lumora_peer
    main = asyncio.create_task(recorder.main(peer.app_id, peer.room_id, "peer", tmp_path, seconds=30))
    await peer.wait_for_user("recorder")
    speech = media.tone(440, 600)
    pictures = [media.test_pattern(64, 48, i) for i in range(12)]
    async with await peer.publish_audio() as voice, await peer.publish_video(64, 48, fps=30) as camera:
        # The recorder subscribes once it sees the peer; give it time before sending.
        await asyncio.sleep(0.2)
        await asyncio.gather(voice.capture(speech), camera.capture(b"".join(pictures)))
        await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())
        await asyncio.sleep(0.1)
    await peer.leave()  # the recorder's streams end; it closes the files and leaves
    await asyncio.wait_for(main, 10)
    with media.WavReader(tmp_path / "peer.wav") as wav:
        assert (wav.sample_rate, wav.channels) == (48000, 1)
        assert wav.read() == speech  # every frame, in order
    with media.Y4MReader(tmp_path / "peer.y4m") as y4m:
        assert (y4m.width, y4m.height) == (64, 48)
        assert list(y4m) == pictures
    assert (tmp_path / "peer.png").read_bytes().startswith(b"\x89PNG")


@pytest.fixture
def np():
    return pytest.importorskip("numpy")


async def test_voice_agent_answers_and_stops_when_interrupted(lumora_runner, lumora_peer, np):
    pytest.importorskip("soxr")
    from lumora_kit import Room, media
    voice_agent = load_example("voice_agent")
    peer = lumora_peer
    async with Room.join(peer.app_id, peer.room_id, "agent", "sig-agent") as agent_room:
        agent = voice_agent.VoiceAgent(agent_room, "peer", reply_ms=2000)
        running = asyncio.create_task(agent.run())
        async with await peer.publish_audio() as voice:
            await peer.wait_for_user("agent", audio=True)
            replies = peer.audio_stream("agent")
            await asyncio.sleep(0.2)  # the agent subscribes right after publishing
            first = media.tone(300, 400) + media.silence(400)
            await voice.capture(first)
            # The agent answers; after 300 ms of its answer the user speaks again.
            heard = await collect_audio(replies, media.frame_bytes(48000, 1, 300))
            assert np.abs(np.frombuffer(heard, "<i2")).max() > 5000
            second = media.tone(300, 300) + media.silence(400)
            await voice.capture(second)
            await voice.wait_for_playout()
            await asyncio.sleep(0.2)
        assert agent.transcripts == ["(0.4 s of speech)", "(0.3 s of speech)"]
        assert agent.barge_ins == 1
        assert agent.voice.stats().frames_cleared > 0  # the rest of the first answer was dropped
        # The recogniser heard the user's audio at 16 kHz (less the resampler's few ms of delay).
        sent_ms = (len(first) + len(second)) / 96
        assert sent_ms * 16 * 0.95 <= agent.recogniser.samples_heard <= sent_ms * 16
        await peer.leave()
        await asyncio.wait_for(running, 10)

"""A recording survives its process: SIGKILL at random moments leaves a file ffmpeg reads nearly to the kill.

A child process records a room where a user talks and shows pictures; the
test kills it at a random moment after the first interval (seeded, so a
failure can be run again) and checks the file with ffprobe and by decoding
it with ffmpeg: it must hold the recording up to `FRAGMENT_SECONDS` (and a
little slack for the first frames' way through the room) before the kill. Twenty runs over the containers; the
first four are quick enough for every run of the suite, the rest are
marked slow.
"""

import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from av_tools import FFMPEG, probe, require_tools

FRAGMENT_SECONDS = 1.0
SLACK_SECONDS = 0.4  # the encoders' look-ahead, the first frames' way through the loopback room

RECORD_UNTIL_KILLED = textwrap.dedent("""
    import asyncio, sys
    from lumora_kit import media
    from lumora_kit.av import MediaRecorder
    from lumora_kit.testing import join_peer

    async def main(path, fragment_seconds):
        async with join_peer("recorder") as room, join_peer("talker", room.room_id) as talker:
            await room.wait_for_user("talker")
            voice = await talker.publish_audio()
            camera = await talker.publish_video(160, 120, fps=15)
            recorder = MediaRecorder(path, size=(160, 120), fragment_seconds=fragment_seconds)
            await recorder.start(room)
            print("recording", flush=True)
            for i in range(10_000):
                await asyncio.gather(voice.capture(media.tone(440, 100, start_sample=i * 4800)),
                                     camera.capture(media.test_pattern(160, 120, i)))

    asyncio.run(main(sys.argv[1], float(sys.argv[2])))
""")

CONTAINERS = ["mp4", "webm", "mkv", "ogg", "mov", "mp3", "m4a", "wav"]
RUNS = [pytest.param(run, marks=[pytest.mark.slow] if run >= 4 else []) for run in range(20)]


@pytest.fixture(scope="module")
def np():
    return require_tools()


def decoded_seconds(path):
    """The seconds of audio ffmpeg decodes from `path`, and what it complained of."""
    done = subprocess.run([FFMPEG, "-nostdin", "-v", "error", "-i", str(path), "-map", "0:a:0", "-f", "s16le",
                           "-ac", "1", "-ar", "8000", "-"], capture_output=True, timeout=60)
    return len(done.stdout) / 2 / 8000, done.returncode, done.stderr.decode(errors="replace")


@pytest.mark.parametrize("run", RUNS)
def test_a_killed_recording_is_readable_up_to_the_interval_before_the_kill(np, tmp_path, lumora_sdk, run):
    container = CONTAINERS[run % len(CONTAINERS)]
    moment = random.Random(run).uniform(FRAGMENT_SECONDS, 4.0)
    out = tmp_path / f"killed.{container}"
    script = tmp_path / "record.py"
    script.write_text(RECORD_UNTIL_KILLED)
    child = subprocess.Popen([sys.executable, str(script), str(out), str(FRAGMENT_SECONDS)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        assert child.stdout.readline() == "recording\n", child.stderr.read() if child.poll() is not None else ""
        started = time.monotonic()
        time.sleep(moment)
        elapsed = time.monotonic() - started
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)
    finally:
        child.kill()
        child.communicate(timeout=30)
    info = probe(out)  # ffprobe reads it
    kinds = sorted(s["codec_type"] for s in info["streams"])
    assert kinds == (["audio", "video"] if container in ("mp4", "webm", "mkv", "mov") else ["audio"])
    seconds, returncode, errors = decoded_seconds(out)
    assert returncode == 0, errors
    assert seconds >= elapsed - FRAGMENT_SECONDS - SLACK_SECONDS, (container, moment, elapsed, seconds, errors)

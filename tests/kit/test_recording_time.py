"""Recordings keep time: a pause of the sender is a pause in the file.

alice sends 1 s of tone and video, pauses 1 s, sends 1 s more; bob records
her audio and video, carol the room's mix. Durations are read with sox and
ffprobe.
"""

import asyncio
import shutil
import subprocess

import pytest

pytest.importorskip("_lumora")

from lumora_kit import Room, media  # noqa: E402

pytestmark = pytest.mark.skipif(not (shutil.which("sox") and shutil.which("ffprobe")),
                                reason="needs sox and ffprobe")

W, H, FPS = 64, 48, 15


def sox_seconds(path):
    return float(subprocess.run(["sox", "--i", "-D", str(path)], check=True, capture_output=True,
                                text=True).stdout)


def ffprobe_pictures(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                          "stream=nb_read_frames,r_frame_rate", "-of", "csv=p=0", str(path)],
                         check=True, capture_output=True, text=True).stdout.strip()
    rate, frames = out.split(",")
    return int(frames), rate


async def record_audio(stream, path, rate):
    with media.WavWriter(path, rate, 1) as wav:
        async for frame in stream:
            wav.write(frame)
    return wav


async def record_video(stream, path):
    with media.Y4MWriter(path, W, H, FPS) as y4m:
        async for frame in stream:
            y4m.write(frame)
    return y4m


async def test_a_pause_of_the_sender_is_kept_in_each_recording(lumora_peer, tmp_path):
    room = (lumora_peer.app_id, lumora_peer.room_id)
    async with Room.join(*room, "bob", "s") as bob, \
            Room.join(*room, "carol", "s", mix_audio=True, mixed_sample_rate=48000) as carol:
        alice_joined = Room.join(*room, "alice", "s")
        alice = await alice_joined.__aenter__()
        await bob.wait_for_user("alice")
        mix = carol.mixed_audio_stream()
        recordings = [
            asyncio.create_task(record_audio(bob.audio_stream("alice"), tmp_path / "alice.wav", 48000)),
            asyncio.create_task(record_video(bob.video_stream("alice"), tmp_path / "alice.y4m")),
            asyncio.create_task(record_audio(mix, tmp_path / "mix.wav", 48000)),
        ]
        # A loaded machine may stall the loop: a wide catch-up bound sends
        # late frames in a burst rather than moving the sources' clocks.
        voice = await alice.publish_audio(48000, 1, max_burst_ms=1000)
        camera = await alice.publish_video(W, H, fps=FPS, max_burst_ms=1000)
        pictures = b"".join(media.test_pattern(W, H, i) for i in range(FPS))
        tone = media.tone(440, 1000)
        loop = asyncio.get_running_loop()
        start = loop.time()
        for second in range(2):
            if second:
                await asyncio.sleep(start + 2.0 - loop.time())  # the second tone starts 2 s after the first
            await asyncio.gather(voice.capture(tone), camera.capture(pictures))
            await asyncio.gather(voice.wait_for_playout(), camera.wait_for_playout())
        await asyncio.sleep(0.3)  # the last frames reach bob and carol
        await alice_joined.__aexit__(None, None, None)
        async with asyncio.timeout(5):
            wav, y4m = await recordings[0], await recordings[1]  # her streams end as she leaves
        await asyncio.sleep(0.2)
        mix.close()  # the mix goes on until carol leaves: stop it here
        async with asyncio.timeout(5):
            mixed = await recordings[2]

    # 1,000 ms of tone, 1,000 ms of silence (from the end of the first tone's
    # last frame to the start of the second tone), 1,000 ms of tone: 3.0 s
    # within one frame.
    for path in ("alice.wav", "mix.wav"):
        assert abs(sox_seconds(tmp_path / path) - 3.0) <= 0.020 + 1e-9
    assert wav.silence_filled == pytest.approx(48000, abs=960)
    assert mixed.silence_filled == 0  # the mix is silent in the pause by itself
    frames, rate = ffprobe_pictures(tmp_path / "alice.y4m")
    assert rate == f"{FPS}/1" and frames == pytest.approx(3 * FPS, abs=1)
    assert y4m.frames_repeated == pytest.approx(FPS, abs=1)

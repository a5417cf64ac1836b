"""Room.publish_audio at rates the SDK does not take: resampled, at the right pitch."""

import asyncio
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("_lumora")

from lumora_kit import Room, media  # noqa: E402


def sox_rough_frequency(path):
    stat = subprocess.run(["sox", str(path), "-n", "stat"], check=True, capture_output=True, text=True).stderr
    return int(re.search(r"Rough\s+frequency:\s+(\d+)", stat).group(1))


@pytest.mark.skipif(shutil.which("sox") is None, reason="needs sox")
@pytest.mark.parametrize("rate, sent_rate", [(24000, 32000), (22050, 32000), (11025, 16000), (96000, 48000)])
async def test_speech_at_other_rates_plays_at_its_pitch(lumora_peer, tmp_path, rate, sent_rate):
    pytest.importorskip("soxr")
    async with Room.join(lumora_peer.app_id, lumora_peer.room_id, "tts", "s") as bot:
        await lumora_peer.wait_for_user("tts")
        heard = lumora_peer.audio_stream("tts")
        async with await bot.publish_audio(sample_rate=rate) as source:
            assert (source.input_rate, source.sample_rate) == (rate, sent_rate)
            await source.capture(media.tone(440, 500, rate))
            await source.wait_for_playout()
        with media.WavWriter(tmp_path / "heard.wav", sent_rate) as wav:
            async with asyncio.timeout(5):
                while wav.duration_ms < 500:
                    wav.write(await heard.get())
    assert sox_rough_frequency(tmp_path / "heard.wav") == pytest.approx(440, abs=10)


async def test_rates_outside_the_range_are_refused(lumora_peer):
    for rate in (7999, 96001):
        with pytest.raises(ValueError, match="8,000 to 96,000 Hz"):
            await lumora_peer.publish_audio(sample_rate=rate)


def test_without_the_extra_the_error_names_the_rates_and_the_extra():
    code = textwrap.dedent("""
        import sys
        sys.modules["soxr"] = None
        import asyncio
        from lumora_kit.testing import join_peer

        async def main():
            async with join_peer("tts") as room:
                try:
                    await room.publish_audio(sample_rate=24000)
                except ImportError as e:
                    print(type(e).__name__, e)
                source = await room.publish_audio(sample_rate=16000)  # a rate the SDK takes needs nothing
                print("16000 ok", source.sample_rate)

        asyncio.run(main())
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert "MissingExtra publish_audio(sample_rate=24000)" in done.stdout
    assert "8,000, 16,000, 32,000, 44,100, 48,000 Hz" in done.stdout
    assert "pip install 'lumora-kit[media]'" in done.stdout and "16000 ok 16000" in done.stdout

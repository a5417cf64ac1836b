"""The gateway in a real browser: Debian's Chromium, headless, with a fake camera and a microphone playing a tone.

Playwright for Python drives the system's Chromium (it never downloads a
browser). The room's other member is `lumora_peer` ("peer"), a bot in the
test's process on the in-process loopback room; the page is a second
member through the gateway. They skip, with the reason, without Chromium,
Playwright, aiohttp or aiortc.
"""

import asyncio
import contextlib
import shutil
import time
from urllib.parse import urlencode

import numpy as np
import pytest

from lumora_kit import events, media

pytestmark = pytest.mark.usefixtures("chromium", "lumora_runner")

LEAVE_BOUND_S = 10.0  # closing the tab: the gateway sees the WebSocket close at once; generous for CI

INBOUND_STATS = """async () => {
  const found = {};
  (await lumora.pc.getStats()).forEach((r) => {
    if (r.type === "inbound-rtp") found[r.kind] = { bytes: r.bytesReceived, energy: r.totalAudioEnergy ?? null,
                                                    frames: r.framesDecoded ?? null };
  });
  return found;
}"""


@contextlib.asynccontextmanager
async def open_page(chromium: str, tone_wav):
    from playwright.async_api import async_playwright

    async with async_playwright() as playwright:
        browser = await playwright.chromium.launch(executable_path=chromium, args=[
            "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
            f"--use-file-for-fake-audio-capture={tone_wav}", "--autoplay-policy=no-user-gesture-required"])
        try:
            page = await browser.new_page(viewport={"width": 1280, "height": 720})
            page.set_default_timeout(20_000)
            yield page
        finally:
            await browser.close()


def page_url(base_url: str, room_id, user: str) -> str:
    return base_url + "?" + urlencode({"room": str(room_id), "user": user})


def frequency_of(pcm: bytes, sample_rate: int) -> float:
    samples = np.frombuffer(pcm, dtype="<i2").astype(np.float64)
    spectrum = np.abs(np.fft.rfft(samples * np.hanning(len(samples))))
    return float(np.argmax(spectrum) * sample_rate / len(samples))


def bars_pattern(width: int, height: int, count: int) -> list[bytes]:
    """I420 pictures of moving bars, so that the page's tile of the bot is not a flat colour."""
    x = np.arange(width)
    pictures = []
    for k in range(count):
        y = np.tile(((x + 8 * k) // 40 % 2 * 160 + 40).astype(np.uint8), (height, 1))
        chroma = np.full(width * height // 2, 128, np.uint8)
        chroma[: width * height // 4] = 90
        pictures.append(y.tobytes() + chroma.tobytes())
    return pictures


async def test_a_browser_talks_with_a_bot(lumora_peer, chromium, tone_wav, artifacts_dir):
    from lumora_kit.web import Gateway, GatewayConfig

    bot = lumora_peer
    async with Gateway(GatewayConfig(port=0, app_id=bot.app_id)) as gateway, \
            open_page(chromium, tone_wav) as page:
        await page.goto(page_url(gateway.url, bot.room_id, "alice"))
        await page.click("#join")
        await bot.wait_for_user("alice", audio=True, timeout=30)

        # The bot hears the fake microphone's 440 Hz and sees the fake camera's pictures.
        async with bot.audio_stream("alice") as heard, bot.video_stream("alice") as seen:
            async with asyncio.timeout(30):
                frames = [await heard.get() for _ in range(100)]
                picture = await seen.get()
        pcm = b"".join(f.data for f in frames[50:])  # the last second: past the start-up
        assert abs(frequency_of(pcm, frames[0].sample_rate) - 440) < 3
        assert np.sqrt(np.mean(np.frombuffer(pcm, "<i2").astype(float) ** 2)) > 1000
        assert (picture.width, picture.height, picture.format.name) == (640, 360, "VIDEO_PIXEL_FORMAT_YUV420p")
        luma = np.frombuffer(picture.data, np.uint8)[: 640 * 360]
        assert luma.std() > 5  # Chromium's moving test picture, not a blank

        # The bot answers with its voice, its picture and a message.
        voice = await bot.publish_audio(48000, 1)
        camera = await bot.publish_video(320, 180, fps=15)
        talking = asyncio.gather(voice.capture(media.tone(660, 4000, 48000, amplitude=0.4)),
                                 camera.capture(b"".join(bars_pattern(320, 180, 60))))
        await bot.send_command(1, "hello, alice")
        await page.get_by_text("hello, alice").wait_for()
        await page.locator(".tile:not([hidden]) .name", has_text="peer").wait_for()
        await page.wait_for_function("lumora.slots.some(s => s.user === 'peer' && s.view.video.videoWidth > 0)")
        await asyncio.sleep(1.5)  # some of the reply played out
        inbound = await page.evaluate(INBOUND_STATS)
        members = await page.inner_text("#members")
        mic_level = await page.evaluate("lumora.micLevel")
        state = (await page.inner_text("#page-state"), await page.inner_text("#media-state"))
        await page.screenshot(path=artifacts_dir / "web-two-participants.png")
        await talking

        # Closing the page: the bot sees alice leave.
        left = bot.events(events.OnRemoteUserExitRoom)
        closed_at = time.monotonic()
        await page.close()
        async with asyncio.timeout(LEAVE_BOUND_S):
            exit_event = await left.get()
        took = time.monotonic() - closed_at
    assert inbound["audio"]["bytes"] > 5000 and inbound["audio"]["energy"] > 0.01, inbound
    assert inbound["video"]["frames"] > 0, inbound
    assert members.split("\n") == ["alice (you)", "peer"]
    assert mic_level > 0.001 and state == (f"in room {bot.room_id}", "connected")
    assert str(exit_event.info.user_id) == "alice"
    print(f"the bot saw the page's user leave {took:.3f} s after the page closed")
    if shutil.which("ffprobe"):
        import subprocess
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0",
                                str(artifacts_dir / "web-two-participants.png")], capture_output=True, text=True)
        assert probe.stdout.strip() == "1280,720"


MARKUP = "<img src=x onerror=window.__pwned=1>"


async def test_user_ids_and_messages_are_shown_as_text(lumora_peer, chromium, tone_wav):
    from lumora_kit import Room
    from lumora_kit.web import Gateway, GatewayConfig

    bot = lumora_peer
    async with Gateway(GatewayConfig(port=0, app_id=bot.app_id)) as gateway, \
            Room.join(bot.app_id, bot.room_id, MARKUP.replace("1", "2"), "sig") as marked, \
            open_page(chromium, tone_wav) as page:
        await page.goto(page_url(gateway.url, bot.room_id, MARKUP))
        await page.click("#join")
        await bot.wait_for_user(MARKUP, timeout=30)
        camera = await marked.publish_video(160, 90, fps=15)
        showing = asyncio.create_task(camera.capture(b"".join(bars_pattern(160, 90, 45))))
        await bot.send_command(1, MARKUP.replace("1", "3"))
        await page.get_by_text(MARKUP.replace("1", "3")).wait_for()
        await page.locator(".tile .name", has_text=MARKUP.replace("1", "2")).wait_for()
        await page.fill("#message", MARKUP.replace("1", "4"))
        await page.click("#send")
        pwned = await page.evaluate("window.__pwned ?? null")
        images = await page.evaluate("document.querySelectorAll('img').length")
        members = await page.inner_text("#members")
        messages = await page.inner_text("#messages")
        await showing
    assert pwned is None and images == 0
    assert members.split("\n") == [f"{MARKUP} (you)", MARKUP.replace("1", "2"), "peer"]
    assert MARKUP.replace("1", "3") in messages and MARKUP.replace("1", "4") in messages

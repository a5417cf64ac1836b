"""The browser, the gateway and a bot in three processes, meeting on the local room server.

Runs where the build has the room server (the kit's `lumora_room_server`
fixture); skips with the reason elsewhere (a vendor SDK, a build without it).
"""

import asyncio
import json
import pathlib
import subprocess
import sys
import time

import pytest

from test_web_browser import open_page, page_url

pytestmark = pytest.mark.usefixtures("chromium", "lumora_runner")

HERE = pathlib.Path(__file__).resolve().parent
APP_ID, ROOM_ID = 1400, 8001


@pytest.fixture
def room_server(request):
    """A started room server in the test's folder (the kit's fixture), or a skip with the reason."""
    try:
        return request.getfixturevalue("lumora_room_server")
    except pytest.FixtureLookupError:
        pytest.skip("this build has no local room server (no lumora_room_server fixture)")


def start(args: list[str], env: dict[str, str]) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            env=env)


async def line_starting(process: subprocess.Popen[str], prefix: str, timeout: float = 60) -> str:
    async with asyncio.timeout(timeout):
        while True:
            line = await asyncio.to_thread(process.stdout.readline)
            if not line:
                raise AssertionError(f"the process ended before printing {prefix!r}")
            if line.startswith(prefix):
                return line


async def test_a_browser_talks_with_a_bot_of_another_process(chromium, tone_wav, room_server):
    env = room_server.env()
    gateway = start(["-m", "lumora_kit.web", "--port", "0"], env)
    bot = start([str(HERE / "web_bot.py"), str(APP_ID), str(ROOM_ID), "alice"], env)
    try:
        banner = await line_starting(gateway, "lumora web gateway: open ")
        url = banner.split("open ", 1)[1].split()[0]
        await line_starting(bot, "ready")
        async with open_page(chromium, tone_wav) as page:
            await page.goto(page_url(url, ROOM_ID, "alice"))
            await page.click("#join")
            await page.get_by_text("heard 440 Hz").wait_for(timeout=60_000)
            members = await page.inner_text("#members")
            closed_at = time.time()
            await page.close()
        result = json.loads(await line_starting(bot, "{"))
    finally:
        for process in (bot, gateway):
            process.terminate()
            process.wait(timeout=10)
    assert members.split("\n") == ["alice (you)", "bot"]
    assert abs(result["frequency"] - 440) < 3
    assert result["left_at"] - closed_at < 10

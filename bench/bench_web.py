"""The web gateway with real browsers: its CPU per browser participant, and mouth-to-ear latency to a bot.

Everything but the browsers runs in this process, on one event loop: the
gateway (`lumora_kit.web`), a bot in the in-process loopback room, and
Playwright's client. Headless Chromium (the system's, fake devices: a
640x360 camera at 30 fps and a microphone playing 100 ms bursts of 1 kHz
once a second) joins pages through the gateway.

1. CPU (this process, every thread: aiortc's decoders and encoders run in
   threads of their own), as a share of one core over `--seconds`:
   - baseline: the gateway and the bot with no browser;
   - 1 browser in the bot's room: its microphone and camera decoded and
     sent to the room (the bot listens); nothing comes back but the bot's
     silence;
   - 2 browsers in the room: each also gets the other's video (VP8
     encoded for it) and the room's mix (Opus encoded for it);
   - and so on up to `--browsers` (each gets every other's video).
   Per browser = (window - baseline) / browsers. Playwright's client in
   this process is idle while a window is measured.
2. Mouth-to-ear: the time from a burst's onset in the page's audio graph
   (an AudioWorklet on the microphone's track, on the page's clock) to the
   arrival at the bot of the 20 ms frame holding the onset (same wall clock,
   same machine); p50/p99 over the bursts of the 1- and 2-browser windows.
   The page's audio graph sees the microphone a few milliseconds after the
   capture, as WebRTC does, so this leaves out the capture itself.

    python bench/bench_web.py [--seconds 10] [--browsers 2] [--chromium /usr/bin/chromium]
"""

import argparse
import asyncio
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from lumora_kit import Room

ROOM_ID = 8123
APP_ID = 1400
BURST_THRESHOLD = 0.05  # of full scale, in the page; the bot uses the same on its PCM

ONSET_PROBE = """async (threshold) => {
  const context = new AudioContext();
  const code = `
    class Onsets extends AudioWorkletProcessor {
      constructor() { super(); this.quiet = 0; }
      process(inputs) {
        const x = inputs[0][0];
        if (!x) return true;
        let first = -1;
        for (let i = 0; i < x.length; i++) if (Math.abs(x[i]) > ${threshold}) { first = i; break; }
        if (first >= 0) {
          if (this.quiet > sampleRate / 2) this.port.postMessage(currentTime + first / sampleRate);
          this.quiet = 0;
        } else this.quiet += x.length;
        return true;
      }
    }
    registerProcessor("onsets", Onsets);`;
  await context.audioWorklet.addModule(URL.createObjectURL(new Blob([code], { type: "text/javascript" })));
  const node = new AudioWorkletNode(context, "onsets");
  context.createMediaStreamSource(lumora.local).connect(node).connect(context.destination);
  await context.resume();
  window.onsets = [];
  node.port.onmessage = (e) => {
    const stamp = context.getOutputTimestamp();
    window.onsets.push(performance.timeOrigin + stamp.performanceTime + (e.data - stamp.contextTime) * 1000);
  };
}"""


class Bot:
    """Listens to every user of the room and notes when each burst's first frame arrives (epoch ms)."""

    def __init__(self, room: Room) -> None:
        self.room = room
        self.onsets: dict[str, list[float]] = {}
        self.tasks: list[asyncio.Task[None]] = []

    async def run(self) -> None:
        async for stream in self.room.tracks(audio=True, video=False):
            self.tasks.append(asyncio.create_task(self.listen(stream)))

    async def listen(self, stream) -> None:
        times = self.onsets.setdefault(stream.user_id, [])
        quiet = 0
        async for frame in stream:
            arrival = time.time() * 1000
            samples = np.frombuffer(frame.data, "<i2")
            if np.abs(samples).max() > BURST_THRESHOLD * 32768:
                if quiet >= 25:  # half a second of quiet before: a new burst
                    times.append(arrival)
                quiet = 0
            else:
                quiet += 1


def process_cpu() -> float:
    return time.process_time()


async def measure(seconds: float) -> float:
    """This process's CPU over `seconds`, as a share of one core."""
    wall, cpu = time.monotonic(), process_cpu()
    await asyncio.sleep(seconds)
    return (process_cpu() - cpu) / (time.monotonic() - wall)


def latencies(page_onsets: list[float], bot_onsets: list[float], since: float) -> list[float]:
    """For each burst the page saw after `since`, the delay to the first burst the bot got after it."""
    found = []
    for sent in page_onsets:
        if sent < since:
            continue
        later = [got - sent for got in bot_onsets if 0 <= got - sent < 800]
        if later:
            found.append(min(later))
    return found


def percentile(values: list[float], p: float) -> float:
    return float(np.percentile(values, p)) if values else float("nan")


async def join_page(context, url: str, user: str):
    page = await context.new_page()
    await page.goto(f"{url}?room={ROOM_ID}&user={user}")
    await page.click("#join")
    await page.wait_for_function("window.lumora && lumora.joined && lumora.pc.connectionState === 'connected'",
                                 timeout=30_000)
    await page.evaluate(ONSET_PROBE, BURST_THRESHOLD)
    return page


async def main(args: argparse.Namespace) -> None:
    from playwright.async_api import async_playwright

    from lumora_kit.web import Gateway, GatewayConfig

    folder = pathlib.Path(tempfile.mkdtemp(prefix="bench-web-"))
    bursts = folder / "bursts.wav"
    subprocess.run(["sox", "-n", "-r", "48000", "-c", "1", "-b", "16", str(bursts), "synth", "0.1", "sine", "1000",
                    "vol", "0.5", "pad", "0", "0.9", "repeat", "19"], check=True)
    rows = []
    lat: list[float] = []
    load_before = os.getloadavg()[0]
    async with Gateway(GatewayConfig(port=0, app_id=APP_ID)) as gateway, \
            Room.join(APP_ID, ROOM_ID, "bot", "sig-bot") as room, async_playwright() as playwright:
        bot = Bot(room)
        bot_task = asyncio.create_task(bot.run())
        browser = await playwright.chromium.launch(executable_path=args.chromium, args=[
            "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
            f"--use-file-for-fake-audio-capture={bursts}", "--autoplay-policy=no-user-gesture-required"])
        context = await browser.new_context(bypass_csp=True)  # the onset probe is a blob: worklet
        await asyncio.sleep(1)
        baseline = await measure(args.seconds)
        rows.append(("gateway + bot, no browser (baseline)", baseline, float("nan")))
        pages = []
        for count in range(1, args.browsers + 1):
            pages.append(await join_page(context, gateway.url, f"browser-{count}"))
            await asyncio.sleep(3)  # the connection settles, the first key frames go
            since = time.time() * 1000
            share = await measure(args.seconds)
            rows.append((f"{count} browser(s) in the room", share, (share - baseline) / count))
            for index, page in enumerate(pages):
                lat += latencies(await page.evaluate("window.onsets"), bot.onsets.get(f"browser-{index + 1}", []),
                                 since)
        stats = gateway.stats()
        stats = stats["sessions"] + stats["finished"]
        await browser.close()
        bot_task.cancel()
        for task in bot.tasks:
            task.cancel()
    shutil.rmtree(folder, ignore_errors=True)

    print(f"\nCPU of this process (gateway + bot), share of one core over {args.seconds:.0f} s windows; "
          f"load average before: {load_before:.1f}, after: {os.getloadavg()[0]:.1f}")
    print(f"{'window':<42} {'CPU':>7} {'per browser':>12}")
    for name, share, per in rows:
        per_text = "" if per != per else f"{per * 100:10.1f} %"
        print(f"{name:<42} {share * 100:6.1f} % {per_text:>12}")
    print(f"\nmouth-to-ear, page's audio graph -> bot's frame: {len(lat)} bursts, "
          f"p50 {percentile(lat, 50):.1f} ms, p99 {percentile(lat, 99):.1f} ms, "
          f"min {min(lat, default=float('nan')):.1f} ms, max {max(lat, default=float('nan')):.1f} ms")
    for session in stats:
        print(f"  {session['user_id']}: audio in {session['audio_frames_in']}, video in {session['video_frames_in']}, "
              f"video out {session['video_frames_out']}, dropped (gateway behind) {session['stale_dropped']}, "
              f"room frames dropped {session['room_dropped']}, largest lag {session['largest_lag_ms']:.0f} ms"
              + (f", ended: {session['ended']}" if session["ended"] else ""))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each CPU window")
    parser.add_argument("--browsers", type=int, default=2, help="browsers joined one after the other (default 2)")
    parser.add_argument("--chromium", default=shutil.which("chromium") or "/usr/bin/chromium")
    arguments = parser.parse_args()
    if not os.path.exists(arguments.chromium) or shutil.which("sox") is None:
        sys.exit("needs Debian's chromium and sox (scripts/bootstrap.sh installs both, as root)")
    asyncio.run(main(arguments))

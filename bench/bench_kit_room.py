"""What lumora_kit.Room's streams and sources cost, against the plain asyncio bridge of the same run.

1. Stream cost on the SDK's thread. N audio frames (1920 bytes, 20 ms at
   48 kHz) are queued as EVENT injections on one cloud's event thread while
   this thread holds the interpreter lock; the clock runs until the event
   thread has made every delegate call (wait_idle). A consumer coroutine on
   an event loop in another thread takes the frames meanwhile.
   - baseline: an `AsyncioDelegate` bridging OnRemoteAudioReceived;
   - Room: a joined `Room` with `room.audio_stream(user)`.
   Both queues are large enough that nothing is dropped.
2. Latency from the SDK's callback to the consuming coroutine: a sender
   thread makes the SDK call the delegate on that thread (SYNC injection)
   every 5 ms; the consumer notes when each frame reaches it. Median and p99.
3. The same two at 50 participants (one audio stream each, frames round
   robin) plus 2 video streams (320x180 I420 pictures, one per 5 audio
   frames); every stream must receive every frame.
4. AudioSource pacing: 6 s of audio through an `AudioSource` whose send
   function notes the loop's clock; the deviation of each send from the
   ideal clock (start + k x 20 ms), p50/p99/max, against a naive sender
   that sleeps 20 ms between frames. Then the same with the event loop
   stalled for 200 ms after 2 s: how many frames went out back to back, and
   when the sends were back within 2 ms of their (moved) clock.

    python bench/bench_kit_room.py [--frames 20000] [--repeat 3]
"""

import argparse
import asyncio
import ctypes
import statistics
import sys
import threading
import time

from _common import lumora, print_table, progress

from lumora_kit import AsyncioDelegate, AudioSource, Room
from lumora_kit.testing import EVENT, SYNC, load_control
from lumora_kit.testing.loopback import DEFAULT_APP_ID, new_room_id

AUDIO = bytes(range(256)) * 7 + bytes(128)  # 1920 bytes
VIDEO_W, VIDEO_H = 320, 180
PICTURE = bytes(VIDEO_W * VIDEO_H * 3 // 2)
control = load_control()


class LoopThread:
    """An event loop running in a thread of its own."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coro, timeout=600):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


# ---- The two receivers --------------------------------------------------------------


class BridgeReceiver:
    """Baseline: an AsyncioDelegate on a plain cloud; one queue for everything."""

    name = "AsyncioDelegate"

    async def open(self, users, video_users, maxsize):
        self.delegate = AsyncioDelegate(callbacks={"OnRemoteAudioReceived", "OnRemotePixelFrameReceived"},
                                        maxsize=maxsize)
        self.cloud = lumora.VELACloud(self.delegate)
        self.cloud_id = control.last_cloud_id()

    async def take(self, n, stamps):
        for _ in range(n):
            event = await self.delegate.events.get()
            stamps.append((time.perf_counter(), event.frame.pts))

    def lost(self):
        return self.delegate.events.stats().dropped

    async def close(self):
        self.cloud = None
        self.delegate.shutdown()


class RoomReceiver:
    """A joined Room with one audio stream per user and one video stream per video user."""

    name = "Room streams"

    async def open(self, users, video_users, maxsize):
        self.joining = Room.join(DEFAULT_APP_ID, new_room_id(), "bench", "sig-bench")
        self.room = await self.joining.__aenter__()
        self.cloud_id = control.last_cloud_id()
        self.streams = [self.room.audio_stream(u.decode(), maxsize=maxsize) for u in users]
        self.streams += [self.room.video_stream(u.decode(), maxsize=maxsize) for u in video_users]

    async def take(self, n, stamps):
        queue = asyncio.Queue()

        async def drain(stream):
            async for frame in stream:
                queue.put_nowait((time.perf_counter(), frame.pts))

        tasks = [asyncio.create_task(drain(s)) for s in self.streams]
        try:
            for _ in range(n):
                stamps.append(await queue.get())
        finally:
            for t in tasks:
                t.cancel()

    def lost(self):
        return sum(s.dropped for s in self.streams)

    async def close(self):
        for s in self.streams:
            s.close()
        await self.joining.__aexit__(None, None, None)


# ---- Injection -----------------------------------------------------------------------


def plan(n, users, video_users):
    """The frames to inject: (kind, user, pts), audio round robin, a picture per 5 audio frames."""
    frames, v = [], 0
    for i in range(n):
        frames.append(("audio", users[i % len(users)], i))
        if video_users and i % 5 == 4:
            frames.append(("video", video_users[v % len(video_users)], n + v))
            v += 1
    return frames


def inject(library, cloud_id, mode, kind, user, pts, audio_buf, video_buf):
    if kind == "audio":
        library.lumora_inject_remote_audio(cloud_id, mode, user, 48000, 1, 16, 0, pts, 1, audio_buf, len(AUDIO))
    else:
        library.lumora_inject_remote_pixel_frame(cloud_id, mode, user, 2, pts, VIDEO_W, VIDEO_H, 0, 0,
                                                 video_buf, len(PICTURE))


def sdk_thread_cost(loop_thread, receiver, frames, users, video_users):
    """Seconds the SDK's event thread takes to deliver `frames`, with the consumer running."""
    loop_thread.run(receiver.open(users, video_users, len(frames) + 1))
    audio_buf = ctypes.create_string_buffer(AUDIO, len(AUDIO))
    video_buf = ctypes.create_string_buffer(PICTURE, len(PICTURE))
    stamps = []
    consumer = asyncio.run_coroutine_threadsafe(receiver.take(len(frames), stamps), loop_thread.loop)
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)  # keep the lock here while queuing
    try:
        for kind, user, pts in frames:
            inject(control.lib_locked, receiver.cloud_id, EVENT, kind, user, pts, audio_buf, video_buf)
        t0 = time.perf_counter()
    finally:
        sys.setswitchinterval(old)
    if control.wait_idle(receiver.cloud_id, 600000) != 0:  # releases the lock: delivery starts now
        raise RuntimeError("the cloud did not become idle")
    seconds = time.perf_counter() - t0
    consumer.result(600)
    lost = receiver.lost()
    loop_thread.run(receiver.close())
    check_received(receiver, stamps, frames, lost)
    return seconds


def latency(loop_thread, receiver, frames, users, video_users, spacing=0.005):
    """Seconds from each SYNC callback's start to the consumer, for every frame."""
    loop_thread.run(receiver.open(users, video_users, len(frames) + 1))
    audio_buf = ctypes.create_string_buffer(AUDIO, len(AUDIO))
    video_buf = ctypes.create_string_buffer(PICTURE, len(PICTURE))
    stamps = []
    consumer = asyncio.run_coroutine_threadsafe(receiver.take(len(frames), stamps), loop_thread.loop)
    sent = {}
    next_at = time.perf_counter()
    for kind, user, pts in frames:
        next_at += spacing
        while (delay := next_at - time.perf_counter()) > 0:
            time.sleep(delay)
        sent[pts] = time.perf_counter()
        inject(control.lib, receiver.cloud_id, SYNC, kind, user, pts, audio_buf, video_buf)
    consumer.result(600)
    lost = receiver.lost()
    loop_thread.run(receiver.close())
    check_received(receiver, stamps, frames, lost)
    return [at - sent[pts] for at, pts in stamps]


def check_received(receiver, stamps, frames, lost):
    if len(stamps) != len(frames) or lost or sorted(p for _, p in stamps) != sorted(p for _, _, p in frames):
        raise RuntimeError(f"{receiver.name}: {len(stamps)} of {len(frames)} frames received, {lost} dropped")


def quantiles_ms(values):
    ordered = sorted(values)
    return (statistics.median(ordered) * 1e3, ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] * 1e3,
            ordered[-1] * 1e3)


# ---- Pacing ---------------------------------------------------------------------------


async def paced_sends(seconds, stall_at=None):
    """Loop-clock times of the sends of an AudioSource given `seconds` of audio at once."""
    loop = asyncio.get_running_loop()
    times = []
    source = AudioSource(lambda frame, clear: times.append(loop.time()) or 0, sample_rate=48000, channels=1,
                         frame_ms=20, queue_ms=400, max_burst_ms=60, on_close=None)
    if stall_at is not None:
        loop.call_later(stall_at, time.sleep, 0.2)  # the loop runs nothing else for 200 ms
    await source.capture(bytes(int(seconds * 48000) * 2))
    await source.wait_for_playout()
    stats = source.stats()
    await source.aclose()
    return times, stats


async def naive_sends(seconds, stall_at=None):
    """The baseline: send a frame, sleep 20 ms, repeat."""
    loop = asyncio.get_running_loop()
    times = []
    if stall_at is not None:
        loop.call_later(stall_at, time.sleep, 0.2)
    for _ in range(int(seconds * 50)):
        times.append(loop.time())
        await asyncio.sleep(0.02)
    return times


def deviations(times, period=0.02):
    return [t - (times[0] + k * period) for k, t in enumerate(times)]


def stall_recovery(times, period=0.02, stall_at=2.0):
    """(largest run of sends less than 1 ms apart after the stall, seconds from the stall's end until
    the sends are back on a steady 20 ms pace within 2 ms)."""
    start = times[0]
    stall_end = start + stall_at + 0.2
    after = [t for t in times if t >= stall_end - 0.001]
    gaps = [b - a for a, b in zip(after, after[1:])]
    burst = run = 1
    for g in gaps:
        run = run + 1 if g < 0.001 else 1
        burst = max(burst, run)
    steady_from = next((i for i in range(len(gaps)) if all(abs(g - period) < 0.002 for g in gaps[i:i + 10])), None)
    recovered = after[steady_from] - stall_end if steady_from is not None else float("nan")
    return burst, recovered


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=20000, help="audio frames per cost run")
    parser.add_argument("--latency-frames", type=int, default=1000)
    parser.add_argument("--participants", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many cost runs")
    parser.add_argument("--pacing-seconds", type=float, default=6.0)
    args = parser.parse_args()

    control.enable_journal(False)
    lumora.SetLogLevel(2)
    loop_thread = LoopThread()
    one = [b"remote-user"]
    many = [f"user-{i:02d}".encode() for i in range(args.participants)]
    cameras = many[:2]
    cost_rows, latency_rows = [], []
    for label, users, video_users in [("1 user", one, []),
                                      (f"{args.participants} users + 2 video", many, cameras)]:
        frames = plan(args.frames, users, video_users)
        lat_frames = plan(args.latency_frames, users, video_users)
        best = {}
        for receiver_type in (BridgeReceiver, RoomReceiver):
            progress(f"{label}: {receiver_type.name}")
            best[receiver_type] = min(sdk_thread_cost(loop_thread, receiver_type(), frames, users, video_users)
                                      for _ in range(args.repeat))
            lat = quantiles_ms(latency(loop_thread, receiver_type(), lat_frames, users, video_users))
            latency_rows.append([label, receiver_type.name, f"{lat[0]:.3f}", f"{lat[1]:.3f}", f"{lat[2]:.2f}"])
        base = best[BridgeReceiver]
        for receiver_type, seconds in best.items():
            cost_rows.append([label, receiver_type.name, f"{len(frames) / seconds:,.0f}",
                              f"{seconds / len(frames) * 1e6:.2f}", f"{seconds / base:.2f}x", "0"])
    loop_thread.stop()

    print_table(f"SDK thread cost per frame, {args.frames} audio frames (+1 picture per 5 with video), "
                f"best of {args.repeat}, consumer running",
                ["load", "receiver", "frames/s", "us/frame", "of bridge", "lost"], cost_rows)
    print()
    print_table(f"Callback to consuming coroutine, {args.latency_frames} audio frames, one per 5 ms (ms)",
                ["load", "receiver", "median", "p99", "max"], latency_rows)
    print()

    progress("pacing")
    rows = []
    for name, run in (("AudioSource", paced_sends), ("sleep(0.02) loop", naive_sends)):
        result = asyncio.run(run(args.pacing_seconds))
        times = result[0] if name == "AudioSource" else result
        dev = [abs(d) for d in deviations(times)]
        rows.append([name, len(times), *(f"{q:.3f}" for q in quantiles_ms(dev)),
                     f"{(times[-1] - times[0] - (len(times) - 1) * 0.02) * 1e3:+.1f}"])
    print_table(f"Pacing of {args.pacing_seconds:g} s of 20 ms frames: |send time - ideal clock| (ms)",
                ["sender", "frames", "median", "p99", "max", "drift at end"], rows)
    print()
    rows = []
    for name, run in (("AudioSource", paced_sends), ("sleep(0.02) loop", naive_sends)):
        result = asyncio.run(run(args.pacing_seconds, stall_at=2.0))
        times = result[0] if name == "AudioSource" else result
        burst, recovered = stall_recovery(times)
        note = ""
        if name == "AudioSource":
            stats = result[1]
            note = f"rebased {stats.rebased}x, max lateness {stats.max_lateness * 1e3:.0f} ms"
        rows.append([name, len(times), burst, f"{recovered * 1e3:.0f}",
                     f"{(times[-1] - times[0] - (len(times) - 1) * 0.02) * 1e3:+.0f}", note])
    print_table("A 200 ms stall of the event loop after 2 s",
                ["sender", "frames", "largest burst", "steady again after (ms)", "behind at end (ms)", "note"],
                rows)


if __name__ == "__main__":
    main()

"""What receiving a room costs, by number of users and by picture size: Room against a hand bridge and the binding.

Senders: N participants (real clouds of the loopback room, in this process)
each send a 20 ms audio frame (48 kHz mono, 1,920 bytes) every 20 ms, their
clocks spread evenly over the 20 ms as independent users' are (one sender
thread on a 1 ms tick sends what is due); with video, V of them also send
I420 pictures at 30 fps. The picture-size loads have one user sending only
video (360p, 720p or 1080p).

Receivers, one at a time, on the same senders, each subscribed to every
stream, each taking every frame and noting how long it took from the send:
  binding      a `_lumora.VELACloudDelegate` whose callbacks note the frame on
               the SDK's thread: the floor of any Python receiver;
  hand bridge  a delegate that hands each frame to the loop with
               ``loop.call_soon_threadsafe(queue.put_nowait, frame)``, one
               `asyncio.Queue` and one consuming task per stream;
  Room         `Room.join` with one stream per user and stream type
               (``async for frame in stream``), one task per stream, with the
               default delivery window (2 ms) and with ``delivery_window_ms=0``
               (only deliveries that find a wake-up pending share it).
CPU is the receiver's own threads: its cloud's SDK event thread (where every
callback runs, found by its name) plus the event loop's thread, from
/proc/self/task/<tid>/schedstat, over the sending time; "% core" is that over
the wall time. Latency is from just before the sender's Send call to the
moment the consumer (the callback for the binding) has the frame: p50 and
p99 over every frame of the run; the binding's is the SDK's own, and
"added p99" is a receiver's p99 minus the binding's of the same load.

Runs interleave the receivers (binding, bridge, Room, Room 0 ms, then the
other way round), and each figure is the best of --repeat runs by CPU.

    python bench/bench_kit_load.py [--seconds 4] [--repeat 2] [--loads 1,10,50,50+2v,100]
                                   [--sizes 360p,720p,1080p] [--receivers binding,bridge,room,room0]

A "before" column comes from the same script with PYTHONPATH at an earlier
lumora_kit (its Room has no delivery window: use --receivers binding,bridge,room).
"""

import argparse
import asyncio
import inspect
import os
import statistics
import threading
import time

from _common import QuietDelegate, enter, lumora, make_cloud, print_table, progress, sdk_control

from lumora_kit import Room

APP_ID = 1400000001
FRAME_MS = 20
AUDIO_BYTES = 48000 * FRAME_MS // 1000 * 2
FPS = 30
SIZES = {"360p": (640, 360), "720p": (1280, 720), "1080p": (1920, 1080)}
VIDEO = lumora.STREAM_TYPE_VIDEO_HIGH
AUDIO = lumora.STREAM_TYPE_AUDIO
_rooms = iter(range(9400, 10000))


def thread_cpu():
    """{native thread id: (name, seconds on a CPU)} for every thread of this process."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                cpu = int(f.read().split()[0]) / 1e9
            with open(f"/proc/self/task/{tid}/comm") as f:
                out[int(tid)] = (f.read().strip(), cpu)
        except (OSError, ValueError, IndexError):
            pass
    return out


class LoopThread:
    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True, name="bench loop")
        self.thread.start()
        self.ready.wait()

    def _run(self):
        self.native_id = threading.get_native_id()
        self.ready.set()
        self.loop.run_forever()

    def run(self, coro, timeout=120):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(timeout)

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


# ---- The load: senders on a 1 ms tick --------------------------------------------------

class Load:
    """N audio senders (V of them also send video of `size`) in one room, and the sender thread."""

    def __init__(self, name, users, video_users, size, audio=True):
        self.name, self.room = name, next(_rooms)
        self.users = [f"u{i:03d}" for i in range(users)]
        self.video_users = self.users[:video_users]
        self.audio = audio
        w, h = SIZES[size]
        self.clouds, self.delegates = [], []
        self.audio_frames, self.video_frames = [], []
        for i, user in enumerate(self.users):
            d = QuietDelegate()
            cloud, _ = make_cloud(d)
            enter(cloud, d, user, self.room, audio=audio, video=user in self.video_users)
            self.clouds.append(cloud)
            self.delegates.append(d)
            a = lumora.AudioFrame()
            a.sample_rate, a.channels, a.bits_per_sample, a.codec = 48000, 1, 16, lumora.AUDIO_CODEC_TYPE_PCM
            a.SetData(bytes([i & 0x7F]) * AUDIO_BYTES)
            self.audio_frames.append(a)
            if user in self.video_users:
                v = lumora.PixelFrame()
                v.width, v.height, v.format = w, h, lumora.VIDEO_PIXEL_FORMAT_YUV420p
                v.SetData(bytes([i & 0xFF]) * (w * h * 3 // 2))
                self.video_frames.append(v)
        # Each stream's send times by sequence number (= pts), for latency.
        self.sent = {}

    def schedule(self, seconds):
        """[(due offset, kind, user index)] sorted: audio clocks spread over 20 ms, video at 30 fps."""
        events = []
        n = len(self.users)
        if self.audio:
            for i in range(n):
                phase = i * FRAME_MS / n / 1000
                events += [(phase + k * FRAME_MS / 1000, "a", i) for k in range(seconds * 1000 // FRAME_MS)]
        for j in range(len(self.video_users)):
            phase = (7 + 3 * j) / 1000
            events += [(phase + k / FPS, "v", j) for k in range(seconds * FPS)]
        events.sort()
        return events

    def send(self, seconds, t0):
        sent = self.sent  # made by the run: lists of send times, one per stream
        counters = {"a": 0, "v": 0}
        monotonic = time.monotonic
        for due, kind, i in self.schedule(seconds):
            delay = t0 + due - monotonic()
            if delay > 0.0005:  # a 1 ms tick: what is due within half a millisecond goes now
                time.sleep(delay)
            user = self.users[i] if kind == "a" else self.video_users[i]
            times = sent[(kind, user)]
            frame = self.audio_frames[i] if kind == "a" else self.video_frames[i]
            frame.pts = len(times)
            times.append(monotonic())
            if kind == "a":
                self.clouds[i].SendAudioFrame(frame)
            else:
                self.clouds[i].SendPixelFrame(VIDEO, frame)
            counters[kind] += 1
        return counters

    def close(self):
        for cloud in self.clouds:
            cloud.ExitRoom()
        self.clouds.clear()


# ---- Receivers -----------------------------------------------------------------------------

class Notes:
    """Frames taken and their latency (the consumer's side)."""

    def __init__(self, load):
        self.sent = load.sent
        self.latency = []
        self.count = 0

    def note(self, kind, user, pts):
        self.latency.append(time.monotonic() - self.sent[(kind, user)][pts])


class BindingReceiver:
    name = "binding"

    async def open(self, load, loop_thread):
        receiver = self

        class Delegate(QuietDelegate):
            def OnRemoteAudioReceived(self, user_id, frame):
                receiver.notes.note("a", user_id, frame.pts)

            def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
                receiver.notes.note("v", user_id, frame.pts)

        self.delegate = Delegate()
        self.cloud, self.cloud_id = make_cloud(self.delegate)
        enter(self.cloud, self.delegate, "receiver", load.room)
        for user in load.users if load.audio else ():
            self.cloud.Subscribe(user, AUDIO)
        for user in load.video_users:
            self.cloud.Subscribe(user, VIDEO)

    def start(self, notes):
        self.notes = notes

    async def close(self):
        self.cloud.ExitRoom()
        self.cloud = None


class BridgeReceiver:
    name = "hand bridge"

    async def open(self, load, loop_thread):
        loop = asyncio.get_running_loop()
        queues = self.queues = {("a", u): asyncio.Queue() for u in (load.users if load.audio else ())}
        queues |= {("v", u): asyncio.Queue() for u in load.video_users}
        audio = {u: queues[("a", u)].put_nowait for u in (load.users if load.audio else ())}
        video = {u: queues[("v", u)].put_nowait for u in load.video_users}

        class Delegate(QuietDelegate):
            def OnRemoteAudioReceived(self, user_id, frame):
                loop.call_soon_threadsafe(audio[user_id], frame)

            def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
                loop.call_soon_threadsafe(video[user_id], frame)

        self.delegate = Delegate()
        self.cloud, self.cloud_id = make_cloud(self.delegate)
        enter(self.cloud, self.delegate, "receiver", load.room)
        for kind, user in queues:
            self.cloud.Subscribe(user, AUDIO if kind == "a" else VIDEO)
        self.tasks = []

    def start(self, notes):
        async def consume(kind, user, queue):
            while True:
                frame = await queue.get()
                notes.note(kind, user, frame.pts)

        self.tasks = [asyncio.create_task(consume(k, u, q)) for (k, u), q in self.queues.items()]

    async def close(self):
        for task in self.tasks:
            task.cancel()
        self.cloud.ExitRoom()
        self.cloud = None


class RoomReceiver:
    def __init__(self, window_ms):
        self.window_ms = window_ms
        self.name = "Room" if window_ms is None else f"Room, window {window_ms:g} ms"

    async def open(self, load, loop_thread):
        options = {}
        if self.window_ms is not None:
            options["delivery_window_ms"] = self.window_ms
        self.room = await Room.join(APP_ID, load.room, "receiver", "sig-receiver", **options)
        self.cloud_id = sdk_control.last_cloud_id()
        self.streams = [("a", u, self.room.audio_stream(u, maxsize=4096)) for u in (load.users if load.audio else ())]
        self.streams += [("v", u, self.room.video_stream(u, maxsize=256)) for u in load.video_users]
        self.tasks = []

    def start(self, notes):
        async def consume(kind, user, stream):
            async for frame in stream:
                notes.note(kind, user, frame.pts)

        self.tasks = [asyncio.create_task(consume(k, u, s)) for k, u, s in self.streams]

    async def close(self):
        for task in self.tasks:
            task.cancel()
        await self.room.leave()


def receiver_of(name):
    if name == "binding":
        return BindingReceiver()
    if name == "bridge":
        return BridgeReceiver()
    if name == "room":  # the default window, or the kit's only behaviour before there was one
        return RoomReceiver(None)
    if name.startswith("room"):
        return RoomReceiver(float(name[4:]))
    raise SystemExit(f"unknown receiver {name!r}")


def measure(load, receiver, loop_thread, seconds):
    loop_thread.run(receiver.open(load, loop_thread))
    time.sleep(0.3)  # subscriptions settle; nothing is sent yet
    t0 = time.monotonic() + 0.05
    load.sent = {("a", u): [] for u in load.users} | {("v", u): [] for u in load.video_users}
    notes = Notes(load)
    loop_thread.loop.call_soon_threadsafe(receiver.start, notes)
    threads0 = thread_cpu()
    wall0 = time.monotonic()
    sent_box = {}
    sender = threading.Thread(target=lambda: sent_box.update(load.send(seconds, t0)), name="bench sender")
    sender.start()
    sender.join()
    sdk_control.wait_idle(receiver.cloud_id, 10000)
    deadline = time.monotonic() + 5
    total = sum(sent_box.values())
    while len(notes.latency) < total and time.monotonic() < deadline:
        time.sleep(0.01)
    wall = time.monotonic() - wall0
    threads1 = thread_cpu()
    event_thread = f"lumora-ev-{receiver.cloud_id}"
    sdk_cpu = loop_cpu = 0.0
    for tid, (name, seconds_on_cpu) in threads1.items():
        used = seconds_on_cpu - threads0.get(tid, (name, 0.0))[1]
        if name == event_thread:
            sdk_cpu += used
        elif tid == loop_thread.native_id:
            loop_cpu += used
    cpu = sdk_cpu + loop_cpu
    loop_thread.run(receiver.close())
    lat = sorted(notes.latency)
    return {"cpu": cpu, "sdk": sdk_cpu, "loop": loop_cpu, "wall": wall, "frames": len(lat), "sent": total,
            "p50": 1000 * lat[len(lat) // 2] if lat else float("nan"),
            "p99": 1000 * lat[min(len(lat) - 1, int(len(lat) * 0.99))] if lat else float("nan")}


def parse_load(text):
    """'50' -> 50 users; '50+2v' -> 50 users, 2 of them also send 360p video."""
    users, _, video = text.partition("+")
    return text, int(users), int(video.rstrip("v") or 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--loads", default="1,10,50,50+2v,100")
    parser.add_argument("--sizes", default="360p,720p,1080p")
    parser.add_argument("--receivers", default="binding,bridge,room,room0")
    args = parser.parse_args()
    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    window = "delivery_window_ms" in inspect.signature(Room.__init__).parameters
    progress(f"lumora_kit Room {'with' if window else 'without'} a delivery window")
    loop_thread = LoopThread()
    loads = [(name, users, video, "360p", True) for name, users, video in map(parse_load, args.loads.split(",") if
                                                                              args.loads else [])]
    loads += [(f"1 video {size}", 1, 1, size, False) for size in (args.sizes.split(",") if args.sizes else [])]
    names = args.receivers.split(",")
    rows = []
    for label, users, video, size, audio in loads:
        progress(f"{label}: {users} senders")
        load = Load(label, users, video, size, audio)
        best = {}
        for r in range(args.repeat):
            order = names if r % 2 == 0 else names[::-1]
            for name in order:
                result = measure(load, receiver_of(name), loop_thread, args.seconds)
                progress(f"{label} {name}: {100 * result['cpu'] / result['wall']:.1f}% core, "
                         f"{result['frames']}/{result['sent']} frames, p99 {result['p99']:.2f} ms")
                if name not in best or result["cpu"] < best[name]["cpu"]:
                    best[name] = result
        load.close()
        floor_p99 = best["binding"]["p99"] if "binding" in best else None
        bridge = best.get("bridge")
        for name in names:
            b = best[name]
            share = 100 * b["cpu"] / b["wall"]
            rows.append([label, receiver_of(name).name, f"{share:.1f}", f"{100 * b['sdk'] / b['wall']:.1f}",
                         f"{100 * b['loop'] / b['wall']:.1f}",
                         f"{b['cpu'] / bridge['cpu']:.2f}x" if bridge else "",
                         f"{1e6 * b['cpu'] / max(1, b['frames']):.1f}", f"{b['frames']}/{b['sent']}",
                         f"{b['p50']:.2f}", f"{b['p99']:.2f}",
                         f"{b['p99'] - floor_p99:+.2f}" if floor_p99 is not None else ""])
    loop_thread.stop()
    print_table(f"Receiving a room: receiver threads, {args.seconds} s a run, best of {args.repeat}",
                ["load", "receiver", "% core", "SDK thread", "loop", "of bridge", "µs/frame", "frames", "p50 ms", "p99 ms",
                 "added p99 ms"], rows)
    print(f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()

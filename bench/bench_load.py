"""Realistic receive load: CPU time per second of call in the receiving process.

One room holds a receiving cloud and 50 remote participants (real clouds of
the loopback service, in this process). Each participant sends a 20 ms audio
frame (48 kHz mono 16-bit, 960 bytes) every 20 ms; two of them also send a
640x360 I420 video stream (345,600 bytes) at 30 fps. The receiver subscribes
to everything; its delegate reads every payload (frame.data) and checks the
sequence (pts) of every stream for gaps and lateness.

Senders: one Python thread paced on a 20 ms clock calls SendAudioFrame /
SendPixelFrame for every participant. Because the senders live in the same
process, the run has two passes of the same length:
  pass 1  senders only (the receiver is in the room but subscribes to nothing)
  pass 2  senders + receiver subscribed to all streams
Receiver cost = pass 2 minus pass 1. Each pass also splits its CPU time by
thread (/proc/self/task/*/schedstat): the sender thread, the receiver's event
thread (where every callback runs) and everything else.

A callback counts as late when it arrives more than 100 ms after the moment its
frame was scheduled to be sent; a drop is a gap in a stream's sequence.

    python bench/bench_load.py [--seconds 10]
"""

import argparse
import os
import threading
import time

from _common import QuietDelegate, cpu_model, enter, lumora, make_cloud, print_table, progress, sdk_control

PARTICIPANTS = 50
VIDEO_SENDERS = 2
FRAME_MS = 20
FPS = 30
W, H = 640, 360
AUDIO_BYTES = 48000 * FRAME_MS // 1000 * 2
VIDEO_BYTES = W * H * 3 // 2
LATE_S = 0.100
ROOM = 9300
VIDEO = lumora.STREAM_TYPE_VIDEO_HIGH


def thread_cpu():
    """{native thread id: seconds on a CPU} for every thread of this process."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                out[int(tid)] = int(f.read().split()[0]) / 1e9
        except (OSError, ValueError, IndexError):
            pass
    return out


class Receiver(QuietDelegate):
    def __init__(self):
        super().__init__()
        self.lock = threading.Lock()
        self.reset(None)

    def reset(self, t0):
        with self.lock:
            self.t0 = t0
            self.next = {}  # (user, kind) -> expected sequence number
            self.audio = self.video = self.dropped = self.late = self.bad_size = 0
            self.max_late = 0.0
            self.thread = None

    def _check(self, key, seq, due):
        expected = self.next.get(key)
        if expected is not None and seq != expected:
            self.dropped += max(0, seq - expected)
        self.next[key] = seq + 1
        lateness = time.monotonic() - due
        if lateness > self.max_late:
            self.max_late = lateness
        if lateness > LATE_S:
            self.late += 1

    def OnRemoteAudioReceived(self, user_id, frame):
        data = frame.data
        t0 = self.t0
        if t0 is None:
            return
        self.thread = threading.get_native_id()
        self.audio += 1
        if len(data) != AUDIO_BYTES:
            self.bad_size += 1
        self._check((user_id, "a"), frame.pts // FRAME_MS, t0 + frame.pts / 1000)

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        data = frame.data
        t0 = self.t0
        if t0 is None:
            return
        self.video += 1
        if len(data) != VIDEO_BYTES:
            self.bad_size += 1
        seq = frame.pts  # the video frame index
        self._check((user_id, "v"), seq, t0 + seq / FPS)


def sender_loop(clouds, audio_frames, video_frames, seconds, t0, stats):
    cpu0 = time.thread_time()
    ticks = seconds * 1000 // FRAME_MS
    video_next = 0
    for tick in range(ticks):
        due = t0 + tick * FRAME_MS / 1000
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        else:
            stats["behind"] += 1
        pts = tick * FRAME_MS
        for cloud, frame in zip(clouds, audio_frames):
            frame.pts = pts
            if cloud.SendAudioFrame(frame) != 0:
                stats["errors"] += 1
        stats["audio"] += len(clouds)
        while video_next / FPS <= tick * FRAME_MS / 1000:  # video frames due by now
            for cloud, frame in zip(clouds, video_frames):
                frame.pts = video_next
                if cloud.SendPixelFrame(VIDEO, frame) != 0:
                    stats["errors"] += 1
            stats["video"] += len(video_frames)
            video_next += 1
    stats["cpu"] = time.thread_time() - cpu0


def run_pass(name, clouds, audio_frames, video_frames, receiver_d, receiver_id, seconds):
    stats = {"audio": 0, "video": 0, "errors": 0, "behind": 0, "cpu": 0.0}
    t0 = time.monotonic() + 0.2
    receiver_d.reset(t0)
    cpu0, threads0, wall0 = time.process_time(), thread_cpu(), time.monotonic()
    sender = threading.Thread(target=sender_loop, args=(clouds, audio_frames, video_frames, seconds, t0, stats))
    sender.start()
    for second in range(1, seconds + 1):
        sender.join(max(0.0, t0 + second - time.monotonic()))
        progress(f"{name}: {second}/{seconds} s, received audio {receiver_d.audio} video {receiver_d.video}")
    sender.join()
    sdk_control.wait_idle(receiver_id, 10000)
    wall = time.monotonic() - wall0
    cpu, threads1 = time.process_time() - cpu0, thread_cpu()
    per_thread = {tid: threads1[tid] - threads0.get(tid, 0.0) for tid in threads1}
    sender_cpu = stats["cpu"]  # measured by the sender thread itself, which has ended
    receiver_cpu = per_thread.get(receiver_d.thread, 0.0) if receiver_d.thread else 0.0
    receiver_d.t0 = None
    return {"wall": wall, "cpu": cpu, "sender": sender_cpu, "receiver_thread": receiver_cpu, "stats": stats,
            "recv": {k: getattr(receiver_d, k) for k in ("audio", "video", "dropped", "late", "max_late",
                                                           "bad_size")}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=10)
    args = parser.parse_args()
    seconds = args.seconds

    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)

    progress(f"setting up {PARTICIPANTS} participants and a receiver")
    receiver_d = Receiver()
    receiver, receiver_id = make_cloud(receiver_d)
    enter(receiver, receiver_d, "receiver", ROOM)
    names = [f"p{i:02d}" for i in range(PARTICIPANTS)]
    delegates, clouds, audio_frames, video_frames = [], [], [], []
    for i, name in enumerate(names):
        d = QuietDelegate()
        cloud, _ = make_cloud(d)
        enter(cloud, d, name, ROOM, audio=True, video=i < VIDEO_SENDERS)
        delegates.append(d)
        clouds.append(cloud)
        a = lumora.AudioFrame()
        a.sample_rate, a.channels, a.bits_per_sample = 48000, 1, 16
        a.codec = lumora.AUDIO_CODEC_TYPE_PCM
        a.SetData(bytes((i + k) & 0x7F for k in range(AUDIO_BYTES)))
        audio_frames.append(a)
        if i < VIDEO_SENDERS:
            v = lumora.PixelFrame()
            v.width, v.height, v.format = W, H, lumora.VIDEO_PIXEL_FORMAT_YUV420p
            v.SetData(bytes((i * 31 + k) & 0xFF for k in range(256)) * (VIDEO_BYTES // 256))
            video_frames.append(v)
    receiver_d.wait_peers(names)

    # Pass 1: senders alone (nobody subscribed, so the SDK delivers nothing).
    p1 = run_pass("pass 1 (senders only)", clouds, audio_frames, video_frames, receiver_d, receiver_id, seconds)

    for name in names:
        receiver.Subscribe(name, lumora.STREAM_TYPE_AUDIO)
    for name in names[:VIDEO_SENDERS]:
        receiver.Subscribe(name, VIDEO)
    time.sleep(0.3)
    p2 = run_pass("pass 2 (senders + receiver)", clouds, audio_frames, video_frames, receiver_d, receiver_id,
                  seconds)

    def pct(cpu, p):
        return f"{100 * cpu / p['wall']:.1f}%"

    rows = []
    for label, p in (("1: senders only", p1), ("2: senders + receiver", p2)):
        rows.append([label, f"{p['wall']:.1f}", pct(p["cpu"], p), pct(p["sender"], p),
                     pct(p["receiver_thread"], p), pct(p["cpu"] - p["sender"] - p["receiver_thread"], p)])
    recv_cost = p2["cpu"] / p2["wall"] - p1["cpu"] / p1["wall"]
    rows.append(["receiver = 2 - 1", "", f"{100 * recv_cost:.1f}%", "", "", ""])
    print(f"CPU: {cpu_model()}, {os.cpu_count()} cores; {seconds} s per pass; "
          "senders: one Python thread with real clouds in one room")
    print_table("CPU time per second of call, % of one core",
                ["pass", "wall s", "process", "sender thread", "receiver event thread", "other threads"], rows)

    r, s = p2["recv"], p2["stats"]
    expected_audio = s["audio"]
    expected_video = s["video"]
    rows = [
        ["audio frames (50 x 50/s)", s["audio"], r["audio"], expected_audio - r["audio"]],
        ["video frames (2 x 30 fps, 640x360)", s["video"], r["video"], expected_video - r["video"]],
    ]
    print_table("pass 2 deliveries", ["stream", "sent", "received", "missing"], rows)
    print(f"  sequence gaps (dropped): {r['dropped']}, late (> {LATE_S * 1000:.0f} ms): {r['late']}, "
          f"max lateness {r['max_late'] * 1000:.1f} ms, wrong sizes {r['bad_size']}, send errors {s['errors']}, "
          f"sender ticks behind schedule {s['behind']}")
    print("target: receiver under 25% of one core, nothing dropped")
    for cloud in clouds + [receiver]:
        cloud.ExitRoom()


if __name__ == "__main__":
    main()

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
  pass 3  senders + a receiver whose delegate is C++ and only counts
          (native_delegate.cpp), subscribed to the same streams instead:
          the SDK's own receive path, with no Python
Receiver cost = pass 2 minus pass 1. Each pass also splits its CPU time by
thread (/proc/self/task/*/schedstat): the sender thread, the receiver's event
thread (where every callback runs) and everything else.

A callback counts as late when it arrives more than 100 ms after the moment its
frame was scheduled to be sent; a drop is a gap in a stream's sequence.

Native floor: one native thread (native_baseline.c, paced()) that keeps its
Python thread state receives the same calls at the same rates (2,500 audio
calls/s of 960 bytes, 60 video calls/s of 345,600 bytes) and makes each
call's payload copy, a new bytes object, under the interpreter lock; its own
CPU time is the floor for the receiver's event thread. Two more native rows
also hand every bytes object to a Python handler doing the delegate's
checks, once keeping the thread state and once with a fresh one per call.

Builds: the default build (kept thread states) and the
LUMORA_KEEP_THREAD_STATES=OFF build (fresh thread states) run in
worker subprocesses (see _variants.py for the options; bench/build_variants.sh
builds both), alternating with the native floors: kept, fresh, floor,
floor, fresh, kept, ... Each figure is the best of --repeat runs. Without
any build named, the installed _lumora is measured alone.

    python bench/bench_load.py [--sites DIR | --kept-site K --fresh-site F]
                               [--site NAME=DIR ...] [--seconds 10] [--repeat 3]
"""

import argparse
import ctypes
import os
import tempfile
import threading
import time

import _variants
from _variants import HERE, cpu_model, print_table, progress

PARTICIPANTS = 50
VIDEO_SENDERS = 2
FRAME_MS = 20
FPS = 30
W, H = 640, 360
AUDIO_BYTES = 48000 * FRAME_MS // 1000 * 2
VIDEO_BYTES = W * H * 3 // 2
LATE_S = 0.100
ROOM = 9300
# The receiver's calls as paced groups: (events/s, calls per event, bytes per call).
CALL_GROUPS = ((1000 / FRAME_MS, PARTICIPANTS, AUDIO_BYTES), (FPS, VIDEO_SENDERS, VIDEO_BYTES))
# Native runs: name -> (the thread keeps its state, each payload goes to a Python handler).
FLOOR = "native floor: copies, kept state"
NATIVE_RUNS = {
    FLOOR: (True, False),
    "native: copies + Python checks, kept state": (True, True),
    "native: copies + Python checks, fresh state": (False, True),
}
TARGET_KEPT_OVER_FLOOR = 1.5
SDK_ALONE = "SDK alone: C++ receiver, no Python"
RECV_FIELDS = ("audio", "video", "dropped", "late", "max_late", "bad_size")


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


class StreamCheck:
    """The receiver's per-call checks: sequence gaps and lateness per stream."""

    def __init__(self):
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


class FloorHandler(StreamCheck):
    """What a native run hands each bytes object to: the receiver's checks,
    with the sequence counted per payload size and the call due on arrival."""

    def __init__(self):
        super().__init__()
        self.seq = {}

    def __call__(self, data):
        if self.t0 is None:
            return
        size = len(data)
        if size == AUDIO_BYTES:
            self.audio += 1
        elif size == VIDEO_BYTES:
            self.video += 1
        else:
            self.bad_size += 1
        seq = self.seq.get(size, 0)
        self.seq[size] = seq + 1
        self._check(size, seq, time.monotonic())


def sender_loop(clouds, audio_frames, video_frames, video, seconds, t0, stats):
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
                if cloud.SendPixelFrame(video, frame) != 0:
                    stats["errors"] += 1
            stats["video"] += len(video_frames)
            video_next += 1
    stats["cpu"] = time.thread_time() - cpu0


def run_pass(name, clouds, audio_frames, video_frames, video, receiver_d, wait_idle, seconds):
    stats = {"audio": 0, "video": 0, "errors": 0, "behind": 0, "cpu": 0.0}
    t0 = time.monotonic() + 0.2
    receiver_d.reset(t0)
    cpu0, threads0, wall0 = time.process_time(), thread_cpu(), time.monotonic()
    sender = threading.Thread(target=sender_loop, args=(clouds, audio_frames, video_frames, video, seconds, t0, stats))
    sender.start()
    for second in range(1, seconds + 1):
        sender.join(max(0.0, t0 + second - time.monotonic()))
        progress(f"{name}: {second}/{seconds} s, received audio {receiver_d.audio} video {receiver_d.video}")
    sender.join()
    wait_idle()
    wall = time.monotonic() - wall0
    cpu, threads1 = time.process_time() - cpu0, thread_cpu()
    per_thread = {tid: threads1[tid] - threads0.get(tid, 0.0) for tid in threads1}
    sender_cpu = stats["cpu"]  # measured by the sender thread itself, which has ended
    receiver_cpu = per_thread.get(receiver_d.thread, 0.0) if receiver_d.thread else 0.0
    receiver_d.t0 = None
    return {"wall": wall, "cpu": cpu, "sender": sender_cpu, "receiver_thread": receiver_cpu, "stats": stats,
            "recv": {k: getattr(receiver_d, k) for k in ("audio", "video", "dropped", "late", "max_late",
                                                           "bad_size")}}


class NativeReceiver:
    """A receiving cloud whose delegate is C++ (native_delegate.cpp) and only
    counts frames, dressed as a StreamCheck for run_pass: its event thread's
    CPU time under the load is the SDK's own receive path."""

    def __init__(self, lib, room):
        self.lib = lib
        self.id = lib.bench_native_cloud_create()
        if lib.bench_native_enter(self.id, b"native-receiver", room) != 0:
            raise RuntimeError("native receiver: EnterRoom failed")
        deadline = time.monotonic() + 10
        while not self._stats()[0]:
            if time.monotonic() > deadline:
                raise RuntimeError("native receiver: OnEnterRoom did not arrive")
            time.sleep(0.01)
        self.base = (0, 0)
        self.reset(None)

    def _stats(self):
        out = (ctypes.c_uint64 * 4)()
        if self.lib.bench_native_stats(self.id, out) != 0:
            raise RuntimeError("native receiver: unknown cloud")
        return list(out)

    def subscribe(self, audio_users, audio_type, video_users, video_type):
        for user in audio_users:
            self.lib.bench_native_subscribe(self.id, user.encode(), audio_type)
        for user in video_users:
            self.lib.bench_native_subscribe(self.id, user.encode(), video_type)

    def reset(self, t0):
        self.t0 = t0
        self.base = tuple(self._stats()[1:3])
        self.dropped = self.late = self.bad_size = 0  # not checked: the C++ delegate only counts
        self.max_late = 0.0

    @property
    def audio(self):
        return self._stats()[1] - self.base[0]

    @property
    def video(self):
        return self._stats()[2] - self.base[1]

    @property
    def thread(self):
        return self._stats()[3] or None

    def close(self):
        self.lib.bench_native_exit(self.id)
        self.lib.bench_native_cloud_destroy(self.id)


# ---- Workers ------------------------------------------------------------------

def build_worker(args):
    """One build in this process: both passes; emits their figures."""
    from _common import QuietDelegate, enter, lumora, make_cloud, native_delegate_library, sdk_control, \
        thread_state_mode

    video = lumora.STREAM_TYPE_VIDEO_HIGH

    class Receiver(QuietDelegate, StreamCheck):
        def __init__(self):
            QuietDelegate.__init__(self)
            StreamCheck.__init__(self)

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

    seconds = args.seconds
    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    mode = thread_state_mode()

    progress(f"{args.worker}: setting up {PARTICIPANTS} participants and a receiver")
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
    native = NativeReceiver(native_delegate_library(sdk_control.LIBRARY_PATH, args.cache), ROOM)

    def one_pass(name, receiver_d=receiver_d, receiver_id=receiver_id):
        return run_pass(f"{args.worker} {name}", clouds, audio_frames, video_frames, video, receiver_d,
                        lambda: sdk_control.wait_idle(receiver_id, 10000), seconds)

    # Pass 1: senders alone (nobody subscribed, so the SDK delivers nothing).
    p1 = one_pass("pass 1 (senders only)")
    for name in names:
        receiver.Subscribe(name, lumora.STREAM_TYPE_AUDIO)
    for name in names[:VIDEO_SENDERS]:
        receiver.Subscribe(name, video)
    time.sleep(0.3)
    p2 = one_pass("pass 2 (senders + receiver)")
    # Pass 3: the same streams to the C++ receiver instead: the SDK alone.
    for name in names:
        receiver.Unsubscribe(name, lumora.STREAM_TYPE_AUDIO)
    for name in names[:VIDEO_SENDERS]:
        receiver.Unsubscribe(name, video)
    native.subscribe(names, int(lumora.STREAM_TYPE_AUDIO), names[:VIDEO_SENDERS], int(video))
    time.sleep(0.3)
    p3 = one_pass("pass 3 (senders + C++ receiver)", native, native.id)
    native.close()
    for cloud in clouds + [receiver]:
        cloud.ExitRoom()
    _variants.emit({"module": lumora.__file__, "mode": mode, "p1": p1, "p2": p2, "p3": p3})


def native_worker(args):
    """The native runs, one after another; emits {name: figures}."""
    native = _variants.load_native("native_baseline", args.native)
    out = {}
    for name, (warm, python) in NATIVE_RUNS.items():
        progress(f"{name}: {args.seconds} s")
        handler = FloorHandler()
        handler.reset(time.monotonic())
        r = native.paced(CALL_GROUPS, float(args.seconds), warm, handler if python else None)
        if python:
            r["recv"] = {k: getattr(handler, k) for k in RECV_FIELDS}
        out[name] = r
    _variants.emit(out)


# ---- Parent -------------------------------------------------------------------

def pct(cpu, wall):
    return 100 * cpu / wall


def build_row(label, runs, floor, key="p2", checked=True):
    """The run whose receiver event thread cost least in pass `key`; losses
    over all runs (gaps and lateness only when the receiver checks them)."""
    run = min(runs, key=lambda r: r[key]["receiver_thread"] / r[key]["wall"])
    p1, p = run["p1"], run[key]
    recv = pct(p["receiver_thread"], p["wall"])
    missing = sum(r[key]["stats"]["audio"] + r[key]["stats"]["video"] - r[key]["recv"]["audio"]
                  - r[key]["recv"]["video"] for r in runs)
    row = [label, f"{recv:.2f}%", f"{recv / floor:.2f}x",
           f"{(p['recv']['audio'] + p['recv']['video']) / p['wall']:,.0f}",
           f"{pct(p['cpu'], p['wall']) - pct(p1['cpu'], p1['wall']):.1f}%",
           f"{pct(p['sender'], p['wall']):.1f}%", missing]
    if checked:
        row += [sum(r[key]["recv"]["dropped"] + r[key]["recv"]["bad_size"] for r in runs),
                sum(r[key]["recv"]["late"] for r in runs),
                f"{max(r[key]['recv']['max_late'] for r in runs) * 1000:.0f}"]
    else:
        row += ["", "", ""]
    return row, recv


def native_row(name, runs, floor):
    run = min((r[name] for r in runs), key=lambda r: r["cpu"] / r["wall"])
    cpu = pct(run["cpu"], run["wall"])
    recv = run.get("recv")
    lost = late = max_late = ""
    if recv:
        lost = sum(r[name]["recv"]["dropped"] + r[name]["recv"]["bad_size"] for r in runs)
        late = sum(r[name]["recv"]["late"] for r in runs)
        max_late = f"{max(r[name]['recv']['max_late'] for r in runs) * 1000:.0f}"
    return [name, f"{cpu:.2f}%", f"{cpu / floor:.2f}x", f"{run['calls'] / run['wall']:,.0f}", "", "",
            "", lost, late, max_late]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=10, help="length of each pass and of each native run")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each build and of the native runs")
    parser.add_argument("--native", help=argparse.SUPPRESS)  # the compiled baseline, for workers
    parser.add_argument("--cache", help=argparse.SUPPRESS)  # where workers build native_delegate.cpp
    _variants.add_site_options(parser)
    args = parser.parse_args()
    if args.worker == "native":
        native_worker(args)
        return
    if args.worker:
        build_worker(args)
        return

    builds = _variants.variants(args)
    sites = dict(builds)
    tmp = tempfile.mkdtemp(prefix="lumora-bench-")
    native = _variants.compile_native("native_baseline", HERE / "native_baseline.c", extra=["-pthread"], out_dir=tmp)
    worker_args = ["--native", str(native), "--cache", tmp, "--seconds", str(args.seconds)]
    names = [name for name, _ in builds] + ["native"]
    results = {name: [] for name in names}
    for i, name in enumerate(_variants.interleaved(names, args.repeat)):
        progress(f"run {i + 1} of {len(names) * args.repeat}: {name}")
        # The native runs import no build; the first build's folder (or none) will do.
        site = sites.get(name, builds[0][1])
        results[name].append(_variants.run_worker(__file__, name, site, worker_args))

    floor_runs = results["native"]
    floor = min(pct(r[FLOOR]["cpu"], r[FLOOR]["wall"]) for r in floor_runs)
    rows, recv = [], {}
    for name, _ in builds:
        row, recv[name] = build_row(f"{name} build", results[name], floor)
        rows.append(row)
    # Pass 3 of every build's runs: the same SDK, so the best of them all.
    every = [r for name, _ in builds for r in results[name]]
    rows.append(build_row(SDK_ALONE, every, floor, key="p3", checked=False)[0])
    rows += [native_row(name, floor_runs, floor) for name in NATIVE_RUNS]

    print(f"CPU: {cpu_model()}, {os.cpu_count()} cores; {args.seconds} s per pass and per native run; "
          f"best of {args.repeat} runs; senders: one Python thread with real clouds in one room")
    print_table("receiver cost, % of one core",
                ["receiver", "event thread CPU", "x floor", "calls/s", "process - pass 1", "sender thread",
                 "missing", "gaps", "late", "max late ms"], rows)
    print("event thread CPU: the receiver's event thread in pass 2 (pass 3 for the C++ receiver), where every "
          "callback runs (native rows: the native thread's own CPU time); x floor: over the first native row")
    print("process - pass 1: whole-process CPU of the pass minus pass 1; missing, gaps (sequence gaps and wrong "
          "sizes), late (> 100 ms): summed over all runs")
    print(f"{SDK_ALONE}: pass 3 of every build's runs, the same streams to a C++ delegate that only counts")
    for name, _ in builds:
        print(f"{name}: {results[name][0]['module']} (SDK threads: {results[name][0]['mode']} thread states)")
    if "kept" in recv:
        ratio = recv["kept"] / floor
        verdict = "met" if ratio <= TARGET_KEPT_OVER_FLOOR else "MISSED"
        print(f"target kept build <= {TARGET_KEPT_OVER_FLOOR}x the native floor: {verdict} ({ratio:.2f}x)")
    print("target: receiver under 25% of one core, nothing dropped")


if __name__ == "__main__":
    main()

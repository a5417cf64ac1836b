"""Callback delivery from SDK threads into Python, against a plain native thread.

SDK side: N injected delegate calls are queued (EVENT mode) on the event
threads of 1 or 4 clouds while this thread holds the interpreter lock, so
nothing is delivered during queuing; then the clock runs until every cloud's
wait_idle returns. Each cloud has its own event thread, so 4 clouds means 4
SDK threads calling into Python at once.

Baseline: a tiny C extension (native_baseline.c, compiled now) starts the same
number of native threads, each calling the same bound Python method with the
same arguments n times under PyGILState_Ensure/PyGILState_Release. That is
the "cold" baseline: the threads own no Python thread state, so every call
creates and destroys one, as on any foreign callback thread. A second, "warm"
baseline keeps one thread state per thread, so a call only takes the lock:
the floor for any delivery from a native thread.

The SDK figure also holds the SDK's own per-call work (queue, copy of the
injected payload, counters), so the ratio is an upper bound of the binding's
share.

    python bench/bench_callbacks.py [--calls 60000] [--repeat 3]
"""

import argparse
import ctypes
import sys
import time

from _common import HERE, QuietDelegate, compile_extension, lumora, make_cloud, print_table, progress, sdk_control

USER = b"remote-user"
AUDIO = bytes(range(256)) * 3 + bytes(192)  # 960 bytes: 20 ms of 48 kHz mono 16-bit
SEI = bytes(range(64))
VIDEO_HIGH = int(lumora.STREAM_TYPE_VIDEO_HIGH)


class Counting(QuietDelegate):
    def OnRemoteAudioReceived(self, user_id, frame):
        pass

    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
        pass


def queue_audio(lib, cloud_id, n, buf):
    f = lib.lumora_inject_remote_audio
    for i in range(n):
        f(cloud_id, sdk_control.EVENT, USER, 48000, 1, 16, 0, i, 1, buf, len(AUDIO))


def queue_sei(lib, cloud_id, n, buf):
    f = lib.lumora_inject_sei_message
    for _ in range(n):
        f(cloud_id, sdk_control.EVENT, USER, VIDEO_HIGH, 5, buf, len(SEI))


def sdk_run(kind, clouds, total):
    """Seconds for `total` deliveries spread over `clouds` (list of ids)."""
    per = total // len(clouds)
    before = {c: sdk_control.callback_count(c) for c in clouds}
    audio_buf = ctypes.create_string_buffer(AUDIO, len(AUDIO))
    sei_buf = ctypes.create_string_buffer(SEI, len(SEI))
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)  # keep the lock here while queuing
    try:
        for c in clouds:
            if kind == "audio":
                queue_audio(sdk_control.lib_locked, c, per, audio_buf)
            else:
                queue_sei(sdk_control.lib_locked, c, per, sei_buf)
        t0 = time.perf_counter()
    finally:
        sys.setswitchinterval(old)
    for c in clouds:  # the CDLL call releases the lock: delivery starts now
        if sdk_control.wait_idle(c, 600000) != 0:
            raise RuntimeError(f"cloud {c} did not become idle")
    elapsed = time.perf_counter() - t0
    delivered = sum(sdk_control.callback_count(c) - before[c] for c in clouds)
    errors = sum(sdk_control.callback_errors(c) for c in clouds)
    if delivered != per * len(clouds) or errors:
        raise RuntimeError(f"{kind}: delivered {delivered} of {per * len(clouds)}, errors {errors}")
    return elapsed, per * len(clouds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=60000, help="calls per measurement (all threads together)")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = parser.parse_args()

    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    native = compile_extension("native_baseline", HERE / "native_baseline.c", extra=["-pthread"])

    delegates, clouds, ids = [], [], []
    for _ in range(4):
        d = Counting()
        cloud, cid = make_cloud(d)
        delegates.append(d)
        clouds.append(cloud)
        ids.append(cid)

    # The same Python method and the same argument objects the binding passes.
    sample = lumora.AudioFrame()
    sample.sample_rate, sample.channels, sample.bits_per_sample = 48000, 1, 16
    sample.SetData(AUDIO)
    base_args = {
        "audio": (delegates[0].OnRemoteAudioReceived, ("remote-user", sample)),
        "sei": (delegates[0].OnSeiMessageReceived, ("remote-user", lumora.STREAM_TYPE_VIDEO_HIGH, 5, SEI)),
    }

    rows = []
    for kind, label in (("audio", "OnRemoteAudioReceived (960 B frame)"), ("sei", "OnSeiMessageReceived (64 B)")):
        for threads in (1, 4):
            progress(f"{label}, {threads} thread(s)")
            sdk_best = min(sdk_run(kind, ids[:threads], args.calls)[0] for _ in range(args.repeat))
            fn, fargs = base_args[kind]
            base_best = min(native.run(fn, fargs, args.calls // threads, threads, False) for _ in range(args.repeat))
            warm_best = min(native.run(fn, fargs, args.calls // threads, threads, True) for _ in range(args.repeat))
            n = (args.calls // threads) * threads
            sdk_us, base_us, warm_us = (1e6 * t / n for t in (sdk_best, base_best, warm_best))
            rows.append([label, threads, f"{n / sdk_best:,.0f}", f"{n / base_best:,.0f}", f"{n / warm_best:,.0f}",
                         f"{sdk_us:.2f}", f"{base_us:.2f}", f"{warm_us:.2f}",
                         f"{sdk_us / base_us:.2f}x", f"{sdk_us / warm_us:.2f}x"])

    print_table(f"callback delivery, {args.calls} calls per run, best of {args.repeat}",
                ["callback", "threads", "SDK calls/s", "cold calls/s", "warm calls/s", "SDK us", "cold us", "warm us",
                 "SDK/cold", "SDK/warm"], rows)
    print("us = microseconds per call; cold = native thread, new thread state per call; "
          "warm = native thread keeping its thread state")
    print("target: SDK/cold <= 1.5x")
    del clouds


if __name__ == "__main__":
    main()

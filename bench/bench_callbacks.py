"""Callback delivery from SDK threads into Python, against a plain native thread.

SDK side: N injected delegate calls are queued (EVENT mode) on the event
threads of 1 or 4 clouds while this thread holds the interpreter lock, so
nothing is delivered during queuing; then the clock runs until every cloud's
wait_idle returns. Each cloud has its own event thread, so 4 clouds means 4
SDK threads calling into Python at once.

Baseline: a tiny C extension (native_baseline.c, compiled once per run)
starts the same number of native threads, each calling the same bound Python
method with the same arguments n times under PyGILState_Ensure/Release. That
is the "cold" baseline: the threads own no Python thread state, so every call
creates and destroys one, as on any foreign callback thread. A second,
"warm" baseline keeps one thread state per thread, so a call only takes the
lock: the floor for any delivery from a native thread.

The SDK figures also hold the SDK's own per-call work (queue, copy of the
injected payload, counters), so a ratio is an upper bound of the binding's
share.

Builds: the default build (kept thread states) and the
LUMORA_KEEP_THREAD_STATES=OFF build (a fresh thread state per callback) are
measured side by side, each in worker subprocesses that import it (see
_variants.py for the options; bench/build_variants.sh builds both). The runs
alternate kept, fresh, fresh, kept, ... and every figure is the best of
--repeat runs; both baselines are measured in every worker and the best over
all workers is kept. Without any build named, the installed _lumora is
measured alone.

    python bench/bench_callbacks.py [--sites DIR | --kept-site K --fresh-site F]
                                    [--site NAME=DIR ...] [--calls 60000] [--repeat 3]
"""

import argparse
import ctypes
import sys
import tempfile
import time

import _variants
from _variants import HERE, best, print_table, progress

USER = b"remote-user"
AUDIO = bytes(range(256)) * 3 + bytes(192)  # 960 bytes: 20 ms of 48 kHz mono 16-bit
SEI = bytes(range(64))
KINDS = (("audio", "OnRemoteAudioReceived (960 B frame)"), ("sei", "OnSeiMessageReceived (64 B)"))
THREADS = (1, 4)

# Ratio columns (time per call of the first over the second), shown when both
# columns are measured; the targets are the limits the README records.
RATIOS = (("fresh", "cold"), ("kept", "warm"), ("fresh", "kept"), ("installed", "cold"), ("installed", "warm"))
TARGETS = {("fresh", "cold"): 1.1, ("kept", "warm"): 2.0}


# ---- Worker: one build, in its own process ------------------------------------

def worker(args):
    """Measures every (callback, threads) case once with the imported build
    and both native baselines; emits {case: seconds} per column."""
    from _common import QuietDelegate, lumora, make_cloud, native_delegate_library, sdk_control, thread_state_mode

    class Counting(QuietDelegate):
        def OnRemoteAudioReceived(self, user_id, frame):
            pass

        def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
            pass

    def queue(kind, cloud_id, n, buf):
        lib = sdk_control.lib_locked
        if kind == "audio":
            f = lib.lumora_inject_remote_audio
            for i in range(n):
                f(cloud_id, sdk_control.EVENT, USER, 48000, 1, 16, 0, i, 1, buf, len(AUDIO))
        else:
            f = lib.lumora_inject_sei_message
            video_high = int(lumora.STREAM_TYPE_VIDEO_HIGH)
            for _ in range(n):
                f(cloud_id, sdk_control.EVENT, USER, video_high, 5, buf, len(SEI))

    def sdk_run(kind, clouds, per, gate=None):
        """Seconds for `per` deliveries on each cloud of `clouds` (ids).
        With `gate` (the native delegate library), each event thread is
        first parked in a gated OnError, as the interpreter lock cannot hold
        a native delegate's deliveries back."""
        before = {c: sdk_control.callback_count(c) for c in clouds}
        buf = ctypes.create_string_buffer(AUDIO if kind == "audio" else SEI)
        if gate is not None:
            gate.bench_native_gate(0)
            for c in clouds:
                sdk_control.inject("error", c, -1, mode=sdk_control.EVENT)
        old = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)  # keep the lock here while queuing
        try:
            for c in clouds:
                queue(kind, c, per, buf)
            t0 = time.perf_counter()
            if gate is not None:
                gate.bench_native_gate(1)
        finally:
            sys.setswitchinterval(old)
            if gate is not None:
                gate.bench_native_gate(1)
        for c in clouds:  # the CDLL call releases the lock: delivery starts now
            if sdk_control.wait_idle(c, 600000) != 0:
                raise RuntimeError(f"cloud {c} did not become idle")
        elapsed = time.perf_counter() - t0
        expected = (per + (gate is not None)) * len(clouds)
        delivered = sum(sdk_control.callback_count(c) - before[c] for c in clouds)
        errors = sum(sdk_control.callback_errors(c) for c in clouds)
        if delivered != expected or errors:
            raise RuntimeError(f"{kind}: delivered {delivered} of {expected}, errors {errors}")
        return elapsed

    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    native = _variants.load_native("native_baseline", args.native)
    mode = thread_state_mode()
    alone = native_delegate_library(sdk_control.LIBRARY_PATH, args.cache)
    alone_ids = [alone.bench_native_cloud_create() for _ in range(max(THREADS))]

    delegates, clouds, ids = [], [], []
    for _ in range(max(THREADS)):
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

    out = {"module": lumora.__file__, "mode": mode, "sdk": {}, "alone": {}, "cold": {}, "warm": {}, "n": {}}
    for kind, label in KINDS:
        for threads in THREADS:
            progress(f"{args.worker}: {label}, {threads} thread(s)")
            case = f"{kind}/{threads}"
            per = args.calls // threads
            fn, fargs = base_args[kind]
            out["n"][case] = per * threads
            out["sdk"][case] = sdk_run(kind, ids[:threads], per)
            out["alone"][case] = sdk_run(kind, alone_ids[:threads], per, gate=alone)
            out["cold"][case] = native.run(fn, fargs, per, threads, False)
            out["warm"][case] = native.run(fn, fargs, per, threads, True)
    for cid in alone_ids:
        sdk_control.wait_idle(cid, 10000)
        alone.bench_native_cloud_destroy(cid)
    del clouds
    _variants.emit(out)


# ---- Parent: schedules the workers and prints one table ------------------------

def ratio_columns(columns):
    ratios = [(a, b) for a, b in RATIOS if a in columns and b in columns]
    # A build named with --site (an earlier commit, say) is set against the
    # cold baseline and, when measured, the fresh-state build against it.
    for other in columns:
        if other not in {a for pair in RATIOS for a in pair} | {"alone"}:
            ratios.append((other, "cold"))
            if "fresh" in columns:
                ratios.append(("fresh", other))
    return ratios


def table(columns, seconds, n):
    """columns: names in order; seconds[col][case]: best seconds."""
    ratios = ratio_columns(columns)
    header = (["callback", "threads"] + [f"{c} calls/s" for c in columns] + [f"{c} us" for c in columns]
              + [f"{a}/{b}" for a, b in ratios])
    rows, worst = [], {}
    for kind, label in KINDS:
        for threads in THREADS:
            case = f"{kind}/{threads}"
            us = {c: 1e6 * seconds[c][case] / n[case] for c in columns}
            row = [label, threads] + [f"{n[case] / seconds[c][case]:,.0f}" for c in columns]
            row += [f"{us[c]:.2f}" for c in columns]
            for a, b in ratios:
                r = us[a] / us[b]
                worst[(a, b)] = max(worst.get((a, b), 0.0), r)
                row.append(f"{r:.2f}x")
            rows.append(row)
    return header, rows, worst


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=60000, help="calls per measurement (all threads together)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each build; every figure is the best")
    parser.add_argument("--native", help=argparse.SUPPRESS)  # the compiled baseline, for workers
    parser.add_argument("--cache", help=argparse.SUPPRESS)  # where workers build native_delegate.cpp
    _variants.add_site_options(parser)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return

    builds = _variants.variants(args)
    tmp = tempfile.mkdtemp(prefix="lumora-bench-")
    native = _variants.compile_native("native_baseline", HERE / "native_baseline.c", extra=["-pthread"], out_dir=tmp)
    results = {name: [] for name, _ in builds}
    sites = dict(builds)
    for name in _variants.interleaved([name for name, _ in builds], args.repeat):
        progress(f"run {sum(map(len, results.values())) + 1}: {name} build")
        results[name].append(_variants.run_worker(
            __file__, name, sites[name], ["--native", str(native), "--cache", tmp, "--calls", str(args.calls)]))

    every = [r for runs in results.values() for r in runs]
    n = every[0]["n"]
    seconds = {name: {case: best(r["sdk"][case] for r in runs) for case in n} for name, runs in results.items()}
    for base in ("alone", "cold", "warm"):
        seconds[base] = {case: best(r[base][case] for r in every) for case in n}
    columns = [name for name, _ in builds] + ["alone", "cold", "warm"]

    header, rows, worst = table(columns, seconds, n)
    print_table(f"callback delivery, {args.calls} calls per run, best of {args.repeat} runs per build "
                f"(baselines: best of {len(every)})", header, rows)
    print("us = microseconds per call; a/b = a's time per call over b's")
    for name, _ in builds:
        print(f"{name}: {results[name][0]['module']} (SDK threads: {results[name][0]['mode']} thread states)")
    print("cold = native thread, new thread state per call; warm = native thread keeping its thread state")
    for (a, b), limit in TARGETS.items():
        if (a, b) in worst:
            verdict = "met" if worst[(a, b)] <= limit else "MISSED"
            print(f"target {a}/{b} <= {limit}x: {verdict} (worst row {worst[(a, b)]:.2f}x)")


if __name__ == "__main__":
    main()

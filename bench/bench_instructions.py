"""Instructions per callback under callgrind, against the C-API floor, with
wall-clock time beside them.

What is counted: only what runs inside the delegate's own override on the
SDK's event thread (callgrind `--collect-atstart=no` with `--toggle-collect`
on the override), so the SDK's queue and the injection are left out, and
only a fixed number of calls in a warm process: every callback kind is
delivered --warmup times first, then callgrind's counts are dumped and
zeroed, then --calls deliveries of one kind are made and dumped on their
own. Instruction counts do not move with the load of a shared machine.

Three deliveries of each callback:

  floor    floor_delegate.cpp: a C++ delegate calling the Python method
           through the C API with a kept thread state, building the same
           arguments (user id str, payload bytes, records as objects that own
           a copy); see that file
  kept     _lumora, the default build (each SDK thread keeps its thread state)
  fresh    _lumora, LUMORA_KEEP_THREAD_STATES=OFF build (a new thread state
           per callback)

and three callbacks: OnRemoteAudioReceived (960-byte frame),
OnSeiMessageReceived (64 bytes) and OnNetworkQuality (a local record and 3
remote ones). The Python methods do nothing.

The µs columns come from the same workers run without valgrind: --calls
deliveries queued on the event thread while this thread holds the lock,
timed until the SDK is idle, best of --repeat runs, so they include the
SDK's own work per delivery, which the "alone" column shows by itself (a
C++ delegate that does nothing, native_delegate.cpp).

    python bench/bench_instructions.py [--sites DIR | --kept-site K --fresh-site F]
                                       [--calls 1000] [--warmup 200] [--repeat 3]
"""

import argparse
import ctypes
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import _variants
from _variants import HERE, best, print_table, progress, read_dumps

USER = b"remote-user"
AUDIO = bytes(range(256)) * 3 + bytes(192)  # 960 bytes: 20 ms of 48 kHz mono 16-bit
SEI = bytes(range(64))
REMOTE = [(f"remote-{i}".encode(), 2 + i % 3) for i in range(3)]
KINDS = (
    ("audio", "OnRemoteAudioReceived", "OnRemoteAudioReceived (960 B frame)"),
    ("sei", "OnSeiMessageReceived", "OnSeiMessageReceived (64 B)"),
    ("quality", "OnNetworkQuality", "OnNetworkQuality (local + 3 remote)"),
)

# The overrides whose insides are counted, as callgrind names them
# (demangled, with wildcards for the parameter lists).
TOGGLES = {
    "floor": [f"*FloorDelegate::{method}(*" for _, method, _ in KINDS],
    "build": [f"PyVELACloudDelegate::{method}(*" for _, method, _ in KINDS],
}

RATIO_LIMIT = 1.3  # kept build (the default) against the floor, per callback


# ---- Worker: one build, in its own process ------------------------------------

def build_floor(sdk_library, cache):
    """floor_delegate.cpp built as an extension module against the SDK
    library a build's _lumora uses (once per library, in `cache`); returns
    its path."""
    sdk_library = pathlib.Path(sdk_library).resolve()
    folder = pathlib.Path(cache) / hashlib.sha1(str(sdk_library).encode()).hexdigest()[:12]
    out = folder / ("floor_delegate" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not out.exists():
        folder.mkdir(parents=True, exist_ok=True)
        root = HERE.parent
        control = next((root / "sdk").rglob("lumora_control.h")).parent
        tmp = out.with_suffix(".tmp.so")
        subprocess.run([os.environ.get("CXX", "g++"), "-O2", "-g", "-std=c++17", "-shared", "-fPIC",
                        "-fvisibility=hidden", "-I", sysconfig.get_paths()["include"], "-I", str(root / "include"),
                        "-I", str(control), str(HERE / "floor_delegate.cpp"), "-o", str(tmp), str(sdk_library),
                        f"-Wl,-rpath,{sdk_library.parent}"], check=True)
        tmp.rename(out)
    return out


def sdk_library_of(site):
    """The liblumora.so beside a build's _lumora (found without importing it)."""
    if site:
        return pathlib.Path(site) / "liblumora.so"
    import importlib.util
    return pathlib.Path(importlib.util.find_spec("_lumora").origin).parent / "liblumora.so"


def worker(args):
    from _common import QuietDelegate, lumora, make_cloud, native_delegate_library, sdk_control, thread_state_mode

    class Target:
        """The floor's Python object: the same no-op methods."""

        def OnRemoteAudioReceived(self, user_id, frame): pass
        def OnSeiMessageReceived(self, user_id, stream_type, message_type, message): pass
        def OnNetworkQuality(self, local_quality, remote_qualities): pass

    lib = sdk_control.lib_locked  # keeps the lock held while queuing
    audio_buf = ctypes.create_string_buffer(AUDIO, len(AUDIO))
    sei_buf = ctypes.create_string_buffer(SEI, len(SEI))
    remote_ids = (ctypes.c_char_p * len(REMOTE))(*[u for u, _ in REMOTE])
    remote_q = (ctypes.c_uint * len(REMOTE))(*[q for _, q in REMOTE])
    video_high = 2  # STREAM_TYPE_VIDEO_HIGH

    def queue(kind, cid, n):
        if kind == "audio":
            f = lib.lumora_inject_remote_audio
            for i in range(n):
                f(cid, sdk_control.EVENT, USER, 48000, 1, 16, 0, i, 1, audio_buf, len(AUDIO))
        elif kind == "sei":
            f = lib.lumora_inject_sei_message
            for _ in range(n):
                f(cid, sdk_control.EVENT, USER, video_high, 5, sei_buf, len(SEI))
        else:
            f = lib.lumora_inject_network_quality
            for _ in range(n):
                f(cid, sdk_control.EVENT, 1, b"local-user", 1, len(REMOTE), remote_ids, remote_q)

    def deliver(kind, cid, n, gate=None):
        """Queues n deliveries while holding the lock (so none starts
        early), then waits until the SDK is idle; returns the seconds from
        the end of queuing. With `gate` (a native delegate), the event
        thread is first parked in a gated OnError."""
        before = sdk_control.callback_count(cid)
        if gate is not None:
            gate.bench_native_gate(0)
            sdk_control.inject("error", cid, -1, mode=sdk_control.EVENT)
        old = sys.getswitchinterval()
        sys.setswitchinterval(1000.0)
        try:
            queue(kind, cid, n)
            t0 = time.perf_counter()
        finally:
            sys.setswitchinterval(old)
            if gate is not None:
                gate.bench_native_gate(1)
        if sdk_control.wait_idle(cid, 600000) != 0:
            raise RuntimeError(f"cloud {cid} did not become idle")
        elapsed = time.perf_counter() - t0
        delivered = sdk_control.callback_count(cid) - before
        if delivered != n + (gate is not None) or sdk_control.callback_errors(cid):
            raise RuntimeError(f"{kind}: delivered {delivered} of {n}, errors {sdk_control.callback_errors(cid)}")
        return elapsed

    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    floor = _variants.load_native("floor_delegate", build_floor(sdk_control.LIBRARY_PATH, args.cache))
    mode = thread_state_mode()
    delegate = QuietDelegate()
    cloud, build_id = make_cloud(delegate)
    target = Target()
    floor_id = floor.create(target)
    clouds = {"floor": floor_id, "build": build_id}
    out = {"module": lumora.__file__, "mode": mode, "n": args.calls}

    for kind, _, _ in KINDS:  # warm: thread states made, lookups cached, caches filled
        for cid in clouds.values():
            deliver(kind, cid, args.warmup)

    if args.count:
        if not floor.on_valgrind():
            raise RuntimeError("--count worker is not running under callgrind")
        floor.callgrind_dump("warm")
        for kind, _, _ in KINDS:
            for who, cid in clouds.items():
                deliver(kind, cid, args.calls)
                floor.callgrind_dump(f"{who}/{kind}")
    else:
        alone = native_delegate_library(sdk_control.LIBRARY_PATH, args.cache)
        alone_id = alone.bench_native_cloud_create()
        out["seconds"] = {}
        for kind, _, _ in KINDS:
            deliver(kind, alone_id, args.warmup, gate=alone)
            for who, cid in list(clouds.items()) + [("alone", alone_id)]:
                progress(f"{args.worker}: {kind}, {who}")
                out["seconds"][f"{who}/{kind}"] = deliver(kind, cid, args.calls,
                                                          gate=alone if who == "alone" else None)
        sdk_control.wait_idle(alone_id, 10000)
        alone.bench_native_cloud_destroy(alone_id)
    floor.destroy(floor_id)
    del cloud
    _variants.emit(out)


# ---- Parent ---------------------------------------------------------------------

def count_worker(name, site, worker_args, out_dir):
    """Runs one worker under callgrind; returns {"floor/<kind>": Ir, "build/<kind>": Ir}."""
    prefix = pathlib.Path(out_dir) / f"callgrind.{name}"
    toggles = [f"--toggle-collect={t}" for who in TOGGLES.values() for t in who]
    # The interpreter may be started through a wrapper script (the
    # toolchain's runs it with its own loader), so children are followed;
    # the worker itself starts none (the floor is built beforehand).
    cmd = ["valgrind", "--tool=callgrind", "--trace-children=yes", "--collect-atstart=no", *toggles, f"--callgrind-out-file={prefix}.%p",
           "--quiet", sys.executable, __file__, "--worker", name, "--count", *worker_args]
    proc = subprocess.run(cmd, env=_variants.worker_env(site), stdout=subprocess.PIPE, text=True, timeout=3600)
    if proc.returncode != 0:
        raise RuntimeError(f"{name} worker under callgrind failed with exit code {proc.returncode}")
    lines = [line for line in proc.stdout.splitlines() if line.startswith(_variants.RESULT_MARK)]
    if len(lines) != 1:
        raise RuntimeError(f"{name} callgrind worker printed {len(lines)} results")
    import json
    result = json.loads(lines[0][len(_variants.RESULT_MARK):])
    _variants.check_worker(name, site, result)
    counts = read_dumps(f"{prefix}.")
    for kind, method, _ in KINDS:
        if not counts.get(f"floor/{kind}"):
            raise RuntimeError(f"{name}: no instructions counted inside the floor's {method}")
    return counts, result


def table(builds, instructions, seconds, n):
    """instructions[col][kind], seconds[col][kind] with col in floor, the
    builds and alone; returns header, rows and the worst build/floor ratio
    per build."""
    header = (["callback", "floor Ir"] + [f"{b} Ir" for b in builds] + [f"{b}/floor Ir" for b in builds]
              + ["floor us"] + [f"{b} us" for b in builds] + ["alone us"])
    rows, worst = [], {}
    for kind, _, label in KINDS:
        ir = {c: instructions[c][kind] / n for c in ["floor", *builds] if kind in instructions.get(c, {})}
        us = {c: 1e6 * seconds[c][kind] / n for c in ["floor", *builds, "alone"] if kind in seconds.get(c, {})}
        row = [label] + [f"{ir[c]:,.0f}" if c in ir else "" for c in ["floor", *builds]]
        for b in builds:
            if b in ir and "floor" in ir:
                r = ir[b] / ir["floor"]
                worst[b] = max(worst.get(b, 0.0), r)
                row.append(f"{r:.2f}x")
            else:
                row.append("")
        row += [f"{us[c]:.2f}" if c in us else "" for c in ["floor", *builds, "alone"]]
        rows.append(row)
    return header, rows, worst


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000, help="counted (and timed) deliveries per callback")
    parser.add_argument("--warmup", type=int, default=200, help="deliveries of each callback before counting")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs of each build; the best is kept")
    parser.add_argument("--no-count", action="store_true", help="skip the callgrind runs (times only)")
    parser.add_argument("--count", action="store_true", help=argparse.SUPPRESS)  # worker under callgrind
    parser.add_argument("--cache", help=argparse.SUPPRESS)
    _variants.add_site_options(parser)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return

    if not args.no_count and shutil.which("valgrind") is None:
        raise SystemExit("valgrind not found (install it, or pass --no-count for the times alone)")
    builds = _variants.variants(args)
    names = [name for name, _ in builds]
    sites = dict(builds)
    tmp = tempfile.mkdtemp(prefix="lumora-bench-")
    for name in names:
        build_floor(sdk_library_of(sites[name]), tmp)
    worker_args = ["--cache", tmp, "--calls", str(args.calls), "--warmup", str(args.warmup)]

    instructions, stripped = {}, set()
    if not args.no_count:
        for name in names:
            progress(f"callgrind: {name} build")
            counts, _ = count_worker(name, sites[name], worker_args, tmp)
            for kind, _, _ in KINDS:
                # Nothing counted: callgrind found no override by name, the
                # module being stripped (the installed one usually is).
                if counts.get(f"build/{kind}"):
                    instructions.setdefault(name, {})[kind] = counts[f"build/{kind}"]
                else:
                    stripped.add(name)
                # The floor runs in every worker; its counts agree to a few
                # instructions, the smallest is kept.
                floor = instructions.setdefault("floor", {})
                floor[kind] = min(floor.get(kind, counts[f"floor/{kind}"]), counts[f"floor/{kind}"])

    runs = {name: [] for name in names}
    for name in _variants.interleaved(names, args.repeat):
        progress(f"timed run {sum(map(len, runs.values())) + 1}: {name} build")
        runs[name].append(_variants.run_worker(__file__, name, sites[name], worker_args))
    every = [r for rs in runs.values() for r in rs]
    seconds = {name: {kind: best(r["seconds"][f"build/{kind}"] for r in rs) for kind, _, _ in KINDS}
               for name, rs in runs.items()}
    for who in ("floor", "alone"):
        seconds[who] = {kind: best(r["seconds"][f"{who}/{kind}"] for r in every) for kind, _, _ in KINDS}

    header, rows, worst = table(names, instructions, seconds, args.calls)
    print_table(f"instructions per callback (callgrind, {args.calls} calls after {args.warmup} of warm-up) "
                f"and µs per delivery (best of {args.repeat} timed runs per build)", header, rows)
    print("Ir = instructions inside the delegate's override per callback; us = microseconds per delivery "
          "on the SDK's event thread, SDK included; alone = a C++ delegate that does nothing")
    for name in names:
        print(f"{name}: {runs[name][0]['module']} (SDK threads: {runs[name][0]['mode']} thread states)")
    for name in sorted(stripped):
        print(f"{name}: no instructions counted (the module has no symbols; bench/build_variants.sh keeps them)")
    if "kept" in worst:
        verdict = "met" if worst["kept"] <= RATIO_LIMIT else "MISSED"
        print(f"target kept/floor <= {RATIO_LIMIT}x in instructions: {verdict} (worst row {worst['kept']:.2f}x)")


if __name__ == "__main__":
    main()

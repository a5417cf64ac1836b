"""What an AudioSource costs a frame and how well it keeps time, against hand-written senders in the same run.

1. Instructions a 20 ms frame (callgrind). A worker process sends N frames
   of 48 kHz mono PCM into a real cloud of the loopback service (in a room,
   with a local audio channel, nobody subscribed: `SendContinuousAudioFrame`
   returns after its checks), on an event loop whose clock jumps to the next
   timer instead of waiting (the same loop iterations and the same work as
   in real time, in seconds instead of minutes under valgrind):
   - AudioSource: `capture` of all N frames at once, then `wait_for_playout`
     (the queue is full most of the time: the producer waits for room);
   - hand loop, the baseline: set the frame's pts and payload, send, add
     20 ms to the due time, `await asyncio.sleep(due - loop.time())`.
   Each is run for N1 and N2 frames; instructions a frame are the difference
   divided by N2 - N1, which leaves out start-up and shut-down. The workers
   also count event-loop iterations a frame (calls of the selector).
2. Pacing on the real clock: the deviation of each send from its due time
   (start + k x 20 ms; for the source, its clock as moved after a stall
   longer than max_burst_ms, as its `lateness` gives it), p50/p99/max, idle and with both cores loaded by two
   busy processes, for
   - the loop's own latency: a chain of `loop.call_at` timers, each noting
     how late it ran (no sender can do better than this);
   - the hand loop above (send: note the time);
   - AudioSource with its sender task on the loop (``pacing="loop"``) and
     with the process's pacing thread (the default on a real clock; send:
     note the time);
   and the three again with both cores loaded after this thread asked for a
   100 us time slice (`lumora_kit.latency.request_short_slice`).

    python bench/bench_kit_sources.py [--frames 500 2000] [--pacing-seconds 10] [--no-count]
"""

import argparse
import asyncio
import os
import pathlib
import re
import selectors
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
FRAME_BYTES = 1920  # 20 ms of 48 kHz mono 16-bit
PERIOD = 0.020


# ---- Virtual clock (instruction counts) ----------------------------------------------


class JumpingSelector(selectors.DefaultSelector):
    """Returns at once; a wait for a timer moves the loop's clock to it instead."""

    def __init__(self, loop):
        super().__init__()
        self.loop = loop
        self.calls = 0

    def select(self, timeout=None):
        self.calls += 1
        if timeout is not None and timeout > 0:
            self.loop.now += timeout
        return super().select(0)


class JumpingLoop(asyncio.SelectorEventLoop):
    def __init__(self):
        self.now = 1000.0
        self.selector = JumpingSelector(self)
        super().__init__(self.selector)

    def time(self):
        return self.now


def joined_cloud():
    """A cloud in a loopback room with a local audio channel; returns (cloud, delegate)."""
    import _lumora

    from lumora_kit import Delegate
    from lumora_kit.testing import load_control
    from lumora_kit.testing.loopback import DEFAULT_APP_ID, new_room_id

    load_control().enable_journal(False)
    delegate = Delegate()
    cloud = _lumora.VELACloud(delegate)
    params = _lumora.EnterRoomParams()
    params.room.sdk_app_id = DEFAULT_APP_ID
    params.room.user_id = _lumora.VelaString("bench")
    params.room.user_sig = _lumora.VelaString("sig-bench")
    params.room.room_id = new_room_id()
    if cloud.EnterRoom(params) != 0 or cloud.CreateLocalAudioChannel(_lumora.AudioEncodeParams()) != 0:
        raise RuntimeError("could not enter the loopback room with an audio channel")
    return cloud, delegate


async def send_with_source(send, pcm, pacing="auto"):
    from lumora_kit import AudioSource

    source = AudioSource(send, sample_rate=48000, channels=1, frame_ms=20, queue_ms=400, max_burst_ms=60,
                         on_close=None, pacing=pacing)
    await source.capture(pcm)
    await source.wait_for_playout()
    await source.aclose()
    stats = source.stats()
    if stats.frames_sent != len(pcm) // FRAME_BYTES or stats.send_errors:
        raise RuntimeError(f"AudioSource: {stats}")
    return list(source.lateness), stats.rebased


async def send_by_hand(send, pcm):
    import _lumora

    loop = asyncio.get_running_loop()
    frame = _lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.codec = _lumora.AUDIO_CODEC_TYPE_PCM
    due = loop.time()
    for index in range(len(pcm) // FRAME_BYTES):
        frame.pts = (index * 20) & 0xFFFFFFFF
        frame.SetData(pcm[index * FRAME_BYTES:(index + 1) * FRAME_BYTES])
        if send(frame, False) != 0:
            raise RuntimeError("hand loop: the send failed")
        due += PERIOD
        await asyncio.sleep(due - loop.time())


async def send_with_source_on_the_loop(send, pcm):
    return await send_with_source(send, pcm, pacing="loop")


SENDERS = {"source": send_with_source, "source-loop": send_with_source_on_the_loop, "hand": send_by_hand}


def count_worker(kind, frames):
    """Runs one sender for `frames` frames on the jumping loop; prints the loop's selector calls."""
    cloud, _ = joined_cloud()
    send = cloud.SendContinuousAudioFrame
    pcm = bytes(range(256)) * (frames * FRAME_BYTES // 256)
    loop = JumpingLoop()
    try:
        loop.run_until_complete(SENDERS[kind](send, pcm))
    finally:
        loop.close()
    cloud.ExitRoom()
    print(f"selects {loop.selector.calls}")


def counted(kind, frames, out_dir):
    """(instructions, selector calls) of a worker run under callgrind."""
    prefix = pathlib.Path(out_dir) / f"callgrind.{kind}.{frames}"
    # The interpreter may be started through a launcher: follow it (every
    # process writes its own file; the one that ran the worker counts).
    cmd = ["valgrind", "--tool=callgrind", "--trace-children=yes", f"--callgrind-out-file={prefix}.%p",
           sys.executable, __file__, "--count-worker", kind, str(frames)]
    done = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ))
    if done.returncode != 0:
        raise RuntimeError(f"{kind} worker failed:\n{done.stderr[-2000:]}")
    totals = [int(m.group(1)) for path in prefix.parent.glob(prefix.name + ".*")
              for m in [re.search(r"^(?:summary|totals): (\d+)", path.read_text(), re.M)] if m]
    selects = re.search(r"selects (\d+)", done.stdout)
    return max(totals), int(selects.group(1))


# ---- Real clock (pacing) -------------------------------------------------------------


async def timer_chain(seconds):
    """Lateness of call_at timers every 20 ms: the loop's own latency."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    late = []
    count = int(seconds / PERIOD)
    start = loop.time() + PERIOD

    def tick(k):
        late.append(loop.time() - (start + k * PERIOD))
        if k + 1 < count:
            loop.call_at(start + (k + 1) * PERIOD, tick, k + 1)
        else:
            done.set_result(None)

    loop.call_at(start, tick, 0)
    await done
    return late


def noting(times):
    loop = asyncio.get_running_loop()

    def send(frame, clear=False):
        times.append(loop.time())
        return 0

    return send


async def paced(kind, seconds, moves):
    """Each send's distance from its due time. The hand loop's clock is start + k x 20 ms; the
    source's is the same until a stall of more than max_burst_ms moves it (counted in `moves`),
    and its own `lateness` measures from the clock as it then is."""
    times = []
    result = await SENDERS[kind](noting(times), bytes(int(seconds / PERIOD) * FRAME_BYTES))
    if kind.startswith("source"):
        lateness, rebased = result
        moves.append(rebased)
        return lateness[-len(times):]
    return [t - (times[0] + k * PERIOD) for k, t in enumerate(times)]


def quantiles_ms(values):
    ordered = sorted(abs(v) for v in values)
    return (statistics.median(ordered) * 1e3, ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] * 1e3,
            ordered[-1] * 1e3)


class Load:
    """Two busy processes, one a core, for the length of a with-block."""

    def __enter__(self):
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        for proc in self.procs:
            proc.kill()
            proc.wait()


def print_table(title, header, rows):
    print(f"### {title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, nargs=2, default=(500, 2000), metavar=("N1", "N2"))
    parser.add_argument("--pacing-seconds", type=float, default=10.0)
    parser.add_argument("--no-count", action="store_true", help="skip the callgrind runs")
    parser.add_argument("--count-worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.count_worker:
        count_worker(args.count_worker[0], int(args.count_worker[1]))
        return
    from lumora_kit.latency import request_short_slice

    if not args.no_count:
        if shutil.which("valgrind") is None:
            sys.exit("valgrind is not installed (use --no-count)")
        n1, n2 = args.frames
        rows, per_frame = [], {}
        with tempfile.TemporaryDirectory() as out_dir:
            for kind, name in (("hand", "hand loop (asyncio.sleep)"), ("source", "AudioSource")):
                print(f"... callgrind: {name}", file=sys.stderr)
                (i1, s1), (i2, s2) = counted(kind, n1, out_dir), counted(kind, n2, out_dir)
                per_frame[kind] = (i2 - i1) / (n2 - n1)
                rows.append([name, f"{per_frame[kind] / 1000:.1f}k", f"{(s2 - s1) / (n2 - n1):.2f}"])
        for row, kind in zip(rows, ("hand", "source")):
            row.append(f"{per_frame[kind] / per_frame['hand']:.2f}x")
        print_table(f"Instructions a 20 ms frame, callgrind, ({n2} - {n1} frames) / {n2 - n1}",
                    ["sender", "instructions", "loop iterations", "of hand loop"], rows)

    rows = []
    moves = []
    senders = (("loop's own timer latency", timer_chain),
               ("hand loop (asyncio.sleep)", lambda s: paced("hand", s, moves)),
               ("AudioSource, sender task on the loop", lambda s: paced("source-loop", s, moves)),
               ("AudioSource, pacing thread", lambda s: paced("source", s, moves)))
    # The short slice stays with this thread once asked for: its rows come last.
    for condition, load, short_slice in (("idle", None, False), ("both cores loaded", Load, False),
                                         ("both cores loaded, short slice", Load, True)):
        if short_slice and not request_short_slice(100):
            print("... this kernel takes no short slice: those rows are left out", file=sys.stderr)
            break
        for name, run in senders:
            print(f"... pacing: {name}, {condition}", file=sys.stderr)
            if load is None:
                deviations = asyncio.run(run(args.pacing_seconds))
            else:
                with load():
                    deviations = asyncio.run(run(args.pacing_seconds))
            note = f"clock moved {moves.pop()}x" if name.startswith("AudioSource") else ""
            rows.append([condition, name, len(deviations), *(f"{q:.3f}" for q in quantiles_ms(deviations)), note])
    print_table(f"Pacing of {args.pacing_seconds:g} s of 20 ms frames: |send time - ideal clock| (ms)",
                ["machine", "sender", "frames", "p50", "p99", "max", "note"], rows)


if __name__ == "__main__":
    main()

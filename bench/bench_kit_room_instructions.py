"""Instructions per remote audio frame, `Room.audio_stream` against a hand-written bridge, under callgrind.

What one 20 ms frame costs from the SDK's callback to the coroutine that
takes it, all threads counted (callgrind's instruction counts do not depend
on the machine's load). The frames come one at a time, as real ones do:
the main thread injects a frame on the cloud's event thread (an EVENT
injection) and waits, in a C-level queue, until the consumer coroutine has
taken it, so each frame wakes the loop once. Both receivers pay the same
injection and hand-shake; the difference is the receiving path.

- hand bridge (the baseline): a delegate whose OnRemoteAudioReceived calls
  ``loop.call_soon_threadsafe(queue.put_nowait, frame)``, an
  ``asyncio.Queue``, ``await queue.get()``;
- the same bridge with the kit's `EventQueue` in place of the last two;
- `Room.audio_stream`: a joined Room, ``await stream.get()`` and
  ``async for frame in stream``.

    python bench/bench_kit_room_instructions.py [--frames 2000] [--warmup 200]

Needs valgrind; the worker runs under ``valgrind --tool=callgrind``.
"""

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

from _variants import RESULT_MARK, compile_native, print_table, progress, read_dumps

MARK_SOURCE = r"""
#include <valgrind/callgrind.h>
int bench_on_valgrind(void) { return RUNNING_ON_VALGRIND; }
void bench_dump(const char* name) { CALLGRIND_DUMP_STATS_AT(name); }
"""

RECEIVERS = ("hand bridge", "EventQueue bridge", "Room stream.get()", "Room async for")
AUDIO = bytes(range(256)) * 7 + bytes(128)  # 1920 bytes: 20 ms of 48 kHz mono


# ---- Worker (under callgrind) -----------------------------------------------------------

def worker(args):
    import asyncio
    import ctypes
    import queue
    import threading

    import _lumora as lumora

    from lumora_kit import Delegate, EventQueue, Room
    from lumora_kit.testing import EVENT, load_control
    from lumora_kit.testing.loopback import DEFAULT_APP_ID, new_room_id

    mark = ctypes.CDLL(args.mark)
    mark.bench_dump.argtypes = [ctypes.c_char_p]
    if not mark.bench_on_valgrind():
        raise SystemExit("the worker must run under callgrind")
    control = load_control()
    control.enable_journal(False)
    lumora.SetLogLevel(2)
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()

    def on_loop(coro):
        return asyncio.run_coroutine_threadsafe(coro, loop).result()

    class HandBridge(Delegate):
        def __init__(self, frames):
            super().__init__()
            self.put = frames.put_nowait

        def OnRemoteAudioReceived(self, user_id, frame):
            loop.call_soon_threadsafe(self.put, frame)

    audio = ctypes.create_string_buffer(AUDIO, len(AUDIO))
    user = b"remote-user"

    def taking(take):
        """A consumer that awaits take() for each frame."""
        async def consume(n, done):
            for _ in range(n):
                await take()
                done.put(None)
        return consume

    def run(receiver, cloud_id, consume):
        done = queue.SimpleQueue()
        for name, n in ((f"warm/{receiver}", args.warmup), (receiver, args.frames)):
            consumer = asyncio.run_coroutine_threadsafe(consume(n, done), loop)
            mark.bench_dump(f"before/{name}".encode())
            for pts in range(n):
                control.lib.lumora_inject_remote_audio(cloud_id, EVENT, user, 48000, 1, 16, 0, pts, 1, audio,
                                                       len(AUDIO))
                done.get()
            mark.bench_dump(name.encode())
            consumer.result()

    # The baseline.
    async def bridge_queue():
        return asyncio.Queue()

    frames = on_loop(bridge_queue())
    cloud = lumora.VELACloud(HandBridge(frames))
    run("hand bridge", control.last_cloud_id(), taking(frames.get))
    del cloud

    # The kit's queue alone, in the same bridge.
    class QueueBridge(Delegate):
        def __init__(self, events):
            super().__init__()
            self.put = events.put

        def OnRemoteAudioReceived(self, user_id, frame):
            self.put(frame)

    events = EventQueue(loop, 1024)
    cloud = lumora.VELACloud(QueueBridge(events))
    run("EventQueue bridge", control.last_cloud_id(), taking(events.get))
    del cloud

    # The Room, both ways of taking frames.
    joining = Room.join(DEFAULT_APP_ID, new_room_id(), "bench", "sig-bench")
    room = on_loop(joining.__aenter__())
    cloud_id = control.last_cloud_id()

    async def open_stream():
        return room.audio_stream(user.decode(), maxsize=1024)

    stream = on_loop(open_stream())
    run("Room stream.get()", cloud_id, taking(stream.get))

    async def iterate(n, done):
        async for _ in stream:
            done.put(None)
            n -= 1
            if n == 0:
                break

    run("Room async for", cloud_id, iterate)
    on_loop(joining.__aexit__(None, None, None))
    loop.call_soon_threadsafe(loop.stop)
    thread.join()
    print(RESULT_MARK + json.dumps({"frames": args.frames}), flush=True)


# ---- Parent ------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--warmup", type=int, default=200)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--mark", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args)
        return

    out = pathlib.Path(tempfile.mkdtemp(prefix="lumora-bench-room-"))
    source = out / "callgrind_mark.c"
    source.write_text(MARK_SOURCE)
    mark = compile_native("callgrind_mark", source, out_dir=out)
    prefix = out / "callgrind.room"
    progress(f"callgrind: {args.frames} frames a receiver")
    cmd = ["valgrind", "--tool=callgrind", "--trace-children=yes", f"--callgrind-out-file={prefix}.%p", "--quiet",
           sys.executable, __file__, "--worker", "--mark", str(mark), "--frames", str(args.frames),
           "--warmup", str(args.warmup)]
    done = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, timeout=3600)
    if done.returncode != 0 or RESULT_MARK not in done.stdout:
        raise SystemExit(f"the callgrind worker failed ({done.returncode})")
    counts = read_dumps(f"{prefix}.")
    base = counts["hand bridge"] / args.frames
    rows = []
    for receiver in RECEIVERS:
        per_frame = counts[receiver] / args.frames
        rows.append([receiver, f"{per_frame:,.0f}", f"{per_frame / base:.2f}x"])
    print_table(f"instructions per remote audio frame, SDK callback to consuming coroutine, all threads "
                f"(callgrind, {args.frames} frames one at a time after {args.warmup} of warm-up)",
                ["receiver", "instructions/frame", "of hand bridge"], rows)


if __name__ == "__main__":
    main()

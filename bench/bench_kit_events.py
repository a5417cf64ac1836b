"""What the asyncio bridge of lumora_kit adds to a callback on the SDK's thread.

N audio frames (960 bytes) are queued as EVENT injections on one cloud's
event thread while this thread holds the interpreter lock; then the clock
runs until wait_idle returns, i.e. until the SDK's thread has made every
delegate call. Delegates:

- plain: a lumora_kit.Delegate whose OnRemoteAudioReceived does nothing
  (the floor: the binding's own delivery);
- bridged: an AsyncioDelegate bridging only OnRemoteAudioReceived, while a
  consumer coroutine on an event loop in another thread takes the events;
  "to consumer" is the time until the consumer has taken all of them;
- stalled: the same with the loop busy elsewhere (never scheduled during the
  run) and maxsize 256, so the queue fills and then drops the oldest.

Target: the bridge's own cost on the SDK's thread, the stalled row, at most
1.25x the plain delegate's time per call. The row with a running consumer is
reported, not held to it: there the SDK's thread also waits while the
consumer holds the interpreter lock (and each event that finds the consumer
idle wakes the loop through its self-pipe).

    python bench/bench_kit_events.py [--calls 30000] [--repeat 3]
"""

import argparse
import asyncio
import ctypes
import sys
import threading
import time

from _common import lumora, make_cloud, print_table, progress, sdk_control

from lumora_kit import AsyncioDelegate, Delegate, DropPolicy

USER = b"remote-user"
AUDIO = bytes(range(256)) * 3 + bytes(192)


class Plain(Delegate):
    def OnRemoteAudioReceived(self, user_id, frame):
        pass


def deliver(cloud_id, n):
    """Seconds until the SDK's event thread has made `n` queued audio callbacks."""
    buf = ctypes.create_string_buffer(AUDIO, len(AUDIO))
    inject = sdk_control.lib_locked.lumora_inject_remote_audio
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)  # keep the lock here while queuing
    try:
        for i in range(n):
            inject(cloud_id, sdk_control.EVENT, USER, 48000, 1, 16, 0, i, 1, buf, len(AUDIO))
        t0 = time.perf_counter()
    finally:
        sys.setswitchinterval(old)
    if sdk_control.wait_idle(cloud_id, 600000) != 0:  # releases the lock: delivery starts now
        raise RuntimeError("the cloud did not become idle")
    return time.perf_counter() - t0


class LoopThread:
    """An event loop running in a thread of its own."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result()

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


async def consume(delegate, n, done):
    for _ in range(n):
        await delegate.events.get()
    done.append(time.perf_counter())


def bridged_run(loop_thread, n):
    async def make():
        return AsyncioDelegate(callbacks={"OnRemoteAudioReceived"}, maxsize=n)

    delegate = loop_thread.run(make())
    cloud, cid = make_cloud(delegate)
    done = []
    consumer = asyncio.run_coroutine_threadsafe(consume(delegate, n, done), loop_thread.loop)
    t0 = time.perf_counter()
    sdk_time = deliver(cid, n)
    consumer.result(600)
    to_consumer = done[0] - t0
    stats = delegate.events.stats()
    del cloud
    if stats.delivered != n or stats.dropped:
        raise RuntimeError(f"bridged: {stats}")
    return sdk_time, to_consumer


def stalled_run(loop_thread, n):
    async def make():
        return AsyncioDelegate(callbacks={"OnRemoteAudioReceived"}, maxsize=256, policy=DropPolicy.DROP_OLDEST)

    delegate = loop_thread.run(make())
    cloud, cid = make_cloud(delegate)
    blocker = threading.Event()
    loop_thread.loop.call_soon_threadsafe(blocker.wait)  # the loop runs nothing else meanwhile
    try:
        sdk_time = deliver(cid, n)
    finally:
        blocker.set()
    stats = delegate.events.stats()
    del cloud
    if stats.received != n or stats.dropped != n - 256:
        raise RuntimeError(f"stalled: {stats}")
    return sdk_time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=30000)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = parser.parse_args()
    n = args.calls

    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    loop_thread = LoopThread()

    progress("plain delegate")
    plain = Plain()
    cloud, cid = make_cloud(plain)
    plain_best = min(deliver(cid, n) for _ in range(args.repeat))
    del cloud
    progress("bridged, consumer running")
    bridged = [bridged_run(loop_thread, n) for _ in range(args.repeat)]
    bridged_best = min(s for s, _ in bridged)
    consumer_best = min(c for _, c in bridged)
    progress("bridged, loop stalled")
    stalled_best = min(stalled_run(loop_thread, n) for _ in range(args.repeat))
    loop_thread.stop()

    def row(name, seconds, note=""):
        return [name, f"{n / seconds:,.0f}", f"{seconds / n * 1e6:.2f}", f"{seconds / plain_best:.2f}x", note]

    print_table(f"OnRemoteAudioReceived, {n} calls, best of {args.repeat}",
                ["delegate", "calls/s", "us/call", "of plain", "note"],
                [row("plain Delegate", plain_best),
                 row("AsyncioDelegate", bridged_best, f"to consumer {n / consumer_best:,.0f} events/s"),
                 row("AsyncioDelegate, loop stalled", stalled_best, f"maxsize 256, {n - 256} dropped")])


if __name__ == "__main__":
    main()

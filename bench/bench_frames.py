"""Frame path throughput of a 1920x1080 I420 picture (3,110,400 bytes), in GB/s,
against memcpy of the same size (ctypes.memmove between two buffers) measured
in the same run.

Rows:
  SetData                  copy of a bytes object into a PixelFrame
  SendPixelFrame           the send call alone, on a frame already filled,
                           with no subscriber: nothing is copied, so the row
                           gives the time per call (in microseconds) and no
                           throughput
  SetData+Send, no sub     sender alone in its room (the SDK keeps no copy)
  SetData+Send, 1 sub      one subscriber in the room: time until the calls
                           return ("call") and until the subscriber's event
                           thread has delivered every frame into Python
                           ("delivered", the full path: send copy, delivery,
                           the binding's copy into a Python-owned frame)
  frame.data               reading the payload of a received frame as bytes

The SDK journal is switched off (it copies payload prefixes). "faults/frame"
is the process's minor page faults per frame during the measurement (new
memory touched for the first time: a fresh 1080p buffer costs about 760);
"CPU ms/frame" the process's CPU time (user + system, all threads) per
frame, which other load on a shared machine inflates less than wall time.

    python bench/bench_frames.py [--frames 40] [--repeat 3]
"""

import argparse
import ctypes
import resource
import time

from _common import QuietDelegate, enter, lumora, make_cloud, print_table, progress, sdk_control

WIDTH, HEIGHT = 1920, 1080
SIZE = WIDTH * HEIGHT * 3 // 2
ROOM = 9100
VIDEO = lumora.STREAM_TYPE_VIDEO_HIGH


class Receiver(QuietDelegate):
    def __init__(self):
        super().__init__()
        self.count = 0
        self.last = None

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self.count += 1
        self.last = frame


def usage():
    """(minor page faults, CPU seconds) of the process so far."""
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_minflt, ru.ru_utime + ru.ru_stime


def per_frame(start, seconds, n):
    """(seconds, faults, CPU seconds) per frame since usage() gave `start`."""
    faults, cpu = usage()
    return seconds / n, (faults - start[0]) / n, (cpu - start[1]) / n


def best(fn, repeat):
    """The fastest of `repeat` runs of fn, which returns (seconds, faults)."""
    return min((fn() for _ in range(repeat)), key=lambda result: result[0])


def timed(n, body):
    """A run of n calls of body: (seconds, page faults, CPU seconds) per call."""
    def run():
        start = usage()
        t0 = time.perf_counter()
        for i in range(n):
            body(i)
        return per_frame(start, time.perf_counter() - t0, n)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=40, help="frames per measurement")
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    args = parser.parse_args()
    n, repeat = args.frames, args.repeat

    sdk_control.enable_journal(False)
    lumora.SetLogLevel(2)
    payload = bytes((i * 7) & 0xFF for i in range(256)) * (SIZE // 256) + bytes(SIZE % 256)
    assert len(payload) == SIZE

    src = ctypes.create_string_buffer(payload, SIZE)
    dst = ctypes.create_string_buffer(SIZE)
    memcpy = best(timed(n, lambda i: ctypes.memmove(dst, src, SIZE)), repeat)
    memcpy_s = memcpy[0]

    sender_d, receiver_d = QuietDelegate(), Receiver()
    sender, _ = make_cloud(sender_d)
    frame = lumora.PixelFrame()
    frame.width, frame.height, frame.format = WIDTH, HEIGHT, lumora.VIDEO_PIXEL_FORMAT_YUV420p
    enter(sender, sender_d, "sender", ROOM, video=True)

    rows = []

    def row(name, result, note=""):
        seconds, faults, cpu = result
        rows.append([name, f"{SIZE / seconds / 1e9:.2f}", f"{seconds * 1e3:.3f}", f"{memcpy_s / seconds * 100:.0f}%",
                     f"{faults:.0f}", f"{cpu * 1e3:.3f}", note])

    row("memcpy (ctypes.memmove)", memcpy, "baseline")

    progress("SetData / SendPixelFrame without subscriber")
    row("SetData", best(timed(n, lambda i: frame.SetData(payload)), repeat))
    frame.SetData(payload)
    # Without a subscriber the SDK copies nothing: a throughput would only
    # divide the frame size by the cost of a call. Report the call's time.
    send_s, send_faults, send_cpu = best(timed(n, lambda i: sender.SendPixelFrame(VIDEO, frame)), repeat)
    rows.append(["SendPixelFrame, no sub", "-", f"{send_s * 1e3:.4f}", "-", f"{send_faults:.0f}",
                 f"{send_cpu * 1e3:.4f}", f"the call alone, {send_s * 1e6:.1f} us: nothing copied"])

    def set_and_send(i):
        frame.pts = i
        frame.SetData(payload)
        if sender.SendPixelFrame(VIDEO, frame) != 0:
            raise RuntimeError("SendPixelFrame failed")

    row("SetData+Send, no sub", best(timed(n, set_and_send), repeat), "sender alone in the room")

    progress("SetData+Send with one subscriber")
    receiver, receiver_id = make_cloud(receiver_d)
    enter(receiver, receiver_d, "receiver", ROOM)
    receiver_d.wait_peers(["sender"])
    receiver.Subscribe("sender", VIDEO)
    time.sleep(0.1)

    def with_subscriber():
        before = receiver_d.count
        start = usage()
        t0 = time.perf_counter()
        for i in range(n):
            set_and_send(i)
        call = per_frame(start, time.perf_counter() - t0, n)
        if sdk_control.wait_idle(receiver_id, 120000) != 0:
            raise RuntimeError("receiver did not become idle")
        delivered = per_frame(start, time.perf_counter() - t0, n)
        if receiver_d.count - before != n:
            raise RuntimeError(f"received {receiver_d.count - before} of {n} frames")
        return call, delivered

    results = [with_subscriber() for _ in range(repeat)]
    row("SetData+Send, 1 sub, call", min((r[0] for r in results), key=lambda x: x[0]), "until the calls return")
    row("SetData+Send, 1 sub, delivered", min((r[1] for r in results), key=lambda x: x[0]),
        "until the subscriber got every frame")

    got = receiver_d.last
    if got is None or got.size != SIZE or got.data != payload:
        raise RuntimeError("received frame does not match what was sent")
    row("frame.data (received copy)", best(timed(n, lambda i: got.data), repeat), "one new bytes object per read")

    print_table(f"frame path, {WIDTH}x{HEIGHT} I420 = {SIZE:,} bytes, {n} frames per run, best of {repeat}",
                ["operation", "GB/s", "ms/frame", "of memcpy", "faults/frame", "CPU ms/frame", "note"], rows)
    print("target: >= 80% of memcpy")
    receiver.ExitRoom()
    sender.ExitRoom()


if __name__ == "__main__":
    main()

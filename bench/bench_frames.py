"""Frame path throughput of a 1920x1080 I420 picture (3,110,400 bytes), in GB/s,
against memcpy of the same size (ctypes.memmove between two buffers) measured
in the same run.

Rows:
  SetData                  copy of a bytes object into a PixelFrame
  SendPixelFrame           the send call alone, on a frame already filled
  SetData+Send, no sub     sender alone in its room (the SDK keeps no copy)
  SetData+Send, 1 sub      one subscriber in the room: time until the calls
                           return ("call") and until the subscriber's event
                           thread has delivered every frame into Python
                           ("delivered", the full path: send copy, delivery,
                           the binding's copy into a Python-owned frame)
  frame.data               reading the payload of a received frame as bytes

The SDK journal is switched off (it copies payload prefixes).

    python bench/bench_frames.py [--frames 40] [--repeat 3]
"""

import argparse
import ctypes
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


def best(fn, repeat):
    return min(fn() for _ in range(repeat))


def timed(n, body):
    def run():
        t0 = time.perf_counter()
        for i in range(n):
            body(i)
        return (time.perf_counter() - t0) / n
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
    memcpy_s = best(timed(n, lambda i: ctypes.memmove(dst, src, SIZE)), repeat)

    sender_d, receiver_d = QuietDelegate(), Receiver()
    sender, _ = make_cloud(sender_d)
    frame = lumora.PixelFrame()
    frame.width, frame.height, frame.format = WIDTH, HEIGHT, lumora.VIDEO_PIXEL_FORMAT_YUV420p
    enter(sender, sender_d, "sender", ROOM, video=True)

    rows = []

    def row(name, seconds, note=""):
        rows.append([name, f"{SIZE / seconds / 1e9:.2f}", f"{seconds * 1e3:.3f}", f"{memcpy_s / seconds * 100:.0f}%",
                     note])

    row("memcpy (ctypes.memmove)", memcpy_s, "baseline")

    progress("SetData / SendPixelFrame without subscriber")
    row("SetData", best(timed(n, lambda i: frame.SetData(payload)), repeat))
    frame.SetData(payload)
    row("SendPixelFrame, no sub", best(timed(n, lambda i: sender.SendPixelFrame(VIDEO, frame)), repeat))

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
        t0 = time.perf_counter()
        for i in range(n):
            set_and_send(i)
        t_call = time.perf_counter() - t0
        if sdk_control.wait_idle(receiver_id, 120000) != 0:
            raise RuntimeError("receiver did not become idle")
        t_all = time.perf_counter() - t0
        if receiver_d.count - before != n:
            raise RuntimeError(f"received {receiver_d.count - before} of {n} frames")
        return t_call / n, t_all / n

    results = [with_subscriber() for _ in range(repeat)]
    row("SetData+Send, 1 sub, call", min(r[0] for r in results), "until the calls return")
    row("SetData+Send, 1 sub, delivered", min(r[1] for r in results), "until the subscriber got every frame")

    got = receiver_d.last
    if got is None or got.size != SIZE or got.data != payload:
        raise RuntimeError("received frame does not match what was sent")
    row("frame.data (received copy)", best(timed(n, lambda i: got.data), repeat), "one new bytes object per read")

    print_table(f"frame path, {WIDTH}x{HEIGHT} I420 = {SIZE:,} bytes, {n} frames per run, best of {repeat}",
                ["operation", "GB/s", "ms/frame", "of memcpy", "note"], rows)
    print("target: >= 80% of memcpy")
    receiver.ExitRoom()
    sender.ExitRoom()


if __name__ == "__main__":
    main()

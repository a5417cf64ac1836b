"""The room server against the in-process room, measured in the same run.

- latency: one-way time of a 20 ms audio frame (48 kHz mono, 1920 bytes)
  from SendAudioFrame to the receiver's OnRemoteAudioReceived, sender and
  receiver in one process (one clock), p50 and p99 over --frames frames
  sent every 5 ms; in-process room, then the same two clouds on a server.
- cpu: CPU time per frame of the same run: this process (sender and
  receiver) and, on the server, the server process besides.
- instructions: per frame under callgrind, the difference of runs of
  --count N1 and N2 frames (sent back to back, every one received): the
  in-process room (sender and receiver in one process), and on the server
  the sending process and the receiving process, each counted alone.
- fan-in: --senders senders spread over --processes child processes send
  --seconds of paced 20 ms frames into one room; one receiver here
  subscribes to all. Frames lost (sent and acknowledged by the SDK, never
  received) and the CPU share of the children, the receiver and the server.
  On the in-process room the "children" are threads of this process.

Targets (idle machine): p99 under 5 ms on the server, CPU per frame at most
2x the in-process path, no frame lost at 50 senders. The machine is shared:
read the columns side by side, not against the targets alone.

    $(scripts/bootstrap.sh --print-python) bench/bench_server.py [--frames 400] [--senders 50] [--processes 5] [--seconds 4]
"""

import argparse
import gc
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import _lumora as lumora

from _common import QuietDelegate, print_table, progress

from lumora_kit.testing import enter_params, new_room_id
from lumora_kit.testing.room_server import RoomServer

S = lumora.StreamType
FRAME_BYTES = 1920
CLK_TCK = os.sysconf("SC_CLK_TCK")


def process_cpu(pid: int) -> float:
    """CPU seconds (user + system) of another process so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def audio_frame(pts: int) -> lumora.AudioFrame:
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample, frame.pts = 48000, 1, 16, pts
    frame.SetData(bytes([pts % 251]) * FRAME_BYTES)
    return frame


class Receiver(QuietDelegate):
    def __init__(self) -> None:
        super().__init__()
        self.arrived: dict[int, int] = {}
        self.per_sender: dict[str, int] = {}
        self.lock = threading.Lock()

    def OnRemoteAudioReceived(self, user_id, frame):
        now = time.perf_counter_ns()
        with self.lock:
            self.arrived[frame.pts] = now
            self.per_sender[user_id] = self.per_sender.get(user_id, 0) + 1


def enter(delegate, user: str, room_id: int) -> lumora.VELACloud:
    cloud = lumora.VELACloud(delegate)
    assert cloud.EnterRoom(enter_params(user, room_id)) == 0
    return cloud


def wait(predicate, seconds: float = 30.0) -> bool:
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.005)
    return predicate()


def latency_run(frames: int, server: RoomServer | None) -> dict[str, float]:
    room_id = new_room_id()
    receiver = Receiver()
    listener = enter(receiver, "listener", room_id)
    sender = enter(QuietDelegate(), "talker", room_id)
    assert wait(lambda: "talker" in receiver.peers)
    assert sender.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
    listener.Subscribe("talker", S.STREAM_TYPE_AUDIO)
    time.sleep(0.2)
    prepared = [audio_frame(pts) for pts in range(frames)]
    sent: dict[int, int] = {}
    cpu0, server0 = time.process_time(), process_cpu(server.process.pid) if server else 0.0
    for pts, frame in enumerate(prepared):
        sent[pts] = time.perf_counter_ns()
        assert sender.SendAudioFrame(frame) == 0
        time.sleep(0.005)
    wait(lambda: len(receiver.arrived) >= frames, 10)
    cpu = time.process_time() - cpu0
    server_cpu = (process_cpu(server.process.pid) - server0) if server else 0.0
    delays = sorted((receiver.arrived[p] - sent[p]) / 1e6 for p in receiver.arrived)
    listener.ExitRoom()
    sender.ExitRoom()
    del listener, sender
    gc.collect()
    return {
        "received": len(delays),
        "p50_ms": statistics.median(delays),
        "p99_ms": delays[min(len(delays) - 1, int(len(delays) * 0.99))],
        "cpu_us_per_frame": cpu / frames * 1e6,
        "server_cpu_us_per_frame": server_cpu / frames * 1e6,
    }


def send_paced(names: list[str], room_id: int, seconds: float, ready: threading.Event | None = None) -> dict:
    """Enters each name, waits for the listener, sends paced frames from one thread; returns counts."""
    clouds = []
    for name in names:
        delegate = QuietDelegate()
        cloud = enter(delegate, name, room_id)
        assert cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
        assert wait(lambda: "listener" in delegate.peers)
        clouds.append(cloud)
    if ready is not None:
        ready.wait(60)
    else:
        print("ready", flush=True)
        sys.stdin.readline()
    time.sleep(0.3)  # the listener subscribes
    frames = int(seconds * 50)
    sent = 0
    cpu0, start = time.process_time(), time.monotonic()
    for index in range(frames):
        frame = audio_frame(index)
        for cloud in clouds:
            sent += cloud.SendAudioFrame(frame) == 0
        delay = start + (index + 1) * 0.02 - time.monotonic()
        if delay > 0:
            time.sleep(delay)
    cpu = time.process_time() - cpu0
    wall = time.monotonic() - start
    time.sleep(0.5)
    for cloud in clouds:
        cloud.ExitRoom()
    clouds.clear()
    gc.collect()
    return {"sent": sent, "cpu": cpu, "wall": wall}


def fan_in_run(senders: int, processes: int, seconds: float, server: RoomServer | None) -> dict[str, float]:
    room_id = new_room_id()
    receiver = Receiver()
    listener = enter(receiver, "listener", room_id)
    groups = [[f"s{p}-{i}" for i in range(senders // processes)] for p in range(processes)]
    results: list[dict] = []
    if server is not None:
        children = [subprocess.Popen([sys.executable, __file__, "--child", json.dumps([g, room_id, seconds])],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=server.env())
                    for g in groups]
        for child in children:
            assert child.stdout.readline().strip() == "ready"
    else:
        go = threading.Event()
        threads = [threading.Thread(target=lambda g=g: results.append(send_paced(g, room_id, seconds, go)))
                   for g in groups]
        for t in threads:
            t.start()
    all_names = [n for g in groups for n in g]
    assert wait(lambda: all(n in receiver.peers for n in all_names), 60)
    for name in all_names:
        listener.Subscribe(name, S.STREAM_TYPE_AUDIO)
    cpu0, server0, start = time.process_time(), process_cpu(server.process.pid) if server else 0.0, time.monotonic()
    if server is not None:
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        for child in children:
            out, _ = child.communicate(timeout=seconds + 120)
            results.append(json.loads(out.strip().splitlines()[-1]))
    else:
        go.set()
        for t in threads:
            t.join(seconds + 120)
    wall = time.monotonic() - start
    sent = sum(r["sent"] for r in results)
    wait(lambda: sum(receiver.per_sender.values()) >= sent, 10)
    received = sum(receiver.per_sender.values())
    listener.ExitRoom()
    del listener
    gc.collect()
    return {
        "sent": sent,
        "lost": sent - received,
        "senders_cpu_share": sum(r["cpu"] for r in results) / wall if server else 0.0,
        "receiver_cpu_share": (time.process_time() - cpu0) / wall,
        "server_cpu_share": (process_cpu(server.process.pid) - server0) / wall if server else 0.0,
    }


# ---- Instructions (callgrind) ----------------------------------------------------

class Worker(QuietDelegate):
    def __init__(self) -> None:
        super().__init__()
        self.audio = 0
        self.commands: list[bytes] = []
        self.left = threading.Event()
        self.audio_seen = threading.Event()

    def OnRemoteAudioReceived(self, user_id, frame):
        self.audio += 1

    def OnRemoteAudioAvailable(self, user_id, available):
        if available:
            self.audio_seen.set()

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        self.commands.append(bytes(message))

    def OnRemoteUserExitRoom(self, info, reason):
        self.left.set()


def count_worker(role: str, frames: int, room_id: int) -> None:
    """One side of a counted run: "inprocess" (both), "send" or "receive"."""
    prepared = [audio_frame(pts) for pts in range(frames)]
    if role in ("inprocess", "receive"):
        listener_delegate = Worker()
        listener = enter(listener_delegate, "listener", room_id)
    if role in ("inprocess", "send"):
        talker_delegate = Worker()
        talker = enter(talker_delegate, "talker", room_id)
        assert talker.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
    if role in ("inprocess", "receive"):
        assert listener_delegate.audio_seen.wait(900)
        listener.Subscribe("talker", S.STREAM_TYPE_AUDIO)
        listener.SendCustomCmdMsg(1, b"go", True, True)
    if role in ("inprocess", "send"):
        assert wait(lambda: talker_delegate.commands, 900)
        for frame in prepared:
            assert talker.SendAudioFrame(frame) == 0
    if role in ("inprocess", "receive"):
        assert wait(lambda: listener_delegate.audio >= frames, 900), listener_delegate.audio
        listener.ExitRoom()
    if role == "send":
        assert talker_delegate.left.wait(900)


def counted(role: str, frames: int, out_dir: str, server: RoomServer | None) -> int:
    """Instructions of one side's process (the other side, if any, runs plainly)."""
    room_id = new_room_id() + 1000 * frames + (7 if role == "send" else 0)
    prefix = Path(out_dir) / f"callgrind.{role}.{frames}"
    env = server.env() if server else {k: v for k, v in os.environ.items() if k != "LUMORA_ROOM_SERVER"}
    other = None
    if role in ("send", "receive"):
        partner = "receive" if role == "send" else "send"
        other = subprocess.Popen([sys.executable, __file__, "--count-worker", partner, str(frames), str(room_id)],
                                 env=env)
    cmd = ["valgrind", "--tool=callgrind", "--trace-children=yes", f"--callgrind-out-file={prefix}.%p",
           sys.executable, __file__, "--count-worker", role, str(frames), str(room_id)]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if other is not None:
        other.wait(900)
    if done.returncode != 0:
        raise RuntimeError(f"{role} worker failed:\n{done.stderr[-2000:]}")
    totals = [int(m.group(1)) for path in prefix.parent.glob(prefix.name + ".*")
              for m in [re.search(r"^(?:summary|totals): (\d+)", path.read_text(), re.M)] if m]
    return max(totals)


def instructions(n1: int, n2: int, server: RoomServer) -> list[tuple[str, str]]:
    rows = []
    with tempfile.TemporaryDirectory() as out:
        for label, role, on_server in (("in-process room, both sides", "inprocess", None),
                                       ("room server, sending process", "send", server),
                                       ("room server, receiving process", "receive", server)):
            progress(f"callgrind: {label}")
            per_frame = (counted(role, n2, out, on_server) - counted(role, n1, out, on_server)) / (n2 - n1)
            rows.append((label, f"{per_frame:,.0f}"))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=400)
    parser.add_argument("--senders", type=int, default=50)
    parser.add_argument("--processes", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--count", type=int, nargs=2, default=[100, 300], metavar=("N1", "N2"))
    parser.add_argument("--no-count", action="store_true", help="skip the callgrind runs")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--count-worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.count_worker:
        role, frames, room_id = args.count_worker
        count_worker(role, int(frames), int(room_id))
        return
    if args.child:
        names, room_id, seconds = json.loads(args.child)
        print(json.dumps(send_paced(names, room_id, seconds)), flush=True)
        return
    os.environ.pop("LUMORA_ROOM_SERVER", None)
    with tempfile.TemporaryDirectory() as folder, RoomServer(folder) as server:
        progress("latency, in-process")
        local = latency_run(args.frames, None)
        progress("latency, room server")
        with server.joined_here():
            remote = latency_run(args.frames, server)
        rows = [(key, f"{local[key]:.3f}", f"{remote[key]:.3f}") for key in local]
        print_table(f"one-way 20 ms audio frame ({args.frames} frames, one process, one clock)",
                    ["", "in-process", "room server"], rows)
        progress("fan-in, in-process")
        local = fan_in_run(args.senders, args.processes, args.seconds, None)
        progress("fan-in, room server")
        with server.joined_here():
            remote = fan_in_run(args.senders, args.processes, args.seconds, server)
        rows = [(key, f"{local[key]:.3f}", f"{remote[key]:.3f}") for key in local]
        print()
        print_table(f"{args.senders} senders in {args.processes} processes (threads in-process), {args.seconds:g} s",
                    ["", "in-process", "room server"], rows)
        stats = server.stats()
        print(f"\nserver: forwarded {stats['forwarded']}, dropped {stats['dropped_messages']}")
        if not args.no_count:
            n1, n2 = args.count
            print()
            print_table(f"Instructions a 20 ms audio frame, callgrind, ({n2} - {n1} frames) / {n2 - n1}",
                        ["", "instructions"], instructions(n1, n2, server))


if __name__ == "__main__":
    main()

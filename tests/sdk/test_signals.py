"""Asynchronous process signals reach the application's threads, never the
SDK's: the SDK starts its threads (event threads, injection threads) with
every asynchronous signal blocked, so SIGINT interrupts the main thread's
wait and a signal the application blocks stays pending until it unblocks."""

import os
import pathlib
import signal
import statistics
import subprocess
import time

import pytest

from child import start_child
from recorder import Recorder

FAULT_SIGNALS = (signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL)


def blocked_signals(status_text):
    """The SigBlk set of a /proc/.../status text, as signal numbers."""
    for line in status_text.splitlines():
        if line.startswith("SigBlk:"):
            mask = int(line.split()[1], 16)
            return {n for n in range(1, 65) if mask >> (n - 1) & 1}
    raise AssertionError("no SigBlk line")


def sdk_event_threads(pid="self"):
    """{tid: blocked signals} of the tasks named like SDK event threads."""
    found = {}
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        try:
            if task.joinpath("comm").read_text().startswith("lumora-ev-"):
                found[int(task.name)] = blocked_signals(task.joinpath("status").read_text())
        except FileNotFoundError:  # the task ended meanwhile
            pass
    return found


def assert_sdk_mask(blocked):
    assert {signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGCHLD, signal.SIGUSR1} <= blocked
    assert not blocked & set(FAULT_SIGNALS)  # a fault still reaches its crash handler


class MaskReader(Recorder):
    """Records, for OnError and OnEnterRoom, the signal mask of the thread
    it runs on."""

    def OnError(self, error):
        self.masks.append(blocked_signals(pathlib.Path("/proc/thread-self/status").read_text()))

    def OnEnterRoom(self):  # what a held thread calls
        self.OnError(0)

    masks = None


def test_sdk_threads_start_with_async_signals_blocked(lumora, sdk):
    caller_mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
    delegate = MaskReader()
    delegate.masks = []
    cloud = lumora.VELACloud(delegate)
    cid = sdk.last_cloud_id()
    # Starting the event thread leaves the caller's own mask as it was.
    assert signal.pthread_sigmask(signal.SIG_BLOCK, []) == caller_mask
    assert sdk.inject("error", cid, -1, mode=sdk.EVENT) == 0
    assert sdk.wait_idle(cid) == 0  # the event thread has run (and named itself)
    threads = sdk_event_threads()
    assert threads, "no SDK event thread found"
    for blocked in threads.values():
        assert_sdk_mask(blocked)
    assert sdk.inject("error", cid, -1, mode=sdk.NEW_THREAD) == 0
    held = sdk.start_held_thread(cid)
    assert held != 0
    deadline = time.monotonic() + 10
    while len(delegate.masks) < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert sdk.join_held_thread(held) == 0
    assert signal.pthread_sigmask(signal.SIG_BLOCK, []) == caller_mask
    assert len(delegate.masks) == 3
    for blocked in delegate.masks:
        assert_sdk_mask(blocked)
    del cloud


# A call between two clouds in one room: alice sends 20 ms audio frames
# every 10 ms, bob subscribes and hashes each one in his callback. The main
# thread is the only non-SDK thread. Prints "ready" once bob has received
# audio. Mode "run": the main thread keeps sending until interrupted. Mode
# "blocked": SIGINT is blocked in the main thread; after a line on stdin
# (sent once the parent has signalled) the call goes on a little, the
# program prints whether SIGINT is pending and then unblocks it.
CALL_PROGRAM = """
    import hashlib, signal, sys, time
    import _lumora as lumora
    from recorder import Recorder

    # A suite started in the background of a shell inherits SIGINT ignored,
    # and Python then leaves it so: Ctrl-C is what is tested here.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    class Receiver(Recorder):
        received = 0
        def OnRemoteAudioReceived(self, user_id, frame):
            hashlib.sha256(frame.data).digest()
            Receiver.received += 1

    def participant(user, delegate):
        params = lumora.EnterRoomParams()
        params.room.sdk_app_id = 1400
        params.room.user_id = lumora.VelaString(user)
        params.room.user_sig = lumora.VelaString("sig-" + user)
        params.room.room_id = 5150
        cloud = lumora.VELACloud(delegate)
        assert cloud.EnterRoom(params) == 0
        return cloud

    mode = sys.argv[1]
    alice_delegate, bob_delegate = Recorder(), Receiver()
    alice, bob = participant("alice", alice_delegate), participant("bob", bob_delegate)
    assert alice.CreateLocalAudioChannel(lumora.AudioEncodeParams()) == 0
    assert bob.Subscribe("alice", lumora.STREAM_TYPE_AUDIO) == 0
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels = 48000, 1
    frame.SetData(bytes(range(256)) * 7 + bytes(128))
    sent = 0

    def send(seconds):
        global sent
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            frame.pts = sent * 20
            alice.SendAudioFrame(frame)
            sent += 1
            time.sleep(0.01)

    if mode == "blocked":
        signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGINT])
    while Receiver.received < 5:
        send(0.05)
    print("ready", flush=True)
    if mode == "blocked":
        sys.stdin.readline()
        send(0.3)
        print("pending", signal.SIGINT in signal.sigpending(), flush=True)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [signal.SIGINT])
        print("not interrupted", flush=True)
    send(60)
"""


def start_call(mode):
    proc = start_child(CALL_PROGRAM, mode, stdin=subprocess.PIPE)
    line = proc.stdout.readline()
    if line != "ready\n":
        proc.kill()
        out, err = proc.communicate(timeout=10)
        raise AssertionError(f"the call did not start: {line!r} {out!r} {err!r}")
    return proc


def finish(proc, timeout=20):
    try:
        out, err = proc.communicate(timeout=timeout)
    except BaseException:
        proc.kill()
        proc.communicate()
        raise
    return out, err


def test_blocked_sigint_stays_pending_for_the_main_thread(lumora):
    # With the main thread blocking SIGINT, only a thread that does not block
    # it could take it. No SDK thread may: the signal must wait, pending,
    # until the main thread unblocks it, and only then interrupt the program.
    proc = start_call("blocked")
    try:
        threads = sdk_event_threads(proc.pid)
        assert len(threads) == 2
        for blocked in threads.values():
            assert_sdk_mask(blocked)
        os.kill(proc.pid, signal.SIGINT)
        proc.stdin.write("signalled\n")
        proc.stdin.flush()
    finally:
        out, err = finish(proc)
    assert out.splitlines() == ["pending True"], err
    assert proc.returncode == -signal.SIGINT, err
    assert err.rstrip().endswith("KeyboardInterrupt"), err


@pytest.mark.slow
def test_sigint_stops_a_call_in_flight_promptly(lumora):
    # 20 runs, one SIGINT each at a varying moment of the call: every run
    # ends with Python's unhandled-KeyboardInterrupt status. Each run is
    # bounded by finish()'s time-out.
    latencies = []
    for run in range(20):
        proc = start_call("run")
        time.sleep(0.005 * run)
        signalled = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        out, err = finish(proc, timeout=10)
        latencies.append(time.monotonic() - signalled)
        assert proc.returncode == -signal.SIGINT, (run, out, err)
        assert err.rstrip().endswith("KeyboardInterrupt"), (run, err)
    ms = sorted(1000 * t for t in latencies)
    print(f"SIGINT to exit: min {ms[0]:.1f} ms, median {statistics.median(ms):.1f} ms, max {ms[-1]:.1f} ms")

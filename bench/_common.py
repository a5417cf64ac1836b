"""Shared pieces of the benchmarks that run with _lumora loaded: a do-nothing
delegate, room entry, on-the-fly compilation of small native helpers, and a
probe of how the loaded build treats SDK threads. Table printing and the
build comparison machinery, which load no build, are in _variants.py."""

import ctypes
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time

import _lumora as lumora

from _variants import compile_native, cpu_model, load_native, print_table, progress  # noqa: F401 (shared names)

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
import sdk_control  # noqa: E402  (tests/sdk_control.py)


class QuietDelegate(lumora.VELACloudDelegate):
    """Defines every callback as a no-op so any delivery is harmless; the
    benchmarks override the ones they measure."""

    def __init__(self):
        super().__init__()
        self.entered = threading.Event()
        self.peers = set()
        self.peer_event = threading.Condition()

    def OnError(self, error): pass
    def OnConnectionStateChanged(self, old_state, new_state): pass
    def OnEnterRoom(self): self.entered.set()
    def OnExitRoom(self): pass
    def OnLocalAudioChannelCreated(self): pass
    def OnLocalAudioChannelDestroyed(self): pass
    def OnLocalVideoChannelCreated(self, stream_type): pass
    def OnLocalVideoChannelDestroyed(self, stream_type): pass

    def OnRemoteUserEnterRoom(self, info):
        with self.peer_event:
            self.peers.add(str(info.user_id))
            self.peer_event.notify_all()

    def OnRemoteUserExitRoom(self, info, reason): pass
    def OnRemoteAudioAvailable(self, user_id, available): pass
    def OnRemoteVideoAvailable(self, user_id, available, stream_type): pass
    def OnRemoteAudioReceived(self, user_id, frame): pass
    def OnRemoteMixedAudioReceived(self, frame): pass
    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame): pass
    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame): pass
    def OnRequestKeyFrame(self, stream_type): pass
    def OnRequestChangeVideoEncodeBitrate(self, stream_type, bitrate_bps): pass
    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message): pass
    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message): pass
    def OnMissCustomCmdMsg(self, user_id, cmd_id, error_code, missed): pass
    def OnNetworkQuality(self, local_quality, remote_qualities): pass

    def wait_peers(self, names, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self.peer_event:
            while not set(names) <= self.peers:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise RuntimeError(f"peers not seen: {sorted(set(names) - self.peers)[:5]}")
                self.peer_event.wait(left)


def make_cloud(delegate):
    """Creates a cloud for `delegate`; returns (cloud, control id)."""
    cloud = lumora.VELACloud(delegate)
    return cloud, sdk_control.last_cloud_id()


def enter(cloud, delegate, user, room, audio=False, video=False):
    params = lumora.EnterRoomParams()
    params.room.sdk_app_id = 1400000001
    params.room.user_id = lumora.VelaString(user)
    params.room.user_sig = lumora.VelaString("sig-" + user)
    params.room.room_id = room
    params.scene = lumora.VELA_SCENE_VIDEO_CALL
    params.use_pixel_frame_input = True
    params.use_pixel_frame_output = True
    result = cloud.EnterRoom(params)
    if result != lumora.ERR_OK:
        raise RuntimeError(f"{user}: EnterRoom returned {result}")
    if not delegate.entered.wait(10):
        raise RuntimeError(f"{user}: OnEnterRoom did not arrive")
    if audio:
        cloud.CreateLocalAudioChannel(lumora.AudioEncodeParams())
    if video:
        cloud.CreateLocalVideoChannel(lumora.STREAM_TYPE_VIDEO_HIGH)


def native_delegate_library(sdk_library, cache=None):
    """native_delegate.cpp built against `sdk_library` (once per SDK library
    and run, in `cache`, else in a new temporary folder), loaded with
    ctypes."""
    sdk_library = pathlib.Path(sdk_library).resolve()
    folder = pathlib.Path(cache or tempfile.mkdtemp(prefix="lumora-bench-"))
    out = folder / hashlib.sha1(str(sdk_library).encode()).hexdigest()[:12] / "libbench_native.so"
    if not out.exists():
        out.parent.mkdir(parents=True, exist_ok=True)
        root = HERE.parent
        control = next((root / "sdk").rglob("lumora_control.h")).parent  # the control interface's header
        subprocess.run([os.environ.get("CXX", "g++"), "-O2", "-std=c++17", "-shared", "-fPIC",
                        "-I", str(root / "include"), "-I", str(control), str(HERE / "native_delegate.cpp"),
                        "-o", str(out), str(sdk_library), f"-Wl,-rpath,{sdk_library.parent}"], check=True)
    lib = ctypes.CDLL(str(out))
    lib.bench_native_cloud_create.restype = ctypes.c_uint64
    lib.bench_native_cloud_create.argtypes = []
    lib.bench_native_cloud_destroy.restype = None
    lib.bench_native_cloud_destroy.argtypes = [ctypes.c_uint64]
    lib.bench_native_gate.restype = None
    lib.bench_native_gate.argtypes = [ctypes.c_int]
    lib.bench_native_enter.restype = ctypes.c_int
    lib.bench_native_enter.argtypes = [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_uint32]
    lib.bench_native_subscribe.restype = ctypes.c_int
    lib.bench_native_subscribe.argtypes = [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int]
    lib.bench_native_exit.restype = ctypes.c_int
    lib.bench_native_exit.argtypes = [ctypes.c_uint64]
    lib.bench_native_stats.restype = ctypes.c_int
    lib.bench_native_stats.argtypes = [ctypes.c_uint64, ctypes.POINTER(ctypes.c_uint64)]
    return lib


def compile_extension(name, source, cxx=False, extra=()):
    """Compiles `source` into an extension module `name` in a temporary folder
    with the host compiler (no libpython link) and imports it."""
    return load_native(name, compile_native(name, source, cxx=cxx, extra=extra))


class _ThreadStateProbe(QuietDelegate):
    def __init__(self):
        super().__init__()
        self.local = threading.local()
        self.counts = []

    def OnError(self, error):
        self.local.count = getattr(self.local, "count", 0) + 1
        self.counts.append(self.local.count)


def thread_state_mode(calls=3):
    """How this build of _lumora treats SDK threads, by what it does: "kept"
    when a threading.local value survives between callbacks on one SDK event
    thread (the thread keeps its Python thread state), "fresh" when every
    callback starts with a new thread state."""
    probe = _ThreadStateProbe()
    cloud, cid = make_cloud(probe)
    for _ in range(calls):
        sdk_control.inject("error", cid, -1, mode=sdk_control.EVENT)
    if sdk_control.wait_idle(cid, 10000) != 0:
        raise RuntimeError("thread-state probe: the event thread did not become idle")
    del cloud
    if probe.counts == list(range(1, calls + 1)):
        return "kept"
    if probe.counts == [1] * calls:
        return "fresh"
    return f"unknown {probe.counts}"

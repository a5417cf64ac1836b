"""Shared pieces of the benchmarks: a do-nothing delegate, room entry, on-the-fly
compilation of small native helpers, and table printing."""

import importlib.machinery
import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

import _lumora as lumora

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


def compile_extension(name, source, cxx=False, extra=()):
    """Compiles `source` into an extension module `name` in a temporary folder
    with the host compiler (no libpython link) and imports it."""
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="lumora-bench-"))
    out = tmp / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CXX", "g++") if cxx else os.environ.get("CC", "cc")
    cmd = [compiler, "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], *extra,
           str(source), "-o", str(out)]
    if cxx:
        cmd[1:1] = ["-std=c++17", "-fvisibility=hidden"]
    subprocess.run(cmd, check=True)
    loader = importlib.machinery.ExtensionFileLoader(name, str(out))
    spec = importlib.util.spec_from_file_location(name, str(out), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def cpu_model():
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def print_table(title, header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    print(title)
    print("  " + "  ".join(str(h).ljust(w) for h, w in zip(header, widths)))
    print("  " + "  ".join("-" * w for w in widths))
    for row in rows:
        print("  " + "  ".join(str(c).ljust(w) for c, w in zip(row, widths)))


def progress(text):
    print(f"... {text}", file=sys.stderr, flush=True)

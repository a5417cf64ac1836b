"""Offline wheel builds, fresh venvs and installed-module checks for the wheel tests.

`pip wheel --no-build-isolation` builds with the build tools of the running
interpreter's environment (scikit-build-core, pybind11, cmake, ninja), so no
index is needed. Fresh venvs are made from the same interpreter and get wheels
with `pip install --no-index --no-deps` through the running environment's pip
(`pip --python`). Subprocesses run with an environment that points at no
other build of the module.
"""

import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

BUILD_TOOLS = ["scikit_build_core", "pybind11", "cmake", "ninja"]


def clean_env(**extra):
    """The environment without what points at other builds or instruments them."""
    env = dict(os.environ)
    for name in ("PYTHONPATH", "LD_PRELOAD", "LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                 "LUMORA_SANITIZE", "LUMORA_SDK_LIBRARY", "LUMORA_SDK_ROOT", "PIP_INDEX_URL"):
        env.pop(name, None)
    env["PIP_NO_INDEX"] = "1"
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env.update(extra)
    return env


def run(args, env=None, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          env=env if env is not None else clean_env(), **kwargs)


def require_build_tools():
    missing = [m for m in BUILD_TOOLS if importlib.util.find_spec(m) is None]
    if missing:
        pytest.skip(f"pip wheel cannot run offline: build tools {missing} are not installed in {sys.prefix}")


def build_wheel(out_dir, build_dir, env=None):
    """Builds the checkout into a wheel in out_dir; returns the wheel's path."""
    require_build_tools()
    build = run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
                 "-w", out_dir, f"-Cbuild-dir={build_dir}", REPO], env=env, cwd=REPO)
    if build.returncode != 0:
        text = build.stdout + build.stderr
        if "No matching distribution" in text or "Could not find a version" in text:
            pytest.skip("pip wheel cannot run offline: it asked an index for a package\n" + text[-2000:])
        pytest.fail("pip wheel failed\n" + text[-4000:])
    wheels = list(pathlib.Path(out_dir).glob("*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def make_venv(path):
    made = run([sys.executable, "-m", "venv", "--without-pip", path])
    assert made.returncode == 0, made.stderr
    return pathlib.Path(path)


def install_wheel(venv, wheel):
    """Installs wheel into venv, without an index or dependencies; returns the venv's python."""
    python = pathlib.Path(venv) / "bin" / "python"
    installed = run([sys.executable, "-m", "pip", "--python", python, "install", "--no-index", "--no-deps", wheel])
    assert installed.returncode == 0, installed.stdout + installed.stderr
    return python


def run_json(python, script, cwd, timeout=120):
    """Runs script with python from cwd; returns the JSON object on its last stdout line."""
    done = run([python, "-c", script], cwd=cwd, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def dynamic_entries(path):
    """(NEEDED list, RUNPATH or RPATH list) of an ELF file, read with readelf."""
    if shutil.which("readelf") is None:
        pytest.skip("readelf not installed")
    out = run(["readelf", "-d", path], check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", out)
    paths = re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library (?:rpath|runpath): \[(.*)\]", out)
    return needed, paths


# A short call in an installed environment: two clouds enter one room of the
# SDK's service, alice sends an audio frame, bob receives it. Prints, as JSON,
# where the module and the SDK library were loaded from, what arrived, and the
# version of the distribution that installed the module.
CALL = textwrap.dedent("""
    import importlib.metadata, json, pathlib, threading
    import _lumora as lumora

    IGNORED = ["OnError", "OnConnectionStateChanged", "OnExitRoom", "OnLocalAudioChannelCreated",
               "OnLocalAudioChannelDestroyed", "OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed",
               "OnRemoteUserExitRoom", "OnRemoteAudioAvailable", "OnRemoteVideoAvailable",
               "OnRemoteMixedAudioReceived", "OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived",
               "OnRequestKeyFrame", "OnRequestChangeVideoEncodeBitrate"]

    class Peer(lumora.VELACloudDelegate):
        def __init__(self):
            super().__init__()
            self.entered, self.peer, self.audio = threading.Event(), threading.Event(), threading.Event()
            self.frames = []
        def OnEnterRoom(self):
            self.entered.set()
        def OnRemoteUserEnterRoom(self, info):
            self.peer.set()
        def OnRemoteAudioReceived(self, user_id, frame):
            self.frames.append((user_id, frame.data))
            self.audio.set()
    for name in IGNORED:
        setattr(Peer, name, lambda self, *args: None)

    def enter(user):
        delegate = Peer()
        cloud = lumora.VELACloud(delegate)
        params = lumora.EnterRoomParams()
        params.room.sdk_app_id = 1400000001
        params.room.user_id = lumora.VelaString(user)
        params.room.user_sig = lumora.VelaString("sig-" + user)
        params.room.room_id = 5150
        return delegate, cloud, cloud.EnterRoom(params)

    (da, alice, ra), (db, bob, rb) = enter("alice"), enter("bob")
    met = all(e.wait(10) for e in (da.entered, db.entered, da.peer, db.peer))
    subscribed = bob.Subscribe("alice", lumora.STREAM_TYPE_AUDIO)
    channel = alice.CreateLocalAudioChannel(lumora.AudioEncodeParams())
    frame = lumora.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    payload = bytes(range(256)) * 7 + bytes(128)
    frame.SetData(payload)
    sent = alice.SendAudioFrame(frame)
    db.audio.wait(10)
    with open("/proc/self/maps") as f:
        mapped = sorted({line.split()[-1] for line in f if "liblumora" in line.rsplit("/", 1)[-1]})
    owners = [d for d in importlib.metadata.distributions()
              if any(str(p).startswith("_lumora.") for p in (d.files or []))]
    print(json.dumps({
        "module": str(pathlib.Path(lumora.__file__).resolve()),
        "mapped": mapped,
        "results": [ra, rb, subscribed, channel, sent],
        "met": met,
        "received": [user for user, data in db.frames if data == payload],
        "versions": [d.version for d in owners],
    }))
    for cloud in (alice, bob):
        cloud.ExitRoom()
""")

"""The module as a whole: import, registration order, linking."""

import importlib
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest


def test_docstring_and_reimport_gives_same_module(lumora):
    assert lumora.__doc__ == "VELA Lumora Python API (bind with C++ API by pybind11)"
    cloud_class = lumora.VELACloud
    del sys.modules["_lumora"]
    again = importlib.import_module("_lumora")
    assert again is lumora
    assert again.VELACloud is cloud_class
    assert sys.modules["_lumora"] is lumora


def test_registration_order_of_module_attributes(lumora):
    names = [n for n in vars(lumora) if not n.startswith("__")]
    classes = [
        "VELACloud", "VELACloudDelegate", "VelaString", "RoomParams", "EnterRoomParams",
        "AudioEncodeParams", "VideoEncodeParams", "NetworkQualityInfo", "UserInfo",
        "AudioObtainParams", "VADParams", "AudioFrame", "VideoFrame", "PixelFrame", "Error",
    ]
    assert names[: len(classes)] == classes
    functions = ["SetLogPath", "SetLogLevel", "EnableConsoleLog", "DisableConsoleLog",
                 "DisableLogCompress", "DisableLogFile", "SetSocks5Proxy", "SetEnvironment"]
    assert names[-len(functions):] == functions
    enums = [n for n in names if isinstance(getattr(lumora, n), type)
             and issubclass(getattr(lumora, n), object) and hasattr(getattr(lumora, n), "__members__")]
    assert enums == ["Error", "VideoCodecType", "AudioCodecType", "VELARole", "VELAScene", "StreamType",
                     "AudioObtainMethod", "NetworkQuality", "ConnectionState", "VideoRotation",
                     "VideoPixelFormat"]


def test_no_instance_attributes(lumora):
    for cls in (lumora.VelaString, lumora.RoomParams, lumora.EnterRoomParams, lumora.AudioFrame,
                lumora.VideoFrame, lumora.PixelFrame, lumora.VADParams, lumora.VELACloudDelegate):
        obj = cls()
        with pytest.raises(AttributeError):
            obj.extra = 1
    with pytest.raises(AttributeError):
        lumora.VELACloud(None).extra = 1


def test_signatures_show_later_types_by_native_name(lumora):
    first = lambda f: f.__doc__.splitlines()[0]
    assert first(lumora.VELACloud.EnterRoom) == (
        "EnterRoom(self: _lumora.VELACloud, params: lumora::vela::EnterRoomParams) -> int")
    send = first(lumora.VELACloud.SendVideoFrame)
    assert "type: lumora::vela::StreamType" in send and "frame: lumora::vela::VideoFrame" in send
    assert "PyVELACloudDelegate" in first(lumora.VELACloud.__init__)
    # Records come before enumerations: enum-typed fields show native names,
    # VelaString and earlier records show Python names.
    assert "lumora::vela::VELAScene" in lumora.EnterRoomParams.scene.fget.__doc__
    assert "_lumora.RoomParams" in lumora.EnterRoomParams.room.fget.__doc__
    assert "_lumora.VelaString" in lumora.RoomParams.user_id.fget.__doc__
    assert "lumora::vela::AudioObtainParams" in lumora.EnterRoomParams.audio_obtain_params.fget.__doc__
    assert first(lumora.SetLogPath) == "SetLogPath(path: str) -> bool"
    assert first(lumora.DisableLogFile) == "DisableLogFile(disabled: bool) -> None"


def test_enum_members_exported(lumora):
    assert lumora.ERR_OK is lumora.Error.ERR_OK
    for enum in (lumora.Error, lumora.StreamType, lumora.VideoPixelFormat, lumora.NetworkQuality):
        for name, member in enum.__members__.items():
            assert getattr(lumora, name) is member


def _module_file(lumora):
    return pathlib.Path(lumora.__file__)


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf not installed")
def test_runtime_search_path_and_needed_libraries(lumora):
    out = subprocess.run(["readelf", "-d", str(_module_file(lumora))], capture_output=True, text=True,
                         check=True).stdout
    paths = re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library (?:rpath|runpath): \[(.*)\]", out)
    assert paths == ["$ORIGIN:$ORIGIN/../lumora.libs"]
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", out))
    # pybind11's thread_local state resolves __tls_get_addr from the loader.
    needed.discard("ld-linux-x86-64.so.2")
    assert needed == {"liblumora.so", "libstdc++.so.6", "libgcc_s.so.1", "libm.so.6", "libc.so.6",
                      "libpthread.so.0", "libdl.so.2", "librt.so.1"}
    assert not any(n.startswith("libpython") for n in needed)


@pytest.mark.skipif(shutil.which("ldd") is None, reason="ldd not installed")
def test_sdk_library_found_beside_module(lumora):
    out = subprocess.run(["ldd", str(_module_file(lumora))], capture_output=True, text=True).stdout
    line = next(l for l in out.splitlines() if "liblumora.so" in l)
    assert str(_module_file(lumora).with_name("liblumora.so")) in line


def _other_python():
    for candidate in ("/root/.pyenv/versions/3.13.0/bin/python3.13", shutil.which("python3.13"),
                      shutil.which("python3.11"), "/usr/bin/python3.11"):
        if candidate and os.path.exists(candidate):
            return candidate
    return None


def test_version_check_refuses_other_interpreter(lumora):
    python = _other_python()
    if python is None:
        pytest.skip("no CPython other than 3.14 on this machine")
    # Load lazily so that the entry point itself runs and reports the mismatch.
    script = (
        "import importlib.machinery, importlib.util, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"loader = importlib.machinery.ExtensionFileLoader('_lumora', {str(_module_file(lumora))!r})\n"
        "spec = importlib.util.spec_from_file_location('_lumora', loader.path, loader=loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    out = subprocess.run([python, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    version = subprocess.run([python, "-c", "import sys; print(sys.version)"], capture_output=True,
                             text=True, env=env).stdout.strip()
    assert out.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.14, but the interpreter version "
        f"is incompatible: {version}.")

"""lumora_kit.testing and its pytest plugin."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import _lumora
from lumora_kit.testing import (
    ControlUnavailable, LoopbackRoom, Recorder, WiredCloud, load_control, pair, unavailable_reason,
)

pytest_plugins = ["pytester"]



def c_library():
    with open("/proc/self/maps") as maps:
        return next(line.split()[-1] for line in maps if "/libc.so" in line or "/libc-" in line)


# A shared object that loads but has no control interface, as a vendor SDK's
# library. (Not _lumora's own file: symbol look-up through a library's handle
# also searches the libraries it needs, liblumora.so among them.)
NOT_THE_STAND_IN_SDK = c_library()


def test_a_library_without_the_control_interface_is_refused_with_the_reason(monkeypatch, tmp_path):
    with pytest.raises(ControlUnavailable, match="no lumora_journal_enable"):
        load_control(NOT_THE_STAND_IN_SDK)
    assert "no SDK library at" in unavailable_reason(tmp_path / "liblumora.so")
    monkeypatch.setenv("LUMORA_SDK_LIBRARY", NOT_THE_STAND_IN_SDK)
    assert "not the stand-in SDK" in unavailable_reason()
    monkeypatch.delenv("LUMORA_SDK_LIBRARY")
    assert unavailable_reason() is None


def test_journal_recording_switches_the_journal_on_for_the_block_only(sdk):
    sdk.enable_journal(False)
    with sdk.journal_recording():
        _lumora.SetEnvironment("production")
        assert sdk.calls("HaloLiveSDK::SetEnvironment") == [[b"production"]]
    _lumora.SetEnvironment("production")
    assert sdk.journal_size() == 0
    with sdk.journal_recording():
        assert sdk.journal() == []  # cleared on entry


def test_recorder_wait_for_names_what_did_arrive(sdk, lumora_cloud):
    lumora_cloud.inject("enter_room")
    assert lumora_cloud.recorder.wait_for("OnEnterRoom") == [()]
    with pytest.raises(TimeoutError, match=r"1 x OnExitRoom; recorded \['OnEnterRoom'\]"):
        lumora_cloud.recorder.wait_for("OnExitRoom", timeout=0.05)
    with pytest.raises(TypeError, match="not a Recorder"):
        WiredCloud(sdk, _lumora.VELACloudDelegate()).recorder


def test_pair_enters_two_users_who_see_each_other_and_leave_destroys_both(sdk):
    before = sdk.live_clouds()
    room = pair(sdk, ("ann", "ben"))
    assert sdk.live_clouds() == before + 2
    for me, other in (("ann", "ben"), ("ben", "ann")):
        names = [str(info.user_id) for info, in room[me].recorder.named("OnRemoteUserEnterRoom")]
        assert names == [other]
    room.leave()
    assert sdk.live_clouds() == before


def test_a_failed_join_raises_and_keeps_the_room_usable(sdk):
    room = LoopbackRoom(sdk)
    with pytest.raises(RuntimeError, match="EnterRoom returned -"):
        room.join("zed", sdk_app_id=0)
    assert room.participants == {}
    assert isinstance(room.join("amy").delegate, Recorder)
    room.leave()


# ---- The plugin, in pytest runs of their own ---------------------------------------

USER_TESTS = textwrap.dedent("""
    import _lumora

    def test_journal(lumora_journal):
        _lumora.SetEnvironment("production")
        assert lumora_journal.calls("HaloLiveSDK::SetEnvironment") == [[b"production"]]

    def test_injected(lumora_cloud):
        lumora_cloud.inject("remote_audio_available", "u", 1, mode=lumora_cloud.control.SYNC)
        assert lumora_cloud.recorder.named("OnRemoteAudioAvailable") == [("u", True)]

    def test_room(lumora_room):
        assert sorted(lumora_room.participants) == ["alice", "bob"]
""")


def run_user_tests(pytester, *args, **env):
    pytester.makepyfile(test_user=USER_TESTS)
    for name, value in env.items():
        pytester._monkeypatch.setenv(name, value)
    return pytester.runpytest_subprocess("-p", "no:cacheprovider", "-rs", *args)


@pytest.mark.parametrize("autoload, args", [
    ("", []),  # registered through its entry point
    ("", ["-p", "lumora_kit.pytest_plugin"]),  # named as well: not registered twice
    ("1", ["-p", "lumora_kit.pytest_plugin"]),  # named with autoloading off
])
def test_the_plugin_is_registered_and_its_fixtures_work(pytester, autoload, args):
    result = run_user_tests(pytester, *args, PYTEST_DISABLE_PLUGIN_AUTOLOAD=autoload)
    result.assert_outcomes(passed=3)


def test_the_plugin_skips_clearly_without_the_stand_in_sdk(pytester):
    result = run_user_tests(pytester, LUMORA_SDK_LIBRARY=NOT_THE_STAND_IN_SDK)
    result.assert_outcomes(skipped=3)
    result.stdout.fnmatch_lines(["*lumora_kit loopback test kit not available*not the stand-in SDK*"])


def test_the_plugin_skips_clearly_without_the_module(pytester, tmp_path):
    # lumora_kit beside a _lumora that fails to import, as a binding that is not built would.
    import lumora_kit

    alone = tmp_path / "alone"
    shutil.copytree(pathlib.Path(lumora_kit.__file__).parent, alone / "lumora_kit")
    (alone / "_lumora.py").write_text("raise ImportError('no _lumora here')\n")
    pytester.makepyfile(test_user="def test_room(lumora_room):\n    pass\n")
    pytester._monkeypatch.setenv("PYTHONPATH", str(alone))
    pytester._monkeypatch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "lumora_kit.pytest_plugin", "-rs")
    result.assert_outcomes(skipped=1)
    result.stdout.fnmatch_lines(["*lumora_kit loopback test kit not available*no _lumora here*"])


def test_importing_the_plugin_loads_neither_the_module_nor_the_sdk():
    code = ("import sys, lumora_kit, lumora_kit.pytest_plugin\n"
            "print(sorted(m for m in sys.modules if m == '_lumora' or m.startswith('lumora_kit.')))\n"
            "print(any(line.rstrip().endswith('liblumora.so') for line in open('/proc/self/maps')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ),
                         check=True).stdout.split("\n")
    assert out[0] == "['lumora_kit.pytest_plugin']"
    assert out[1] == "False"

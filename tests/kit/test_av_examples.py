"""The PyAV examples run as their "Run it:" lines say, finish by themselves, and say what they did."""

import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

from av_tools import probe, require_tools

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_it_line(name):
    text = (EXAMPLES / name).read_text()
    line = next(line for line in text.split('"""')[1].splitlines() if line.startswith("Run it:"))
    args = shlex.split(re.sub(r"\[[^]]*\]", "", line.removeprefix("Run it:")))  # without the optional parts
    assert args[:2] == ["python", f"examples/{name}"]
    return args[2:]


@pytest.mark.parametrize("name, expected", [
    ("file_player.py", r"played 3\.0 s \(48000 Hz x 1, 320x240 at 15 fps\): the listener got 150 audio frames "
                       r"and 45 pictures"),
    ("room_recorder.py", r"\[#+ *\] +[0-9.]+/3\.0 s .*frames: audio \d+, grid \d+;.*\n"
                         r"room.mp4: audio aac \(mixed audio\)\nroom.mp4: video h264 \(640x360\)\n"
                         r"room.mp4: (2\.[5-9]|3\.\d) s"),
])
def test_av_example_runs_as_it_says(lumora_sdk, tmp_path, name, expected):
    require_tools()
    # From an empty folder, with the checkout's examples/ beside it as the line says.
    (tmp_path / "examples").symlink_to(EXAMPLES)
    done = subprocess.run([sys.executable, f"examples/{name}", *run_it_line(name)], capture_output=True, text=True,
                          cwd=tmp_path, env=dict(os.environ), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(expected, done.stdout), done.stdout + done.stderr
    if name == "room_recorder.py":
        kinds = sorted(s["codec_name"] for s in probe(tmp_path / "room.mp4")["streams"])
        assert kinds == ["aac", "h264"]  # the voices mixed, the pictures in a grid

"""The PyAV examples run as their "Run it:" lines say, finish by themselves, and say what they did."""

import os
import re
import subprocess

import pytest

from av_tools import probe, require_tools
from example_commands import EXAMPLES, run_it_command


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
    done = subprocess.run(run_it_command(EXAMPLES / name), capture_output=True, text=True, cwd=tmp_path,
                          env=dict(os.environ), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(expected, done.stdout), done.stdout + done.stderr
    if name == "room_recorder.py":
        kinds = sorted(s["codec_name"] for s in probe(tmp_path / "room.mp4")["streams"])
        assert kinds == ["aac", "h264"]  # the voices mixed, the pictures in a grid

"""The lumora_kit examples run and succeed."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run(args, tmp_path):
    # From an empty folder, so the checkout's lumora/ folder is not on the path.
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=tmp_path,
                          env=dict(os.environ), timeout=120)


@pytest.mark.parametrize("args, expected", [
    (["minimal_delegate.py"], r"unhandled OnConnectionStateChanged"),
    (["asyncio_events.py"], r"audio frames received 50 of 50"),
    (["asyncio_events.py", "--maxsize", "4", "--slow-consumer"], r"dropped [1-9]"),
])
def test_example_script(lumora, tmp_path, args, expected):
    done = run([str(EXAMPLES / args[0]), *args[1:]], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(expected, done.stdout + done.stderr), done.stdout + done.stderr


def test_example_test_suite(lumora, tmp_path):
    done = run(["-m", "pytest", "-q", "-p", "no:cacheprovider", str(EXAMPLES / "test_with_kit.py")], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "3 passed" in done.stdout

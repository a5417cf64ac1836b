"""The lumora_kit examples run and succeed."""

import os
import re
import subprocess
import sys

import pytest

from example_commands import EXAMPLES, run_it_command


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


@pytest.mark.parametrize("path", sorted(EXAMPLES.glob("*.py")), ids=lambda p: p.name)
def test_every_example_finishes_as_its_run_it_line_says(lumora, tmp_path, path):
    # From a folder of its own, where examples/ is the checkout's: the command as written, and
    # whatever the example writes stays out of the checkout.
    (tmp_path / "examples").symlink_to(EXAMPLES)
    done = subprocess.run(run_it_command(path), capture_output=True, text=True, cwd=tmp_path,
                          env=dict(os.environ), timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip(), f"{path.name} printed nothing to say what it did"


def test_readme_lists_every_example():
    readme = (EXAMPLES.parent / "README.md").read_text()
    missing = [path.name for path in EXAMPLES.glob("*.py") if f"examples/{path.name}" not in readme]
    assert not missing, f"README.md does not list {missing}"

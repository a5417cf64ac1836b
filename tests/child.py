"""Runs a Python program in a child process that imports the same _lumora
(and can import the test helpers in tests/), for tests that need a fresh
process: process-wide defaults, signals, output on file descriptor 2."""

import os
import pathlib
import subprocess
import sys
import textwrap

TESTS_DIR = pathlib.Path(__file__).resolve().parent


def child_env(extra=None):
    env = dict(os.environ)
    # The child finds _lumora where this process found it, and the helpers here.
    paths = [str(TESTS_DIR)] + [p for p in sys.path if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.update(extra or {})
    return env


def run_child(source, *args, timeout=60, env=None, **kwargs):
    """Runs `source` (dedented) with command-line arguments `args` to
    completion; returns the CompletedProcess with text stdout and stderr."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=child_env(env), **kwargs)


def start_child(source, *args, env=None, **kwargs):
    """Starts `source` (dedented) with stdout and stderr piped; returns the Popen."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(source), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env(env), **kwargs)

"""The suite itself: a module that was built but does not import stops the run, it does not skip."""

import os
import pathlib
import subprocess
import sys

TESTS = pathlib.Path(__file__).resolve().parents[1]


def run_suite_with_a_broken_module(tmp_path, **env):
    (tmp_path / "_lumora.py").write_text("raise ImportError('undefined symbol: lumora_sdk_version')\n")
    return subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(TESTS / "binding" / "test_enums.py")],
        cwd=TESTS.parent, capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": str(tmp_path), **env})


def test_a_module_that_does_not_import_fails_the_run(tmp_path):
    run = run_suite_with_a_broken_module(tmp_path)
    assert run.returncode == 3, run.stdout[-2000:]
    assert "_lumora does not import (undefined symbol: lumora_sdk_version)" in run.stdout + run.stderr


def test_a_run_without_the_module_is_asked_for_by_name(tmp_path):
    # Then the tests run and meet the import error themselves.
    run = run_suite_with_a_broken_module(tmp_path, LUMORA_TESTS_WITHOUT_MODULE="1")
    assert run.returncode not in (0, 3) and "_lumora does not import" not in run.stdout + run.stderr
    assert "ImportError: undefined symbol: lumora_sdk_version" in run.stdout

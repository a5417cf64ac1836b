"""The example programs run as documented."""

import importlib.util
import pathlib
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_typed_delegate_runs_a_call(lumora, tmp_path):
    # The program that scripts/check_typing.sh type-checks also works.
    done = subprocess.run([sys.executable, str(EXAMPLES / "typed_delegate.py")], capture_output=True, text=True,
                          cwd=tmp_path, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "audio [('alice', 1920)]" in done.stdout
    assert "messages [('cmd', 1, b'command'), ('sei', 5, b'sei\\x00payload')]" in done.stdout


def test_loopback_demo_reports_quality_in_words(lumora):
    demo = load_example("loopback_call")
    report = (lumora.NETWORK_QUALITY_EXCELLENT,
              [("bob", lumora.NETWORK_QUALITY_VERY_BAD), ("carol", lumora.NETWORK_QUALITY_UNKNOWN)])
    assert demo.describe_quality(*report) == "local excellent, bob very bad, carol unknown"
    assert demo.describe_quality(lumora.NETWORK_QUALITY_DOWN, []) == "local down"

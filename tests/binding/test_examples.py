"""The example programs run as documented."""

import ast
import gc
import importlib.util
import pathlib
import subprocess
import sys
import weakref

import pytest

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


@pytest.mark.parametrize("path", sorted(EXAMPLES.glob("*.py")), ids=lambda p: p.name)
def test_first_lines_say_what_it_shows_and_how_to_run_it(path):
    doc = ast.get_docstring(ast.parse(path.read_text(encoding="utf-8")))
    assert doc, f"{path.name} has no docstring"
    lines = doc.splitlines()
    assert lines[0].strip() and lines[1] == "", f"{path.name}: a one-line summary first"
    assert lines[2].startswith("Run it: ") and f"examples/{path.name}" in lines[2], lines[:3]


def test_example_participants_do_not_keep_their_clouds_alive(lumora):
    # A delegate holding the cloud built on it would keep both alive for good:
    # the cloud's reference to its delegate is out of the collector's reach.
    participant = load_example("loopback_call").Participant("carol")
    cloud = weakref.ref(participant.cloud)
    del participant
    gc.collect()
    assert cloud() is None, "the demo's cloud outlives its participant"

    typed = load_example("typed_delegate")
    delegate = typed.Participant("dave")
    cloud = weakref.ref(lumora.VELACloud(delegate))
    gc.collect()
    assert cloud() is None and not any(isinstance(v, lumora.VELACloud) for v in vars(delegate).values())

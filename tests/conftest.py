import gc
import os
import pathlib
import sys

import pytest

# The kit's fixtures, also when pytest's plugin autoloading is off.
from lumora_kit.pytest_plugin import lumora_cloud, lumora_journal, lumora_room, lumora_sdk  # noqa: F401

TESTS_DIR = pathlib.Path(__file__).resolve().parent
if str(TESTS_DIR) not in sys.path:
    sys.path.insert(0, str(TESTS_DIR))


def pytest_sessionstart(session):
    """The suite tests a module that was built for it: one that fails to import stops the run with
    the reason, instead of skipping most tests and passing. LUMORA_TESTS_WITHOUT_MODULE=1 lets the
    tests that need no module run alone (they skip the rest)."""
    if os.environ.get("LUMORA_TESTS_WITHOUT_MODULE") == "1":
        return
    try:
        import _lumora  # noqa: F401
    except ImportError as e:
        pytest.exit(f"_lumora does not import ({e}); build it with scripts/bootstrap.sh, or set "
                    f"LUMORA_TESTS_WITHOUT_MODULE=1 to run only the tests that need no module", returncode=3)


@pytest.fixture(scope="session")
def lumora():
    return pytest.importorskip("_lumora")


@pytest.fixture(scope="session")
def sdk(lumora, lumora_sdk):
    """The stand-in SDK's test-control interface (lumora_kit.testing.SdkControl)."""
    return lumora_sdk


@pytest.fixture
def journal(lumora_journal):
    """The control interface with a cleared SDK call journal, switched on for
    the test (it is off by default) and off again after it."""
    return lumora_journal


@pytest.fixture(autouse=True)
def _collect_between_tests():
    # Clouds destroyed by garbage collection in a later test would journal
    # their Destroy into that test; collect before and after each test.
    gc.collect()
    yield
    gc.collect()

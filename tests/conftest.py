import gc
import pathlib
import sys

import pytest

TESTS_DIR = pathlib.Path(__file__).resolve().parent
if str(TESTS_DIR) not in sys.path:
    sys.path.insert(0, str(TESTS_DIR))


@pytest.fixture(scope="session")
def lumora():
    return pytest.importorskip("_lumora")


@pytest.fixture(scope="session")
def sdk(lumora):
    """The stand-in SDK's test-control interface (see tests/sdk_control.py)."""
    import sdk_control

    return sdk_control


@pytest.fixture
def journal(sdk):
    """A cleared SDK call journal, switched on for the test (it is off by
    default) and off again after it; returns the sdk_control module."""
    sdk.enable_journal(True)
    sdk.clear_journal()
    yield sdk
    sdk.enable_journal(False)
    sdk.clear_journal()


@pytest.fixture(autouse=True)
def _collect_between_tests():
    # Clouds destroyed by garbage collection in a later test would journal
    # their Destroy into that test; collect before and after each test.
    gc.collect()
    yield
    gc.collect()

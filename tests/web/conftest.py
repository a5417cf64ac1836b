"""What the web gateway's tests need, and the reasons they skip without it."""

import os
import pathlib
import shutil
import subprocess

import pytest

pytest.importorskip("_lumora")

CHROMIUM_CANDIDATES = ("chromium", "chromium-browser")


def missing_web_extra() -> str | None:
    from lumora_kit.web import MissingWebExtra, require_web
    try:
        require_web()
    except MissingWebExtra as e:
        return str(e)
    return None


def chromium_path() -> str | None:
    explicit = os.environ.get("LUMORA_CHROMIUM")
    if explicit:
        return explicit
    for name in CHROMIUM_CANDIDATES:
        if path := shutil.which(name):
            return path
    return None


@pytest.fixture(scope="session")
def web_extra() -> None:
    if reason := missing_web_extra():
        pytest.skip(reason)


@pytest.fixture(scope="session")
def chromium(web_extra) -> str:
    """The system Chromium's path (Playwright drives it; it never downloads a browser of its own)."""
    try:
        import playwright  # noqa: F401
    except ImportError:
        pytest.skip("the browser tests need Playwright for Python: pip install playwright")
    path = chromium_path()
    if path is None:
        pytest.skip("no Chromium: scripts/bootstrap.sh installs Debian's chromium (as root)")
    return path


@pytest.fixture(scope="session")
def tone_wav(tmp_path_factory) -> pathlib.Path:
    """A 440 Hz tone, 48 kHz mono, 5 s (Chromium's fake microphone plays it in a loop); made by sox."""
    sox = shutil.which("sox")
    if sox is None:
        pytest.skip("sox makes the fake microphone's tone: apt-get install sox")
    path = tmp_path_factory.mktemp("web") / "tone.wav"
    subprocess.run([sox, "-n", "-r", "48000", "-c", "1", "-b", "16", str(path), "synth", "5", "sine", "440",
                    "vol", "0.5"], check=True)
    return path


@pytest.fixture
def artifacts_dir(tmp_path) -> pathlib.Path:
    """Where tests leave screenshots: $LUMORA_TEST_ARTIFACTS when set, else the test's temporary folder."""
    folder = os.environ.get("LUMORA_TEST_ARTIFACTS")
    if not folder:
        return tmp_path
    path = pathlib.Path(folder) / "web"
    path.mkdir(parents=True, exist_ok=True)
    return path

"""lumora_kit.__version__ tells the installed distribution's version."""

import importlib.metadata
import subprocess
import sys

import lumora_kit


def test_version_is_the_distributions():
    assert lumora_kit.__version__ == importlib.metadata.version("lumora-kit")
    # This suite runs against a build of the stand-in SDK: no +vendor label.
    assert "+" not in lumora_kit.__version__


def test_version_without_an_installed_distribution(monkeypatch):
    def not_installed(name):
        raise importlib.metadata.PackageNotFoundError(name)

    monkeypatch.setattr(importlib.metadata, "version", not_installed)
    assert lumora_kit._distribution_version() == "0+unknown"


def test_importing_the_package_does_not_read_the_metadata(tmp_path):
    # Reading it costs more than importing the package; it waits until asked.
    code = ("import sys, lumora_kit; print('importlib.metadata' in sys.modules); "
            "lumora_kit.__version__; print('importlib.metadata' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert done.stdout.split() == ["False", "True"], done.stdout + done.stderr

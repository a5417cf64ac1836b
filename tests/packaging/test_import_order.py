"""Every module of lumora_kit imports first, in a fresh interpreter.

The packages lean on each other (the sources resample with lumora_kit.media,
the media player sends through the sources), so a program's first import
decides the order in which they load; an import cycle shows only for some
first imports."""

import pkgutil
import subprocess
import sys

import lumora_kit
import pytest

MODULES = sorted(info.name for info in pkgutil.walk_packages(lumora_kit.__path__, "lumora_kit."))


def test_every_module_and_public_name_imports_first():
    # One interpreter per first import; all of them at once, so the test stays quick.
    firsts = [f"import {name}" for name in MODULES]
    firsts += [f"from lumora_kit import {name}" for name in lumora_kit.__all__]
    runs = [(first, subprocess.Popen([sys.executable, "-c", first], stderr=subprocess.PIPE, text=True))
            for first in firsts]
    failed = {}
    for first, run in runs:
        error = run.communicate(timeout=120)[1]
        if run.returncode != 0:
            failed[first] = error.strip().splitlines()[-1:]
    assert not failed, failed
    assert "lumora_kit.media.player" in MODULES  # the walk found the package's modules


@pytest.mark.parametrize("name", ["MediaPlayer", "MediaRecorder", "AudioMixer", "MediaInfo"])
def test_media_names_load_on_first_use(name):
    from lumora_kit import media
    assert getattr(media, name).__name__ == name and name in dir(media)

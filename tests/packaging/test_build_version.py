"""The in-tree version provider that marks wheels built against a vendor SDK."""

import importlib.util
import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def provider():
    spec = importlib.util.spec_from_file_location(
        "lumora_build_version", REPO / "build_support" / "lumora_build_version.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


SETTINGS = {"field": "version", "base": "0.1.0"}


@pytest.mark.parametrize("root, expected", [
    (None, "0.1.0"), ("", "0.1.0"), ("  ", "0.1.0"), ("/opt/lumora-sdk", "0.1.0+vendor"),
])
def test_label_follows_the_sdk_root_variable(provider, monkeypatch, root, expected):
    if root is None:
        monkeypatch.delenv("LUMORA_SDK_ROOT", raising=False)
    else:
        monkeypatch.setenv("LUMORA_SDK_ROOT", root)
    assert provider.dynamic_metadata(SETTINGS, {}) == {"version": expected}


@pytest.mark.parametrize("settings", [
    {"field": "description", "base": "0.1.0"},
    {"field": "version"},
    {"field": "version", "base": "0.1.0+local"},
    {"field": "version", "base": "0.1.0", "extra": 1},
])
def test_bad_settings_are_refused(provider, settings):
    with pytest.raises(RuntimeError):
        provider.dynamic_metadata(settings, {})


def test_pyproject_declares_the_provider_for_the_version():
    import tomllib
    project = tomllib.loads((REPO / "pyproject.toml").read_text(encoding="utf-8"))
    assert "version" in project["project"]["dynamic"] and "version" not in project["project"]
    (entry,) = [e for e in project["tool"]["dynamic-metadata"] if e.get("field") == "version"]
    assert entry["provider"] == {"path": "build_support", "module": "lumora_build_version"}

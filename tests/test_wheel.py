"""The wheel: built offline from the checkout, installed into a fresh venv.

`pip wheel --no-build-isolation` builds with the build tools of the running
interpreter's environment (scikit-build-core, pybind11, cmake, ninja), so no
index is needed. The build folder lives under the test's tmp_path and does
not touch other builds. A fresh venv made from the same interpreter gets the
wheel with `pip install --no-index --no-deps`, and a subprocess there checks
that the module imports, finds liblumora.so beside itself and works, and
that the companion package lumora_kit comes with it.
"""

import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent

# A full release build of the module and the stand-in SDK takes minutes on 2 cores.
pytestmark = pytest.mark.slow

BUILD_TOOLS = ["scikit_build_core", "pybind11", "cmake", "ninja"]

# What the installed module reports about itself, as JSON on stdout.
CHECK = textwrap.dedent("""
    import json, pathlib, sys
    import _lumora
    import lumora_kit, lumora_kit.testing
    here = pathlib.Path(_lumora.__file__).resolve().parent
    kit = pathlib.Path(lumora_kit.__file__).resolve().parent
    with open("/proc/self/maps") as f:
        mapped = sorted({line.split()[-1] for line in f if line.rstrip().endswith("/liblumora.so")})
    cloud = _lumora.VELACloud(None)
    result = {
        "module": str(pathlib.Path(_lumora.__file__).resolve()),
        "prefix": sys.prefix,
        "sdk_beside": (here / "liblumora.so").is_file(),
        "mapped": mapped,
        "stubs": (here / "_lumora.pyi").is_file(),
        "py_typed": (here / "py.typed").is_file(),
        "env_ok": _lumora.SetEnvironment("production"),
        "env_refused": _lumora.SetEnvironment("nowhere"),
        "cloud": type(cloud).__name__,
        "kit_beside": kit.parent == here,
        "kit_typed": (kit / "py.typed").is_file(),
        "kit_delegate": lumora_kit.Delegate.__mro__[1] is _lumora.VELACloudDelegate,
        "kit_control": str(lumora_kit.testing.load_control().path) == str(here / "liblumora.so"),
    }
    del cloud
    print(json.dumps(result))
""")


def clean_env():
    """The environment without what points at other builds or instruments them."""
    env = dict(os.environ)
    for name in ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                 "LUMORA_SANITIZE", "LUMORA_SDK_LIBRARY", "LUMORA_SDK_ROOT", "PIP_INDEX_URL"):
        env.pop(name, None)
    env["PIP_NO_INDEX"] = "1"
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, env=clean_env(), **kwargs)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    missing = [m for m in BUILD_TOOLS if importlib.util.find_spec(m) is None]
    if missing:
        pytest.skip(f"pip wheel cannot run offline: build tools {missing} are not installed in {sys.prefix}")
    out = tmp_path_factory.mktemp("wheel")
    build = run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
                 "-w", str(out / "dist"), f"-Cbuild-dir={out / 'build'}", str(REPO)], cwd=REPO)
    if build.returncode != 0:
        text = build.stdout + build.stderr
        if "No matching distribution" in text or "Could not find a version" in text:
            pytest.skip("pip wheel cannot run offline: it asked an index for a package\n" + text[-2000:])
        pytest.fail("pip wheel failed\n" + text[-4000:])
    wheels = list((out / "dist").glob("lumora_kit-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def fresh_venv(wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv") / "env"
    made = run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    assert made.returncode == 0, made.stderr
    python = venv / "bin" / "python"
    # The running environment's pip installs into the new one (pip --python).
    installed = run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-index", "--no-deps",
                     str(wheel)])
    assert installed.returncode == 0, installed.stdout + installed.stderr
    return venv


def test_wheel_contents(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    top = sorted(n for n in names if "/" not in n)
    assert [n for n in top if n.startswith("_lumora.") and n.endswith(".so")], top
    assert {"liblumora.so", "_lumora.pyi", "py.typed"} <= set(top), top
    assert (REPO / "_lumora.pyi").read_bytes() == zipfile.ZipFile(wheel).read("_lumora.pyi")
    # lumora/ holds C++ source only: nothing of it is packaged.
    assert not [n for n in names if n.startswith("lumora/")]
    kit = {n for n in names if n.startswith("lumora_kit/")}
    assert {"lumora_kit/__init__.py", "lumora_kit/py.typed", "lumora_kit/pytest_plugin.py",
            "lumora_kit/testing/__init__.py"} <= kit, sorted(kit)
    (entry_points,) = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
    assert "lumora_kit.pytest_plugin = lumora_kit.pytest_plugin" in zipfile.ZipFile(wheel).read(entry_points).decode()


def test_installed_module_works_beside_its_sdk(fresh_venv, tmp_path):
    python = fresh_venv / "bin" / "python"
    # Run from an empty folder so neither the checkout nor the tests' folder is importable.
    checked = run([str(python), "-c", CHECK], cwd=tmp_path, timeout=120)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    result = json.loads(checked.stdout.strip().splitlines()[-1])
    module = pathlib.Path(result["module"])
    assert module.is_relative_to(fresh_venv.resolve()), result
    assert pathlib.Path(result["prefix"]).resolve() == fresh_venv.resolve()
    assert result["sdk_beside"], result
    # The SDK the process loaded is the one beside the module, not another copy.
    assert result["mapped"] == [str(module.with_name("liblumora.so"))], result
    assert result["stubs"] and result["py_typed"], result
    assert result["env_ok"] is True and result["env_refused"] is False, result
    assert result["cloud"] == "VELACloud"
    assert result["kit_beside"] and result["kit_typed"] and result["kit_delegate"] and result["kit_control"], result

"""The wheel: built offline from the checkout, installed into a fresh venv.

The build and the venv come from tests/packaging/wheel_tools.py (an offline
`pip wheel --no-build-isolation`, and `pip install --no-index --no-deps`
into a venv made from the same interpreter); a subprocess there checks that
the module imports, finds liblumora.so beside itself and works, and that the
companion package lumora_kit comes with it.
"""

import json
import pathlib
import sys
import textwrap
import zipfile

import pytest

from wheel_tools import REPO, build_wheel, install_wheel, make_venv, run

# A full release build of the module and the stand-in SDK takes minutes on 2 cores.
pytestmark = pytest.mark.slow

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
        "stubs": (here / "_lumora-stubs" / "__init__.pyi").is_file(),
        "loose_stub_files": [n for n in ("_lumora.pyi", "py.typed") if (here / n).exists()],
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


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    return build_wheel(out / "dist", out / "build")


@pytest.fixture(scope="module")
def fresh_venv(wheel, tmp_path_factory):
    venv = make_venv(tmp_path_factory.mktemp("venv") / "env")
    install_wheel(venv, wheel)
    return venv


def test_wheel_contents(wheel):
    assert wheel.name.startswith("lumora_kit-"), wheel.name
    # A build against the stand-in SDK carries no local version label.
    assert "+" not in wheel.name.split("-")[1], wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    top = sorted(n for n in names if "/" not in n)
    assert [n for n in top if n.startswith("_lumora.") and n.endswith(".so")], top
    assert "liblumora.so" in top, top
    # The stubs are the stub-only package _lumora-stubs; nothing else of them
    # lies at the top of site-packages.
    assert not {"_lumora.pyi", "py.typed"} & set(top), top
    stub = "_lumora-stubs/__init__.pyi"
    assert [n for n in names if n.startswith("_lumora-stubs/")] == [stub]
    assert (REPO / "stubs" / stub).read_bytes() == zipfile.ZipFile(wheel).read(stub)
    # lumora/ holds C++ source only: nothing of it is packaged.
    assert not [n for n in names if n.startswith("lumora/")]
    kit = {n for n in names if n.startswith("lumora_kit/")}
    assert {"lumora_kit/__init__.py", "lumora_kit/py.typed", "lumora_kit/pytest_plugin.py",
            "lumora_kit/testing/__init__.py"} <= kit, sorted(kit)
    (entry_points,) = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
    entry_text = zipfile.ZipFile(wheel).read(entry_points).decode()
    assert "lumora_kit.pytest_plugin = lumora_kit.pytest_plugin" in entry_text
    # The local room server, beside its launcher, started by the lumora-room script.
    server = zipfile.ZipFile(wheel).getinfo("lumora_kit/server/lumora-room-server")
    assert (server.external_attr >> 16) & 0o111, "the room server is not executable"
    assert "lumora-room = lumora_kit.server:main" in entry_text


def test_installed_room_server_starts_from_its_script(fresh_venv):
    shown = run([str(fresh_venv / "bin" / "lumora-room"), "--help"], timeout=60)
    assert shown.returncode == 0 and "LUMORA_ROOM_SERVER" in shown.stdout, shown.stdout + shown.stderr


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
    assert result["stubs"] and result["loose_stub_files"] == [], result
    assert result["env_ok"] is True and result["env_refused"] is False, result
    assert result["cloud"] == "VELACloud"
    assert result["kit_beside"] and result["kit_typed"] and result["kit_delegate"] and result["kit_control"], result

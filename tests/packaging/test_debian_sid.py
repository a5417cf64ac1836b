"""The unpacking step of scripts/lib/debian_sid.sh, on small packages made here.

Debian's interpreter packages split one tree over several packages: the debug
build's include/python3.14d holds links into include/python3.14, and the
configuration headers go through a multiarch dispatcher. sid_extract has to
leave a tree whose headers compile as the unpacked interpreter's own build,
whose wrapper starts that interpreter, and whose ensurepip finds the wheels
in the tree. The packages here carry only the files those steps touch.
"""

import pathlib
import shutil
import subprocess
import textwrap

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
HELPER = REPO / "scripts" / "lib" / "debian_sid.sh"
MULTIARCH = "x86_64-linux-gnu"

pytestmark = pytest.mark.skipif(
    not (shutil.which("bash") and shutil.which("dpkg-deb")), reason="needs bash and dpkg-deb")


def make_deb(out_dir, name, files, links=()):
    """Builds out_dir/NAME.deb holding FILES {path: text} and LINKS [(path, target)]."""
    tree = out_dir / f"{name}-tree"
    (tree / "DEBIAN").mkdir(parents=True)
    (tree / "DEBIAN" / "control").write_text(textwrap.dedent(f"""\
        Package: {name}
        Version: 1.0
        Architecture: amd64
        Maintainer: test <test@localhost>
        Description: test package
        """))
    for path, text in files.items():
        target = tree / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
        if path.startswith("usr/bin/"):
            target.chmod(0o755)
    for path, dest in links:
        (tree / path).parent.mkdir(parents=True, exist_ok=True)
        (tree / path).symlink_to(dest)
    subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "-b", str(tree),
                    str(out_dir / f"{name}.deb")], check=True, capture_output=True)
    shutil.rmtree(tree)


def sysconfigdata(abiflags):
    return f"build_time_vars = {{'ABIFLAGS': '{abiflags}', 'WHEEL_PKG_DIR': '/usr/share/python-wheels/'}}\n"


def interpreter_packages(debs, abiflags, with_binary=True):
    """The layout of Debian's python3.14 packages, for the regular or the debug build."""
    py = "python3.14" + abiflags
    make_deb(debs, "libpython3.14-dev", {
        # The dispatcher that Debian installs: picks the multiarch file by path.
        "usr/include/python3.14/pyconfig.h": f"#include <{MULTIARCH}/python3.14/pyconfig.h>\n",
        "usr/include/python3.14/Python.h": '#include "pyconfig.h"\nint python_h;\n',
        f"usr/include/{MULTIARCH}/python3.14/pyconfig.h": "#define TREE_CONFIG regular\n",
        f"usr/lib/python3.14/_sysconfigdata__linux_{MULTIARCH}.py": sysconfigdata(""),
        "usr/lib/python3.14/config-3.14-x86_64-linux-gnu/libpython3.14.a": "archive",
        f"usr/lib/{MULTIARCH}/libpython3.14.a": "archive",
    })
    make_deb(debs, "python3-pip-whl", {"usr/share/python-wheels/pip-99-py3-none-any.whl": "wheel"})
    if abiflags:
        make_deb(debs, "libpython3.14-dbg", {
            f"usr/include/{py}/pyconfig.h": f"#include <{MULTIARCH}/{py}/pyconfig.h>\n",
            f"usr/include/{MULTIARCH}/{py}/pyconfig.h": "#define TREE_CONFIG debug\n",
            f"usr/lib/python3.14/_sysconfigdata_{abiflags}_linux_{MULTIARCH}.py": sysconfigdata(abiflags),
            f"usr/lib/python3.14/config-3.14{abiflags}-x86_64-linux-gnu/libpython3.14{abiflags}.a": "archive",
        }, links=[(f"usr/include/{py}/Python.h", "../python3.14/Python.h")])
    binary = {f"usr/bin/{py}": "#!/bin/sh\necho interpreter\n"} if with_binary else {}
    make_deb(debs, "python3.14-dbg" if abiflags else "python3.14-minimal", binary or {"usr/share/empty": ""})


def extract(tmp_path, abiflags, previous_root=False, with_binary=True):
    """Runs sid_extract on made-up packages; returns (CompletedProcess, root)."""
    sid = tmp_path / "sid"
    (sid / "debs").mkdir(parents=True)
    (tmp_path / "logs").mkdir()
    interpreter_packages(sid / "debs", abiflags, with_binary)
    root = sid / "root"
    if previous_root:
        root.mkdir()
        (root / "marker").write_text("earlier tree")
    script = textwrap.dedent(f"""\
        set -Eeuo pipefail
        say() {{ echo "test: $*"; }}
        die() {{ echo "test: error: $*" >&2; exit 1; }}
        LOGS={tmp_path}/logs SID={sid} SID_ROOT={root} SID_ABIFLAGS={abiflags}
        SID_WHAT="CPython under test"
        source {HELPER}
        sid_extract
        """)
    return subprocess.run(["bash", "-c", script], capture_output=True, text=True), root


@pytest.mark.parametrize("abiflags", ["", "d"], ids=["regular", "debug"])
class TestExtract:
    def test_headers_compile_as_the_tree_interpreters_build(self, tmp_path, abiflags):
        cxx = shutil.which("c++") or shutil.which("g++")
        if not cxx:
            pytest.skip("needs a C++ compiler")
        result, root = extract(tmp_path, abiflags)
        assert result.returncode == 0, result.stderr
        # What sysconfig reports as the include folder, and nothing else, as the build uses it.
        source = tmp_path / "probe.cpp"
        source.write_text("#include <Python.h>\nconfig = TREE_CONFIG;\n")
        pre = subprocess.run(
            [cxx, "-E", "-P", "-isystem", str(root / f"usr/include/python3.14{abiflags}"), str(source)],
            capture_output=True, text=True)
        assert pre.returncode == 0, pre.stderr
        assert f"config = {'debug' if abiflags else 'regular'};" in pre.stdout

    def test_wrapper_starts_the_real_binary_through_the_trees_loader(self, tmp_path, abiflags):
        result, root = extract(tmp_path, abiflags)
        assert result.returncode == 0, result.stderr
        py = root / f"usr/bin/python3.14{abiflags}"
        wrapper = py.read_text()
        assert f'exec "{root}/usr/lib/{MULTIARCH}/ld-linux-x86-64.so.2"' in wrapper
        assert f'--argv0 "$0" "{py}.real" "$@"' in wrapper
        assert "CPython under test from Debian unstable" in wrapper
        assert "LD_LIBRARY_PATH" not in wrapper
        assert py.stat().st_mode & 0o111
        assert pathlib.Path(f"{py}.real").read_text() == "#!/bin/sh\necho interpreter\n"

    def test_tree_is_fixed_up_and_replaces_the_earlier_one(self, tmp_path, abiflags):
        result, root = extract(tmp_path, abiflags, previous_root=True)
        assert result.returncode == 0, result.stderr
        assert not (root / "marker").exists()
        assert not (root.parent / "root.new").exists()
        # ensurepip takes the wheels unpacked in the tree.
        data = root / f"usr/lib/python3.14/_sysconfigdata_{abiflags}_linux_{MULTIARCH}.py"
        assert f"'WHEEL_PKG_DIR': '{root}/usr/share/python-wheels/'" in data.read_text()
        # Static libraries are for embedding only and are dropped.
        assert not list(root.rglob("*.a"))
        assert (root / ".debs").read_text().split() == sorted(p.name for p in (root.parent / "debs").iterdir())

    def test_packages_without_the_interpreter_keep_the_earlier_tree(self, tmp_path, abiflags):
        result, root = extract(tmp_path, abiflags, previous_root=True, with_binary=False)
        assert result.returncode != 0
        assert f"the unpacked packages hold no usr/bin/python3.14{abiflags}" in result.stderr
        assert (root / "marker").read_text() == "earlier tree"

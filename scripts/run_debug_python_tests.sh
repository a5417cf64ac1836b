#!/bin/bash
# Runs the test suite under CPython 3.14's debug build (python3.14d), with the module built
# against that interpreter's own headers.
#
#   scripts/run_debug_python_tests.sh [pytest arguments...]
#
# The debug interpreter checks reference counts, the interpreter lock and its own invariants
# with assertions, and its memory allocators fill freed and fresh blocks with patterns, so
# reference-counting and lifetime mistakes in the module fail loudly instead of passing by luck.
# A debug interpreter only loads extension modules of its own ABI (tag cpython-314d), so the
# module is built a second time, in Debug mode (assertions of the module, the stand-in SDK and
# pybind11 enabled), into folders of its own; the toolchain venv of bootstrap.sh is left alone.
#
# Everything lives in the toolchain cache, ${LUMORA_TOOLCHAIN_DIR:-$HOME/.cache/lumora-toolchain}:
#   debian-sid-dbg/root/   python3.14-dbg, libpython3.14-dbg and the stdlib and header packages
#                          they need, unpacked from Debian unstable (as bootstrap.sh does for the
#                          regular interpreter, through scripts/lib/debian_sid.sh)
#   dbg-venv/              venv of the debug interpreter with the packages of bootstrap.sh's venv
#                          (scripts/lib/venv.sh makes both; dbg-venv.stamp: its origin)
#   dbg-build/<checkout>/  scikit-build-core build folder per checkout, kept for incremental builds
#   dbg-site/<checkout>/   the installed module, liblumora.so and stubs; PYTHONPATH points here
#   dbg-logs/              output of the download, venv, pip and build steps
# Each piece is reused while it is healthy, so a second run only rebuilds what changed.
# LUMORA_DEBUG_PYTHON, when set, names a CPython 3.14 debug build to use instead of Debian's.
#
# pytest runs from the checkout root (the tests in tests/ unless arguments name others); its exit
# code is passed through, except that a run that collected no tests (exit 5) is a failure.
set -Eeuo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SCRIPT_NAME=run_debug_python_tests
source "$REPO/scripts/lib/messages.sh"
source "$REPO/scripts/lib/toolchain.sh"
source "$REPO/scripts/lib/venv.sh"
source "$REPO/scripts/lib/debian_sid.sh"
trap_errors

toolchain_cache
LOGS=$CACHE/dbg-logs
VENV=$CACHE/dbg-venv
VENV_PY=$VENV/bin/python
STAMP=$CACHE/dbg-venv.stamp
VENV_BUILD_DIRS=("$CACHE/dbg-build")
VENV_CHECK='
assert hasattr(sys, "gettotalrefcount")'
VENV_NEEDS="a debug 3.14, pybind11 3.0.x, pytest, ssl or ctypes"
VENV_STAMP_EXTRA=
BUILD=$CACHE/dbg-build/$(checkout_id "$REPO")
SITE=$CACHE/dbg-site/$(checkout_id "$REPO")

# Debian unstable packages: the debug interpreter (python3.14-dbg: python3.14d, linked statically
# with its runtime), its extension modules, headers and sysconfig data (libpython3.14-dbg), the
# pure-Python stdlib and the headers it shares with the regular build, ensurepip and its wheels.
SID=$CACHE/debian-sid-dbg
SID_ROOT=$SID/root
SID_ABIFLAGS=d
SID_PY=$SID_ROOT/usr/bin/python3.14d
SID_CORE_PKGS=(libc6 python3.14-dbg libpython3.14-dbg libpython3.14-minimal libpython3.14-stdlib
               libpython3.14-dev python3.14-venv python3-pip-whl python3-setuptools-whl)
SID_DEP_SOURCES=(python3.14-dbg libpython3.14-dbg libpython3.14-minimal libpython3.14-stdlib)
SID_KEY_PKG=python3.14-dbg
# Tcl/Tk are linked only by _tkinter, which the tests do not use (and which would need X11 too).
SID_DEP_SKIP='^lib(tcl|tk)[0-9]'
SID_WHAT="CPython 3.14 debug build"
SID_HINT="set LUMORA_DEBUG_PYTHON to a CPython 3.14 debug build"
SID_HINT_INSTALL="install a CPython 3.14 debug build and set LUMORA_DEBUG_PYTHON to it"

# Succeeds when PYTHON is a debug build: sys.gettotalrefcount exists only there, and Py_DEBUG is
# what extension modules are compiled with.
is_debug_python() {
    "$1" -I -c '
import sys, sysconfig
sys.exit(0 if hasattr(sys, "gettotalrefcount") and sysconfig.get_config_var("Py_DEBUG") else 1)
' 2>/dev/null
}

# ---------------------------------------------------------------------------------------------
# The debug interpreter: LUMORA_DEBUG_PYTHON, else Debian unstable's python3.14d.

# Sets VENV_BASE, the interpreter the venv (lib/venv.sh) is made from.
choose_interpreter() {
    local f info
    if [[ -n ${LUMORA_DEBUG_PYTHON:-} ]]; then
        f=$(type -P -- "$LUMORA_DEBUG_PYTHON" 2>/dev/null) ||
            die "LUMORA_DEBUG_PYTHON=$LUMORA_DEBUG_PYTHON: no such program"
        f=$(cd "$(dirname "$f")" && pwd)/$(basename "$f")
        info=$(probe_python "$f") || die "LUMORA_DEBUG_PYTHON=$f does not run as a CPython interpreter"
        [[ $info == "3.14."*" 1 1 1 1" ]] ||
            die "LUMORA_DEBUG_PYTHON=$f must be a base (not venv) CPython 3.14 with headers, ensurepip, ssl and ctypes (probe: $info)"
        is_debug_python "$f" || die "LUMORA_DEBUG_PYTHON=$f is not a debug build (no sys.gettotalrefcount)"
        VENV_BASE=$f
        say "using the CPython 3.14 debug build from LUMORA_DEBUG_PYTHON at $f"
        return 0
    fi
    mkdir -p "$SID"
    sid_ensure_root
    is_debug_python "$SID_PY" || die "$SID_PY is not a debug build (try removing $SID)"
    VENV_BASE=$SID_PY
    say "using CPython $(probe_python "$SID_PY" | cut -d' ' -f1) debug build from Debian unstable at $SID_PY"
}

# ---------------------------------------------------------------------------------------------
# The module

install_project() {
    local log=$LOGS/build.log
    say "building (Debug) and installing into $SITE (build folder $BUILD)"
    mkdir -p "$SITE"
    PY=$VENV_PY install_variant "$SITE" "$BUILD" "$log" -Ccmake.build-type=Debug ||
        die "building or installing the module for the debug interpreter failed (full log: $log)"
}

# Before the tests: the interpreter is a debug build, and what it imports is the module of its
# own ABI from $SITE, compiled with the debug headers, with the liblumora.so beside it.
check_debug_module() {
    PYTHONPATH=$SITE "$VENV_PY" - "$SITE" <<'EOF'
import pathlib, subprocess, sys, sysconfig
site = pathlib.Path(sys.argv[1]).resolve()
problems = []
if not hasattr(sys, "gettotalrefcount") or not sysconfig.get_config_var("Py_DEBUG"):
    problems.append(f"{sys.executable} is not a debug build (no sys.gettotalrefcount)")
import _lumora
module = pathlib.Path(_lumora.__file__).resolve()
if module.parent != site:
    problems.append(f"_lumora comes from {module}, not {site}")
if ".cpython-314d-" not in module.name:
    problems.append(f"{module.name} does not carry the debug ABI tag cpython-314d")
# Py_INCREF and Py_DECREF of the debug headers count references through these functions; a
# module compiled with the regular headers would not refer to them.
symbols = subprocess.run(["readelf", "--wide", "--dyn-syms", str(module)],
                         capture_output=True, text=True, check=True).stdout
if "_Py_INCREF_IncRefTotal" not in symbols and "_Py_DECREF_DecRefTotal" not in symbols:
    problems.append(f"{module.name} was not compiled with the debug headers (no reference-total calls)")
with open("/proc/self/maps") as maps:
    mapped = maps.read()
if str(site / "liblumora.so") not in mapped:
    problems.append(f"the liblumora.so in {site} is not the one loaded")
for p in problems:
    print("run_debug_python_tests: " + p, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
}

# ---------------------------------------------------------------------------------------------

main() {
    local t0
    cd "$REPO"
    mkdir -p "$CACHE" "$LOGS" "$CACHE/dbg-site" 2>/dev/null || die "cannot create folders in $CACHE"
    t0=$(now_us)
    # One set-up of the shared debug toolchain at a time (fd 9); one run per checkout (fd 8), so
    # a second run cannot replace the module under the tests of the first.
    hold_lock 8 "$SITE.lock" "another debug run of this checkout"
    hold_lock 9 "$CACHE/.dbg-lock" "another debug toolchain set-up in $CACHE"

    phase_start; choose_interpreter; phase_end "interpreter"
    phase_start; ensure_venv; phase_end "venv"
    exec 9>&-
    phase_start; install_project; phase_end "install"
    check_debug_module || die "the debug interpreter does not load a debug build of the module (see above)"
    say "debug interpreter $("$VENV_PY" -c 'import sys; print(sys.version.split()[0], sys.abiflags)'), module in $SITE"
    PHASE_T0=$t0 phase_end "set-up"

    export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
    export PYTHONFAULTHANDLER=1
    run_pytest "$VENV_PY" "$@"
}

# On one line, so bash has read all of it before the tests start.
main "$@"; exit

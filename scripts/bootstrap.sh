#!/bin/bash
# Provide the toolchain that builds and tests _lumora, then install the project into it.
#
#   scripts/bootstrap.sh                   toolchain + build/install of this checkout
#   scripts/bootstrap.sh --demo            the same, without what only the tests need
#   scripts/bootstrap.sh --toolchain-only  toolchain only
#   scripts/bootstrap.sh --print-python    ensure the toolchain, print only the venv python path
#
# The toolchain lives outside the checkout, in ${LUMORA_TOOLCHAIN_DIR:-$HOME/.cache/lumora-toolchain}:
#   venv/                    CPython 3.14 venv made with pybind11 3.0, scikit-build-core, cmake and
#                            ninja; then (not with --demo) pytest, hypothesis, the media extras and
#                            the test plugins (numpy, soxr, av, pytest-asyncio, anyio), all from PyPI
#   debian-sid/root/         CPython 3.14 unpacked from Debian unstable, used only when the machine
#                            has no CPython 3.14 of its own
#   debian-sid/apt/          private apt configuration and package index for that download
#   build/<name>-<hash>/     scikit-build-core build folder per checkout path, kept so rebuilds
#                            are incremental (emptied whenever the venv is remade)
#   toolchain.stamp          which interpreter the venv was made from
#   logs/                    output of the download, venv and pip steps
#
# Interpreter preference: a free-threaded CPython 3.14 (LUMORA_PYTHON, else python3.14t on PATH or
# in the usual install places), then any CPython 3.14 on the machine (python3.14, python3, python
# on PATH, /usr/local, /opt, pyenv and uv installs), then Debian unstable's CPython 3.14 packages.
# LUMORA_PYTHON, when set, is taken as the user's explicit choice and must be a CPython 3.14.
#
# Except with --demo, it also makes sure ffmpeg, ffprobe, sox and Chromium are on PATH (installed
# with apt-get where it can), which the media tests use to check the files the kit writes and the
# web tests to drive a real browser. The demo needs none of the test packages or tools, and
# installing them is most of a fresh set-up's time.
set -Eeuo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SCRIPT_NAME=bootstrap
# say, die, the ERR trap and phase timing; CACHE (toolchain_cache); the venv (ensure_venv);
# show_log_tail, run_logged, probe_python and the Debian unstable fetch (sid_* functions).
source "$REPO/scripts/lib/messages.sh"
source "$REPO/scripts/lib/toolchain.sh"
source "$REPO/scripts/lib/venv.sh"
source "$REPO/scripts/lib/debian_sid.sh"
source "$REPO/scripts/lib/test_tools.sh"
trap_errors

toolchain_cache
VENV=$CACHE/venv
VENV_PY=$VENV/bin/python
STAMP=$CACHE/toolchain.stamp
LOGS=$CACHE/logs
SID=$CACHE/debian-sid
SID_ROOT=$SID/root
SID_PY=$SID_ROOT/usr/bin/python3.14
VENV_BUILD_DIRS=("$CACHE/build")
VENV_CHECK=
VENV_NEEDS="3.14, pybind11 3.0.x, the build tools, ssl or ctypes"
# The venv is made with the build tools alone, which is all the demo needs.
REQUIREMENTS=("${BUILD_REQUIREMENTS[@]}")
VENV_MODULES="scikit_build_core cmake ninja"
# What the tests add: pytest and hypothesis, the media layer's optional extras
# (lumora-kit[media] and lumora-kit[av]) and the test plugins the kit's
# fixtures are tested under, so that those tests run here too. Only this venv:
# the debug interpreter's venv goes without the extras, since numpy and PyAV
# have no wheels for a debug build.
# The web extra (aiohttp, aiortc) and Playwright drive the gateway's browser tests.
TEST_REQUIREMENTS=(pytest hypothesis numpy soxr av pytest-asyncio anyio aiohttp aiortc playwright)

# Debian unstable packages for the interpreter, its headers and ensurepip. The shared libraries
# the interpreter and its extension modules link are added from these packages' own Depends, so
# library renames in unstable (soname bumps, t64 transitions) are followed without edits here.
SID_CORE_PKGS=(libc6 python3.14-minimal libpython3.14-minimal libpython3.14-stdlib
               libpython3.14-dev python3.14-venv python3-pip-whl python3-setuptools-whl)
SID_DEP_SOURCES=(python3.14-minimal libpython3.14-minimal libpython3.14-stdlib)
SID_KEY_PKG=python3.14-minimal
SID_DEP_SKIP=
SID_ABIFLAGS=
SID_WHAT="CPython 3.14"
SID_HINT="set LUMORA_PYTHON to a CPython 3.14"
SID_HINT_INSTALL="install a CPython 3.14 and set LUMORA_PYTHON to it"

MODE=full          # full | toolchain | print
FOR_TESTS=1        # 0 with --demo: neither the test packages nor the media tools
SAY_FD=1           # file descriptor for progress messages (stderr with --print-python)

# ---------------------------------------------------------------------------------------------
# Choosing the interpreter (probe_python is in lib/debian_sid.sh)

# Interpreter chosen for the venv: CHOICE_KIND is free-threaded | gil | debian-sid.
CHOICE_KIND= CHOICE_PY= CHOICE_VERSION= CHOICE_EXPLICIT=0

# Places where a CPython 3.14 is commonly installed besides PATH, as glob patterns; NAME is
# replaced by python3.14t or python3.14.
KNOWN_PLACES=(/usr/local/bin/NAME /usr/bin/NAME /opt/python*/bin/NAME /opt/python/*/bin/NAME
              /usr/local/python*/bin/NAME "$HOME"/.local/bin/NAME
              "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.14*/bin/NAME
              "$HOME"/.asdf/installs/python/3.14*/bin/NAME
              "$HOME"/.local/share/uv/python/cpython-3.14*/bin/NAME)

# candidates NAME...: absolute paths of the given commands on PATH, then of python3.14t or
# python3.14 (whichever NAME is) in KNOWN_PLACES, one a line, first appearance only.
# Version-manager shims (pyenv, asdf) are passed over: each costs a slow start just to reach an
# interpreter that KNOWN_PLACES lists directly.
candidates() {
    local name pattern f
    {
        for name in "$@"; do
            if f=$(type -P -- "$name" 2>/dev/null) && [[ $f != */shims/* ]]; then echo "$f"; fi
        done
        for name in "$@"; do
            [[ $name == python3.14t || $name == python3.14 ]] || continue
            for pattern in "${KNOWN_PLACES[@]}"; do
                for f in ${pattern//NAME/$name}; do
                    if [[ -x $f ]]; then echo "$f"; fi
                done
            done
        done
    } | awk '!seen[$0]++'
    return 0
}

# consider PATH STRICT WANT_FT: accept the interpreter when it is a usable CPython 3.14
# (free-threaded if WANT_FT=1). With STRICT=1 (LUMORA_PYTHON) a mismatch is an error, not a skip.
# Interpreters of other versions are passed over silently; a 3.14 that cannot serve says why.
declare -A REPORTED=()
consider() {
    local path=$1 strict=$2 want_ft=$3 info ver ft base hdr pip mods
    path=$(cd "$(dirname "$path")" && pwd)/$(basename "$path")
    if ! info=$(probe_python "$path"); then
        [[ $strict == 1 ]] && die "LUMORA_PYTHON=$path does not run as a CPython interpreter"
        return 1
    fi
    read -r ver ft base hdr pip mods <<<"$info"
    local why=
    if [[ $ver != 3.14.* ]]; then
        [[ $strict == 1 ]] && die "LUMORA_PYTHON=$path is CPython $ver, not 3.14"
        return 1
    elif [[ $base != 1 || $path == "$CACHE"/* ]]; then why="is a venv, not a base interpreter"
    elif [[ $hdr != 1 ]]; then why="has no C headers (Python.h)"
    elif [[ $pip != 1 ]]; then why="has no ensurepip, so it cannot make a venv"
    elif [[ $mods != 1 ]]; then why="cannot import ssl or ctypes"
    fi
    if [[ -n $why ]]; then
        [[ $strict == 1 ]] && die "LUMORA_PYTHON=$path $why"
        [[ -n ${REPORTED[$path]:-} ]] || say "skipping $path: $why"
        REPORTED[$path]=1
        return 1
    fi
    [[ $want_ft == 1 && $ft != 1 ]] && return 1
    CHOICE_PY=$path CHOICE_VERSION=$ver
    if [[ $ft == 1 ]]; then CHOICE_KIND=free-threaded; else CHOICE_KIND=gil; fi
}

choose_interpreter() {
    local f
    if [[ -n ${LUMORA_PYTHON:-} ]]; then
        CHOICE_EXPLICIT=1
        f=$(type -P -- "$LUMORA_PYTHON" 2>/dev/null) || die "LUMORA_PYTHON=$LUMORA_PYTHON: no such program"
        consider "$f" 1 0
        return 0
    fi
    while read -r f; do
        consider "$f" 0 1 && return 0
    done < <(candidates python3.14t)
    while read -r f; do
        consider "$f" 0 0 && return 0
    done < <(candidates python3.14t python3.14 python3 python)
    CHOICE_KIND=debian-sid CHOICE_PY=$SID_PY CHOICE_VERSION=
}

# ---------------------------------------------------------------------------------------------
# CPython 3.14 from Debian unstable (lib/debian_sid.sh does the fetching and unpacking)

ensure_sid_python() {
    sid_ensure_root
    CHOICE_VERSION=$(probe_python "$SID_PY" | cut -d' ' -f1)
}

# ---------------------------------------------------------------------------------------------
# The venv (lib/venv.sh makes and checks it)

describe_choice() {
    case $CHOICE_KIND in
        free-threaded) echo "free-threaded CPython $CHOICE_VERSION at $CHOICE_PY" ;;
        gil) if [[ $CHOICE_EXPLICIT == 1 ]]; then
                 echo "CPython $CHOICE_VERSION (GIL build, from LUMORA_PYTHON) at $CHOICE_PY"
             else
                 echo "CPython $CHOICE_VERSION (GIL build; no free-threaded 3.14 found) at $CHOICE_PY"
             fi ;;
        debian-sid)    echo "CPython $CHOICE_VERSION from Debian unstable packages (no CPython 3.14 on this machine) at $CHOICE_PY" ;;
    esac
}

ensure_toolchain() {
    local venv_ok=0
    phase_start
    choose_interpreter
    VENV_BASE=$CHOICE_PY
    venv_healthy && venv_ok=1
    if [[ $CHOICE_KIND == debian-sid ]]; then
        # A healthy venv made from the unpacked tree proves the tree too.
        if [[ $venv_ok == 1 ]]; then
            CHOICE_VERSION=$(stamp_value version)
        else
            ensure_sid_python
            venv_healthy && venv_ok=1    # the venv may only have lacked a working tree
        fi
    fi
    say "using $(describe_choice)"
    phase_end "interpreter"

    phase_start
    VENV_STAMP_EXTRA="kind=$CHOICE_KIND"$'\n'"version=$CHOICE_VERSION"
    if [[ $venv_ok == 1 ]]; then ensure_venv healthy; else ensure_venv; fi
    phase_end "venv"
}

# ---------------------------------------------------------------------------------------------
# The project

# Build folder per checkout (several clones may share one toolchain), kept for incremental builds.
build_dir() { echo "$CACHE/build/$(checkout_id "$REPO")"; }

# The distribution used to be named "lumora". A venv that had it installed
# keeps its metadata beside lumora-kit's, and uninstalling it later would
# delete the module files that both list; drop just that metadata.
forget_old_distribution() {
    local site
    site=$("$VENV_PY" -I -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    rm -rf "$site"/lumora-[0-9]*.dist-info
}

install_project() {
    [[ -f $REPO/pyproject.toml ]] || die "$REPO/pyproject.toml is missing; nothing to build (use --toolchain-only)"
    # CMake would find no compiler only after a long configure; say so up front.
    if [[ -z ${CXX:-} ]] && ! { type -P c++ || type -P g++ || type -P clang++; } >/dev/null; then
        die "no C++ compiler (c++, g++ or clang++) on PATH; install one (Debian: apt-get install g++) or set CXX"
    fi
    phase_start
    local bdir rc=0
    bdir=$(build_dir)
    say "building and installing $REPO into the venv (build folder $bdir)"
    # Streamed rather than logged: compiler errors belong on the developer's screen.
    (cd "$REPO" && PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
        "$VENV_PY" -I -m pip install --no-build-isolation -Cbuild-dir="$bdir" .) || rc=$?
    if [[ $rc -ne 0 ]]; then
        die "building or installing the project into the venv failed (pip exit $rc; compiler and CMake output above; build folder $bdir)"
    fi
    forget_old_distribution
    phase_end "install"
}

# ---------------------------------------------------------------------------------------------

usage() { sed -n '2,6s/^# \{0,1\}//p' "$0"; }

main() {
    local arg
    for arg in "$@"; do
        case $arg in
            --demo)           FOR_TESTS=0 ;;
            --toolchain-only) MODE=toolchain ;;
            --print-python)   MODE=print; SAY_FD=2 ;;
            -h|--help)        usage; exit 0 ;;
            *)                die "unknown option '$arg' (see --help)" ;;
        esac
    done
    mkdir -p "$CACHE" "$LOGS" 2>/dev/null || die "cannot create the toolchain folder $CACHE"
    # One bootstrap at a time per toolchain folder: parallel runs would rebuild the same venv.
    hold_lock 9 "$CACHE/.lock" "another bootstrap using $CACHE"

    local t0
    t0=$(now_us)
    ensure_toolchain
    if [[ $FOR_TESTS == 1 ]]; then
        phase_start
        ensure_packages tests "the test packages" "${TEST_REQUIREMENTS[@]}"
        phase_end "test packages"
    fi
    if [[ $MODE == print ]]; then echo "$VENV_PY"; exit 0; fi
    [[ $FOR_TESTS == 0 ]] || ensure_test_tools
    [[ $MODE == toolchain ]] || install_project
    PHASE_T0=$t0 phase_end "total"
    say "venv python: $VENV_PY"
}

# On one line, so bash has read all of it before main runs: a checkout that rewrites this file
# mid-run (git checkout, a pull) cannot make the running bootstrap read a half-changed file.
main "$@"; exit

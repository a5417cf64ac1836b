# Sourced by bootstrap.sh and run_debug_python_tests.sh: the venv of the
# toolchain, made from a base interpreter with the packages from PyPI that
# build and test the project, and reused while it is healthy. Needs say, die
# (lib/messages.sh) and run_logged (lib/debian_sid.sh).
#
# The caller sets, before calling ensure_venv:
#   VENV, VENV_PY     the venv folder and its interpreter ($VENV/bin/python)
#   STAMP             file recording what the venv was made from
#   VENV_BASE         the base interpreter to make it from
#   VENV_BUILD_DIRS   build folders to empty when the venv is remade (their
#                     CMake caches name the old venv's interpreter and headers)
#   VENV_CHECK        extra Python lines the health check runs (may be empty)
#   VENV_NEEDS        what the health check asks for, for messages
#   VENV_STAMP_EXTRA  extra "key=value" lines for the stamp (may be empty)
#   REQUIREMENTS      what the venv is made with (default below; bootstrap.sh
#                     makes it with the build tools only and adds the test
#                     packages with ensure_packages when a command needs them)
#   VENV_MODULES      the modules the health check finds (default below)
#   LOGS              folder of the step logs (venv.log, pip.log)

# What the venv gets from PyPI. pybind11 stays on 3.0.x, as in pyproject.toml:
# the module reads and replaces pybind11's internals (its instance layout and
# table of instances, type_info fields, the common base type), which a minor
# release may change; scripts/run_lowest_pybind11_tests.sh checks the lowest
# 3.0 release, this venv the newest.
BUILD_REQUIREMENTS=("pybind11>=3.0,<3.1" "scikit-build-core>=1.0" cmake ninja)
REQUIREMENTS=("${BUILD_REQUIREMENTS[@]}" pytest hypothesis)
VENV_MODULES="scikit_build_core cmake ninja pytest hypothesis"

stamp_value() { sed -n "s/^$1=//p" "$STAMP" 2>/dev/null; }

# The venv is reused when it was made from VENV_BASE with the same
# requirements and still runs: 3.14, pybind11 3.0.x, the build and test
# packages, ssl, ctypes, and VENV_CHECK. VENV_PROBLEM says why it is not,
# for the rebuild message.
VENV_PROBLEM=
venv_healthy() {
    VENV_PROBLEM=
    if [[ ! -e $VENV ]]; then VENV_PROBLEM="none exists yet"; return 1; fi
    if [[ ! -x $VENV_PY || ! -f $STAMP ]]; then VENV_PROBLEM="the existing one is incomplete"; return 1; fi
    if [[ $(stamp_value base) != "$VENV_BASE" ]]; then
        VENV_PROBLEM="the existing one was made from $(stamp_value base)"; return 1
    fi
    if [[ $(stamp_value requirements) != "${REQUIREMENTS[*]}" ]]; then
        VENV_PROBLEM="the existing one was made for another package list"; return 1
    fi
    VENV_PROBLEM="the existing one does not run, or lacks $VENV_NEEDS"
    "$VENV_PY" -I -c '
import importlib.util, sys, ssl, ctypes, pybind11
assert sys.version_info[:2] == (3, 14)
assert pybind11.__version__.startswith("3.0.")
for name in sys.argv[1].split():
    assert importlib.util.find_spec(name), name
'"$VENV_CHECK" "$VENV_MODULES" >/dev/null 2>&1
}

# ensure_packages KEY WHAT PACKAGE...: installs PACKAGEs into the venv once;
# the stamp's KEY line remembers the list, so a later call with the same list
# does nothing and a changed list installs again (pip keeps what is there).
ensure_packages() {
    local key=$1 what=$2
    shift 2
    [[ $(stamp_value "$key") == "$*" ]] && return 0
    run_logged pip "installing $what: $* from PyPI" \
        env PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$VENV_PY" -I -m pip install "$@"
    sed -i "/^$key=/d" "$STAMP"
    echo "$key=$*" >>"$STAMP"
}

make_venv() {
    rm -rf "$VENV" "$STAMP" "${VENV_BUILD_DIRS[@]}"
    : >"$LOGS/venv.log"; : >"$LOGS/pip.log"
    run_logged venv "creating the venv with $VENV_BASE" "$VENV_BASE" -I -m venv "$VENV"
    run_logged pip "installing ${REQUIREMENTS[*]} from PyPI" \
        env PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
        "$VENV_PY" -I -m pip install "${REQUIREMENTS[@]}"
    local pybind11
    pybind11=$("$VENV_PY" -I -c 'import pybind11; print(pybind11.__version__)' 2>/dev/null) || true
    [[ $pybind11 == 3.0.* ]] || die "pip did not install a pybind11 3.0.x into $VENV"
    {
        [[ -z $VENV_STAMP_EXTRA ]] || echo "$VENV_STAMP_EXTRA"
        echo "base=$VENV_BASE"
        echo "requirements=${REQUIREMENTS[*]}"
        echo "pybind11=$pybind11"
        echo "created=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    } >"$STAMP"
    venv_healthy || die "the new venv in $VENV fails its own health check"
}

# ensure_venv [healthy]: reuses the venv, or makes it anew. "healthy" says
# the caller has just seen venv_healthy succeed, which is then not repeated.
ensure_venv() {
    if [[ ${1:-} == healthy ]] || venv_healthy; then
        say "reusing the venv in $VENV"
    else
        say "making the venv in $VENV: $VENV_PROBLEM"
        make_venv
        say "venv ready in $VENV"
    fi
}

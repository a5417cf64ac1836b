#!/bin/bash
# Builds the module against the lowest pybind11 that pyproject.toml allows,
# then runs tests/binding against that build.
#
#   scripts/run_lowest_pybind11_tests.sh [pytest arguments...]
#   LUMORA_PYBIND11_VERSION=3.0.2 scripts/run_lowest_pybind11_tests.sh ...   (another 3.0.x)
#
# The binding reaches into pybind11's internals (see the section "Shortcuts
# into the binding layer and the interpreter" of lumora/lumora_binding.cpp),
# so every version the pin allows has to build and pass, not only the newest
# one that bootstrap.sh installs. The toolchain venv keeps its own pybind11:
# the lowest version goes into a folder of its own, which comes first on
# PYTHONPATH for the build only. Everything lives in the toolchain cache,
# in a folder per version (<v>):
#   $CACHE/pybind11-<v>/pybind11/   pip install --target of pybind11==<v>
#   $CACHE/pybind11-<v>-build/      scikit-build-core build folder (incremental)
#   $CACHE/pybind11-<v>-site/       the installed module, liblumora.so and stubs
#   $CACHE/logs/pybind11-<v>-*.log  output of the pip steps
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
SCRIPT_NAME=run_lowest_pybind11_tests
source scripts/lib/messages.sh
source scripts/lib/toolchain.sh

toolchain_python

# The lower bound of the build requirement "pybind11>=X,<Y" in pyproject.toml.
LOWEST=$(sed -n 's/.*"pybind11>=\([0-9.]*\),<[0-9.]*".*/\1/p' pyproject.toml | head -n 1)
[[ -n $LOWEST ]] || die "no requirement of the form \"pybind11>=X,<Y\" in pyproject.toml"
LOWEST=${LUMORA_PYBIND11_VERSION:-$LOWEST}
[[ $LOWEST =~ ^[0-9][0-9.]*$ ]] || die "LUMORA_PYBIND11_VERSION=$LOWEST is not a version number"

DIR=$CACHE/pybind11-$LOWEST
PYBIND11=$DIR/pybind11
mkdir -p "$DIR" "$CACHE/logs"

# pybind11 X (pip reads "==3.0" as 3.0.0), reused while it is the version asked for.
# (Without it there, the import finds the venv's own pybind11, a version
# that does not match.)
installed=$(PYTHONPATH=$PYBIND11 "$PY" -c 'import pybind11; print(pybind11.__version__)' 2>/dev/null || true)
if [[ -z $installed || $("$PY" -c 'import sys; from packaging.version import Version as V; print(V(sys.argv[1]) == V(sys.argv[2]))' "$installed" "$LOWEST" 2>/dev/null || echo False) != True ]]; then
    say "installing pybind11==$LOWEST into $PYBIND11"
    rm -rf "$PYBIND11"
    "$PY" -m pip install --disable-pip-version-check --no-deps --target "$PYBIND11" "pybind11==$LOWEST" \
        >"$CACHE/logs/pybind11-$LOWEST-install.log" 2>&1 ||
        { tail -n 20 "$CACHE/logs/pybind11-$LOWEST-install.log" >&2; die "pip could not install pybind11==$LOWEST"; }
fi
{ read -r VERSION; read -r CMAKE_DIR; } < <(PYTHONPATH=$PYBIND11 "$PY" -c \
    'import pybind11; print(pybind11.__version__); print(pybind11.get_cmake_dir())')
[[ $CMAKE_DIR == "$PYBIND11"/* ]] || die "pybind11 comes from $CMAKE_DIR, not from $PYBIND11"

PYTHONPATH=$PYBIND11 build_variant "pybind11-$LOWEST" "against pybind11 $VERSION" \
    -Ccmake.define.pybind11_DIR="$CMAKE_DIR"
grep -q "^pybind11_DIR:.*=$CMAKE_DIR\$" "$CACHE/pybind11-$LOWEST-build/CMakeCache.txt" ||
    die "the build did not use the pybind11 in $PYBIND11 (see $CACHE/pybind11-$LOWEST-build/CMakeCache.txt)"

export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
run_pytest "$PY" tests/binding -p no:cacheprovider "$@"

#!/bin/bash
# Builds the module with kept thread states (LUMORA_KEEP_THREAD_STATES=ON),
# then runs the test suite against that build.
#
#   scripts/run_kept_state_tests.sh [pytest arguments...]
#
# The build goes into its own folders in the toolchain cache and leaves the
# toolchain venv's installed module alone:
#   $CACHE/kept-build/   scikit-build-core build folder (incremental)
#   $CACHE/kept-site/    the installed module, liblumora.so and stubs
# The tests import _lumora from $CACHE/kept-site through PYTHONPATH, and
# LUMORA_KEEP_THREAD_STATES=ON tells the tests which behaviour to expect.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
source scripts/toolchain.sh

say() { echo "run_kept_state_tests: $*"; }
die() { echo "run_kept_state_tests: error: $*" >&2; exit 1; }

toolchain_python_only
SITE=$CACHE/kept-site
BUILD=$CACHE/kept-build

say "building with LUMORA_KEEP_THREAD_STATES=ON into $SITE"
LOG=$CACHE/logs/kept-build.log
LUMORA_KEEP_THREAD_STATES=ON install_variant "$SITE" "$BUILD" "$LOG" || die "build failed (full log: $LOG)"

export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
export LUMORA_KEEP_THREAD_STATES=ON

status=0
"$PY" -m pytest tests -p no:cacheprovider "$@" || status=$?
if [[ $status -eq 5 ]]; then
    die "pytest collected no tests (pytest exit 5)"
fi
exit "$status"

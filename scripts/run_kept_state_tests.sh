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
SCRIPT_NAME=run_kept_state_tests
source scripts/lib/messages.sh
source scripts/lib/toolchain.sh

toolchain_python
LUMORA_KEEP_THREAD_STATES=ON build_variant kept "with LUMORA_KEEP_THREAD_STATES=ON"

export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
export LUMORA_KEEP_THREAD_STATES=ON
run_pytest "$PY" tests -p no:cacheprovider "$@"

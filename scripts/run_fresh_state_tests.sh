#!/bin/bash
# Builds the module with a fresh Python thread state for every callback of an
# SDK thread (LUMORA_KEEP_THREAD_STATES=OFF, the build option that is not the
# default), then runs the test suite against that build.
#
#   scripts/run_fresh_state_tests.sh [pytest arguments...]   (tests/... paths: only those; else all of tests)
#
# The build goes into its own folders in the toolchain cache and leaves the
# toolchain venv's installed module alone:
#   $CACHE/fresh-build/   scikit-build-core build folder (incremental)
#   $CACHE/fresh-site/    the installed module, liblumora.so and stubs
# The tests import _lumora from $CACHE/fresh-site through PYTHONPATH, and
# LUMORA_KEEP_THREAD_STATES=OFF tells the tests which behaviour to expect.
set -euo pipefail
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$REPO"
SCRIPT_NAME=run_fresh_state_tests
source scripts/lib/messages.sh
source scripts/lib/toolchain.sh

toolchain_python
LUMORA_KEEP_THREAD_STATES=OFF build_variant fresh "with LUMORA_KEEP_THREAD_STATES=OFF"

export PYTHONPATH=$SITE${PYTHONPATH:+:$PYTHONPATH}
export LUMORA_KEEP_THREAD_STATES=OFF
run_pytest "$PY" -p no:cacheprovider "$@"

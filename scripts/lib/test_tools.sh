# Sourced by bootstrap.sh: the system programs the tests use beside the venv's
# packages: ffmpeg, ffprobe and sox, which check the files the kit writes and
# make test signals, and Debian's Chromium, which the web gateway's browser
# tests drive (through Playwright, which never downloads a browser of its
# own). They come from the system's packages, not from PyPI; on a Debian
# machine where we are root, what is missing is installed with apt-get, in
# one step; elsewhere we say what to install and the tests that need them
# skip with that reason. Needs say, die and run_logged.

TEST_TOOLS=(ffmpeg ffprobe sox chromium)
# The Debian package of each tool.
declare -A TEST_TOOL_PACKAGE=([ffmpeg]=ffmpeg [ffprobe]=ffmpeg [sox]=sox [chromium]=chromium)

missing_test_tools() {
    local tool missing=()
    for tool in "${TEST_TOOLS[@]}"; do
        type -P "$tool" >/dev/null || missing+=("$tool")
    done
    echo "${missing[*]}"
}

ensure_test_tools() {
    local missing tool packages=()
    missing=$(missing_test_tools)
    [[ -n $missing ]] || return 0
    for tool in $missing; do
        [[ " ${packages[*]} " == *" ${TEST_TOOL_PACKAGE[$tool]} "* ]] || packages+=("${TEST_TOOL_PACKAGE[$tool]}")
    done
    if [[ $(id -u) -eq 0 ]] && type -P apt-get >/dev/null; then
        say "installing ${packages[*]} with apt-get (missing: $missing)"
        run_logged apt "updating the package index" env DEBIAN_FRONTEND=noninteractive apt-get update -q
        run_logged apt "installing ${packages[*]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -q --no-install-recommends "${packages[@]}"
        missing=$(missing_test_tools)
        [[ -z $missing ]] || die "apt-get installed ${packages[*]} but $missing is still not on PATH"
    else
        say "warning: $missing not on PATH; the tests that need them will skip" \
            "(Debian, as root: apt-get install ${packages[*]})"
    fi
}

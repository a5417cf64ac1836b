# Sourced by the scripts: their messages, error handling, phase timing and
# locks. The sourcing script sets SCRIPT_NAME (the prefix of every line) and
# may set SAY_FD (the file descriptor of progress lines; 1 unless set).

say() { echo "$SCRIPT_NAME: $*" >&"${SAY_FD:-1}"; }

# In a subshell ($(...)), die leaves with code 97 so that the ERR trap of
# the main shell knows the message is already out and adds no second line.
die() {
    echo "$SCRIPT_NAME: error: $*" >&2
    [[ $BASHPID == "$$" ]] || exit 97
    exit 1
}

# For scripts run with set -E: a command that fails without an explicit check
# still ends in one clear line, written by the main shell only (subshells
# just pass their status up).
on_err() {
    [[ $BASHPID == "$$" ]] || exit "$1"
    [[ $1 == 97 ]] || echo "$SCRIPT_NAME: error: command failed (exit $1, line $2): $3" >&2
    exit 1
}
trap_errors() { trap 'on_err $? $LINENO "$BASH_COMMAND"' ERR; }

now_us() { local t=${EPOCHREALTIME//[.,]/}; echo "$t"; }
PHASE_T0=0
phase_start() { PHASE_T0=$(now_us); }
phase_end() {
    local us=$(( $(now_us) - PHASE_T0 ))
    say "$(printf '%-12s %d.%01ds' "$1" $((us / 1000000)) $(((us % 1000000) / 100000)))"
}

# hold_lock FD FILE WHAT: takes an exclusive lock on FILE through file
# descriptor FD (held until the script closes FD or exits), saying that it
# waits for WHAT when another process holds it.
hold_lock() {
    local fd=$1 file=$2 what=$3
    eval "exec $fd>\"\$file\""
    if ! flock -n "$fd"; then
        say "waiting for $what"
        flock "$fd"
    fi
}

# Waiting for a condition, written once for every script and test script. Sourced, not run;
# bash only.
# shellcheck shell=bash

# wait_for SECONDS COMMAND...: true once COMMAND succeeds (tried every 0.1 s, in this shell so
# that it may set variables, its output discarded), false once SECONDS have passed without
# that; the caller says what failed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -le "$deadline" ] || return 1
        sleep 0.1
    done
}

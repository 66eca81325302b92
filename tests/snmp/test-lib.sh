# What the SNMP end-to-end scripts share: counting failures, waiting, skipping when a program
# is missing, and a private directory whose processes are ended and removed on exit.
# Sourced, not run.
# shellcheck shell=bash

failures=0
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}
die() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}
# The machine's tests, written once for every script: machine_adapter_up (the simulated
# adapter's control device listens), machine_registered (the agent is registered), and
# wait_for SECONDS COMMAND... (scripts/wait-lib.sh; the caller says what failed).
# shellcheck source=scripts/machine-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/machine-lib.sh"

# require PATH...: skips the test (exit 0, "SKIP: ...") unless every PATH exists.
require() {
    local path
    for path in "$@"; do
        if [ ! -e "$path" ]; then
            echo "SKIP: $path is missing (scripts/install-deps installs it)"
            exit 0
        fi
    done
}

# private_directory NAME: sets tmp to a new directory; on exit every pid in pids is ended
# and the directory removed.
private_directory() {
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    pids=()
    trap end_private_directory EXIT
}
end_private_directory() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}

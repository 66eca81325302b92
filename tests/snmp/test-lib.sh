# What the SNMP end-to-end scripts share: counting failures, waiting, skipping when a program
# is missing, and a private directory whose processes are ended and removed on exit.
# Sourced, not run.

failures=0
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}
die() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}
wait_for() {  # wait_for SECONDS COMMAND...: true once COMMAND succeeds
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 10))); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

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

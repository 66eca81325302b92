# Sourced by the scripts that run the agent on a private simulated machine (scripts/demo,
# scripts/valgrind-reads, scripts/soak): a private directory removed on exit with every
# process started in it ended first, waits, and "start the simulated adapter, then the agent,
# wait until it is registered". Sourced, not run; bash only.
#
# Before sourcing, the script defines fail MESSAGE... (print, exit 1): the waits below call it.
#
#   machine_begin NAME BUILD      makes the private directory $machine_dir (korvo-NAME.XXXXXX
#                                 under $TMPDIR), sets the EXIT trap (and INT/TERM: exit 130),
#                                 and lays the machine out in it with scripts/lay-out-machine
#                                 from the programs in BUILD: exports KORVO_ROOT, WIN32DMIPATH,
#                                 windir and PATH. $machine_dir also takes the logs below.
#   machine_keep                  the directory is kept on exit (its path printed), not removed.
#   machine_on_exit FUNCTION      FUNCTION runs on exit after the processes end, before the
#                                 directory goes (e.g. to copy a log out).
#   machine_track PID             PID is ended on exit (SIGTERM, then SIGKILL after
#                                 $machine_stop_grace seconds, 5 unless set), the
#                                 later tracked first; the processes of scripts/snmp-lib.sh
#                                 (snmp_subagent_pid, snmp_master_pid, snmp_receiver_pid) are
#                                 ended before all of them without being tracked.
#   machine_end PID               ends PID now (SIGTERM), waits and returns its exit status;
#                                 it is tracked no more.
#   wait_for SECONDS COMMAND...   from scripts/wait-lib.sh: true once COMMAND succeeds,
#                                 false after SECONDS.
#   machine_adapter_up            true once the simulated adapter's control device listens.
#   machine_registered            true once the service provider lists a registered component.
#   machine_start_adapter [OPTION...]   starts `korvo-adapter serve OPTION...` (e.g. --quiet;
#                                 without it the request log, with standard error, goes to
#                                 adapter.log) and waits 10 s for its control device; sets
#                                 machine_adapter_pid.
#   machine_start_agent SECONDS [WRAPPER...]   starts korvoci (under WRAPPER, e.g. valgrind
#                                 and its options, when given; standard error: agent.log) and
#                                 waits SECONDS for its registration; sets machine_agent_pid.
#
# The SNMP side (a private snmpd, snmptrapd and dmi-snmp) is scripts/snmp-lib.sh.
# shellcheck shell=bash

machine_dir=
machine_stop_grace=${machine_stop_grace:-5}
machine_pids=()
machine_keep_dir=
machine_exit_hooks=()

machine_begin() {  # machine_begin NAME BUILD
    local layout
    machine_dir=$(mktemp -d "${TMPDIR:-/tmp}/korvo-$1.XXXXXX")
    trap machine_cleanup EXIT
    trap 'exit 130' INT TERM
    layout=$("$(dirname "${BASH_SOURCE[0]}")/lay-out-machine" "$machine_dir" "$2") ||
        fail "scripts/lay-out-machine could not lay out the machine in $machine_dir"
    eval "$layout"
}

machine_keep() { machine_keep_dir=1; }
machine_on_exit() { machine_exit_hooks+=("$1"); }
machine_track() { machine_pids+=("$1"); }

# machine_stop PID: SIGTERM, then SIGKILL when it has not ended $machine_stop_grace seconds later.
machine_stop() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq $((machine_stop_grace * 10))); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

machine_end() {  # machine_end PID: its exit status
    local pid=$1 kept=() tracked status=0
    for tracked in "${machine_pids[@]}"; do
        [ "$tracked" = "$pid" ] || kept+=("$tracked")
    done
    machine_pids=("${kept[@]}")
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || status=$?
    return "$status"
}

machine_cleanup() {
    local i hook pid
    for pid in "${snmp_subagent_pid:-}" "${snmp_master_pid:-}" "${snmp_receiver_pid:-}"; do
        [ -z "$pid" ] || machine_stop "$pid"
    done
    for ((i = ${#machine_pids[@]} - 1; i >= 0; i--)); do
        machine_stop "${machine_pids[i]}"
    done
    machine_pids=()
    for hook in "${machine_exit_hooks[@]}"; do
        "$hook"
    done
    [ -n "$machine_dir" ] || return 0
    if [ -n "$machine_keep_dir" ]; then
        echo "the machine's directory and logs: $machine_dir" >&2
    else
        rm -rf "$machine_dir"
    fi
}

# shellcheck source=scripts/wait-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/wait-lib.sh"

machine_adapter_up() { [ -S "$KORVO_ROOT/devices/korvodmi.vxd" ]; }
machine_registered() { dmicli --json stats 2>/dev/null | tr -d ' \n' | grep -q '"registered":\[[0-9]'; }

machine_start_adapter() {  # machine_start_adapter [OPTION...]
    korvo-adapter serve "$@" >"$machine_dir/adapter.log" 2>&1 &
    machine_adapter_pid=$!
    machine_track "$machine_adapter_pid"
    wait_for 10 machine_adapter_up || fail "the control device did not come up within 10 seconds"
}

machine_start_agent() {  # machine_start_agent SECONDS [WRAPPER...]
    local seconds=$1
    shift
    "$@" korvoci 2>"$machine_dir/agent.log" &
    machine_agent_pid=$!
    machine_track "$machine_agent_pid"
    wait_for "$seconds" machine_registered ||
        fail "the agent did not register within $seconds seconds"
}

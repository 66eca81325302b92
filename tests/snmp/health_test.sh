#!/usr/bin/env bash
# What an unattended monitor sees of a failing driver, through independent clients on real
# processes (a private machine, snmpd with the drop-in's AgentX timeout, dmi-snmp):
# the monitoring plugins' check_snmp of the health object goes CRITICAL on a stopped, failing
# or silent driver and OK again when it is healed, and a check of a value itself is no longer
# OK; walks of a table by snmpwalk, snmpbulkwalk and pysnmp (get-next and get-bulk, an SNMP
# stack of its own) while its key's request flips between failing and healing either give the
# whole table, equal to a quiet walk, or end in an error: never short and successful; and the
# same clients' walks of the whole component, every group and table, with a busy loop on each
# core, are whole and equal to quiet ones, never genErr (their times are printed).
#
#   health_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
source "$source_dir/tests/snmp/test-lib.sh"

check_snmp=/usr/lib/nagios/plugins/check_snmp
require /usr/sbin/snmpd /usr/bin/snmpwalk "$check_snmp"
# Debian's pysnmp, for its own Python (another python3 may come first in PATH).
pysnmp_python=/usr/bin/python3
if ! "$pysnmp_python" -c 'import pysnmp' 2>/dev/null; then
    echo "SKIP: pysnmp is missing (scripts/install-deps installs python3-pysnmp4)"
    exit 0
fi

source "$source_dir/scripts/snmp-lib.sh"
private_directory korvo-health

eval "$("$source_dir/scripts/lay-out-machine" "$tmp/machine" "$build")"
korvo-adapter serve --quiet >"$tmp/adapter.log" 2>&1 &
pids+=($!)
wait_for 10 machine_adapter_up || die "the simulated adapter did not start"
korvoci 2>"$tmp/agent.log" &
pids+=($!)
wait_for 15 machine_registered || die "the agent did not register its component"

port=$(snmp_free_port)
mkdir -p "$tmp/snmp"
snmp_private "$tmp/snmp"
snmp_start_master "$tmp/snmp" "$port" || die "snmpd did not start"
pids+=("$snmp_master_pid")
snmp_start_subagent "$tmp/snmp" "$port" "$build/tools/snmp/dmi-snmp" ||
    die "dmi-snmp did not start"
pids+=("$snmp_subagent_pid")

component=1.3.6.1.4.1.32473.1.1
health=$component.0.0.4.1.0     # korvoHealthInstrumentation.0
counter=$component.4.6.0        # korvoAdapterStatisticsCounter1.0
table=$component.13             # 125 rows keyed by request 30

# check OID RANGE: check_snmp's exit status (0 OK, 2 CRITICAL, 3 UNKNOWN), its line in $said.
check() {
    local status=0
    said=$("$check_snmp" -H 127.0.0.1 -p "$port" -P 2c -C public -t 15 -o "$1" -c "$2" 2>&1) ||
        status=$?
    return "$status"
}
# health_is STATUS: the health check exits STATUS (it is checked again at most once a second).
health_is() {
    local status=0
    check "$health" 1:1 || status=$?
    [ "$status" -eq "$1" ]
}

# --- Healthy, then each way the driver fails, then healed: CRITICAL and OK again.
health_is 0 || fail "healthy: check_snmp of the health object: $said"
check "$counter" 0: || fail "healthy: check_snmp of the counter: $said"
for fault in "stop" "fail all status" "fail 30 status" "fail all silent"; do
    # shellcheck disable=SC2086
    korvo-adapter $fault >/dev/null
    wait_for 10 health_is 2 || fail "$fault: the health check is not CRITICAL: $said"
    # korvoHealthLastFailure says which read failed and why.
    last=$(snmpget -v2c -c public -t 15 -r 0 -Oqv "127.0.0.1:$port" "$component.0.0.4.5.0")
    [[ "$last" == *"value unknown"* || "$last" == *"did not answer"* ]] ||
        fail "$fault: korvoHealthLastFailure does not say why: $last"
    if [ "$fault" != "fail 30 status" ]; then
        status=0
        check "$counter" 0: || status=$?
        [ "$status" -ne 0 ] || fail "$fault: check_snmp of the counter is OK: $said"
        [[ "$said" != *"No Such Instance"* ]] || fail "$fault: the counter is said absent: $said"
    fi
    if [ "$fault" = stop ]; then korvo-adapter start >/dev/null; else korvo-adapter heal all >/dev/null; fi
    wait_for 10 health_is 0 || fail "$fault healed: the health check is not OK again: $said"
done
failures_read=$(snmpget -v2c -c public -Oqv "127.0.0.1:$port" "$component.0.0.4.2.0")
[ "$failures_read" -ge 4 ] || fail "korvoHealthReadFailures is $failures_read after four faults"

# --- Walks of the table while its key's request flips between failing and healing.
tools=(snmpwalk snmpbulkwalk pysnmp-getnext pysnmp-bulk)
# walk TOOL OID: the names TOOL's walk of OID gives, one a line without the leading dot, and
# its exit status; its errors on standard error.
walk() {
    case $1 in
        snmp*)
            "$1" -v2c -c public -t 15 -r 0 -On "127.0.0.1:$port" "$2" | sed 's/ = .*//; s/^\.//' ;;
        pysnmp-*)
            "$pysnmp_python" "$source_dir/tests/snmp/pysnmp_walk.py" "$port" "$2" "${1#pysnmp-}" ;;
    esac
}
walk snmpwalk "$table" >"$tmp/quiet.out" || die "a quiet walk of the table failed"
quiet_values=$(grep -c . "$tmp/quiet.out")
[ "$quiet_values" -eq 250 ] || fail "a quiet walk gave $quiet_values values, not 250"
flip() {
    while :; do
        korvo-adapter fail 30 status >/dev/null
        sleep 0.3
        korvo-adapter heal 30 >/dev/null
        sleep 0.3
    done
}
flip &
flipper=$!
pids+=("$flipper")
declare -A complete errors
deadline=$((SECONDS + 60))
for ((round = 0; round < 40 && SECONDS < deadline; round++)); do
    for tool in "${tools[@]}"; do
        status=0
        walk "$tool" "$table" >"$tmp/walk.out" 2>"$tmp/walk.err" || status=$?
        if [ "$status" -ne 0 ]; then
            grep -q genErr "$tmp/walk.err" || fail "$tool ended without genErr: $(cat "$tmp/walk.err")"
            errors[$tool]=$((${errors[$tool]:-0} + 1))
        elif cmp -s "$tmp/quiet.out" "$tmp/walk.out"; then
            complete[$tool]=$((${complete[$tool]:-0} + 1))
        else
            fail "$tool exited 0 with $(grep -c . "$tmp/walk.out") of $quiet_values values"
        fi
    done
done
kill "$flipper"
wait "$flipper" 2>/dev/null || true
korvo-adapter heal 30 >/dev/null
for tool in "${tools[@]}"; do
    echo "flipping: $tool: ${complete[$tool]:-0} walks complete, ${errors[$tool]:-0} ended in genErr"
done
[ "${#errors[@]}" -gt 0 ] || fail "no walk met a failing read: the flipping did not reach the walks"
walk snmpwalk "$table" >"$tmp/healed.out" || fail "the walk after healing failed"
cmp -s "$tmp/quiet.out" "$tmp/healed.out" || fail "the walk after healing is not the quiet walk"

# --- Walks of the whole component, quiet and with a busy loop on each core.
now() { date +%s.%N; }
declare -A quiet_time hogged_time
for tool in "${tools[@]}"; do
    start=$(now)
    walk "$tool" "$component" >"$tmp/component.$tool" 2>"$tmp/walk.err" ||
        die "a quiet $tool of the component failed: $(cat "$tmp/walk.err")"
    quiet_time[$tool]=$(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.2f", e - s }')
    cmp -s "$tmp/component.snmpwalk" "$tmp/component.$tool" ||
        fail "a quiet $tool of the component is not snmpwalk's: $(diff "$tmp/component.snmpwalk" "$tmp/component.$tool" | head -5)"
done
component_values=$(grep -c . "$tmp/component.snmpwalk")
hogs=()
for _ in 1 2; do
    timeout 120 sh -c 'while :; do :; done' &
    hogs+=($!)
    pids+=($!)
done
for round in 1 2; do
    for tool in "${tools[@]}"; do
        start=$(now)
        status=0
        walk "$tool" "$component" >"$tmp/walk.out" 2>"$tmp/walk.err" || status=$?
        hogged_time[$tool]="${hogged_time[$tool]:-} $(awk -v s="$start" -v e="$(now)" 'BEGIN { printf "%.2f", e - s }')"
        [ "$status" -eq 0 ] || fail "hogged: $tool of the component failed: $(cat "$tmp/walk.err")"
        cmp -s "$tmp/component.snmpwalk" "$tmp/walk.out" ||
            fail "hogged: $tool gave $(grep -c . "$tmp/walk.out") of $component_values values, or others"
    done
done
kill "${hogs[@]}"
wait "${hogs[@]}" 2>/dev/null || true
echo "the component's $component_values values walked, in seconds quiet | with a busy loop on each core:"
for tool in "${tools[@]}"; do
    echo "  $tool: ${quiet_time[$tool]} |${hogged_time[$tool]}"
done

if [ "$failures" -gt 0 ]; then
    echo "--- dmi-snmp's log:" >&2
    cat "$tmp/snmp/dmi-snmp.log" >&2
    exit 1
fi
echo "PASS: check_snmp follows the driver; walks are whole or end in an error, and whole on a busy machine"

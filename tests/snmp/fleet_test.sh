#!/usr/bin/env bash
# A fleet of two simulated machines watched by Prometheus through Debian's snmp_exporter: each
# machine has its own adapter pair, agent, snmpd (its own loopback port and AgentX socket) and
# dmi-snmp; one prometheus-snmp-exporter with the module generated from
# tools/snmp/prometheus/generator.yml; one prometheus scraping both every second. Checks that
# the generator makes the snmp.yml shipped beside generator.yml, that each machine's rate of
# korvoAdapterStatisticsCounter1 in PromQL is what its adapter counts, that 64-bit integers
# and table rows come out as numbers labelled by their keys, and that a machine whose adapter
# stops answering has no sample rather than a zero while its health series (module
# korvo_health, a job of its own) stay and say so: korvoHealthInstrumentation 2 and the failed
# reads counted when the adapter is stopped or a request fails, 1 again once healed, and the
# shipped alerts.yml raising and dropping its alerts from them (and from a machine whose
# dmi-snmp is gone). With --demo it says what it does as it goes.
#
#   fleet_test.sh BUILD_DIR SOURCE_DIR [--demo]
set -euo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
demo=0
[ "${3:-}" = --demo ] && demo=1
source "$source_dir/tests/snmp/test-lib.sh"

say() { [ "$demo" -eq 0 ] || printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { [ "$demo" -eq 0 ] || printf '%s\n' "$*"; }

require /usr/sbin/snmpd /usr/bin/prometheus /usr/bin/prometheus-snmp-exporter \
    /usr/bin/prometheus-snmp-generator /usr/bin/curl

# Rates through one-second scrapes need programs that answer in well under a second.
if grep -q '^KORVO_SANITIZE:STRING=.' "$build/CMakeCache.txt"; then
    echo "SKIP: a sanitizer build answers too slowly for one-second scrapes"
    exit 0
fi

source "$source_dir/scripts/snmp-lib.sh"
private_directory korvo-fleet

# --- The exporter's module, made by Debian's generator from the MIBs the build installs.
say "The snmp_exporter module, generated from tools/snmp/prometheus/generator.yml"
mkdir -p "$tmp/generator"
cp "$source_dir/tools/snmp/prometheus/generator.yml" "$tmp/generator/"
(cd "$tmp/generator" &&
    MIBDIRS="$source_dir/tools/snmp/mibs:$build/tools/snmp/mibs" prometheus-snmp-generator generate \
        >"$tmp/generator.log" 2>&1) || die "the generator failed: $(cat "$tmp/generator.log")"
diff -u "$source_dir/tools/snmp/prometheus/snmp.yml" "$tmp/generator/snmp.yml" >"$tmp/snmp.yml.diff" ||
    fail "tools/snmp/prometheus/snmp.yml is not what generator.yml makes: $(head -20 "$tmp/snmp.yml.diff")"
show "$(grep -c '^  - name:' "$tmp/generator/snmp.yml") metrics in modules korvo and korvo_health"

# --- Two machines.
declare -A layout port dmi_snmp_pid
start_machine() {  # start_machine N
    local n=$1 dir=$tmp/m$1
    layout[$n]=$("$source_dir/scripts/lay-out-machine" "$dir" "$build")
    on_bg "$n" "$dir/adapter.log" korvo-adapter serve --quiet
    wait_for 10 on "$n" machine_adapter_up || die "machine $n: no adapter"
    on_bg "$n" "$dir/agent.log" korvoci
    wait_for 15 on "$n" machine_registered || die "machine $n: the agent did not register"
    mkdir -p "$dir/snmp"
    port[$n]=$(snmp_free_port)
    (
        snmp_private "$dir/snmp"
        snmp_start_master "$dir/snmp" "${port[$n]}" >/dev/null
        echo "$snmp_master_pid" >"$dir/snmpd.pid.keep"
    ) || die "machine $n: snmpd did not start"
    pids+=("$(cat "$dir/snmpd.pid.keep")")
    on_bg "$n" "$dir/dmi-snmp.log" dmi-snmp --agentx "$dir/snmp/agentx.sock" --ping 1 --refresh 1
    dmi_snmp_pid[$n]=$!
    wait_for 15 sh -c "snmpget -v2c -c public -t 1 -r 0 127.0.0.1:${port[$n]} \
        1.3.6.1.4.1.32473.1.1.1.1.0 | grep -q STRING" || die "machine $n: dmi-snmp did not answer"
    show "machine $n: adapter, agent, snmpd on udp:127.0.0.1:${port[$n]}, dmi-snmp"
}
on() {  # on N COMMAND...: COMMAND (a program or a function) on machine N
    local n=$1
    shift
    (
        eval "${layout[$n]}"
        "$@"
    )
}
on_bg() {  # on_bg N LOG COMMAND...: COMMAND on machine N in the background, its output to LOG
    local n=$1 log=$2
    shift 2
    (
        eval "${layout[$n]}"
        exec "$@" >"$log" 2>&1
    ) &
    pids+=($!)
}
say "Two simulated machines, each with its adapter pair, agent, snmpd and dmi-snmp"
start_machine 1
start_machine 2

# --- One exporter, one Prometheus scraping both every second.
say "One snmp_exporter and one Prometheus scraping both machines' values and health every second"
exporter_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
prometheus_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
prometheus-snmp-exporter --config.file="$tmp/generator/snmp.yml" \
    --web.listen-address="127.0.0.1:$exporter_port" >"$tmp/exporter.log" 2>&1 &
pids+=($!)
cat >"$tmp/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files: ['$source_dir/tools/snmp/prometheus/alerts.yml']
scrape_configs:
EOF
for module in korvo korvo_health; do
    cat >>"$tmp/prometheus.yml" <<EOF
  - job_name: $module
    metrics_path: /snmp
    params:
      module: [$module]
    static_configs:
      - targets: ['127.0.0.1:${port[1]}']
        labels: {machine: m1}
      - targets: ['127.0.0.1:${port[2]}']
        labels: {machine: m2}
    relabel_configs:
      - source_labels: [__address__]
        target_label: __param_target
      - source_labels: [__param_target]
        target_label: instance
      - target_label: __address__
        replacement: 127.0.0.1:$exporter_port
EOF
done
prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/prometheus-data" \
    --web.listen-address="127.0.0.1:$prometheus_port" >"$tmp/prometheus.log" 2>&1 &
pids+=($!)
show "exporter on 127.0.0.1:$exporter_port, Prometheus on http://127.0.0.1:$prometheus_port"

# query PROMQL: one line "machine value" per series of the instant query's answer.
# query EXPR [LABEL]: each series' machine, LABEL=its value when asked, and the series' value.
query() {
    curl -fsS "http://127.0.0.1:$prometheus_port/api/v1/query" --data-urlencode "query=$1" |
        python3 -c '
import json, sys
label = sys.argv[1]
for series in json.load(sys.stdin)["data"]["result"]:
    shown = [series["metric"].get("machine", "?")]
    if label:
        shown.append(label + "=" + series["metric"].get(label, "?"))
    print(*shown, series["value"][1])' "${2:-}"
}
both_scraped() { [ "$(query 'up == 1' | wc -l)" -eq 4 ]; }
wait_for 30 both_scraped || die "Prometheus does not scrape both machines: $(query 'up' 2>&1)
$(tail -5 "$tmp/prometheus.log" "$tmp/exporter.log")"

# --- Each machine's rate, as Prometheus computes it and as the adapter counts.
say "rate(korvoAdapterStatisticsCounter1[15s]) by machine, against what each adapter counts"
# The simulated adapter counts driver report 3, counter 1, up by 800 each tick of its clock,
# ten ticks a second (sim/adapter/adapter_model.cpp): 8000 a second.
adapter_rate=8000
sleep 15
rates=$(query 'rate(korvoAdapterStatisticsCounter1[15s])')
for n in 1 2; do
    promql=$(awk -v m="m$n" '$1 == m { print $2 }' <<<"$rates")
    show "machine $n: the adapter counts $adapter_rate a second, Prometheus says ${promql:-nothing}"
    # Within 10 %: a scrape's values are read some milliseconds after the time Prometheus
    # gives them, and on a loaded machine a scrape may miss its second.
    python3 -c 'import sys; a, p = float(sys.argv[1]), float(sys.argv[2] or "nan"); sys.exit(abs(p - a) > 0.1 * a)' \
        "$adapter_rate" "$promql" ||
        fail "machine $n: Prometheus's rate ${promql:-(none)} is not the adapter's $adapter_rate"
done

# --- Numbers where the MIB has text, rows by their keys.
say "A 64-bit integer of a table, a number labelled by its row's key"
show "$(query 'korvoDriverTable35RowsRowValue{machine="m1", korvoDriverTable35RowsRowNumber=~"[1-3]"}' \
    korvoDriverTable35RowsRowNumber | sort -t= -k2n)"
all_rows() { [ "$(query 'count(korvoDriverTable35RowsRowValue{machine="m1"})' | awk '{print $2}')" = 35 ]; }
wait_for 10 all_rows ||
    fail "korvoDriverTable35RowsRowValue has $(query 'count(korvoDriverTable35RowsRowValue{machine="m1"})') rows, not 35"
on 1 dmicli set korvo 14 2 --key 3 --type integer 1500 >/dev/null
row3() { [ "$(query 'korvoDriverTable35RowsRowValue{machine="m1", korvoDriverTable35RowsRowNumber="3"}' | awk '{print $2}')" = 1500 ]; }
wait_for 10 row3 || fail "row 3's value 1500, written through the console, is not a number 1500 in Prometheus"

# --- A machine whose adapter stops: no sample, not a zero; its health says so.
# value EXPR: the value of the one series EXPR gives (empty when none).
value() { query "$1" | awk '{print $2}'; }
# health_is MACHINE N: korvoHealthInstrumentation of MACHINE is N.
health_is() { [ "$(value "korvoHealthInstrumentation{machine=\"$1\"}")" = "$2" ]; }
# alerting NAME MACHINE: alerts.yml's alert NAME is pending or firing for MACHINE.
alerting() { [ -n "$(query "ALERTS{alertname=\"$1\", machine=\"$2\"}")" ]; }
failed_reads() { value 'korvoHealthReadFailures{machine="m2"}'; }
wait_for 15 health_is m1 1 && wait_for 15 health_is m2 1 ||
    fail "the health series do not say both machines answer: $(query korvoHealthInstrumentation)"
for rule in KorvoInstrumentationNotAnswering KorvoReadsFailed KorvoHealthNotScraped; do
    [ -z "$(query "ALERTS{alertname=\"$rule\"}")" ] || fail "$rule raised on healthy machines"
done
failed_before=$(failed_reads)

say "Machine 2's adapter stops answering: its series ends, machine 1's goes on, its health says so"
on 2 korvo-adapter stop >/dev/null
gone() { [ -z "$(query 'korvoAdapterStatisticsCounter1{machine="m2"}')" ]; }
wait_for 15 gone || fail "machine 2 still has a sample with its adapter stopped: $(query 'korvoAdapterStatisticsCounter1')"
show "korvoAdapterStatisticsCounter1 now: $(query 'korvoAdapterStatisticsCounter1' | tr '\n' ' ')"
show "up now: $(query 'up{job="korvo"}' | tr '\n' ' ')"
# A scrape of machine 1 that misses its deadline on a busy host marks its series stale until
# the next one: machine 1 has lost them only if no scrape brings them back.
m1_sampled() { [ -n "$(query 'korvoAdapterStatisticsCounter1{machine="m1"}')" ]; }
wait_for 15 m1_sampled || fail "machine 1 lost its samples too"
zeros=$(query 'korvoAdapterStatisticsCounter1{machine="m2"} == 0 or rate(korvoAdapterStatisticsCounter1{machine="m2"}[2s]) == 0')
[ -z "$zeros" ] || fail "machine 2 shows a zero: $zeros"
wait_for 15 health_is m2 2 ||
    fail "machine 2's korvoHealthInstrumentation is not 2 (failing): $(query korvoHealthInstrumentation)"
wait_for 15 health_is m1 1 || fail "machine 1's health is not 1 with machine 2 stopped"
# The exporter's walk ends at the failed read without failing the scrape: up says nothing.
m2_up() { [ "$(value 'up{job="korvo", machine="m2"}')" = 1 ]; }
wait_for 15 m2_up ||
    fail "up of machine 2's values is not 1 as the docs say: $(query 'up{job="korvo"}')"
rising() { [ "$(failed_reads)" -gt "$failed_before" ]; }
wait_for 15 rising || fail "korvoHealthReadFailures of machine 2 stayed at $failed_before"
wait_for 15 alerting KorvoInstrumentationNotAnswering m2 ||
    fail "KorvoInstrumentationNotAnswering is not raised for machine 2: $(query ALERTS)"
wait_for 15 alerting KorvoReadsFailed m2 || fail "KorvoReadsFailed is not raised for machine 2"
! alerting KorvoInstrumentationNotAnswering m1 || fail "KorvoInstrumentationNotAnswering raised for machine 1"
show "health: $(query korvoHealthInstrumentation | tr '\n' ' '); failed reads of m2: $(failed_reads)"
show "alerts: $(query ALERTS alertname | tr '\n' ' ')"
on 2 korvo-adapter start >/dev/null
back() { [ -n "$(query 'korvoAdapterStatisticsCounter1{machine="m2"}')" ]; }
wait_for 15 back || fail "machine 2's series did not come back with its adapter"
show "machine 2's adapter answers again: $(query 'korvoAdapterStatisticsCounter1{machine="m2"}')"
wait_for 15 health_is m2 1 || fail "machine 2's health is not 1 again after its adapter started"
quiet() { ! alerting KorvoInstrumentationNotAnswering m2; }
wait_for 15 quiet || fail "KorvoInstrumentationNotAnswering stays raised for machine 2 after healing"

say "Machine 2's driver fails one request (a table's key): its health says so, then heals"
failed_before=$(failed_reads)
on 2 korvo-adapter fail 30 status >/dev/null
wait_for 15 health_is m2 2 || fail "fail 30 status: machine 2's health is not 2"
wait_for 15 rising || fail "fail 30 status: korvoHealthReadFailures of machine 2 stayed at $failed_before"
show "machine 2: $(query 'korvoHealthLastFailure{machine="m2"}' korvoHealthLastFailure)"
on 2 korvo-adapter heal all >/dev/null
wait_for 15 health_is m2 1 || fail "healed: machine 2's health is not 1 again"

say "Machine 2's dmi-snmp stops: snmpd still answers, the health series go, and that alerts"
kill "${dmi_snmp_pid[2]}"
wait_for 15 alerting KorvoHealthNotScraped m2 || fail "KorvoHealthNotScraped is not raised for machine 2"
! alerting KorvoHealthNotScraped m1 || fail "KorvoHealthNotScraped raised for machine 1"

show "$(grep -c 'Error scraping' "$tmp/exporter.log") of the exporter's scrapes failed"
[ "$failures" -eq 0 ] || exit 1
echo "PASS: two machines through one snmp_exporter and Prometheus, each at its adapter's rate"

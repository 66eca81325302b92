#!/usr/bin/env bash
# dmi-snmp as a Debian machine runs it: installed with DESTDIR from the build tree, beside the
# distribution's own /etc/snmp/snmpd.conf, used unchanged but for its addresses (a private
# loopback port, a private AgentX socket, a notification receiver) and the directory it
# includes (the installed drop-in's); read with the stock community by Net-SNMP's commands,
# which find the installed MIBs through the stock snmp.conf and the installed one and must
# print names and not one error line. Also what dmi-snmp says when snmpd and the service
# provider go away and come back.
#
#   stock_snmpd_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
module=KORVO-ETHERNET-ADAPTER-MIB
source "$source_dir/tests/snmp/test-lib.sh"

require /usr/sbin/snmpd /usr/sbin/snmptrapd /usr/bin/snmpwalk /etc/snmp/snmpd.conf

source "$source_dir/scripts/snmp-lib.sh"  # snmp_free_port
private_directory korvo-stock-snmpd
chmod 0755 "$tmp"

# --- The installed tree, where Debian looks for each file.
dest=$tmp/dest
DESTDIR=$dest cmake --install "$build" >"$tmp/install.log" || die "cmake --install failed"
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || die "the build installs under $prefix, not Debian's /usr"
dropin=$dest/etc/snmp/snmpd.conf.d/dmi-snmp.conf
unit=$dest/lib/systemd/system/dmi-snmp.service
mibdir=$dest/usr/share/snmp/mibs
for file in "$dest/usr/bin/dmi-snmp" "$dest/usr/bin/dmicli" "$dropin" "$unit" \
    "$dest/etc/default/dmi-snmp" "$dest/usr/share/snmp/snmp.conf" "$mibdir/$module.txt" \
    "$mibdir/SNMPv2-MIB.txt" "$mibdir/SNMPv2-SMI.txt" "$mibdir/SNMPv2-TC.txt" \
    "$mibdir/SNMPv2-CONF.txt" "$dest/usr/share/bash-completion/completions/dmicli"; do
    [ -f "$file" ] || fail "not installed: ${file#"$dest"}"
done
if command -v help2man >/dev/null; then
    for page in dmi-snmp dmicli; do
        [ -f "$dest/usr/share/man/man1/$page.1.gz" ] || fail "no manual page $page.1.gz"
    done
    gzip -dc "$dest/usr/share/man/man1/dmi-snmp.1.gz" >"$tmp/dmi-snmp.1"
    for section in ENVIRONMENT FILES EXAMPLES "SEE ALSO"; do
        grep -q "^\.SH \"*$section\"*\$" "$tmp/dmi-snmp.1" ||
            fail "dmi-snmp.1 has no $section section"
    done
fi
for line in "After=snmpd.service" "BindsTo=snmpd.service" "Restart=on-failure" \
    "EnvironmentFile=-/etc/default/dmi-snmp" "ExecStart=/usr/bin/dmi-snmp serve \$DMI_SNMP_OPTIONS" \
    "User=dmi-snmp" "SupplementaryGroups=Debian-snmp" "WantedBy=snmpd.service"; do
    grep -qxF "$line" "$unit" || fail "dmi-snmp.service lacks $line"
done
# The drop-in the help and the manual page show is the file installed.
diff <(grep -v '^#' "$dropin") \
    <("$dest/usr/bin/dmi-snmp" --help | sed -n 's/^    > //p') >/dev/null ||
    fail "dmi-snmp --help shows another drop-in than the one installed"

# Writes as the drop-in documents them: its commented view and community, uncommented.
write_community=korvo-test-$$
sed -i -e 's/^#\(view dmiwrite \)/\1/' -e "s/^#rwcommunity CHANGE-ME /rwcommunity $write_community /" \
    "$dropin"
grep -q "^rwcommunity $write_community localhost -V dmiwrite\$" "$dropin" ||
    fail "the drop-in documents no read-write community to uncomment"

# --- A private machine with the agent and the simulated adapter.
eval "$("$source_dir/scripts/lay-out-machine" "$tmp/machine" "$build")"
korvo-adapter serve --quiet >"$tmp/adapter.log" 2>&1 &
pids+=($!)
wait_for 10 machine_adapter_up || die "the simulated adapter did not start"
start_agent() {
    korvoci 2>>"$tmp/agent.log" &
    agent_pid=$!
    pids+=("$agent_pid")
    wait_for 15 machine_registered || die "the agent did not register its component"
}
start_agent

# --- The stock snmpd.conf with its addresses rewritten, run as Debian's unit runs it.
port=$(snmp_free_port)
trap_port=$(snmp_free_port)
mkdir -p "$tmp/persist" "$tmp/trapconf" "$tmp/client"
agentx=$tmp/agentx/master
sed -e "s|^agentaddress .*|agentaddress udp:127.0.0.1:$port|" \
    -e "s|^includeDir /etc/snmp/snmpd.conf.d\$|includeDir ${dropin%/*}|" \
    -e "s|^master  *agentx\$|&\nagentXSocket $agentx\ntrap2sink 127.0.0.1:$trap_port public|" \
    /etc/snmp/snmpd.conf >"$tmp/snmpd.conf"
changed=$(diff /etc/snmp/snmpd.conf "$tmp/snmpd.conf" | grep -c '^[<>]' || true)
# Two lines changed (each counts twice) and two added.
[ "$changed" -eq 6 ] || fail "the copy of snmpd.conf differs in $changed lines, not 6:
$(diff /etc/snmp/snmpd.conf "$tmp/snmpd.conf")"
as_debian=()
if [ "$(id -u)" -eq 0 ] && getent group Debian-snmp >/dev/null; then
    as_debian=(-u Debian-snmp -g Debian-snmp)
    chown Debian-snmp:Debian-snmp "$tmp/persist"
fi
start_snmpd() {
    SNMP_PERSISTENT_DIR=$tmp/persist snmpd -f -Lo "${as_debian[@]}" -I -smux,mteTrigger,mteTriggerConf \
        -C -c "$tmp/snmpd.conf" -p "$tmp/snmpd.pid" >>"$tmp/snmpd.log" 2>&1 &
    snmpd_pid=$!
    pids+=("$snmpd_pid")
    wait_for 10 test -S "$agentx" || die "snmpd did not open $agentx: $(cat "$tmp/snmpd.log")"
}

# Net-SNMP's commands as on an installed machine: the stock snmp.conf ("mibs :") and then the
# installed one, the installed MIB directory in the place of /usr/share/snmp/mibs.
client_env=(env -u MIBS HOME="$tmp/client" SNMP_PERSISTENT_DIR="$tmp/client" MIBDIRS="$mibdir"
    SNMPCONFPATH="/etc/snmp:$dest/usr/share/snmp")
echo "disableAuthorization yes" >"$tmp/trapconf/snmptrapd.conf"
"${client_env[@]}" SNMPCONFPATH="/etc/snmp:$dest/usr/share/snmp:$tmp/trapconf" \
    snmptrapd -f -Lf "$tmp/traps.log" -p "$tmp/snmptrapd.pid" "udp:127.0.0.1:$trap_port" \
    >"$tmp/snmptrapd.out" 2>&1 &
pids+=($!)
wait_for 10 test -f "$tmp/traps.log" || die "snmptrapd did not start"
start_snmpd

if [ ${#as_debian[@]} -gt 0 ] && [ -x /usr/bin/python3 ]; then
    # The drop-in's agentXPerms: the socket belongs to the group dmi-snmp.service joins.
    [ "$(stat -c '%a %G' "$agentx")" = "660 Debian-snmp" ] ||
        fail "the AgentX socket is $(stat -c '%a %U:%G' "$agentx"), not 660 for Debian-snmp"
    [ "$(stat -c '%a' "${agentx%/*}")" = "755" ] ||
        fail "the AgentX directory is $(stat -c '%a %U:%G' "${agentx%/*}"), not 755"
    # And a user of that group, no other, reaches it (as dmi-snmp.service's user would).
    # (The system's python: one under root's home would be out of nobody's reach.)
    probe() { setpriv --reuid=nobody --regid=nogroup "$@" \
        /usr/bin/python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' "$agentx"; }
    probe --groups "$(getent group Debian-snmp | cut -d: -f3)" 2>/dev/null ||
        fail "a member of Debian-snmp cannot connect to the AgentX socket"
    ! probe --clear-groups 2>/dev/null || fail "a user outside Debian-snmp can connect to the AgentX socket"
fi

# With the options the installed unit gives it: its AgentX timeout is the drop-in's.
read -ra options < <(sed -n 's/^DMI_SNMP_OPTIONS=//p' "$dest/etc/default/dmi-snmp")
master_timeout=$(sed -n 's/^agentXTimeout //p' "$dropin")
[[ " ${options[*]} " == *" --agentx-timeout $master_timeout "* ]] ||
    fail "dmi-snmp's options (${options[*]}) do not match the drop-in's agentXTimeout $master_timeout"
"$dest/usr/bin/dmi-snmp" "${options[@]}" --agentx "$agentx" --ping 1 --refresh 1 \
    >"$tmp/dmi-snmp.log" 2>&1 &
pids+=($!)
walk() { "${client_env[@]}" snmpwalk -v2c -c public -t 2 -r 1 "127.0.0.1:$port" "$@"; }
answers() { walk korvoComponentIDManufacturer 2>/dev/null | grep -q 'STRING: ZUL'; }
wait_for 15 answers || die "the component did not answer through the stock snmpd:
$(cat "$tmp/dmi-snmp.log" "$tmp/snmpd.log")"

# --- Read by name, with the stock community, and not one error line.
walk korvoMIB >"$tmp/walk.out" 2>"$tmp/walk.err" || fail "snmpwalk korvoMIB failed"
[ ! -s "$tmp/walk.err" ] || fail "snmpwalk printed errors: $(head -5 "$tmp/walk.err")"
values=$(grep -c . "$tmp/walk.out" || true)
named=$(grep -c "^$module::korvo" "$tmp/walk.out" || true)
[ "$values" -gt 400 ] && [ "$named" -eq "$values" ] ||
    fail "snmpwalk korvoMIB gave $values values, $named of them by name: $(head -5 "$tmp/walk.out")"
for expected in "$module::korvoComponentIDManufacturer.0 = STRING: ZUL" \
    "$module::korvoComponentIDVerify.0 = INTEGER: thisComponentExistsAndIsFunctioningCorrectly(7)" \
    "$module::korvoHealthInstrumentation.0 = INTEGER: answering(1)"; do
    grep -qF "$expected" "$tmp/walk.out" || fail "snmpwalk lacks: $expected"
done
"${client_env[@]}" snmptable -v2c -c public -Cf '|' "127.0.0.1:$port" korvoDriverTable35RowsTable \
    >"$tmp/table.out" 2>"$tmp/table.err" || fail "snmptable failed"
[ ! -s "$tmp/table.err" ] || fail "snmptable printed errors: $(head -5 "$tmp/table.err")"
rows=$(grep -c '|' "$tmp/table.out" || true)
[ "$rows" -eq 36 ] || fail "snmptable showed $((rows - 1)) rows, not 35: $(cat "$tmp/table.out")"
uptime=$("${client_env[@]}" snmpget -v2c -c public "127.0.0.1:$port" sysUpTime.0 2>&1)
[[ "$uptime" == "SNMPv2-MIB::sysUpTime.0 = Timeticks: "* ]] ||
    fail "the stock system view, by name: $uptime"

# --- Writes through the documented community: a 64-bit integer as its text, as the MIB has
# it, and as an INTEGER by a manager that checks no type (-Ir); the stock community cannot.
row_value=$module::korvoDriverTable35RowsRowValue.3
set_value() { "${client_env[@]}" snmpset -v2c -c "$1" -t 2 -r 1 "${@:3}" "127.0.0.1:$port" "$row_value" $2; }
for offer in "s 2500" "i 2600"; do
    set_value "$write_community" "$offer" -Ir >"$tmp/set.out" 2>&1 ||
        fail "snmpset $offer through the documented community: $(cat "$tmp/set.out")"
    expected=${offer#* }
    read_back=$("${client_env[@]}" snmpget -v2c -c public -Ov "127.0.0.1:$port" "$row_value" 2>&1)
    [ "$read_back" = "STRING: $expected" ] || fail "after snmpset $offer the row reads $read_back"
done
! set_value public "s 2700" >"$tmp/set.out" 2>&1 || fail "the read-only community could set"
grep -q noAccess "$tmp/set.out" || fail "the read-only community's set: $(cat "$tmp/set.out")"

# --- A notification by name: snmpd's start, and the adapter pair failing over.
korvo-adapter failover 2 --notify >/dev/null
failover_arrived() { grep -q "korvoFailoverEvent" "$tmp/traps.log"; }
wait_for 15 failover_arrived || fail "no failover notification arrived: $(cat "$tmp/traps.log")"
for expected in "SNMPv2-MIB::snmpTrapOID.0 = OID: SNMPv2-MIB::coldStart" \
    "SNMPv2-MIB::sysUpTime.0 = Timeticks:" \
    "SNMPv2-MIB::snmpTrapOID.0 = OID: $module::korvoFailoverEvent"; do
    grep -qF "$expected" "$tmp/traps.log" || fail "snmptrapd's log lacks: $expected"
done
[ ! -s "$tmp/snmptrapd.out" ] || fail "snmptrapd printed errors: $(head -5 "$tmp/snmptrapd.out")"

# --- snmpd lost and found again, the service provider lost and found again: said, and served.
said() { grep -qE "$1" "$tmp/dmi-snmp.log"; }
said 'AgentX subagent connected' || fail "dmi-snmp did not say it connected to snmpd"
kill -TERM "$snmpd_pid"
wait "$snmpd_pid" 2>/dev/null || true
wait_for 10 said 'AgentX master disconnected|failed to respond' ||
    fail "dmi-snmp did not say it lost snmpd: $(cat "$tmp/dmi-snmp.log")"
connected_before=$(grep -c 'AgentX subagent connected' "$tmp/dmi-snmp.log")
start_snmpd
wait_for 15 answers || fail "the component did not come back with snmpd"
[ "$(grep -c 'AgentX subagent connected' "$tmp/dmi-snmp.log")" -gt "$connected_before" ] ||
    fail "dmi-snmp did not say it connected to snmpd again: $(cat "$tmp/dmi-snmp.log")"
kill -TERM "$agent_pid"
wait "$agent_pid" 2>/dev/null || true
wait_for 10 said 'service provider cannot be read' ||
    fail "dmi-snmp did not say it lost the service provider: $(cat "$tmp/dmi-snmp.log")"
start_agent
wait_for 15 said 'service provider answers again' ||
    fail "dmi-snmp did not say the service provider answers again: $(cat "$tmp/dmi-snmp.log")"
wait_for 15 answers || fail "the component did not come back with the agent"

if [ "$failures" -gt 0 ]; then
    echo "--- dmi-snmp's log:" >&2
    cat "$tmp/dmi-snmp.log" >&2
    exit 1
fi
echo "PASS: the stock snmpd.conf with the drop-in serves the component by name ($values values)"

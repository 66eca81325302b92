# Sourced by scripts/demo and scripts/bench: a private Net-SNMP master agent with its AgentX
# socket in a directory of its own, a notification receiver, and the DMI-to-SNMP subagent, on
# loopback ports chosen at run time. Nothing is read from /etc/snmp or written to
# /var/lib/snmp, so a machine's own snmpd (port 161, /var/agentx/master) is never touched.

# How long snmpd waits for an answer of dmi-snmp: longer than the agent's device deadline (5 s).
snmp_agentx_timeout=6

# A loopback UDP port that nothing uses now.
snmp_free_port() {
    python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# snmp_private DIR: every Net-SNMP program started after this uses DIR for its configuration
# path and persistent files, and loads no MIB unless asked with -m.
snmp_private() {
    mkdir -p "$1/conf" "$1/persist"
    export SNMPCONFPATH=$1/conf SNMP_PERSISTENT_DIR=$1/persist MIBS= MIBDIRS=$1/conf
}

# snmp_start_master DIR PORT [TRAP_PORT]: snmpd on udp:127.0.0.1:PORT (communities public,
# and private for writes), AgentX master on DIR/agentx.sock, notifications to TRAP_PORT.
# It waits snmp_agentx_timeout seconds for a subagent's answer, so that a read may take the
# agent's whole device deadline (the subagent is told the same number). Sets snmp_master_pid.
# -C reads no default configuration; -I -smux leaves out SMUX.
snmp_start_master() {
    local dir=$1 port=$2 trap_port=${3:-}
    {
        echo "agentAddress udp:127.0.0.1:$port"
        echo "rocommunity public 127.0.0.1"
        echo "rwcommunity private 127.0.0.1"
        echo "master agentx"
        echo "agentXSocket $dir/agentx.sock"
        echo "agentXTimeout $snmp_agentx_timeout"
        echo "agentXRetries 0"
        echo "dontLogTCPWrappersConnects yes"
        echo "dontRetainLogs yes"
        [ -z "$trap_port" ] || echo "trap2sink 127.0.0.1:$trap_port public"
    } >"$dir/snmpd.conf"
    snmpd -f -Lo -C -c "$dir/snmpd.conf" -I -smux -p "$dir/snmpd.pid" >"$dir/snmpd.log" 2>&1 &
    snmp_master_pid=$!
    for _ in $(seq 100); do
        [ -S "$dir/agentx.sock" ] && return 0
        kill -0 "$snmp_master_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "snmpd did not come up; its log:" >&2
    cat "$dir/snmpd.log" >&2
    return 1
}

# snmp_start_receiver DIR PORT [MIB_OPTIONS...]: snmptrapd on udp:127.0.0.1:PORT, logging
# every notification to DIR/traps.log. Sets snmp_receiver_pid. Neither it nor the master keeps
# the notifications in memory as well (their notification log MIB, up to 1000 each), so that
# their resident memory says what the load costs them.
snmp_start_receiver() {
    local dir=$1 port=$2
    shift 2
    printf 'disableAuthorization yes\ndontRetainLogs yes\n' >"$dir/snmptrapd.conf"
    snmptrapd -f -Lf "$dir/traps.log" -C -c "$dir/snmptrapd.conf" "$@" -p "$dir/snmptrapd.pid" \
        "udp:127.0.0.1:$port" >"$dir/snmptrapd.out" 2>&1 &
    snmp_receiver_pid=$!
    for _ in $(seq 100); do
        [ -f "$dir/traps.log" ] && return 0
        sleep 0.1
    done
    echo "snmptrapd did not come up" >&2
    return 1
}

# snmp_start_subagent DIR PORT DMI_SNMP: the subagent on DIR/agentx.sock, then waits until the
# master answers for the first component. Sets snmp_subagent_pid.
snmp_start_subagent() {
    local dir=$1 port=$2 program=$3
    "$program" --agentx "$dir/agentx.sock" --ping 1 --agentx-timeout "$snmp_agentx_timeout" \
        >"$dir/dmi-snmp.log" 2>&1 &
    snmp_subagent_pid=$!
    for _ in $(seq 100); do
        snmpget -v2c -c public -t 1 -r 0 "127.0.0.1:$port" 1.3.6.1.4.1.32473.1.1.1.1.0 2>/dev/null |
            grep -q STRING && return 0
        sleep 0.1
    done
    echo "the subagent's subtree did not answer; its log:" >&2
    cat "$dir/dmi-snmp.log" >&2
    return 1
}

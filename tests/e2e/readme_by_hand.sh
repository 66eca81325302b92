#!/usr/bin/env bash
# Runs the two terminals of the README's "Running it by hand" as written, on a private
# directory in place of /tmp/korvo and with the build given (its build line aside: the test
# runs in a build already made). Every line must succeed, the agent must be registered by its
# first start-up attempt and end once its window is closed, the second terminal must see what
# the comments promise, and the agent must end with status 0 and nothing on standard error.
# It prints each line's time, and fails on none: a loaded machine is slow, not wrong. What a
# time bound once caught, a registration that silently waits for the 30-second start-up retry,
# is caught by stretching that retry (KORVO_TIMER_SCALE) beyond LIMIT_S, the longest the test
# waits for the registration and for the agent's end (default 90).
#
#   readme_by_hand.sh SOURCE_DIR BUILD_DIR [LIMIT_S]
set -uo pipefail

source_dir=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
limit_s=${3:-90}
# The agent's start-up retry comes 30 s times this after a failed attempt: never, in this test.
export KORVO_TIMER_SCALE=1000
work=$(mktemp -d "${TMPDIR:-/tmp}/korvo-readme.XXXXXX")
terminal1_pid=

fail() {
    echo "readme_by_hand: $*" >&2
    for file in "$work"/terminal*.out "$work"/terminal*.err "$work"/terminal*.times; do
        [ -s "$file" ] && { echo "--- $file" >&2; cat "$file" >&2; }
    done
    exit 1
}

cleanup() {
    if [ -n "$terminal1_pid" ] && kill -0 "$terminal1_pid" 2>/dev/null; then
        kill -TERM -- "-$terminal1_pid" 2>/dev/null
        wait "$terminal1_pid" 2>/dev/null
    fi
    if [ -S "$work/machine/machine/adapter.ctl" ]; then
        KORVO_ROOT=$work/machine/machine "$build/sim/adapter/korvo-adapter" quit >/dev/null 2>&1
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The sh blocks of the section, one file each: block1, block2.
awk -v out="$work/block" '
    /^## Running it by hand/ { inside = 1; next }
    inside && /^## / { exit }
    inside && /^```sh$/ { block++; copying = 1; next }
    inside && /^```$/ { copying = 0; next }
    copying { print > (out block) }
' "$source_dir/README.md"
[ -s "$work/block1" ] && [ -s "$work/block2" ] || fail "README.md has no two sh blocks under \"Running it by hand\""

# Each line runs as typed, timed; "START n" and "END n rc ms" go to the terminal's times file.
make_terminal() {  # make_terminal BLOCK SCRIPT TIMES
    local n=0 line
    {
        echo "cd '$source_dir'"
        while IFS= read -r line; do
            n=$((n + 1))
            case $line in '' | 'cmake '*) continue ;; esac
            line=${line//\/tmp\/korvo/$work\/machine}
            line=${line//build\/host-debug/$build}
            printf 'echo "START %d" >>%q\n' "$n" "$3"
            printf '__start=$(date +%%s%%N)\n{ %s\n}\n' "$line"
            printf 'echo "END %d $? $((($(date +%%s%%N) - __start) / 1000000)) ms" >>%q\n' "$n" "$3"
        done <"$1"
    } >"$2"
}
make_terminal "$work/block1" "$work/terminal1.sh" "$work/terminal1.times"
make_terminal "$work/block2" "$work/terminal2.sh" "$work/terminal2.times"
agent_line=$(grep -n '^korvoci' "$work/block1" | cut -d: -f1)
[ -n "$agent_line" ] || fail "the first terminal starts no korvoci"

# The first terminal, in a process group of its own.
set -m
bash "$work/terminal1.sh" >"$work/terminal1.out" 2>"$work/terminal1.err" </dev/null &
terminal1_pid=$!
set +m

deadline=$(($(date +%s) + 20))
until grep -q "^START $agent_line\$" "$work/terminal1.times" 2>/dev/null; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "the first terminal did not reach korvoci"
    kill -0 "$terminal1_pid" 2>/dev/null || fail "the first terminal ended early"
    sleep 0.01
done
agent_started=$(date +%s%N)
eval "$("$source_dir/scripts/lay-out-machine" "$work/machine" "$build")"
until dmicli --json stats 2>/dev/null | tr -d ' \n' | grep -q '"registered":\[[0-9]'; do
    waited=$((($(date +%s%N) - agent_started) / 1000000000))
    [ "$waited" -le "$limit_s" ] || fail "the agent was not registered by its first attempt"
    sleep 0.01
done

bash "$work/terminal2.sh" >"$work/terminal2.out" 2>"$work/terminal2.err" </dev/null
second_ended=$(date +%s%N)

# The first terminal ends once the second has closed the agent's window.
while kill -0 "$terminal1_pid" 2>/dev/null; do
    waited=$((($(date +%s%N) - second_ended) / 1000000000))
    [ "$waited" -le "$limit_s" ] || fail "the agent had not ended $limit_s s after the second terminal"
    sleep 0.01
done
wait "$terminal1_pid"

for terminal in 1 2; do
    lines=$(grep -c . "$work/block$terminal")
    while read -r _ n rc _; do
        if [ "$rc" != 0 ]; then
            fail "terminal $terminal, line $n exited with $rc: $(sed -n "${n}p" "$work/block$terminal")"
        fi
    done < <(grep '^END ' "$work/terminal$terminal.times")
    ran=$(grep -c '^END ' "$work/terminal$terminal.times")
    skipped=$(grep -c '^cmake ' "$work/block$terminal")
    [ "$ran" -eq $((lines - skipped)) ] || fail "terminal $terminal ran $ran of its $lines lines"
done

for terminal in 1 2; do
    while read -r _ n _ ms _; do
        printf 'terminal %d  %5d ms  %s\n' "$terminal" "$ms" "$(sed -n "${n}p" "$work/block$terminal")"
    done < <(grep '^END ' "$work/terminal$terminal.times")
done
[ ! -s "$work/terminal1.err" ] || fail "the first terminal wrote to standard error"
for promised in "status: value unknown (0x10F)" "Event 1 " "Failover Adapter Table" \
    "Adapter.Statistics counter 1 = " "Driver Table (35 rows).Row value[3] set to 1500"; do
    grep -qF -- "$promised" "$work/terminal2.out" || fail "the second terminal never showed \"$promised\""
done
echo "readme_by_hand: both terminals ran as written" \
    "(the agent's line in the first terminal lasts until its window is closed)"

#!/usr/bin/env bash
# dmicli's bash completion against a stand-in dmicli (a shell function that answers the
# commands the completion asks): the words it offers, bare, after a backslash, and inside an
# open double or single quote, where the match goes in as it is (readline adds the quote);
# names without regard to case; the values of options; the arguments of help and post-message.
set -u
source "$1"

dmicli() {
    local IFS=" "
    case "$*" in
        "--json components") printf '  "name": "KORVO Ethernet Adapter",\n' ;;
        "--json groups korvo")
            printf '  "name": "Driver Table (35 rows)",\n  "name": "Driver Info",\n  "name": "Adapter"\n' ;;
    esac
}

failures=0
# check EXPECTED WORD...: completes the last word of `dmicli WORD...`.
check() {
    local expected=$1
    shift
    COMP_WORDS=(dmicli "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _dmicli
    local got
    got=$(printf '%s|' "${COMPREPLY[@]}")
    if [ "$got" != "$expected" ]; then
        echo "dmicli $*<TAB>: expected '$expected', got '$got'" >&2
        failures=$((failures + 1))
    fi
}

check 'Driver\ Table\ \(35\ rows\)|' get korvo 'Driver T'
check 'Driver\ Table\ \(35\ rows\)|' get korvo 'Driver\ T'
check 'Driver Table (35 rows)|' get korvo '"Driver T'
check 'Driver Table (35 rows)|' get korvo "'Driver T"
check 'Driver Table (35 rows)|Driver Info|' get korvo '"Dri'
check 'KORVO Ethernet Adapter|' get '"KO'
check '|' get korvo '"Nothing'
# The commands, each command's options and the words after an option's value, all from
# dmicli's command table.
check 'get|get-next|' ge
check '--rows|' walk korvo --r
check '--help|--json|--numeric|--socket|--value-only|--version|' get -
check 'Driver\ Info|' get --socket /tmp/dmi.sock korvo 'Driver\ I'
check '|' groups korvo 'Dri'
# Names match without regard to case, as dmicli matches them.
check 'KORVO\ Ethernet\ Adapter|' get k
check 'Driver\ Table\ \(35\ rows\)|Driver\ Info|' get korvo dri
check 'Adapter|' get korvo ad
check 'Adapter|' get korvo '"ad'
# The values of options: a file for --socket, the type names for --type, the agent's class;
# nothing for a number.
dir=$(mktemp -d)
trap 'rm -rf -- "$dir"' EXIT
touch "$dir/dmi.sock" "$dir/other"
check "$dir/dmi.sock|" get --socket "$dir/d"
check 'integer|integer64|' set 1 14 2 --key 3 --type int
check 'KORVO|' post-timer --class k
check '|' watch 1 4 6 --interval ''
# The arguments of help and post-message.
check 'get|get-next|' help ge
check 'KORVO|' post-message k
check 'WM_CLOSE|' post-message KORVO wm_c
exit $((failures > 0))

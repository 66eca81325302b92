#!/usr/bin/env bash
# dmicli's bash completion against a stand-in dmicli (a shell function that answers the
# commands the completion asks): the words it offers, bare, after a backslash, and inside an
# open double or single quote, where the match goes in as it is (readline adds the quote).
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
exit $((failures > 0))

#!/bin/bash
# Checks what each room's sources can include, on the build's own compile commands: no include
# directory of a source file lies in a room that the README's "What a room may include" forbids
# it (dmi-snmp cannot reach the service provider's headers nor the Win32 stand-in, the agent no stand-in's).
# usage: include_boundaries_test.sh SOURCE_DIR COMPILE_COMMANDS_JSON
set -euo pipefail
source_dir=$(realpath "$1")
commands=$2

# The rooms a room's sources must not see, by the room's top folder.
forbidden_for() {
    case $1 in
        src) echo "sim tools" ;;
        platform) echo "src sim tools" ;;
        mif) echo "src platform sim tools" ;;
        sim) echo "src tools platform/posix" ;;
        tools) echo "src sim platform/posix" ;;
    esac
}

declare -A checked=()
failures=0
# One line per compiled file: the file, then its -I directories.
while read -r file includes; do
    relative=${file#"$source_dir"/}
    room=${relative%%/*}
    forbidden=$(forbidden_for "$room")
    [[ $relative != "$file" && -n $forbidden ]] || continue
    checked[$room]=1
    [[ -n $includes ]] || continue
    # shellcheck disable=SC2086 # one word per directory
    for directory in $(realpath -m $includes); do
        for other in $forbidden; do
            case $directory/ in
                "$source_dir/$other/"*)
                    echo "$relative can include from ${directory#"$source_dir"/} ($room must not see $other/)" >&2
                    failures=$((failures + 1))
                    ;;
            esac
        done
    done
done < <(awk '
    /"command":/ {
        includes = ""
        n = split($0, word, " ")
        for (i = 1; i <= n; ++i) {
            if (word[i] ~ /^-I/) {
                includes = includes " " substr(word[i], 3)
            }
        }
    }
    /"file":/ {
        file = $0
        sub(/.*"file": *"/, "", file)
        sub(/".*/, "", file)
        print file includes
    }' "$commands")

# A room with no file seen would pass unchecked: every room must have been looked at.
for room in src platform mif sim tools; do
    if [[ -z ${checked[$room]:-} ]]; then
        echo "no source of $room/ in $commands: nothing was checked" >&2
        failures=$((failures + 1))
    fi
done
exit $((failures > 0))

# Bash completion for dmicli: its commands and options, the installed components, and the
# group names of the component typed before. Source it, or install it as
# /usr/share/bash-completion/completions/dmicli. The names come from dmicli itself, so they
# follow the service provider that is running.

_dmicli_names() {  # _dmicli_names ARGS...: the "name" members of `dmicli --json ARGS`
    dmicli --json "$@" 2>/dev/null |
        sed -n 's/^ *"name": "\(.*\)",\{0,1\}$/\1/p'
}

_dmicli() {
    local current=${COMP_WORDS[COMP_CWORD]}
    local words=() word command='' component=''
    local i
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --socket|--since|--count|--timeout|--class|--key|--type|--rows|--interval|--lines|-n)
                ((i++)) ;;
            -*) ;;
            *) words+=("$word") ;;
        esac
    done
    command=${words[0]:-}
    if [[ $current == -* ]]; then
        local options
        options=$(dmicli ${command:+help "$command"} --help 2>/dev/null |
                  grep -o -- '--[a-z-]*' | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$current"))
        return
    fi
    if [[ -z $command ]]; then
        local commands
        commands=$(dmicli --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z-]*\) .*/\1/p')
        COMPREPLY=($(compgen -W "$commands" -- "$current"))
        return
    fi
    case $command in
        groups|attributes|get|get-next|walk|set|watch) ;;
        *) return ;;
    esac
    local IFS=$'\n' names
    case ${#words[@]} in
        1) names=$(_dmicli_names components) ;;
        2) names=$(_dmicli_names groups "${words[1]}") ;;
        *) return ;;
    esac
    # Inside an open quote readline completes the text after the quote and closes it: the
    # match goes in as it is (in double quotes, with \ " $ ` escaped). A bare word gets
    # every special character escaped.
    local quote='' typed=${current//\\/}
    case $current in
        \"*) quote='"' typed=${current#\"} ;;
        \'*) quote="'" typed=${current#\'} ;;
    esac
    local matches=($(compgen -W "$names" -- "$typed")) match
    COMPREPLY=()
    for match in "${matches[@]}"; do
        case $quote in
            '"') COMPREPLY+=("$(printf '%s' "$match" | sed 's/[\\"$`]/\\&/g')") ;;
            "'") COMPREPLY+=("$match") ;;
            *) COMPREPLY+=("$(printf '%q' "$match")") ;;
        esac
    done
}

complete -F _dmicli dmicli

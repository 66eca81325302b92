// dmicli's bash completion script, written from the command and option tables, so that a new
// command or option completes with no list to keep by hand.
#include "console/completion.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "console/command_line.h"

namespace korvo::console {

namespace {

// The words of a command's synopsis after its name, brackets dropped, up to its first option.
std::vector<std::string> ArgumentWords(const CommandDefinition& command) {
    std::istringstream synopsis(command.synopsis);
    std::string word;
    synopsis >> word;  // the command's name
    std::vector<std::string> arguments;
    while (synopsis >> word) {
        std::erase_if(word, [](char c) { return c == '[' || c == ']'; });
        if (word.starts_with("-")) {
            break;
        }
        arguments.push_back(word);
    }
    return arguments;
}

std::string Joined(const std::vector<std::string>& words, const char* separator) {
    std::string joined;
    for (const std::string& word : words) {
        joined += (joined.empty() ? "" : separator) + word;
    }
    return joined;
}

// The long options a command takes, global ones included, sorted; every global one for none.
std::string OptionWords(const CommandDefinition* command) {
    std::vector<std::string> names;
    for (const OptionDefinition& option : Options()) {
        if (option.global ||
            (command != nullptr && std::find(command->options.begin(), command->options.end(),
                                             option.name) != command->options.end())) {
            names.emplace_back(option.name);
        }
    }
    std::sort(names.begin(), names.end());
    return Joined(names, " ");
}

// The case patterns of what a word is: the options that take a value (the word after them
// is that value); for each command its options; the commands; which positions name a
// component and which a group of it.
struct Lists {
    std::vector<std::string> valueOptions;
    std::string optionCases;
    std::vector<std::string> commands;
    std::vector<std::string> componentPositions;
    std::vector<std::string> groupPositions;
};

Lists MakeLists() {
    Lists lists;
    for (const OptionDefinition& option : Options()) {
        if (option.takesValue) {
            lists.valueOptions.emplace_back(option.name);
            if (!option.shortName.empty()) {
                lists.valueOptions.emplace_back(option.shortName);
            }
        }
    }
    lists.optionCases = "            '') options='" + OptionWords(nullptr) + "' ;;\n";
    for (const CommandDefinition& command : Commands()) {
        if (command.hidden) {
            continue;
        }
        const std::string name = command.name;
        lists.commands.push_back(name);
        lists.optionCases +=
            "            " + name + ") options='" + OptionWords(&command) + "' ;;\n";
        const std::vector<std::string> arguments = ArgumentWords(command);
        if (!arguments.empty() && arguments[0] == "COMPONENT") {
            lists.componentPositions.push_back(name + ":1");
            if (arguments.size() > 1 && arguments[1] == "GROUP") {
                lists.groupPositions.push_back(name + ":2");
            }
        }
    }
    return lists;
}

}  // namespace

std::string BashCompletion() {
    const Lists lists = MakeLists();
    std::string script =
        R"bash(# Bash completion for dmicli: its commands and options, the installed components, and the
# group names of the component typed before. Written by `dmicli completion bash` from dmicli's
# command table; the build installs it as /usr/share/bash-completion/completions/dmicli. The
# names come from dmicli itself, so they follow the service provider that is running.

_dmicli_names() {  # _dmicli_names ARGS...: the "name" members of `dmicli --json ARGS`
    dmicli --json "$@" 2>/dev/null |
        sed -n 's/^ *"name": "\(.*\)",\{0,1\}$/\1/p'
}

_dmicli() {
    local current=${COMP_WORDS[COMP_CWORD]}
    local words=() word command=''
    local i
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            )bash" +
        Joined(lists.valueOptions, "|") +
        R"bash()
                ((i++)) ;;
            -*) ;;
            *) words+=("$word") ;;
        esac
    done
    command=${words[0]:-}
    if [[ $current == -* ]]; then
        local options
        case $command in
)bash" + lists.optionCases +
        R"bash(            *) return ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$current"))
        return
    fi
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W ")bash" +
        Joined(lists.commands, " ") + R"bash(" -- "$current"))
        return
    fi
    local IFS=$'\n' names
    case $command:${#words[@]} in
        )bash" +
        Joined(lists.componentPositions, "|") +
        R"bash() names=$(_dmicli_names components) ;;
        )bash" +
        Joined(lists.groupPositions, "|") +
        R"bash() names=$(_dmicli_names groups "${words[1]}") ;;
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
)bash";
    return script;
}

}  // namespace korvo::console

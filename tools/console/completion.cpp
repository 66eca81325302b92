// dmicli's bash completion script, written from the command and option tables, so that a new
// command or option completes with no list to keep by hand.
#include "console/completion.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "console/command_line.h"
#include "console/window_messages.h"
#include "dmi/dmi.h"

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

// A bash expression that sets `names` to the given words, one a line.
std::string NamesOf(const std::vector<std::string>& words) {
    return "names=$(printf '%s\\n' " + Joined(words, " ") + ")";
}

std::vector<std::string> TypeNames() {
    std::vector<std::string> names;
#define KORVO_TYPE_NAME(constant, code, name, size) names.emplace_back(name);
    KORVO_MIF_TYPES(KORVO_TYPE_NAME)
#undef KORVO_TYPE_NAME
    return names;
}

std::vector<std::string> MessageNames() {
    std::vector<std::string> names;
    std::istringstream listed(WindowMessageNames());
    for (std::string name; std::getline(listed, name, ',');) {
        names.push_back(name.substr(name.find_first_not_of(' ')));
    }
    return names;
}

// The case patterns of what a word is: the options that take a value (the word after them
// is that value) and what their values are; for each command its options; the commands; and
// for each kind of argument a synopsis names (COMPONENT, GROUP, COMMAND, CLASS, MESSAGE) the
// positions of the commands that take it and where its names come from.
struct Lists {
    std::vector<std::string> valueOptions;
    std::string valueCases;
    std::string optionCases;
    std::vector<std::string> commands;
    std::string argumentCases;
};

Lists MakeLists() {
    Lists lists;
    std::vector<std::string> otherValueOptions;
    for (const OptionDefinition& option : Options()) {
        if (!option.takesValue) {
            continue;
        }
        const std::string name(option.name);
        lists.valueOptions.push_back(name);
        if (!option.shortName.empty()) {
            lists.valueOptions.emplace_back(option.shortName);
        }
        if (name == "--socket") {
            // a file: the script's own case
        } else if (name == "--type") {
            lists.valueCases += "        --type) " + NamesOf(TypeNames()) + "; return ;;\n";
        } else if (name == "--class") {
            lists.valueCases +=
                "        --class) " + NamesOf({kAgentWindowClass}) + "; return ;;\n";
        } else {
            otherValueOptions.push_back(name);
            if (!option.shortName.empty()) {
                otherValueOptions.emplace_back(option.shortName);
            }
        }
    }
    if (!otherValueOptions.empty()) {
        lists.valueCases += "        " + Joined(otherValueOptions, "|") + ") return 1 ;;\n";
    }
    lists.optionCases = "            '') options='" + OptionWords(nullptr) + "' ;;\n";
    struct Kind {
        const char* word;
        std::string names;
        std::vector<std::string> positions;
    };
    std::vector<Kind> kinds{
        {"COMPONENT", "names=$(_dmicli_names components)", {}},
        {"GROUP", "names=$(_dmicli_names groups \"${words[1]}\")", {}},
        {"COMMAND", "", {}},
        {"CLASS", NamesOf({kAgentWindowClass}), {}},
        {"MESSAGE", NamesOf(MessageNames()), {}},
    };
    for (const CommandDefinition& command : Commands()) {
        if (command.hidden) {
            continue;
        }
        const std::string name = command.name;
        lists.commands.push_back(name);
        lists.optionCases +=
            "            " + name + ") options='" + OptionWords(&command) + "' ;;\n";
        const std::vector<std::string> arguments = ArgumentWords(command);
        for (size_t at = 0; at < arguments.size(); ++at) {
            for (Kind& kind : kinds) {
                // GROUP names the groups of the component before it.
                if (arguments[at] == kind.word &&
                    (arguments[at] != "GROUP" || (at == 1 && arguments[0] == "COMPONENT"))) {
                    kind.positions.push_back(name + ":" + std::to_string(at + 1));
                }
            }
        }
    }
    kinds[2].names = NamesOf(lists.commands);
    for (const Kind& kind : kinds) {
        if (!kind.positions.empty()) {
            lists.argumentCases +=
                "        " + Joined(kind.positions, "|") + ") " + kind.names + " ;;\n";
        }
    }
    return lists;
}

}  // namespace

std::string BashCompletion() {
    const Lists lists = MakeLists();
    std::string script =
        R"bash(# Bash completion for dmicli: its commands and options and their values, the installed
# components, the group names of the component typed before, the commands for help, and the
# agent's window class and messages. Written by `dmicli completion bash` from dmicli's command
# table; the build installs it as /usr/share/bash-completion/completions/dmicli. Component and
# group names come from dmicli itself, so they follow the service provider that is running,
# and match what is typed without regard to case, as dmicli matches them.

_dmicli_names() {  # _dmicli_names ARGS...: the "name" members of `dmicli --json ARGS`
    dmicli --json "$@" 2>/dev/null |
        sed -n 's/^ *"name": "\(.*\)",\{0,1\}$/\1/p'
}

# Sets `names` (one a line) to what the word being completed may be, from `command`, `words`
# and `current` of _dmicli; or fills COMPREPLY itself, or finds nothing, and returns 1.
_dmicli_candidates() {
    case ${COMP_WORDS[COMP_CWORD - 1]} in  # the value of an option
        --socket)
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$current"))
            return 1 ;;
)bash" + lists.valueCases +
        R"bash(    esac
    if [[ $current == -* ]]; then
        local options
        case $command in
)bash" + lists.optionCases +
        R"bash(            *) return 1 ;;
        esac
        COMPREPLY=($(IFS=' '; compgen -W "$options" -- "$current"))
        return 1
    fi
    if [[ -z $command ]]; then
        COMPREPLY=($(IFS=' '; compgen -W ")bash" +
        Joined(lists.commands, " ") + R"bash(" -- "$current"))
        return 1
    fi
    case $command:${#words[@]} in
)bash" + lists.argumentCases +
        R"bash(        *) return 1 ;;
    esac
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
    local names=''
    COMPREPLY=()
    _dmicli_candidates || return
    # Inside an open quote readline completes the text after the quote and closes it: the
    # match goes in as it is (in double quotes, with \ " $ ` escaped). A bare word gets
    # every special character escaped.
    local quote='' typed=${current//\\/}
    case $current in
        \"*) quote='"' typed=${current#\"} ;;
        \'*) quote="'" typed=${current#\'} ;;
    esac
    local list=() match
    [[ -n $names ]] && readarray -t list <<<"$names"
    for match in "${list[@]}"; do
        [[ ${match,,} == "${typed,,}"* ]] || continue
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

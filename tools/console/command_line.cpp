// Parsing and help of the console's command line: the option table, each option with what it
// makes of its value, and the help written from the command table.
#include "console/command_line.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "management/attribute_values.h"

namespace korvo::console {

using management::UsageError;

namespace {

constexpr double kShortestInterval = 0.1;

uint64_t ParseCount(std::string_view option, const std::string& text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        throw UsageError(std::string(option) + " takes a whole number, not \"" + text + "\"");
    }
    return value;
}

double ParseSeconds(std::string_view option, const std::string& text) {
    double value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value >= 0)) {
        throw UsageError(std::string(option) + " takes a number of seconds, not \"" + text + "\"");
    }
    return value;
}

// The short spellings are those of neighbouring tools among them (snmpget's -Ov and -On).
const OptionDefinition kOptions[] = {
    {"--help", "-h", false, true, [](CommandLine& line, const std::string&) { line.help = true; }},
    {"--version", "", false, true,
     [](CommandLine& line, const std::string&) { line.version = true; }},
    {"--json", "", false, true, [](CommandLine& line, const std::string&) { line.json = true; }},
    {"--socket", "", true, true,
     [](CommandLine& line, const std::string& value) { line.socketPath = value; }},
    {"--since", "", true, false,
     [](CommandLine& line, const std::string& value) {
         line.since = ParseCount("--since", value);
     }},
    {"--follow", "", false, false,
     [](CommandLine& line, const std::string&) { line.follow = true; }},
    {"--count", "", true, false,
     [](CommandLine& line, const std::string& value) {
         line.count = ParseCount("--count", value);
         if (*line.count == 0) {
             throw UsageError("--count is at least 1 (leave it out to go on until Ctrl-C)");
         }
     }},
    {"--timeout", "", true, false,
     [](CommandLine& line, const std::string& value) {
         line.timeoutSeconds = ParseSeconds("--timeout", value);
     }},
    {"--class", "", true, false,
     [](CommandLine& line, const std::string& value) { line.windowClass = value; }},
    {"--key", "", true, false,
     [](CommandLine& line, const std::string& value) { line.keys.push_back(value); }},
    {"--type", "", true, false,
     [](CommandLine& line, const std::string& value) { line.valueType = value; }},
    {"--rows", "", true, false,
     [](CommandLine& line, const std::string& value) { line.rows = ParseCount("--rows", value); }},
    {"--interval", "", true, false,
     [](CommandLine& line, const std::string& value) {
         line.intervalSeconds = ParseSeconds("--interval", value);
         if (*line.intervalSeconds < kShortestInterval) {
             throw UsageError("--interval is at least 0.1 seconds");
         }
     }},
    {"--lines", "-n", true, false,
     [](CommandLine& line, const std::string& value) { line.lines = ParseCount("-n", value); }},
    {"--value-only", "-Ov", false, false,
     [](CommandLine& line, const std::string&) { line.valueOnly = true; }},
    {"--numeric", "-On", false, false,
     [](CommandLine& line, const std::string&) { line.numeric = true; }},
};

// An option as given, with its value.
struct GivenOption {
    const OptionDefinition* definition;
    std::string value;
};

// The words of a command line sorted into options (with their values) and the rest.
struct Words {
    std::vector<GivenOption> options;
    std::vector<std::string> positionals;
};

// The option a word names, by its long name or its short spelling; throws UsageError when it
// names none.
const OptionDefinition& FindOption(const std::string& argument, const std::string& name) {
    for (const OptionDefinition& option : kOptions) {
        if (option.name == name || (!option.shortName.empty() && option.shortName == argument)) {
            return option;
        }
    }
    if (argument[1] != '-') {
        std::string known;
        for (const OptionDefinition& option : kOptions) {
            if (!option.shortName.empty()) {
                known += " " + std::string(option.shortName);
            }
        }
        throw UsageError("unknown option " + argument + " (the short options are" + known +
                         "; a negative key is a number, such as -1)");
    }
    throw UsageError("unknown option " + name);
}

Words SortWords(std::span<const std::string> arguments) {
    Words words;
    bool endOfOptions = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (endOfOptions || argument.size() < 2 || argument[0] != '-' ||
            (argument[1] >= '0' && argument[1] <= '9')) {
            words.positionals.push_back(argument);  // a negative number is a key, not an option
            continue;
        }
        if (argument == "--") {
            endOfOptions = true;
            continue;
        }
        const auto equals = argument[1] == '-' ? argument.find('=') : std::string::npos;
        const std::string name = argument.substr(0, equals);
        const OptionDefinition& option = FindOption(argument, name);
        std::string value;
        if (equals != std::string::npos) {
            if (!option.takesValue) {
                throw UsageError(name + " takes no value");
            }
            value = argument.substr(equals + 1);
        } else if (option.takesValue) {
            if (i + 1 >= arguments.size()) {
                throw UsageError(std::string(option.name) + " needs a value");
            }
            value = arguments[++i];
        }
        words.options.push_back({&option, std::move(value)});
    }
    return words;
}

// The options that go together only in some ways.
void CheckCombinations(const CommandLine& line, const std::string& usage) {
    if (line.command == "events" && (line.count || line.timeoutSeconds) && !line.follow) {
        throw UsageError("--count and --timeout go with events --follow");
    }
    if (line.valueOnly && line.numeric) {
        throw UsageError("--value-only and --numeric exclude each other" + usage);
    }
}

}  // namespace

std::span<const OptionDefinition> Options() {
    return kOptions;
}

const CommandDefinition* FindCommand(std::string_view name) {
    for (const CommandDefinition& definition : Commands()) {
        if (name == definition.name) {
            return &definition;
        }
    }
    return nullptr;
}

CommandLine ParseCommandLine(std::span<const std::string> arguments) {
    const Words words = SortWords(arguments);
    CommandLine line;
    if (!words.positionals.empty()) {
        line.command = words.positionals.front();
        line.arguments.assign(words.positionals.begin() + 1, words.positionals.end());
    }
    line.definition = line.command.empty() ? nullptr : FindCommand(line.command);
    if (!line.command.empty() && line.definition == nullptr) {
        throw UsageError("unknown command \"" + line.command + "\"");
    }
    // --help and --version answer whatever else the line holds.
    for (const GivenOption& given : words.options) {
        if (given.definition->global && !given.definition->takesValue) {
            given.definition->take(line, given.value);
        }
    }
    if (line.help || line.version) {
        return line;
    }
    const CommandDefinition* command = line.definition;
    if (command == nullptr) {
        throw UsageError("no command given");
    }
    const std::string usage = "\n" + *CommandUsage(line.command);
    if (line.arguments.size() < command->minArguments ||
        line.arguments.size() > command->maxArguments) {
        throw UsageError((line.arguments.size() < command->minArguments
                              ? "too few arguments for " + line.command
                              : "too many arguments for " + line.command) +
                         usage);
    }
    for (const GivenOption& given : words.options) {
        const OptionDefinition& option = *given.definition;
        if (!option.global && std::find(command->options.begin(), command->options.end(),
                                        option.name) == command->options.end()) {
            throw UsageError(std::string(option.name) + " is not an option of " + line.command +
                             usage);
        }
        option.take(line, given.value);
    }
    CheckCombinations(line, usage);
    return line;
}

std::string OverallHelp() {
    std::string help =
        "usage: dmicli [--socket PATH] [--json] COMMAND [ARGUMENTS]\n"
        "       dmicli --version\n"
        "\n"
        "The management console of the DMI service provider: reads and writes the attributes\n"
        "of the installed components, shows their events, and posts window messages to the\n"
        "agent.\n"
        "\n"
        "Commands:\n";
    size_t width = 0;
    for (const CommandDefinition& definition : Commands()) {
        if (!definition.hidden) {
            width = std::max(width, std::string_view(definition.name).size());
        }
    }
    for (const CommandDefinition& definition : Commands()) {
        if (definition.hidden) {
            continue;
        }
        help += "  " + std::string(definition.name) +
                std::string(width - std::string_view(definition.name).size() + 2, ' ') +
                definition.summary + "\n";
    }
    help +=
        "\n"
        "COMPONENT, GROUP and ATTRIBUTE are ids or names; a name matches without regard to\n"
        "case, and a part of a name is enough when it names only one thing.\n"
        "\n"
        "Options:\n"
        "  --socket PATH  the service provider's management socket (default:\n"
        "                 $WIN32DMIPATH/dmi.sock), or tcp:PORT for a loopback port\n"
        "                 (default when dmi.sock is missing: the port in dmi.port)\n"
        "  --json         print JSON for scripts: one document per command, one line per\n"
        "                 event with events --follow, sample with watch, log line with\n"
        "                 log --follow (see JSON below)\n"
        "  -h, --help     this help; \"dmicli COMMAND --help\" for a command's\n"
        "  --version      the version\n"
        "\n"
        "JSON: each command has one shape, whatever the number of attributes asked:\n"
        "  get, get-next  {\"op\", \"results\": [an entry per attribute]}, each entry with\n"
        "                 \"component\", \"group\", \"groupName\", \"attribute\",\n"
        "                 \"attributeName\", \"keys\", \"status\", \"statusName\", \"value\"\n"
        "                 when there is one, and for get-next \"instance\" (the row it\n"
        "                 answered, by its keys) or \"end\" (no row follows)\n"
        "  set            one such entry, with \"op\": \"set\" and the value sent\n"
        "  a value        {\"type\", \"typeName\", \"integer\" | \"text\" | \"hex\", "
        "\"display\"};\n"
        "                 a counter64 or integer64 also \"decimal\", the number as exact\n"
        "                 text (readers such as jq hold numbers as doubles, which round\n"
        "                 above 2^53)\n"
        "  a failure      {\"error\", \"exitStatus\"}, with \"status\" and \"statusName\" for a\n"
        "                 DMI status; every failure's message, a get's, get-next's or set's\n"
        "                 DMI status too, is also written to standard error\n"
        "Times are ISO 8601 with their offset.\n"
        "\n"
        "Environment:\n"
        "  WIN32DMIPATH   the service provider's directory: its socket dmi.sock, its log\n"
        "  KORVO_ROOT     where the agent's window is reached (post-timer, post-message;\n"
        "                 default $XDG_RUNTIME_DIR/korvo, else /tmp/korvo-UID)\n"
        "\n"
        "Files:\n"
        "  $WIN32DMIPATH/dmi.sock  the service provider's management socket\n"
        "  $WIN32DMIPATH/dmi.port  its loopback port, when it listens on one\n"
        "  $WIN32DMIPATH/sp.log    the service provider's log (dmicli log); its lines carry\n"
        "                          DMI timestamps, which dmicli log shows as ISO 8601\n"
        "\n"
        "Examples:\n"
        "    $ dmicli components\n"
        "    $ dmicli get 1 4 2\n"
        "    $ dmicli walk korvo --rows 2\n"
        "    $ dmicli watch 1 4 6,7 --interval 0.5 --count 2\n"
        "    $ dmicli --json get 1 4 2 | jq -r '.results[0].value.display'\n"
        "\n"
        "Exit status:\n"
        "  0  success\n"
        "  1  the service provider answered with a DMI status other than 0, or the component,\n"
        "     group or attribute named does not exist\n"
        "  2  usage error: unknown command or option, wrong arguments, a bad key or value\n"
        "  3  the service provider or the window cannot be reached\n"
        "\n"
        "See also:\n"
        "  dmi-snmp(1), korvoci(1), korvo-adapter(1)\n";
    return help;
}

std::optional<std::string> CommandUsage(std::string_view command) {
    const CommandDefinition* definition = FindCommand(command);
    if (definition == nullptr) {
        return std::nullopt;
    }
    return std::string("usage: dmicli [--socket PATH] [--json] ") + definition->synopsis;
}

std::optional<std::string> CommandHelp(std::string_view command) {
    const CommandDefinition* definition = FindCommand(command);
    if (definition == nullptr) {
        return std::nullopt;
    }
    if (command == "help") {
        return OverallHelp();
    }
    std::string help = *CommandUsage(command) + "\n\n" + definition->details;
    return help;
}

}  // namespace korvo::console

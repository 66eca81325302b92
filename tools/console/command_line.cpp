// Parsing and help of the console's command line.
#include "console/command_line.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "console/attribute_values.h"

namespace korvo::console {

namespace {

constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();

struct CommandDefinition {
    Command id;
    const char* name;
    size_t minArguments;
    size_t maxArguments;
    std::vector<std::string_view> options;  // beyond the global ones
    const char* synopsis;
    const char* summary;
    const char* details;
};

const std::vector<CommandDefinition>& Commands() {
    static const std::vector<CommandDefinition> commands = {
        {Command::Components,
         "components",
         0,
         0,
         {},
         "components",
         "list the installed components",
         "Lists every component in the service provider's database: id, name, description.\n"
         "\n"
         "Example:\n"
         "  dmicli components\n"},
        {Command::Groups,
         "groups",
         1,
         1,
         {},
         "groups COMPONENT",
         "list a component's groups",
         "Lists the groups of a component from its MIF: id, name, class and key attributes\n"
         "(a group with keys is a table).\n"
         "\n"
         "Example:\n"
         "  dmicli groups korvo\n"},
        {Command::Attributes,
         "attributes",
         2,
         2,
         {},
         "attributes COMPONENT GROUP",
         "list a group's attributes",
         "Lists the attributes of a group from its MIF: id, name, type, access, whether the\n"
         "attribute is one of the group's keys, and the names of enumerated values.\n"
         "\n"
         "Example:\n"
         "  dmicli attributes 1 4\n"},
        {Command::Get,
         "get",
         3,
         kUnbounded,
         {},
         "get COMPONENT GROUP ATTRIBUTE [KEY...]",
         "read one attribute",
         "Reads one attribute of one row. The keys select the row of a table; a group\n"
         "without keys needs none.\n"
         "\n"
         "KEY is a number (decimal, 0x hexadecimal, or negative: -1 and 4294967295 are the\n"
         "same 32-bit key), s:TEXT for a display-string key, or x:HEX for an octet-string key.\n"
         "\n"
         "Exit status 1 when the service provider answers with a DMI status other than 0; the\n"
         "status is shown by name.\n"
         "\n"
         "Examples:\n"
         "  dmicli get 1 4 2\n"
         "  dmicli get korvo \"multicast\" 4 3\n"},
        {Command::GetNext,
         "get-next",
         3,
         kUnbounded,
         {},
         "get-next COMPONENT GROUP ATTRIBUTE [KEY...]",
         "read the attribute of the row after the keys",
         "Reads one attribute of the row that follows the row the keys select (no keys: the\n"
         "row after the first). KEY as for get.\n"
         "\n"
         "Example:\n"
         "  dmicli get-next 1 5 4 1\n"},
        {Command::Walk,
         "walk",
         1,
         2,
         {},
         "walk COMPONENT [GROUP]",
         "read every attribute of a component or one group",
         "Reads every readable attribute of every group of the component, or of one group.\n"
         "A table (a group with keys) is read row by row with first-key values 1, 2, 3, ...\n"
         "(further keys are given as 1) until the status \"row not found\". It also stops at\n"
         "a row where no attribute has a value, at a row that answers exactly as the one\n"
         "before (the keys select nothing), and after 10000 rows. Other statuses are shown\n"
         "by name on the attribute's line and the walk goes on.\n"
         "\n"
         "Examples:\n"
         "  dmicli walk korvo\n"
         "  dmicli walk 1 5\n"},
        {Command::Set,
         "set",
         4,
         4,
         {"--key", "--type"},
         "set COMPONENT GROUP ATTRIBUTE [--key KEY...] [--type TYPE] VALUE",
         "write one attribute",
         "Writes one attribute. VALUE is read by the attribute's MIF type: a number for the\n"
         "integer and counter types (or the name of an enumerated value), text for display\n"
         "strings and dates, hexadecimal digits for octet strings. --key KEY, once per key,\n"
         "selects the row of a table (KEY as for get). --type TYPE sends the value as another\n"
         "MIF type (integer, integer64, counter, counter64, gauge, displaystring,\n"
         "octetstring), for instrumentation that takes a narrower type than it reports. Use\n"
         "-- before a VALUE that begins with --.\n"
         "\n"
         "Exit status 1 when the service provider answers with a DMI status other than 0.\n"
         "\n"
         "Examples:\n"
         "  dmicli set 1 14 1 --key 3 77\n"
         "  dmicli set 1 14 2 --key 3 --type integer 1500\n"},
        {Command::Events,
         "events",
         0,
         0,
         {"--since", "--follow", "--count", "--timeout"},
         "events [--since N] [--follow [--count N] [--timeout SECONDS]]",
         "show the event log, or follow new events",
         "Without --follow: shows the events in the service provider's log with a sequence\n"
         "number greater than N (all of them by default).\n"
         "\n"
         "With --follow: shows each event as it is originated, until interrupted, until\n"
         "--count N events were shown, or until --timeout SECONDS pass. Only new events are\n"
         "shown unless --since N asks for the logged events after N first. When --count N\n"
         "events have not all arrived before the timeout, the exit status is 1. With --json\n"
         "each event is one line of JSON.\n"
         "\n"
         "Examples:\n"
         "  dmicli events\n"
         "  dmicli events --follow --count 1 --timeout 10\n"},
        {Command::Stats,
         "stats",
         0,
         0,
         {},
         "stats",
         "the service provider's memory tracking and registered instrumentation",
         "Shows the service provider's tracking of the memory blocks it hands out\n"
         "(outstanding, allocated, freed, bad frees, and the outstanding blocks) and the\n"
         "components whose instrumentation is registered.\n"
         "\n"
         "Example:\n"
         "  dmicli stats\n"},
        {Command::PostTimer,
         "post-timer",
         0,
         0,
         {"--class"},
         "post-timer [--class CLASS]",
         "post WM_TIMER to the agent's window",
         "Posts WM_TIMER (0x0113, wParam 0, lParam 0) to the top-level window of class CLASS\n"
         "(KORVO, the agent's, by default) through its socket $KORVO_ROOT/windows/CLASS: the\n"
         "agent then checks for a failover at once.\n"
         "\n"
         "Exit status 3 when no such window exists.\n"
         "\n"
         "Example:\n"
         "  dmicli post-timer\n"},
        {Command::PostMessage,
         "post-message",
         2,
         4,
         {},
         "post-message CLASS MESSAGE [WPARAM [LPARAM]]",
         "post any window message",
         "Posts a window message to the top-level window of class CLASS. MESSAGE is a number\n"
         "or one of WM_CLOSE, WM_QUIT, WM_ENDSESSION, WM_TIMER, WM_USER; WPARAM and LPARAM\n"
         "are numbers (decimal or 0x hexadecimal; 0 when left out).\n"
         "\n"
         "Exit status 3 when no such window exists.\n"
         "\n"
         "Example:\n"
         "  dmicli post-message KORVO WM_TIMER 0 0\n"},
        {Command::Help, "help", 0, 1, {}, "help [COMMAND]", "show this help, or a command's", ""},
    };
    return commands;
}

struct OptionDefinition {
    std::string_view name;
    bool takesValue;
};

constexpr OptionDefinition kOptions[] = {
    {"--help", false},   {"--json", false}, {"--socket", true},  {"--since", true},
    {"--follow", false}, {"--count", true}, {"--timeout", true}, {"--class", true},
    {"--key", true},     {"--type", true},
};

constexpr std::string_view kGlobalOptions[] = {"--help", "--json", "--socket"};

const CommandDefinition* FindCommand(std::string_view name) {
    for (const CommandDefinition& definition : Commands()) {
        if (name == definition.name) {
            return &definition;
        }
    }
    return nullptr;
}

uint64_t ParseCount(std::string_view option, const std::string& text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        throw UsageError(std::string(option) + " takes a whole number, not \"" + text + "\"");
    }
    return value;
}

double ParseSeconds(const std::string& text) {
    double value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value >= 0)) {
        throw UsageError("--timeout takes a number of seconds, not \"" + text + "\"");
    }
    return value;
}

}  // namespace

CommandLine ParseCommandLine(std::span<const std::string> arguments) {
    CommandLine line;
    std::vector<std::pair<std::string_view, std::string>> options;
    bool endOfOptions = false;
    std::vector<std::string> positionals;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (endOfOptions || argument.size() < 2 || argument[0] != '-' ||
            (argument[1] != '-' && argument != "-h")) {
            positionals.push_back(argument);  // a negative number is a key, not an option
            continue;
        }
        if (argument == "--") {
            endOfOptions = true;
            continue;
        }
        const std::string given = argument == "-h" ? "--help" : argument;
        const auto equals = given.find('=');
        const std::string name = given.substr(0, equals);
        const auto definition =
            std::find_if(std::begin(kOptions), std::end(kOptions),
                         [&](const OptionDefinition& o) { return o.name == name; });
        if (definition == std::end(kOptions)) {
            throw UsageError("unknown option " + name);
        }
        std::string value;
        if (equals != std::string::npos) {
            if (!definition->takesValue) {
                throw UsageError(name + " takes no value");
            }
            value = given.substr(equals + 1);
        } else if (definition->takesValue) {
            if (i + 1 >= arguments.size()) {
                throw UsageError(name + " needs a value");
            }
            value = arguments[++i];
        }
        options.emplace_back(definition->name, std::move(value));
    }

    if (!positionals.empty()) {
        line.command = positionals.front();
        line.arguments.assign(positionals.begin() + 1, positionals.end());
    }
    const CommandDefinition* command = line.command.empty() ? nullptr : FindCommand(line.command);
    if (!line.command.empty() && command == nullptr) {
        throw UsageError("unknown command \"" + line.command + "\"");
    }
    line.id = command != nullptr ? command->id : Command::None;
    for (const auto& [name, value] : options) {
        if (name == "--help") {
            line.help = true;
        }
    }
    if (line.help) {
        return line;
    }
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
    for (const auto& [name, value] : options) {
        const bool global = std::find(std::begin(kGlobalOptions), std::end(kGlobalOptions), name) !=
                            std::end(kGlobalOptions);
        if (!global && std::find(command->options.begin(), command->options.end(), name) ==
                           command->options.end()) {
            throw UsageError(std::string(name) + " is not an option of " + line.command + usage);
        }
        if (name == "--json") {
            line.json = true;
        } else if (name == "--socket") {
            line.socketPath = value;
        } else if (name == "--since") {
            line.since = ParseCount(name, value);
        } else if (name == "--follow") {
            line.follow = true;
        } else if (name == "--count") {
            line.count = ParseCount(name, value);
        } else if (name == "--timeout") {
            line.timeoutSeconds = ParseSeconds(value);
        } else if (name == "--class") {
            line.windowClass = value;
        } else if (name == "--key") {
            line.keys.push_back(value);
        } else if (name == "--type") {
            line.valueType = value;
        }
    }
    if ((line.count || line.timeoutSeconds) && !line.follow) {
        throw UsageError("--count and --timeout go with events --follow");
    }
    return line;
}

std::string OverallHelp() {
    std::string help =
        "usage: dmicli [--socket PATH] [--json] COMMAND [ARGUMENTS]\n"
        "\n"
        "The management console of the DMI service provider: reads and writes the attributes\n"
        "of the installed components, shows their events, and posts window messages to the\n"
        "agent.\n"
        "\n"
        "Commands:\n";
    size_t width = 0;
    for (const CommandDefinition& definition : Commands()) {
        width = std::max(width, std::string_view(definition.name).size());
    }
    for (const CommandDefinition& definition : Commands()) {
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
        "                 event with events --follow\n"
        "  -h, --help     this help; \"dmicli COMMAND --help\" for a command's\n"
        "\n"
        "Exit status:\n"
        "  0  success\n"
        "  1  the service provider answered with a DMI status other than 0, or the component,\n"
        "     group or attribute named does not exist\n"
        "  2  usage error: unknown command or option, wrong arguments, a bad key or value\n"
        "  3  the service provider or the window cannot be reached\n";
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

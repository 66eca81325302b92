// Parsing and help of the console's command line.
#include "console/command_line.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "management/attribute_values.h"

namespace korvo::console {

using management::UsageError;

namespace {

constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();
constexpr double kShortestInterval = 0.1;

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
         {"--value-only", "--numeric"},
         "get COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...] [--value-only | --numeric]",
         "read attributes of one row",
         "Reads one or more attributes (ids or names, separated by commas) of one row. The\n"
         "keys select the row of a table; a group without keys needs none.\n"
         "\n"
         "KEY is a number (decimal, 0x hexadecimal, or negative: -1 and 4294967295 are the\n"
         "same 32-bit key), s:TEXT for a display-string key, or x:HEX for an octet-string key.\n"
         "\n"
         "--value-only (-Ov) prints only each value, one a line; --numeric (-On) names each\n"
         "attribute by its ids, COMPONENT.GROUP.ATTRIBUTE[KEYS], instead of its names.\n"
         "\n"
         "Exit status 1 when the service provider answers with a DMI status other than 0; the\n"
         "status is shown by name.\n"
         "\n"
         "Examples:\n"
         "  dmicli get 1 4 2\n"
         "  dmicli get korvo address 4 2\n"
         "  dmicli get korvo adapter 1,2 --value-only\n"},
        {Command::GetNext,
         "get-next",
         3,
         kUnbounded,
         {"--value-only", "--numeric"},
         "get-next COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...] [--value-only | --numeric]",
         "read attributes of the row after the keys",
         "Reads attributes of the row that follows the row the keys select (no keys: the\n"
         "row after the first), and names that row by its keys, which the table's key\n"
         "attributes answer. When no row follows, it says so: the end of the table (or of\n"
         "a group of one row), with exit status 1. KEY and the options as for get.\n"
         "\n"
         "Example:\n"
         "  dmicli get-next 1 5 4 1\n"},
        {Command::Walk,
         "walk",
         1,
         2,
         {"--rows"},
         "walk COMPONENT [GROUP] [--rows N]",
         "read every attribute of a component or one group",
         "Reads every readable attribute of every group of the component, or of one group.\n"
         "A table (a group with keys) is read row by row with first-key values 1, 2, 3, ...\n"
         "(further keys are given as 1) until the status \"row not found\". It also stops at\n"
         "a row where no attribute has a value, at a row that answers exactly as the one\n"
         "before (the keys select nothing), and after 10000 rows. A key attribute that\n"
         "cannot be read stops the table's walk there, with its status, and the exit\n"
         "status is 1. Other statuses are shown by name on the attribute's line and the\n"
         "walk goes on.\n"
         "\n"
         "--rows N shows only the first N and the last N rows of each table, with the\n"
         "number of rows left out.\n"
         "\n"
         "Examples:\n"
         "  dmicli walk korvo --rows 2\n"
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
         "strings and dates, hexadecimal digits for octet strings; a number outside the\n"
         "type's range is refused (integer: -2147483648 to 2147483647). --key KEY, once per\n"
         "key, selects the row of a table (KEY as for get); a table's attribute needs it.\n"
         "--type TYPE sends the value as another MIF type (integer, integer64, counter,\n"
         "counter64, gauge, displaystring, octetstring), for instrumentation that takes a\n"
         "narrower type than it reports; a number sent narrower than the attribute reads\n"
         "must read back as itself (integer into integer64: 0 to 2147483647). Use -- before\n"
         "a VALUE that begins with --.\n"
         "\n"
         "Exit status 1 when the service provider answers with a DMI status other than 0;\n"
         "when it refuses a 64-bit value's size, the message gives the --type to use.\n"
         "\n"
         "Examples:\n"
         "  dmicli set 1 14 1 --key 3 3\n"
         "  dmicli set 1 14 2 --key 3 --type integer 1500\n"},
        {Command::Watch,
         "watch",
         3,
         kUnbounded,
         {"--interval", "--count", "--numeric"},
         "watch COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...] [--interval SECONDS] "
         "[--count N]",
         "sample attributes at an interval, with each counter's rate",
         "Reads the attributes (as for get) every --interval SECONDS (1 by default) and\n"
         "shows each value; for a counter also its rate per second since the sample before.\n"
         "A 32-bit counter that went down is taken to have wrapped and shown so; a 64-bit\n"
         "counter that went down was reset and shows no rate. It ends after --count N\n"
         "samples, or on Ctrl-C. When the service provider goes away, watch says so once\n"
         "and carries on when it is back; the samples it could not read are left out.\n"
         "With --json each sample is one line of JSON.\n"
         "\n"
         "Example:\n"
         "  dmicli watch korvo adapter 6,7 --interval 0.5 --count 3\n"},
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
         "events have not all arrived before the timeout, the exit status is 1. When the\n"
         "service provider goes away, it says so once and carries on from the last event\n"
         "shown when it is back. With --json each event is one line of JSON.\n"
         "\n"
         "Examples:\n"
         "  dmicli events\n"
         "  dmicli events --follow --timeout 1\n"},
        {Command::Log,
         "log",
         0,
         0,
         {"--lines", "--follow"},
         "log [-n N] [--follow]",
         "show the service provider's log",
         "Shows the last N lines (20 by default) of the service provider's log,\n"
         "$WIN32DMIPATH/sp.log: registrations and unregistrations of instrumentation, calls\n"
         "it refused and their status, callbacks that answered an error, and callbacks slower\n"
         "than a second. --follow then shows each line as it is written, until interrupted.\n"
         "\n"
         "Example:\n"
         "  dmicli log -n 5\n"},
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
    {"--help", false},    {"--version", false}, {"--json", false},       {"--socket", true},
    {"--since", true},    {"--follow", false},  {"--count", true},       {"--timeout", true},
    {"--class", true},    {"--key", true},      {"--type", true},        {"--rows", true},
    {"--interval", true}, {"--lines", true},    {"--value-only", false}, {"--numeric", false},
};

// Short spellings, those of neighbouring tools among them (snmpget's -Ov and -On).
constexpr std::pair<std::string_view, std::string_view> kShortOptions[] = {
    {"-h", "--help"}, {"-n", "--lines"}, {"-Ov", "--value-only"}, {"-On", "--numeric"}};

constexpr std::string_view kGlobalOptions[] = {"--help", "--version", "--json", "--socket"};

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

double ParseSeconds(std::string_view option, const std::string& text) {
    double value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value >= 0)) {
        throw UsageError(std::string(option) + " takes a number of seconds, not \"" + text + "\"");
    }
    return value;
}

std::string_view LongName(std::string_view argument) {
    for (const auto& [shortName, longName] : kShortOptions) {
        if (argument == shortName) {
            return longName;
        }
    }
    return argument;
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
            (argument[1] >= '0' && argument[1] <= '9')) {
            positionals.push_back(argument);  // a negative number is a key, not an option
            continue;
        }
        if (argument[1] != '-' && LongName(argument) == argument) {
            std::string known;
            for (const auto& [shortName, longName] : kShortOptions) {
                known += " " + std::string(shortName);
            }
            throw UsageError("unknown option " + argument + " (the short options are" + known +
                             "; a negative key is a number, such as -1)");
        }
        if (argument == "--") {
            endOfOptions = true;
            continue;
        }
        const std::string given(LongName(argument));
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
        } else if (name == "--version") {
            line.version = true;
        } else if (name == "--json") {
            line.json = true;
        }
    }
    if (line.help || line.version) {
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
        if (name == "--socket") {
            line.socketPath = value;
        } else if (name == "--since") {
            line.since = ParseCount(name, value);
        } else if (name == "--follow") {
            line.follow = true;
        } else if (name == "--count") {
            line.count = ParseCount(name, value);
            if (*line.count == 0) {
                throw UsageError("--count is at least 1 (leave it out to go on until Ctrl-C)");
            }
        } else if (name == "--timeout") {
            line.timeoutSeconds = ParseSeconds(name, value);
        } else if (name == "--interval") {
            line.intervalSeconds = ParseSeconds(name, value);
            if (*line.intervalSeconds < kShortestInterval) {
                throw UsageError("--interval is at least 0.1 seconds");
            }
        } else if (name == "--lines") {
            line.lines = ParseCount("-n", value);
        } else if (name == "--rows") {
            line.rows = ParseCount(name, value);
        } else if (name == "--value-only") {
            line.valueOnly = true;
        } else if (name == "--numeric") {
            line.numeric = true;
        } else if (name == "--class") {
            line.windowClass = value;
        } else if (name == "--key") {
            line.keys.push_back(value);
        } else if (name == "--type") {
            line.valueType = value;
        }
    }
    if (line.id == Command::Events && (line.count || line.timeoutSeconds) && !line.follow) {
        throw UsageError("--count and --timeout go with events --follow");
    }
    if (line.valueOnly && line.numeric) {
        throw UsageError("--value-only and --numeric exclude each other" + usage);
    }
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
        "Exit status:\n"
        "  0  success\n"
        "  1  the service provider answered with a DMI status other than 0, or the component,\n"
        "     group or attribute named does not exist\n"
        "  2  usage error: unknown command or option, wrong arguments, a bad key or value\n"
        "  3  the service provider or the window cannot be reached\n";
    return help;
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const CommandDefinition& definition : Commands()) {
        names.emplace_back(definition.name);
    }
    return names;
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

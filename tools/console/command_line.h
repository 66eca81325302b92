// The console's command line: which command, its arguments and options, and the help that
// documents them. Parsing checks everything that can be checked without the service provider.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvo::console {

// The console's commands; their names, arguments, options and help are one table in
// command_line.cpp.
enum class Command {
    None,
    Components,
    Groups,
    Attributes,
    Get,
    GetNext,
    Walk,
    Set,
    Watch,
    Events,
    Log,
    Stats,
    PostTimer,
    PostMessage,
    Help,
};

struct CommandLine {
    std::string command;  // its name as typed; empty when none was given
    Command id = Command::None;
    std::vector<std::string> arguments;
    bool help = false;
    bool version = false;
    bool json = false;
    bool valueOnly = false;  // --value-only (-Ov): only the values
    bool numeric = false;    // --numeric (-On): ids where names would be
    std::string socketPath;  // --socket; empty: $WIN32DMIPATH/dmi.sock

    // events, log, watch
    std::optional<uint64_t> since;
    bool follow = false;
    std::optional<uint64_t> count;
    std::optional<double> timeoutSeconds;
    std::optional<double> intervalSeconds;
    std::optional<uint64_t> lines;

    // walk: the first and last rows of each table to show
    std::optional<uint64_t> rows;

    // post-timer
    std::optional<std::string> windowClass;

    // set
    std::vector<std::string> keys;
    std::optional<std::string> valueType;  // --type: the MIF type name to send instead
};

// Throws UsageError for an unknown command or option, an option the command does not take, a
// missing option value, or a wrong number of arguments. With --help only the command's name
// is checked.
CommandLine ParseCommandLine(std::span<const std::string> arguments);

// The overall help, and one command's help (nothing for a command that does not exist).
std::string OverallHelp();
std::optional<std::string> CommandHelp(std::string_view command);
// The one-line synopsis of a command, "usage: dmicli get ...".
std::optional<std::string> CommandUsage(std::string_view command);
// The names of the commands, in the order the help lists them.
std::vector<std::string> CommandNames();

}  // namespace korvo::console

// The console's command line: which command, its arguments and options, and the help that
// documents them. Parsing checks everything that can be checked without the service provider.
// The commands are the rows of the command table (command_table.cpp), the options the rows of
// the option table (command_line.cpp); help and completion are written from both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvo::console {

class Console;
struct CommandDefinition;

struct CommandLine {
    std::string command;                            // its name as typed; empty when none was given
    const CommandDefinition* definition = nullptr;  // its row; null when none was given
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

// One option: how it is spelt, and what it makes of the command line.
struct OptionDefinition {
    std::string_view name;       // "--name"
    std::string_view shortName;  // "-n", or empty
    bool takesValue;
    bool global;  // taken by every command (and before any)
    // Puts the option, with its value when it takes one, into the command line; throws
    // UsageError for a value it cannot be.
    void (*take)(CommandLine& line, const std::string& value);
};

// One command: its name, arguments, options, help, and the Console function that runs it.
struct CommandDefinition {
    const char* name;
    size_t minArguments;
    size_t maxArguments;
    std::vector<std::string_view> options;  // long names, beyond the global ones
    const char* synopsis;                   // after "dmicli [--socket PATH] [--json] "
    const char* summary;                    // its line in the overall help
    const char* details;                    // its help after the synopsis
    int (Console::*run)();
    bool hidden = false;  // left out of the overall help and the completion's commands
};

// The commands, in the order the help lists them (command_table.cpp).
const std::vector<CommandDefinition>& Commands();
// The options, global and not (command_line.cpp).
std::span<const OptionDefinition> Options();
// The row of a command; null for a name that is none.
const CommandDefinition* FindCommand(std::string_view name);

// Throws UsageError for an unknown command or option, an option the command does not take, a
// missing option value, or a wrong number of arguments. With --help only the command's name
// is checked.
CommandLine ParseCommandLine(std::span<const std::string> arguments);

// The overall help, and one command's help (nothing for a command that does not exist).
std::string OverallHelp();
std::optional<std::string> CommandHelp(std::string_view command);
// The one-line synopsis of a command, "usage: dmicli get ...".
std::optional<std::string> CommandUsage(std::string_view command);

}  // namespace korvo::console

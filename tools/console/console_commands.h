// The console run as a whole: a command line in, its output, its errors and an exit status
// out. The commands themselves are the rows of the command table (command_line.h).
#pragma once

#include <ostream>
#include <span>
#include <string>

namespace korvo::console {

// Exit statuses scripts can test.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitDmiStatus = 1,    // a DMI status other than 0, or a named thing that does not exist
    kExitUsage = 2,        // the command line is wrong
    kExitUnreachable = 3,  // the service provider or the window cannot be reached
};

// Runs one command line (without the program name), writing results to `out` and errors to
// `err`; returns the exit status.
int RunConsole(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

}  // namespace korvo::console

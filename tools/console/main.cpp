// dmicli, the management console: hands the command line to RunConsole and exits with the
// status it returns.
#include <iostream>
#include <string>
#include <vector>

#include "console/console_commands.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return korvo::console::RunConsole(arguments, std::cout, std::cerr);
}

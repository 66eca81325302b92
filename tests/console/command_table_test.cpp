// The command and option tables agree: a command's row names only options the option table
// parses, and each such option reaches the command line of that command.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "console/command_line.h"

namespace korvo::console {
namespace {

TEST(CommandTable, EveryOptionOfACommandIsParsedForIt) {
    const auto options = Options();
    for (const CommandDefinition& command : Commands()) {
        EXPECT_NE(command.run, nullptr) << command.name;
        for (const std::string_view name : command.options) {
            const auto option =
                std::find_if(options.begin(), options.end(),
                             [&](const OptionDefinition& o) { return o.name == name; });
            ASSERT_NE(option, options.end()) << command.name << " names " << name;
            EXPECT_FALSE(option->global) << command.name << " names the global " << name;
            // Given with a value it accepts, the option is taken for this command.
            std::vector<std::string> line{command.name};
            for (size_t i = 0; i < command.minArguments; ++i) {
                line.push_back("1");
            }
            line.push_back(std::string(name));
            if (option->takesValue) {
                line.push_back("1");
            }
            const bool follows = std::find(command.options.begin(), command.options.end(),
                                           "--follow") != command.options.end();
            if (follows && (name == "--count" || name == "--timeout")) {
                line.push_back("--follow");  // events takes them only with it
            }
            EXPECT_NO_THROW(ParseCommandLine(line)) << command.name << " " << name;
        }
    }
}

}  // namespace
}  // namespace korvo::console

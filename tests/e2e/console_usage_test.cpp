// The tools as an administrator meets them on a running machine: every example their help
// gives runs, each refusal exits with its status and says what to do instead, and every tool
// tells its version.
#include <iomanip>
#include <sstream>

#include "machine.h"

namespace korvo::e2e {
namespace {

using EndToEndConsoleUsage = MachineTest;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The words of an example line, with "quoted words" kept whole.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> std::quoted(word)) {
        words.push_back(word);
    }
    return words;
}

// Every "  dmicli ..." line of the console's overall help and of each command's help.
std::vector<std::vector<std::string>> HelpExamples(Machine& machine) {
    std::vector<std::vector<std::string>> examples;
    const std::string overall = machine.Console({"--help"}).out;
    std::istringstream commands(overall.substr(overall.find("Commands:")));
    std::string line;
    std::getline(commands, line);
    while (std::getline(commands, line) && !line.empty()) {
        const std::string help = machine.Console({"help", Words(line).at(0)}).out;
        std::istringstream lines(help);
        for (std::string example; std::getline(lines, example);) {
            if (example.starts_with("  dmicli ")) {
                std::vector<std::string> words = Words(example);
                words.erase(words.begin());
                examples.push_back(std::move(words));
            }
        }
    }
    return examples;
}

TEST_F(EndToEndConsoleUsage, EveryHelpExampleRuns) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const auto examples = HelpExamples(machine_);
    EXPECT_GE(examples.size(), 10u);  // a broken parse of the help would test nothing
    for (const auto& example : examples) {
        std::string shown;
        for (const std::string& word : example) {
            shown += " " + word;
        }
        const RunResult run = machine_.Console(example);
        EXPECT_EQ(run.exitCode, 0) << "dmicli" << shown << "\n" << run.out << run.err;
    }
}

TEST_F(EndToEndConsoleUsage, RefusalsExitWithTheirStatusAndSayWhatToDo) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;  // in standard error
    };
    const Case cases[] = {
        {{"get", "foo", "4", "2"}, 1, "no component is named \"foo\""},
        {{"get", "1", "4", "2", "--bogus"}, 2, "unknown option --bogus"},
        {{"--socket", "/nonexistent", "components"}, 3, "give --socket that path"},
        {{"set", "1", "14", "2", "5"}, 2, "is a table: give the row to write with --key"},
        {{"set", "1", "14", "2", "--key", "3", "--type", "integer", "-5"},
         2,
         "reads back as 4294967291; give 0 to 2147483647"},
        {{"set", "1", "13", "1", "--key", "1", "2147483648"}, 2, "within the type's range"},
        {{"get-next", "1", "5", "4", "3"}, 1, ""},
        {{"get", "1", "4", "2", "-Ov", "-On"}, 2, "exclude each other"},
        {{"watch", "1", "4", "6", "--interval", "0.01"}, 2, "at least 0.1 seconds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " ... " + c.args.back());
        const RunResult run = machine_.Console(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }

    // Where the message would not help a script, the answer itself says what happened.
    const RunResult end = machine_.Console({"get-next", "1", "5", "4", "3"});
    EXPECT_TRUE(Contains(end.out, "Address Table.Address[3]: end of the table")) << end.out;
    const RunResult narrower = machine_.Console({"set", "1", "14", "2", "--key", "3", "1600"});
    EXPECT_EQ(narrower.exitCode, 1);
    EXPECT_TRUE(Contains(narrower.out, "dmicli set 1 14 2 --key 3 --type integer 1600"))
        << narrower.out;
    // With --json the failure is a document on standard output too.
    RunResult run;
    const Json failed = machine_.ConsoleJson({"get", "foo", "4", "2"}, &run);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(failed["statusName"], "component not found") << run.out;
    EXPECT_EQ(failed["exitStatus"], 1);
    EXPECT_TRUE(Contains(run.err, "no component is named")) << run.err;
}

TEST_F(EndToEndConsoleUsage, GetNextNamesTheRowItAnswered) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const RunResult next = machine_.Console({"get-next", "1", "5", "4", "1"});
    EXPECT_EQ(next.exitCode, 0) << next.err;
    EXPECT_TRUE(next.out.starts_with("Address Table.Address[2] = ")) << next.out;
    const Json document = machine_.ConsoleReading({"get-next", "1", "5", "4", "1"});
    EXPECT_EQ(document["instance"]["keys"][0]["integer"], 2) << document.dump(2);
}

TEST_F(EndToEndConsoleUsage, EveryToolTellsItsVersionAndKorvociItsUse) {
    std::vector<std::string> programs = {KORVO_CONSOLE_BINARY, KORVO_ADAPTER_BINARY,
                                         KORVO_AGENT_BINARY};
#ifdef KORVO_SNMP_BINARY  // built where Net-SNMP's agent library is installed
    programs.push_back(KORVO_SNMP_BINARY);
#endif
    for (const std::string& program : programs) {
        const RunResult version = machine_.Run(program, {"--version"});
        EXPECT_EQ(version.exitCode, 0) << program << version.err;
        EXPECT_TRUE(Contains(version.out, " " KORVO_VERSION "\n")) << program << version.out;
    }
    // Asked for help, the agent explains itself instead of starting.
    const RunResult help =
        machine_.Run(KORVO_AGENT_BINARY, {"--help"}, {}, std::chrono::seconds(5));
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_TRUE(help.out.starts_with("usage: korvoci")) << help.out;
    EXPECT_FALSE(machine_.WaitUntilRegistered(std::chrono::milliseconds(200)));

    // An argument it does not know, mistyped or not, gets the usage line and starts nothing,
    // whether or not an agent already runs.
    for (bool agentRunning : {false, true}) {
        if (agentRunning) {
            ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
        }
        for (const char* argument : {"--hlep", "--bogus", "-x", "start"}) {
            SCOPED_TRACE(std::string(argument) + (agentRunning ? " beside an agent" : ""));
            const RunResult unknown =
                machine_.Run(KORVO_AGENT_BINARY, {argument}, {}, std::chrono::seconds(5));
            EXPECT_EQ(unknown.exitCode, 2) << unknown.err;
            EXPECT_TRUE(Contains(unknown.err, argument)) << unknown.err;
            EXPECT_TRUE(Contains(unknown.err, "usage: korvoci")) << unknown.err;
        }
        EXPECT_EQ(machine_.WaitUntilRegistered(std::chrono::milliseconds(100)), agentRunning);
    }

    const RunResult unknownCode = machine_.Run(KORVO_ADAPTER_BINARY, {"fail", "999", "status"});
    EXPECT_EQ(unknownCode.exitCode, 2);
    EXPECT_TRUE(Contains(unknownCode.err, "neither a request code the driver answers"))
        << unknownCode.err;
}

}  // namespace
}  // namespace korvo::e2e

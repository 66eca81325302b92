// The agent's life as a process on a whole machine: start-up and registration seen through the
// console, the single-instance guard, the retries of a start-up that found no DMI library or no
// adapter, the message boxes of a start-up that the service provider refuses, and the ways the
// agent ends.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "machine.h"

namespace korvo::e2e {
namespace {

using EndToEndStartup = MachineTest;

// Scaled so that the 30 s start-up retry timer fires every 30 ms.
const Environment kFastRetry = {{"KORVO_TIMER_SCALE", "0.001"}};

// How many lines of `text` are exactly `line`.
int CountLines(const std::string& text, const std::string& line) {
    std::istringstream lines(text);
    int count = 0;
    for (std::string each; std::getline(lines, each);) {
        count += each == line ? 1 : 0;
    }
    return count;
}

TEST_F(EndToEndStartup, InstallsRegistersAndAnswersReadsThroughTheConsole) {
    // A counter whose high half is not zero, so a value cut to 32 bits shows.
    const std::string config = machine_.root() + "/adapter.conf";
    std::ofstream(config) << "counter.49 = 0x500000007\n";
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent({"--config", config}));

    const Json components = machine_.ConsoleJson({"components"});
    ASSERT_TRUE(components.is_object()) << "dmicli components printed no JSON";
    ASSERT_EQ(components["components"].size(), 1u) << components.dump(2);
    EXPECT_EQ(components["components"][0]["name"], "KORVO Ethernet Adapter");
    const unsigned component = components["components"][0]["id"];
    EXPECT_EQ(machine_.RegisteredComponents(), std::vector<unsigned>{component});
    // The component came from the MIF file under windir, as the agent named it.
    EXPECT_NE(ReadFile(machine_.serviceProviderLog())
                  .find("installed " + machine_.windowsDir() + "/system/korvo.mif as component " +
                        std::to_string(component)),
              std::string::npos)
        << ReadFile(machine_.serviceProviderLog());

    struct Read {
        std::vector<std::string> where;  // group, attribute, keys
        int type;
        Json value;  // the text or the integer
    };
    // In this order: until a read of the driver's file name (group 6 attribute 2) has found the
    // NDIS 5.0 driver, the attributes that depend on the driver answer for the NDIS 4.0 one.
    const Read reads[] = {
        {{"4", "2"}, 8, "024B4F525601"},    // the first adapter's address
        {{"15", "16"}, 2, 0x500000007ull},  // a 64-bit counter, both halves
        {{"13", "2", "3"}, 6, 1002},        // row 3 of the 125-row table
        {{"10", "3"}, 8, "KORVOm4.SYS"},
        {{"6", "2"}, 8, "KORVOm5.SYS"},
        {{"10", "3"}, 8, "KORVOm5.SYS"},
        {{"6", "5"}, 5, 41472},  // the size of windir's system/KORVOm5.SYS
    };
    for (const Read& read : reads) {
        std::vector<std::string> args = {"get", std::to_string(component)};
        args.insert(args.end(), read.where.begin(), read.where.end());
        SCOPED_TRACE("dmicli get " + std::to_string(component) + " " + read.where[0] + " " +
                     read.where[1]);
        RunResult run;
        const Json answer = machine_.ConsoleReading(args, &run);
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(answer["status"], 0);
        EXPECT_EQ(answer["value"]["type"], read.type);
        EXPECT_EQ(answer["value"][read.value.is_string() ? "text" : "integer"], read.value)
            << answer.dump(2);
    }

    // Past the table's last row: the instrumentation's "row not found" reaches the console.
    RunResult run;
    const Json beyond =
        machine_.ConsoleReading({"get", std::to_string(component), "13", "2", "126"}, &run);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(beyond["status"], 266) << run.out;
}

TEST_F(EndToEndStartup, ASecondInstanceEndsAtOnceAndTheFirstKeepsServing) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());

    const pid_t second = machine_.StartAgent();
    EXPECT_EQ(machine_.WaitForExit(second, 2s), std::optional<int>(0));
    EXPECT_EQ(machine_.ErrorOutput(second),
              "korvoci: another instance is already running; this one ends\n");

    EXPECT_TRUE(machine_.Running(agent_));
    EXPECT_TRUE(SocketAnswers(machine_.windowSocket()));
    EXPECT_EQ(machine_.RegisteredComponents(), std::vector<unsigned>{1});
    const Json address = machine_.ConsoleReading({"get", "1", "4", "2"});
    EXPECT_EQ(address["value"]["text"], "024B4F525601") << address.dump(2);
}

// Laying the machine out again while it runs, as a second terminal does, leaves the running
// agent alone: an unchanged file is not touched, a changed one (a rebuilt library) is renamed
// into place, so the library the agent has loaded is never rewritten under it.
TEST_F(EndToEndStartup, LayingTheMachineOutAgainLeavesTheRunningAgentAnswering) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const auto inode = [&] {
        struct stat status {};
        return stat(machine_.libraryPath().c_str(), &status) == 0 ? status.st_ino : 0;
    };
    const auto firstLibrary = inode();

    // A build whose library differs from the one the agent runs.
    const std::string rebuilt = machine_.root() + "/rebuilt";
    std::filesystem::create_directories(rebuilt + "/sim/service-provider");
    std::filesystem::copy_file(KORVO_SP_LIBRARY, rebuilt + "/sim/service-provider/Wcdmi.dll");
    std::ofstream(rebuilt + "/sim/service-provider/Wcdmi.dll", std::ios::app) << "rebuilt";

    const struct {
        const char* what;
        std::string build;
        bool replaced;
    } layouts[] = {
        {"the same build", KORVO_BUILD_DIR, false},
        {"a rebuilt library", rebuilt, true},
        {"the rebuilt library again", rebuilt, false},
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.what);
        const auto before = inode();
        const RunResult again = machine_.Run(KORVO_SOURCE_DIR "/scripts/lay-out-machine",
                                             {machine_.root(), layout.build});
        ASSERT_EQ(again.exitCode, 0) << again.err;
        EXPECT_EQ(inode() != before, layout.replaced);
        for (int read = 0; read < 20; ++read) {
            const Json address = machine_.ConsoleReading({"get", "1", "4", "2"});
            ASSERT_EQ(address.value("value", Json::object()).value("text", ""), "024B4F525601")
                << address.dump(2) << machine_.ErrorOutput(agent_);
        }
        EXPECT_TRUE(machine_.Running(agent_));
    }
    EXPECT_NE(inode(), firstLibrary);
    for (const auto& entry : std::filesystem::directory_iterator(machine_.dmiPath() + "/bin")) {
        EXPECT_EQ(entry.path().filename(), "Wcdmi.dll") << "a staged file was left behind";
    }
}

TEST_F(EndToEndStartup, RetriesUntilTheLibraryAppears) {
    adapter_ = machine_.StartAdapter();
    ASSERT_GT(adapter_, 0) << machine_.error();
    ASSERT_TRUE(std::filesystem::remove(machine_.libraryPath()));
    agent_ = machine_.StartAgent(kFastRetry);
    ASSERT_TRUE(WaitFor([&] { return SocketAnswers(machine_.windowSocket()); }, 5s))
        << machine_.ErrorOutput(agent_);

    // Several retries fail: no library, so no service provider and no message box, and one
    // line says what start-up waits for and how often it tries again.
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(machine_.Running(agent_));
    EXPECT_FALSE(std::filesystem::exists(machine_.managementSocket()));
    // The agent names the 30 s it asked for; the time scale shortens the timer beneath it.
    const std::string waiting = "korvoci: start-up is waiting for the library Wcdmi.dll in " +
                                machine_.dmiPath() + "/bin; it tries again every 30 s\n";
    EXPECT_EQ(machine_.ErrorOutput(agent_), waiting);

    // Renamed into place, so that no retry can find half a file.
    const std::string partial = machine_.libraryPath() + ".part";
    std::filesystem::copy_file(KORVO_SP_LIBRARY, partial);
    std::filesystem::rename(partial, machine_.libraryPath());
    EXPECT_TRUE(machine_.WaitUntilRegistered(5s))
        << "no retry registered the instrumentation after the library appeared";
    EXPECT_EQ(machine_.ErrorOutput(agent_), waiting);
}

// The blocks the service provider has handed out and not had back once they settle to what
// start-up keeps (an attempt under way holds a few more for a moment); the last count seen.
size_t SettledBlocks(Machine& machine, size_t kept) {
    size_t blocks = 0;
    WaitFor(
        [&] {
            const Json stats = machine.ConsoleJson({"stats"});
            blocks = stats.is_object() ? stats["memory"]["blocks"].size() : 0;
            return blocks == kept;
        },
        2s, 20ms);
    return blocks;
}

// The node address, the MIF file list and the path string in it.
constexpr size_t kInstallBlocks = 3;

TEST_F(EndToEndStartup, AnAgentStartedBeforeItsAdapterRegistersOnceItAppears) {
    agent_ = machine_.StartAgent(kFastRetry);
    ASSERT_TRUE(WaitFor([&] { return SocketAnswers(machine_.windowSocket()); }, 5s))
        << machine_.ErrorOutput(agent_);
    std::this_thread::sleep_for(200ms);  // several retries find no driver
    EXPECT_TRUE(machine_.RegisteredComponents().empty());
    const std::string waiting =
        "korvoci: start-up is waiting for the control device \\\\.\\korvodmi.vxd; it tries "
        "again every 30 s\n";
    EXPECT_EQ(machine_.ErrorOutput(agent_), waiting);

    adapter_ = machine_.StartAdapter();
    ASSERT_GT(adapter_, 0) << machine_.error();
    ASSERT_TRUE(machine_.WaitUntilRegistered(5s))
        << "no retry registered the instrumentation after the adapter appeared";
    std::this_thread::sleep_for(200ms);  // time for retries, had they gone on
    EXPECT_EQ(machine_.RegisteredComponents(), std::vector<unsigned>{1});
    const std::string log = ReadFile(machine_.serviceProviderLog());
    size_t connections = 0;
    for (size_t at = log.find("ended the management registration"); at != std::string::npos;
         at = log.find("ended the management registration", at + 1)) {
        ++connections;
    }
    EXPECT_EQ(connections, 1u) << log;
    EXPECT_EQ(SettledBlocks(machine_, kInstallBlocks), kInstallBlocks);
    EXPECT_EQ(machine_.ConsoleReading({"get", "1", "4", "2"})["value"]["text"], "024B4F525601");
    EXPECT_EQ(machine_.ErrorOutput(agent_), waiting);
}

// A start-up step that the service provider refuses shows its message box once; the retries
// that follow go through the steps again, quietly, and leave no more blocks behind than one
// attempt.
struct Refusal {
    const char* call;  // as KORVO_SP_REFUSE names it
    const char* messageBox;
    bool installed;  // whether the component is in the database afterwards
};

class EndToEndRefusedStartup : public MachineTest, public testing::WithParamInterface<Refusal> {};

TEST_P(EndToEndRefusedStartup, ShowsItsMessageOnceAndRegistersNothing) {
    adapter_ = machine_.StartAdapter();
    ASSERT_GT(adapter_, 0) << machine_.error();
    Environment environment = kFastRetry;
    environment["KORVO_SP_REFUSE"] = GetParam().call;
    agent_ = machine_.StartAgent(environment);

    const std::string line = GetParam().messageBox;
    ASSERT_TRUE(WaitFor([&] { return CountLines(machine_.ErrorOutput(agent_), line) > 0; }, 5s))
        << "no \"" << line << "\"; the agent's standard error:\n"
        << machine_.ErrorOutput(agent_);
    std::this_thread::sleep_for(200ms);  // several retries
    EXPECT_EQ(CountLines(machine_.ErrorOutput(agent_), line), 1) << machine_.ErrorOutput(agent_);
    EXPECT_EQ(CountLines(machine_.ErrorOutput(agent_),
                         "korvoci: start-up did not complete; it tries again every 30 s"),
              1)
        << machine_.ErrorOutput(agent_);
    EXPECT_TRUE(machine_.Running(agent_));

    const Json stats = machine_.ConsoleJson({"stats"});
    ASSERT_TRUE(stats.is_object()) << "the service provider does not answer";
    EXPECT_EQ(stats["registered"], Json::array());
    EXPECT_EQ(machine_.ConsoleJson({"components"})["components"].size(),
              GetParam().installed ? 1u : 0u);
    EXPECT_EQ(SettledBlocks(machine_, kInstallBlocks), kInstallBlocks);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, EndToEndRefusedStartup,
    testing::Values(Refusal{"registerci", "ERROR: Could not register the direct interface code",
                            true},
                    Refusal{"addcomponent", "ERROR: DMI implementation corrupted", false}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.call); });

// Each way the agent is asked to end runs its shutdown (the CI registration is undone) and
// ends the process with 0, taking its window and the service provider's socket with it.
struct Ending {
    const char* name;
    int signal;               // 0: WM_ENDSESSION (not a log-off), posted by the console
    const char* wParam = "";  // the posted WM_ENDSESSION's: "0" is an end called off
};

class EndToEndShutdown : public MachineTest, public testing::WithParamInterface<Ending> {};

TEST_P(EndToEndShutdown, EndsWithZeroAndLeavesNothingBehind) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());

    std::optional<int> exitCode;
    if (GetParam().signal != 0) {
        exitCode = machine_.Stop(agent_, GetParam().signal);
    } else {
        const RunResult posted =
            machine_.Console({"post-message", "KORVO", "WM_ENDSESSION", GetParam().wParam, "0"});
        ASSERT_EQ(posted.exitCode, 0) << posted.err;
        exitCode = machine_.WaitForExit(agent_);
    }
    EXPECT_EQ(exitCode, std::optional<int>(0));
    // The CI registration in force was undone before the process ended.
    EXPECT_NE(ReadFile(machine_.serviceProviderLog())
                  .find("unregistered the instrumentation of component 1"),
              std::string::npos)
        << ReadFile(machine_.serviceProviderLog());
    EXPECT_FALSE(std::filesystem::exists(machine_.windowSocket()));
    EXPECT_FALSE(std::filesystem::exists(machine_.managementSocket()));
    // Nothing to complain about, such as bad frees reported by the library at exit.
    EXPECT_EQ(machine_.ErrorOutput(agent_), "");
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, EndToEndShutdown,
                         testing::Values(Ending{"SIGTERM", SIGTERM}, Ending{"SIGINT", SIGINT},
                                         Ending{"WM_ENDSESSION", 0, "1"},
                                         Ending{"WM_ENDSESSION_CalledOff", 0, "0"}),
                         [](const testing::TestParamInfo<Ending>& info) {
                             return std::string(info.param.name);
                         });

// A log-off (the agent is a service process) leaves the agent registered and answering: a
// failover after it still gives its event, which the agent's one thread originates only once it
// has handled every earlier message.
struct SessionGoesOn {
    const char* name;
    const char* wParam;
    const char* lParam;
};

class EndToEndSessionGoesOn : public MachineTest,
                              public testing::WithParamInterface<SessionGoesOn> {};

TEST_P(EndToEndSessionGoesOn, TheAgentKeepsServing) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const RunResult posted = machine_.Console(
        {"post-message", "KORVO", "WM_ENDSESSION", GetParam().wParam, GetParam().lParam});
    ASSERT_EQ(posted.exitCode, 0) << posted.err;
    ASSERT_EQ(machine_.AdapterCommand({"failover", "2"}).exitCode, 0);
    ASSERT_EQ(machine_.Console({"post-timer"}).exitCode, 0);
    const auto events = [&] { return machine_.ConsoleJson({"events"})["events"]; };
    EXPECT_TRUE(WaitFor([&] { return !events().empty(); }, 10s)) << "no failover event";
    EXPECT_EQ(ReadFile(machine_.serviceProviderLog()).find("unregistered"), std::string::npos)
        << ReadFile(machine_.serviceProviderLog());
    EXPECT_EQ(machine_.Stop(agent_, SIGTERM), std::optional<int>(0));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, EndToEndSessionGoesOn,
                         testing::Values(SessionGoesOn{"LogOff", "1", "0x80000000"}),
                         [](const testing::TestParamInfo<SessionGoesOn>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace korvo::e2e

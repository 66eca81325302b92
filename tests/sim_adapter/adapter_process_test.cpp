// The korvo-adapter program as a user runs it: serve on a private KORVO_ROOT, the control
// commands from the command line (with the WM_TIMER that --notify posts), its refusals and exit
// statuses, and a clean end on SIGTERM and SIGINT.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapter_server.h"
#include "device_client.h"
#include "korvo/window_protocol.h"
#include "korvo_host.h"
#include "support/private_root.h"

extern char** environ;

namespace korvo::adapter {
namespace {

using namespace std::chrono_literals;
using test::DeviceClient;

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class AdapterProgram : public testing::Test {
  protected:
    void TearDown() override {
        if (server_ > 0) {
            kill(server_, SIGKILL);
            waitpid(server_, nullptr, 0);
        }
    }

    pid_t Spawn(const std::vector<std::string>& args, const std::string& outputName) {
        std::vector<std::string> argv = {KORVO_ADAPTER_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> pointers;
        for (std::string& arg : argv) {
            pointers.push_back(arg.data());
        }
        pointers.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = root_.path() + "/" + outputName + ".out";
        const std::string err = root_.path() + "/" + outputName + ".err";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = -1;
        const int spawned =
            posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0) << "cannot start " << argv[0];
        return spawned == 0 ? pid : -1;
    }

    RunResult Finish(pid_t pid, const std::string& outputName) {
        RunResult result;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        }
        result.out = ReadFile(root_.path() + "/" + outputName + ".out");
        result.err = ReadFile(root_.path() + "/" + outputName + ".err");
        return result;
    }

    RunResult Run(const std::vector<std::string>& args) {
        return Finish(Spawn(args, "run"), "run");
    }

    void StartServer(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"serve", "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = Spawn(args, "server");
        ASSERT_TRUE(test::WaitForSocket(paths_.control, 5s))
            << "the simulator did not come up: " << ReadFile(root_.path() + "/server.err");
        ASSERT_TRUE(test::WaitForSocket(paths_.device, 1s));
    }

    RunResult EndServer(int signal) {
        kill(server_, signal);
        const RunResult result = Finish(server_, "server");
        server_ = -1;
        return result;
    }

    korvo::test::PrivateRoot root_;
    ServerPaths paths_ = DefaultServerPaths();
    pid_t server_ = -1;
};

TEST_F(AdapterProgram, ServesUntilASignalAndRemovesItsSockets) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        StartServer({"--variant", "4"});
        const auto name = DeviceClient(paths_.device).Request(code::kDriverName);
        ASSERT_TRUE(name);
        EXPECT_STREQ(reinterpret_cast<const char*>(name->output.data() + 4), "KORVOm4");

        const RunResult ended = EndServer(signal);
        EXPECT_EQ(ended.exitCode, 0) << ended.err;
        EXPECT_FALSE(std::filesystem::exists(paths_.device));
        EXPECT_FALSE(std::filesystem::exists(paths_.control));
    }
}

TEST_F(AdapterProgram, CommandsChangeTheRunningSimulator) {
    const std::string config = root_.path() + "/adapter.conf";
    std::ofstream(config) << "# a second pair\nstate = 3\nadapter2.device = 14\nactive = 1\n";
    StartServer({"--config", config, "--active=2"});

    RunResult status = Run({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("active adapter  2 (failovers so far: 0)"), std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("state           3"), std::string::npos) << status.out;

    // --notify posts WM_TIMER to the agent's window: u32 0x0113, u32 0, u64 0, u64 0.
    const int window = host::ListenUnix(host::WindowPath(window::kAgentClassName));
    ASSERT_GE(window, 0);
    const RunResult failover = Run({"failover", "1", "--notify"});
    EXPECT_EQ(failover.exitCode, 0) << failover.err;
    EXPECT_EQ(failover.out, "adapter 1 is active (was 2)\nposted WM_TIMER to the agent's window\n");
    const int posted = accept(window, nullptr, nullptr);
    ASSERT_GE(posted, 0);
    uint8_t message[24];
    ASSERT_TRUE(host::ReadFull(posted, message, sizeof message, 1000));
    std::vector<uint8_t> expected(24, 0);
    expected[0] = 0x13;
    expected[1] = 0x01;
    EXPECT_EQ(std::vector<uint8_t>(message, message + 24), expected);
    close(posted);
    close(window);
    unlink(host::WindowPath(window::kAgentClassName).c_str());

    EXPECT_EQ(Run({"fail", "56", "silent"}).exitCode, 0);
    DeviceClient client(paths_.device);
    ASSERT_TRUE(client.SendBytes(test::FrameRequest(kQueryGlobalStatsCode,
                                                    test::ControlWord(kRequestControlWord),
                                                    test::RequestRecord(code::kFailoverStatus))));
    EXPECT_TRUE(client.QuietFor(200));

    const RunResult log = Run({"log", "-n", "1"});
    EXPECT_EQ(log.exitCode, 0) << log.err;
    EXPECT_EQ(log.out,
              "#1 code 56 word 0xFF010200 index 0x00 value 0x00000000 -> fault: no answer\n");

    const RunResult quit = Run({"quit"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    EXPECT_EQ(Finish(server_, "server").exitCode, 0);
    server_ = -1;
    EXPECT_FALSE(std::filesystem::exists(paths_.control));
}

// `serve --background` returns only once it listens, so that whatever a script starts next
// finds the device at once; one that cannot listen fails before it returns.
TEST_F(AdapterProgram, InTheBackgroundServeReturnsOnceItListens) {
    const RunResult started = Run({"serve", "--quiet", "--background"});
    ASSERT_EQ(started.exitCode, 0) << started.err;
    EXPECT_EQ(started.out, "");
    const auto name = DeviceClient(paths_.device).Request(code::kDriverName);  // no wait first
    EXPECT_TRUE(name.has_value());
    EXPECT_EQ(Run({"status"}).exitCode, 0);

    const RunResult second = Run({"serve", "--quiet", "--background"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("already served by a running simulator"), std::string::npos)
        << second.err;

    const RunResult quit = Run({"quit"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::filesystem::exists(paths_.control) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(std::filesystem::exists(paths_.control)) << "the background simulator did not end";
}

TEST_F(AdapterProgram, NotifyWithoutAnAgentWindowFailsAfterTheFailover) {
    StartServer();
    const RunResult failover = Run({"failover", "2", "--notify"});
    EXPECT_EQ(failover.exitCode, 1);
    EXPECT_NE(failover.err.find("no agent window answers"), std::string::npos) << failover.err;
    EXPECT_EQ(DeviceClient(paths_.device).Request(code::kFailoverStatus)->output[4], 2);
}

TEST_F(AdapterProgram, ASecondSimulatorOnTheSameRootSaysSoAndExits) {
    StartServer();
    const RunResult second = Run({"serve", "--quiet"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("already served by a running simulator"), std::string::npos)
        << second.err;
    EXPECT_EQ(Run({"status"}).exitCode, 0) << "the first one still answers";
}

TEST_F(AdapterProgram, BadUsageAndMissingSimulatorExitNonZero) {
    const std::string badConfig = root_.path() + "/bad.conf";
    std::ofstream(badConfig) << "state=2\nlanguage=9\n";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* message;  // expected in standard error
    } cases[] = {
        {{}, 2, "korvo-adapter serve"},
        {{"serve", "--bogus"}, 2, "serve does not take '--bogus'"},
        {{"serve", "--variant"}, 2, "--variant needs a value"},
        {{"serve", "--variant", "7"}, 2, "variant must be 4"},
        {{"serve", "--config", root_.path() + "/missing.conf"}, 1, "cannot be read"},
        {{"serve", "--config", badConfig}, 1, "bad.conf:2: language must be"},
        {{"failover", "3"}, 2, "the adapter is 1 or 2"},
        {{"failover", "2", "--now"}, 2, "does not take '--now'"},
        {{"log", "-n"}, 2, "-n needs a number"},
        {{"fail", "56", "sometimes"}, 2, "the mode is status, call, empty or silent"},
        {{"status"}, 1, "no simulator answers"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) {
            shown += arg + " ";
        }
        SCOPED_TRACE(shown);
        const RunResult result = Run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    const RunResult help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("korvo-adapter fail CODE|probe|all"), std::string::npos);
}

}  // namespace
}  // namespace korvo::adapter

// The real agent among hostile neighbours: directories others may write to, files that are no
// regular files, a device that stops answering, and floods of idle connections on every
// socket. It refuses what it cannot trust, keeps answering, and SIGTERM ends it within a
// second whatever a file or a peer does.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "dmi/dmi.h"
#include "korvo/window_protocol.h"
#include "machine.h"

namespace korvo::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Connections held open for a test's life, closed at its end.
struct Held {
    std::vector<int> fds;
    ~Held() {
        for (const int fd : fds) {
            close(fd);
        }
    }
    void Open(const std::string& path, size_t count, const std::string& send = {}) {
        for (size_t i = 0; i < count; ++i) {
            const int fd = ConnectTo(path);
            ASSERT_GE(fd, 0) << "connection " << i << " to " << path;
            if (!send.empty()) {
                ASSERT_EQ(::send(fd, send.data(), send.size(), MSG_NOSIGNAL),
                          static_cast<ssize_t>(send.size()));
            }
            fds.push_back(fd);
        }
    }
};

using EndToEndHostile = MachineTest;

// The directories of the machine must be ours alone: the agent says which is not and why, and
// ends with status 1 before it uses either.
TEST_F(EndToEndHostile, AMachineDirectoryOthersMayWriteToIsRefused) {
    const struct {
        const char* variable;
        std::string directory;
    } cases[] = {{"KORVO_ROOT", machine_.korvoRoot()}, {"WIN32DMIPATH", machine_.dmiPath()}};
    adapter_ = machine_.StartAdapter();  // so that start-up goes on to the service provider
    ASSERT_GT(adapter_, 0) << machine_.error();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        ASSERT_EQ(chmod(c.directory.c_str(), 0777), 0);
        const pid_t agent = machine_.StartAgent();
        EXPECT_EQ(machine_.WaitForExit(agent, 10s), std::optional<int>(1));
        EXPECT_NE(
            machine_.ErrorOutput(agent).find(std::string("refusing ") + c.variable + " directory " +
                                             c.directory + ": group or others may write to it"),
            std::string::npos)
            << machine_.ErrorOutput(agent);
        ASSERT_EQ(chmod(c.directory.c_str(), 0700), 0);
    }
}

// A device that has stopped answering holds a read on a management thread and a failover check
// on the window thread; SIGTERM still ends the agent cleanly, with its registration undone, and
// the held read is answered "value unknown" rather than left without an answer.
TEST_F(EndToEndHostile, SigtermEndsTheAgentWhileTheDeviceIsSilent) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    ASSERT_EQ(machine_.AdapterCommand({"fail", "all", "silent"}).exitCode, 0);
    Held held;
    held.Open(machine_.managementSocket(), 1,
              R"({"op":"get","component":1,"group":4,"attribute":2,"keys":[]})"
              "\n");
    const window::WireMessage timer = window::EncodeMessage({window::kWmTimer, 0, 0});
    held.Open(machine_.windowSocket(), 1, std::string(timer.begin(), timer.end()));
    std::this_thread::sleep_for(500ms);  // both are waiting on the device by now

    ASSERT_EQ(machine_.Stop(agent_, SIGTERM, 30s), std::optional<int>(0));
    std::string answered;
    char buffer[512];
    for (ssize_t got; (got = recv(held.fds[0], buffer, sizeof buffer, 0)) > 0;) {
        answered.append(buffer, static_cast<size_t>(got));
    }
    EXPECT_NE(answered.find("\"statusName\":\"value unknown\""), std::string::npos) << answered;
    EXPECT_NE(ReadFile(machine_.serviceProviderLog()).find("unregistered the instrumentation"),
              std::string::npos);
}

// Floods of idle and half-sent connections on the window socket and the management socket:
// the agent keeps answering, posts still reach its window, a management client turned away is
// told why, and the idle connections make room after the idle limit.
TEST_F(EndToEndHostile, IdleConnectionFloodsLockNoOneOut) {
    // An idle limit long enough that the flood is still open when the console asks, however
    // slowly a loaded machine opens 364 connections.
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent({}, {{"KORVO_SP_IDLE_LIMIT_MS", "4000"}}));
    Held held;
    held.Open(machine_.windowSocket(), 300);
    held.Open(machine_.managementSocket(), 32);
    held.Open(machine_.managementSocket(), 32, R"({"op":"get","comp)");

    const RunResult refused = machine_.Console({"get", "1", "4", "2"});
    EXPECT_EQ(refused.exitCode, 3) << refused.err;
    EXPECT_NE(refused.err.find("closed the connection: too many management connections are open"),
              std::string::npos)
        << refused.err;

    const RunResult notified = machine_.AdapterCommand({"failover", "2", "--notify"});
    EXPECT_EQ(notified.exitCode, 0) << notified.err;

    // Once the idle limit has passed the flood is dropped and the console is answered.
    RunResult answered = machine_.Console({"get", "1", "4", "2"});
    for (const auto limit = Clock::now() + 60s; answered.exitCode != 0 && Clock::now() < limit;) {
        std::this_thread::sleep_for(100ms);
        answered = machine_.Console({"get", "1", "4", "2"});
    }
    EXPECT_EQ(answered.exitCode, 0) << answered.err;
    EXPECT_EQ(machine_.Stop(agent_, SIGTERM, 3s), std::optional<int>(0));
}

// FIFOs where the registry, the MIF file and the driver files should be: each is refused at
// once instead of holding a thread for ever, the agent keeps answering what it can, and
// SIGTERM ends it.
TEST_F(EndToEndHostile, FifosInPlaceOfFilesHoldNothingUp) {
    const std::string system = machine_.windowsDir() + "/system";
    for (const std::string& path : {machine_.korvoRoot() + "/registry.reg", system + "/KORVOm4.SYS",
                                    system + "/KORVOm5.SYS"}) {
        std::filesystem::remove(path);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
    }
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    // The driver file that cannot be opened has no size to tell, as a missing one has none.
    const Json driverFile = machine_.ConsoleReading({"get", "1", "6", "5"});
    EXPECT_EQ(driverFile["status"], DMIERR_VALUE_UNKNOWN) << driverFile.dump();
    EXPECT_FALSE(driverFile.contains("value")) << driverFile.dump();
    EXPECT_EQ(machine_.Console({"get", "1", "4", "2"}).exitCode, 0);
    EXPECT_EQ(machine_.Console({"post-timer"}).exitCode, 0);  // the failover check reads slots
    EXPECT_EQ(machine_.Console({"get", "1", "4", "2"}).exitCode, 0);
    EXPECT_EQ(machine_.Stop(agent_, SIGTERM, 3s), std::optional<int>(0));

    // The MIF file as a FIFO: start-up cannot install the component, and says so at once.
    const std::string mif = system + "/korvo.mif";
    std::filesystem::remove_all(machine_.dmiPath() + "/components");
    std::filesystem::remove(mif);
    ASSERT_EQ(mkfifo(mif.c_str(), 0600), 0);
    const pid_t agent = machine_.StartAgent();
    EXPECT_TRUE(WaitFor(
        [&] { return machine_.ErrorOutput(agent).find("korvo.mif") != std::string::npos; }, 5s))
        << machine_.ErrorOutput(agent);
    EXPECT_EQ(machine_.Stop(agent, SIGTERM, 3s), std::optional<int>(0));
}

}  // namespace
}  // namespace korvo::e2e

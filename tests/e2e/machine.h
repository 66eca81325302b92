// A private simulated machine for one end-to-end test: a fresh directory laid out by
// scripts/lay-out-machine, the real programs (agent, simulated adapter, console) started in it
// with an explicit environment, bounded waits for what they do, and a teardown that kills and
// reaps every process it started and removes the directory, also after a failed assertion.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "korvo/provider_files.h"
#include "korvo/window_protocol.h"

namespace korvo::e2e {

using Environment = std::map<std::string, std::string>;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// How a program that was run to its end finished, and what it printed.
struct RunResult {
    int exitCode = -1;  // -1 when it was killed by a signal or had to be stopped
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Polls `condition` until it holds or `limit` has passed; true when it held.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit,
             std::chrono::milliseconds interval = 10ms);

std::string ReadFile(const std::string& path);

// Connects to the Unix-domain stream socket `path`; -1 when nothing accepts there.
int ConnectTo(const std::string& path);

// True when something accepts a connection on the Unix-domain socket `path`.
bool SocketAnswers(const std::string& path);

class Machine {
  public:
    // Lays the machine out; when that fails, ready() is false and error() says why.
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    bool ready() const { return ready_; }
    const std::string& error() const { return error_; }

    const std::string& root() const { return root_; }
    std::string korvoRoot() const { return root_ + "/machine"; }
    std::string dmiPath() const { return root_ + "/dmi"; }
    std::string windowsDir() const { return root_ + "/windows"; }
    std::string libraryPath() const { return dmiPath() + "/bin/Wcdmi.dll"; }
    std::string windowSocket() const { return korvoRoot() + "/windows/" + window::kAgentClassName; }
    std::string managementSocket() const {
        return management::ProviderFile(dmiPath(), management::kSocketFileName);
    }
    std::string serviceProviderLog() const {
        return management::ProviderFile(dmiPath(), management::kLogFileName);
    }

    // The environment every program gets: the machine's three variables and a plain PATH;
    // `extra` adds to it or overrides it.
    Environment EnvironmentWith(const Environment& extra = {}) const;

    // `korvo-adapter serve --quiet ARGS`; returns once its control device and control socket
    // answer, or -1 (with the reason in error()) when they do not within 5 s.
    pid_t StartAdapter(const std::vector<std::string>& args = {});

    // The agent, with the machine's environment and `extra`; does not wait for anything.
    pid_t StartAgent(const Environment& extra = {});

    // Any program, with the machine's environment and `extra`; does not wait for anything.
    // -1 (with the reason in error()) when it cannot be started.
    pid_t Start(const std::string& program, const std::vector<std::string>& args,
                const Environment& extra = {});

    // The component ids whose instrumentation `dmicli --json stats` lists; empty when the
    // service provider cannot be reached.
    std::vector<unsigned> RegisteredComponents();
    bool WaitUntilRegistered(std::chrono::milliseconds limit = 5s);

    // What a started process has written to standard error so far.
    std::string ErrorOutput(pid_t pid) const;

    // Runs `program ARGS` to its end (killing it after `limit`).
    RunResult Run(const std::string& program, const std::vector<std::string>& args,
                  const Environment& extra = {}, std::chrono::milliseconds limit = 20s);
    RunResult Console(const std::vector<std::string>& args, const Environment& extra = {});
    // `dmicli --json ARGS`, its output parsed; a discarded value when it printed no JSON.
    Json ConsoleJson(const std::vector<std::string>& args, RunResult* result = nullptr);
    // A get or get-next of one attribute (`dmicli --json get ...`): the one entry of its
    // "results"; a discarded value when there is not exactly one.
    Json ConsoleReading(const std::vector<std::string>& args, RunResult* result = nullptr);
    // A control command to the running simulated adapter (`korvo-adapter ARGS`).
    RunResult AdapterCommand(const std::vector<std::string>& args);

    // Sends `signal` to a started process and waits for it to end; its exit code, or nothing
    // when it did not exit normally within `limit`.
    std::optional<int> Stop(pid_t pid, int signal, std::chrono::milliseconds limit = 5s);
    // Waits for a started process to end; its exit code, or nothing (as for Stop).
    std::optional<int> WaitForExit(pid_t pid, std::chrono::milliseconds limit = 5s);
    bool Running(pid_t pid);

    // One request line on the service provider's management socket, its answer parsed; a
    // discarded value when the socket does not answer within 15 s.
    Json ManagementRequest(const Json& request);

  private:
    struct Process {
        std::string name;
        std::string errPath;
        bool reaped = false;
        int status = 0;
    };

    pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
                const Environment& environment, const std::string& name, std::string* outPath,
                std::string* errPath);
    bool Reap(pid_t pid, bool block);

    bool ready_ = false;
    std::string error_;
    std::string root_;
    Environment layout_;
    std::map<pid_t, Process> processes_;
    int spawned_ = 0;
};

// The base of every end-to-end suite: a machine per test, and the usual start of one.
class MachineTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(machine_.ready()) << machine_.error(); }
    // After a failure: what the agent and the service provider said, to see why.
    void TearDown() override;

    // The simulated adapter, then the agent, until its instrumentation is registered.
    void StartRegisteredAgent(const std::vector<std::string>& adapterArgs = {},
                              const Environment& agentEnvironment = {});

    Machine machine_;
    pid_t adapter_ = -1;
    pid_t agent_ = -1;
};

}  // namespace korvo::e2e

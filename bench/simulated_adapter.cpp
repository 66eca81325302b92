// Starts and ends the korvo-adapter process behind the benchmarks' control device.
#include "simulated_adapter.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "driver/driver_channel.h"

extern char** environ;

namespace korvo::bench {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kProbeInterval = std::chrono::milliseconds(20);

}  // namespace

SimulatedAdapter::SimulatedAdapter() {
    char program[] = KORVO_ADAPTER_BINARY;
    char serve[] = "serve";
    char quiet[] = "--quiet";
    char* arguments[] = {program, serve, quiet, nullptr};
    if (const int error = posix_spawn(&pid_, program, nullptr, nullptr, arguments, environ);
        error != 0) {
        pid_ = -1;
        throw std::runtime_error(std::string("cannot start the simulated adapter ") + program +
                                 ": " + std::strerror(error) +
                                 "; build the korvo-adapter target first");
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!ProbeDriver()) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error(
                "the simulated adapter ended before it answered; its messages are above");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Stop();
            throw std::runtime_error("the simulated adapter did not answer the probe within " +
                                     std::to_string(kStartTimeout.count()) + " s");
        }
        std::this_thread::sleep_for(kProbeInterval);
    }
}

SimulatedAdapter::~SimulatedAdapter() {
    Stop();
}

void SimulatedAdapter::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

}  // namespace korvo::bench

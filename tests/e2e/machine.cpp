// The end-to-end tests' private machine: layout by the project's own script, processes started
// with posix_spawn and an explicit environment, and a teardown that leaves nothing behind.
#include "machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <thread>

namespace korvo::e2e {
namespace {

constexpr const char* kLayoutScript = KORVO_SOURCE_DIR "/scripts/lay-out-machine";
// The variables the layout script prints; the programs get nothing else from it.
constexpr const char* kLayoutVariables[] = {"KORVO_ROOT", "WIN32DMIPATH", "windir"};
// Passed through so that a sanitizer build keeps the options it was run with.
constexpr const char* kPassedThrough[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                                          "TSAN_OPTIONS"};
constexpr auto kReapInterval = 5ms;
constexpr auto kManagementReplyLimit = 15s;

int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit,
             std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int ConnectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SocketAnswers(const std::string& path) {
    const int fd = ConnectTo(path);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

Machine::Machine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvo-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot create a temporary directory " + pattern + ": " + std::strerror(errno);
        return;
    }
    root_ = pattern;
    std::filesystem::create_directory(root_ + "/logs");

    const RunResult layout = Run(kLayoutScript, {root_, KORVO_BUILD_DIR}, {}, 20s);
    if (layout.exitCode != 0) {
        error_ = "scripts/lay-out-machine failed (exit " + std::to_string(layout.exitCode) +
                 "): " + layout.err;
        return;
    }
    const std::regex exportLine("^export ([A-Za-z_0-9]+)='([^']*)'$");
    std::istringstream lines(layout.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, exportLine)) {
            layout_[match[1]] = match[2];
        }
    }
    for (const char* name : kLayoutVariables) {
        if (!layout_.contains(name)) {
            error_ = std::string("scripts/lay-out-machine printed no ") + name + ":\n" + layout.out;
            return;
        }
    }
    ready_ = true;
}

Machine::~Machine() {
    for (auto& [pid, process] : processes_) {
        if (!process.reaped) {
            kill(pid, SIGKILL);
            Reap(pid, true);
        }
    }
    if (!root_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
}

Environment Machine::EnvironmentWith(const Environment& extra) const {
    Environment environment = layout_;
    environment["PATH"] = "/usr/bin:/bin";
    for (const char* name : kPassedThrough) {
        if (const char* value = getenv(name)) {
            environment[name] = value;
        }
    }
    for (const auto& [name, value] : extra) {
        environment[name] = value;
    }
    return environment;
}

pid_t Machine::Spawn(const std::string& program, const std::vector<std::string>& args,
                     const Environment& environment, const std::string& name, std::string* outPath,
                     std::string* errPath) {
    const std::string base = root_ + "/logs/" + name + "-" + std::to_string(++spawned_);
    *outPath = base + ".out";
    *errPath = base + ".err";

    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argPointers;
    for (std::string& arg : argv) {
        argPointers.push_back(arg.data());
    }
    argPointers.push_back(nullptr);
    std::vector<std::string> envp;
    for (const auto& [key, value] : environment) {
        envp.push_back(key + "=" + value);
    }
    std::vector<char*> envPointers;
    for (std::string& entry : envp) {
        envPointers.push_back(entry.data());
    }
    envPointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    // Its own process group, so that a terminal's signals reach the test runner alone.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int failure = posix_spawn(&pid, program.c_str(), &actions, &attributes,
                                    argPointers.data(), envPointers.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        error_ = "cannot start " + program + ": " + std::strerror(failure);
        ADD_FAILURE() << error_;
        return -1;
    }
    processes_[pid] = Process{name, *errPath};
    return pid;
}

bool Machine::Reap(pid_t pid, bool block) {
    const auto found = processes_.find(pid);
    if (found == processes_.end()) {
        return false;
    }
    Process& process = found->second;
    if (!process.reaped) {
        int status = 0;
        pid_t result;
        do {
            result = waitpid(pid, &status, block ? 0 : WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result == pid) {
            process.reaped = true;
            process.status = status;
        }
    }
    return process.reaped;
}

pid_t Machine::StartAdapter(const std::vector<std::string>& args) {
    std::vector<std::string> serve = {"serve", "--quiet"};
    serve.insert(serve.end(), args.begin(), args.end());
    std::string out;
    std::string err;
    const pid_t pid = Spawn(KORVO_ADAPTER_BINARY, serve, EnvironmentWith(), "adapter", &out, &err);
    if (pid < 0) {
        return -1;
    }
    const bool up = WaitFor(
        [&] {
            return SocketAnswers(korvoRoot() + "/devices/korvodmi.vxd") &&
                   SocketAnswers(korvoRoot() + "/adapter.ctl");
        },
        5s);
    if (!up) {
        error_ = "the simulated adapter did not come up within 5 s: " + ReadFile(err);
        return -1;
    }
    return pid;
}

pid_t Machine::StartAgent(const Environment& extra) {
    std::string out;
    std::string err;
    return Spawn(KORVO_AGENT_BINARY, {}, EnvironmentWith(extra), "agent", &out, &err);
}

pid_t Machine::Start(const std::string& program, const std::vector<std::string>& args,
                     const Environment& extra) {
    std::string out;
    std::string err;
    const std::string name = std::filesystem::path(program).filename().string();
    return Spawn(program, args, EnvironmentWith(extra), name, &out, &err);
}

std::vector<unsigned> Machine::RegisteredComponents() {
    const Json stats = ConsoleJson({"stats"});
    std::vector<unsigned> ids;
    if (stats.is_object() && stats.contains("registered")) {
        for (const Json& id : stats["registered"]) {
            ids.push_back(id.get<unsigned>());
        }
    }
    return ids;
}

bool Machine::WaitUntilRegistered(std::chrono::milliseconds limit) {
    return WaitFor([&] { return !RegisteredComponents().empty(); }, limit, 20ms);
}

std::string Machine::ErrorOutput(pid_t pid) const {
    const auto found = processes_.find(pid);
    return found == processes_.end() ? std::string() : ReadFile(found->second.errPath);
}

RunResult Machine::Run(const std::string& program, const std::vector<std::string>& args,
                       const Environment& extra, std::chrono::milliseconds limit) {
    RunResult result;
    std::string out;
    std::string err;
    const std::string name = std::filesystem::path(program).filename().string();
    const pid_t pid = Spawn(program, args, EnvironmentWith(extra), name, &out, &err);
    if (pid < 0) {
        result.err = error_;
        return result;
    }
    if (!WaitFor([&] { return Reap(pid, false); }, limit, kReapInterval)) {
        result.timedOut = true;
        kill(pid, SIGKILL);
        Reap(pid, true);
    }
    result.exitCode = result.timedOut ? -1 : ExitCodeOf(processes_[pid].status);
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

RunResult Machine::Console(const std::vector<std::string>& args, const Environment& extra) {
    return Run(KORVO_CONSOLE_BINARY, args, extra);
}

Json Machine::ConsoleJson(const std::vector<std::string>& args, RunResult* result) {
    std::vector<std::string> withJson = {"--json"};
    withJson.insert(withJson.end(), args.begin(), args.end());
    RunResult run = Console(withJson);
    Json parsed = Json::parse(run.out, nullptr, false);
    if (result != nullptr) {
        *result = std::move(run);
    }
    return parsed;
}

Json Machine::ConsoleReading(const std::vector<std::string>& args, RunResult* result) {
    const Json document = ConsoleJson(args, result);
    const auto results = document.is_object() ? document.find("results") : document.end();
    if (results == document.end() || !results->is_array() || results->size() != 1) {
        return Json(Json::value_t::discarded);
    }
    return results->front();
}

RunResult Machine::AdapterCommand(const std::vector<std::string>& args) {
    return Run(KORVO_ADAPTER_BINARY, args);
}

std::optional<int> Machine::Stop(pid_t pid, int signal, std::chrono::milliseconds limit) {
    if (!Running(pid)) {
        return WaitForExit(pid, 0ms);
    }
    kill(pid, signal);
    return WaitForExit(pid, limit);
}

std::optional<int> Machine::WaitForExit(pid_t pid, std::chrono::milliseconds limit) {
    if (!WaitFor([&] { return Reap(pid, false); }, limit, kReapInterval)) {
        return std::nullopt;
    }
    const int status = processes_[pid].status;
    return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

bool Machine::Running(pid_t pid) {
    return processes_.contains(pid) && !Reap(pid, false);
}

Json Machine::ManagementRequest(const Json& request) {
    const int fd = ConnectTo(managementSocket());
    if (fd < 0) {
        return Json::value_t::discarded;
    }
    const std::string line = request.dump() + "\n";
    bool sent =
        send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + kManagementReplyLimit;
    while (sent && answer.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        answer.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    const auto end = answer.find('\n');
    if (end == std::string::npos) {
        return Json::value_t::discarded;
    }
    return Json::parse(answer.substr(0, end), nullptr, false);
}

void MachineTest::StartRegisteredAgent(const std::vector<std::string>& adapterArgs,
                                       const Environment& agentEnvironment) {
    adapter_ = machine_.StartAdapter(adapterArgs);
    ASSERT_GT(adapter_, 0) << machine_.error();
    agent_ = machine_.StartAgent(agentEnvironment);
    ASSERT_GT(agent_, 0) << machine_.error();
    ASSERT_TRUE(machine_.WaitUntilRegistered())
        << "the agent registered no instrumentation within 5 s; its standard error:\n"
        << machine_.ErrorOutput(agent_);
}

void MachineTest::TearDown() {
    if (!HasFailure()) {
        return;
    }
    if (agent_ > 0) {
        std::cerr << "--- the agent's standard error:\n" << machine_.ErrorOutput(agent_);
    }
    std::cerr << "--- sp.log:\n" << ReadFile(machine_.serviceProviderLog());
}

}  // namespace korvo::e2e

// The hardening tests' machine, library binding, memory account, adapter and socket client.
#include "hardening_support.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "dmi/dmi_api.h"
#include "dmi/load_dmi_library.h"
#include "host/startup.h"
#include "korvo/management_protocol.h"
#include "host_tuning.h"
#include "state/service_state.h"

namespace korvo::hardening {
namespace {

namespace fs = std::filesystem;

// The module the agent bound in this process; start-up never unloads it.
HMODULE boundModule = nullptr;
ServiceProviderControls controls;

void NoPause(DWORD) {}

template <typename Function>
Function Resolve(const char* name) {
    auto* entry = GetProcAddress(boundModule, name);
    if (entry == nullptr) {
        throw std::runtime_error(std::string("Wcdmi.dll does not export ") + name);
    }
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(entry));
}

// Lays a machine out in `dir` with scripts/lay-out-machine, the one maker of the machine's
// layout (the programs' own end-to-end tests and scripts use it too), and gives back the
// variables it exports.
std::map<std::string, std::string> LayOutMachine(const std::string& dir) {
    const std::string command =
        "'" KORVO_SOURCE_DIR "/scripts/lay-out-machine' '" + dir + "' '" KORVO_BUILD_DIR "'";
    FILE* output = popen(command.c_str(), "r");
    if (output == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string printed;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, output) != nullptr) {
        printed += chunk;
    }
    if (pclose(output) != 0) {
        throw std::runtime_error("scripts/lay-out-machine failed: " + printed);
    }
    std::map<std::string, std::string> variables;
    const std::regex exportLine("^export ([A-Za-z_0-9]+)='([^']*)'$");
    std::istringstream lines(printed);
    for (std::string line; std::getline(lines, line);) {
        if (std::smatch match; std::regex_match(line, match, exportLine)) {
            variables[match[1]] = match[2];
        }
    }
    for (const char* name : {"KORVO_ROOT", "WIN32DMIPATH", "windir"}) {
        if (!variables.contains(name)) {
            throw std::runtime_error(std::string("scripts/lay-out-machine printed no ") + name);
        }
    }
    return variables;
}

// The layout made once per process in a directory of its own (removed at exit); each machine is
// a copy of it, which keeps a test's start-up to a few file copies.
class LayoutTemplate {
  public:
    LayoutTemplate() {
        std::string pattern = (fs::temp_directory_path() / "korvo-layout-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create " + pattern + ": " + std::strerror(errno));
        }
        dir_ = pattern;
        variables_ = LayOutMachine(dir_);
    }
    ~LayoutTemplate() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    LayoutTemplate(const LayoutTemplate&) = delete;
    LayoutTemplate& operator=(const LayoutTemplate&) = delete;

    // Copies the layout into `dir` (modes kept) and gives back its variables there.
    std::map<std::string, std::string> CopyTo(const std::string& dir) const {
        fs::copy(dir_, dir, fs::copy_options::recursive);
        std::map<std::string, std::string> variables;
        for (const auto& [name, value] : variables_) {
            variables[name] = value.starts_with(dir_) ? dir + value.substr(dir_.size()) : value;
        }
        return variables;
    }

  private:
    std::string dir_;
    std::map<std::string, std::string> variables_;
};

std::map<std::string, std::string> LaidOutMachine(const std::string& dir) {
    static const LayoutTemplate layout;
    return layout.CopyTo(dir);
}

// Loads Wcdmi.dll from `dmiPath`/bin (where the layout put it) the way the agent does, once
// per process; the current directory the load moves to is given back afterwards.
void BindLibrary(const std::string& dmiPath) {
    if (boundModule != nullptr) {
        return;
    }
    const fs::path saved = fs::current_path();
    ResetServiceState();
    const int loaded = LoadDmiLibrary();
    fs::current_path(saved);
    if (loaded != 1 || DmiApiIsComplete() != 1) {
        throw std::runtime_error("the agent could not bind " + dmiPath + "/bin/Wcdmi.dll");
    }
    boundModule = serviceState.libraryModule;
    controls.outstandingBlocks = Resolve<unsigned (*)()>("KorvoSpOutstandingBlocks");
    controls.badFrees = Resolve<unsigned (*)()>("KorvoSpBadFrees");
    controls.report = Resolve<size_t (*)(char*, size_t)>("KorvoSpReport");
    controls.failAllocation = Resolve<void (*)(unsigned)>("KorvoSpFailAllocation");
    controls.shutdown = Resolve<void (*)()>("KorvoSpShutdown");
}

}  // namespace

const ServiceProviderControls& Controls() {
    return controls;
}

std::string ServiceProviderReport() {
    std::string text(controls.report(nullptr, 0) + 1, '\0');
    text.resize(controls.report(text.data(), text.size()));
    return text;
}

std::multiset<std::string> OutstandingKinds() {
    static constexpr char Prefix[] = "outstanding: ";
    std::multiset<std::string> kinds;
    std::istringstream lines(ServiceProviderReport());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(Prefix, 0) == 0) {
            kinds.insert(line.substr(line.find(" from ") + 6));
        }
    }
    return kinds;
}

bool InjectionWasMet(unsigned n) {
    for (unsigned probe = 0; probe < n; ++probe) {
        DmiErrorStatus status = DMIERR_NO_ERROR;
        DmiAttributeData* data = DmiApi.DmiNewAttributeData(serviceState.memoryDescriptor, &status);
        if (status != DMIERR_NO_ERROR) {
            return false;
        }
        DmiApi.DmiFreeAttributeData(data, serviceState.memoryDescriptor);
    }
    return true;
}

int BoundLibraryStep() {
    return serviceState.libraryModule != nullptr ? 1 : 0;
}

void ResetAgentState() {
    ResetServiceState();
    serviceState.libraryModule = boundModule;
}

// ---- The simulated adapter ------------------------------------------------------------------

InProcessAdapter::InProcessAdapter()
    : server_(model_, adapter::DefaultServerPaths(), [this](const std::string& line) {
          ServedExchange served;
          char outcome[32] = {};
          unsigned long long sequence = 0;
          unsigned code = 0;
          unsigned index = 0;
          if (std::sscanf(line.c_str(), "#%llu code %u word %x index %x value %x -> %31s",
                          &sequence, &code, &served.word, &index, &served.value, outcome) == 6) {
              served.code = static_cast<uint16_t>(code);
              served.index = static_cast<uint8_t>(index);
              served.outcome = outcome;
              std::lock_guard lock(mutex_);
              exchanges_.push_back(served);
          }
      }) {
    if (const std::string error = server_.Open(); !error.empty()) {
        throw std::runtime_error("simulated adapter: " + error);
    }
    thread_ = std::thread([this] { server_.Run(); });
}

InProcessAdapter::~InProcessAdapter() {
    server_.RequestStop();
    thread_.join();
}

std::vector<ServedExchange> InProcessAdapter::exchanges() const {
    std::lock_guard lock(mutex_);
    return exchanges_;
}

void InProcessAdapter::ClearExchanges() {
    std::lock_guard lock(mutex_);
    exchanges_.clear();
}

// ---- The machine ----------------------------------------------------------------------------

AgentMachine::AgentMachine()
    : layout_(LaidOutMachine(root_.path())),
      korvoRoot_(layout_.at("KORVO_ROOT")),
      dmiPath_(layout_.at("WIN32DMIPATH")),
      windir_(layout_.at("windir")),
      korvoRootEnv_("KORVO_ROOT", korvoRoot_.c_str()),
      dmiEnv_("WIN32DMIPATH", dmiPath_.c_str()),
      windirEnv_("windir", windir_.c_str()),
      registryEnv_("KORVO_REGISTRY", nullptr) {
    BindLibrary(dmiPath_);
    ForgetServiceProvider(false);
    controls.failAllocation(0);
    ResetAgentState();
    startupLoadLibrary = BoundLibraryStep;
    startupSleep = NoPause;
}

AgentMachine::~AgentMachine() {
    controls.failAllocation(0);
    RunShutdown();
    ForgetServiceProvider(false);
    ResetAgentState();
    startupLoadLibrary = LoadDmiLibrary;
    startupSleep = Sleep;
    korvo::host::SetDeviceReplyTimeoutMs(korvo::host::kSocketDeadlineMs);
}

int AgentMachine::Start(std::string* boxes) {
    testing::internal::CaptureStderr();
    const int result = RunStartup();
    // The boxes, without the lines the service provider's library logs to the same stream.
    std::istringstream lines(testing::internal::GetCapturedStderr());
    if (boxes != nullptr) {
        boxes->clear();
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Wcdmi: ", 0) != 0) {
                *boxes += line + "\n";
            }
        }
    }
    return result;
}

void AgentMachine::ForgetServiceProvider(bool database) {
    controls.shutdown();
    if (database) {
        fs::remove_all(dmiPath_ + "/components");
    }
}

size_t AgentMachine::EventCount() const {
    std::ifstream log(management::ProviderFile(dmiPath_, management::kEventLogFileName));
    size_t count = 0;
    for (std::string line; std::getline(log, line);) {
        count += line.empty() ? 0 : 1;
    }
    return count;
}

// ---- The management socket ------------------------------------------------------------------

nlohmann::json GetRequest(uint32_t component, uint32_t group, uint32_t attribute,
                          std::optional<uint32_t> key, bool next) {
    nlohmann::json request = {
        {"op", next ? korvo::management::op::kGetNext : korvo::management::op::kGet},
        {"component", component},
        {"group", group},
        {"attribute", attribute}};
    if (key) {
        request["keys"] = nlohmann::json::array({{{"integer", *key}}});
    }
    return request;
}

void ExpectReadersAgree(const std::vector<nlohmann::json>& requests,
                        const std::vector<nlohmann::json>& quiet, int readers, int rounds) {
    std::vector<std::vector<std::string>> failures(static_cast<size_t>(readers));
    std::vector<std::thread> threads;
    for (int reader = 0; reader < readers; ++reader) {
        threads.emplace_back([&, reader] {
            ManagementLine line;
            for (int round = 0; round < rounds; ++round) {
                for (size_t i = 0; i < requests.size(); ++i) {
                    const nlohmann::json answer = line.Ask(requests[i]);
                    if (answer != quiet[i]) {
                        failures[static_cast<size_t>(reader)].push_back(
                            "reader " + std::to_string(reader) + ", " + requests[i].dump() + ": " +
                            answer.dump().substr(0, 2000));
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const auto& readerFailures : failures) {
        for (const std::string& failure : readerFailures) {
            ADD_FAILURE() << failure;
        }
    }
}

}  // namespace korvo::hardening

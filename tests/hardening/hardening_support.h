// What the hardening tests share: the agent in this process, bound to the real service
// provider library (Wcdmi.dll, loaded once per process through the agent's own LoadDmiLibrary)
// and to the simulated adapter pair served in-process, on a private machine per test; the
// library's memory account; and a line client for the service provider's management socket.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "adapter_model.h"
#include "adapter_server.h"
#include "dmi/dmi.h"
#include "support/private_root.h"
#include "support/json_line_socket.h"

namespace korvo::hardening {

// The library's own controls (korvo_sp.h), looked up in the module the agent loaded.
struct ServiceProviderControls {
    unsigned (*outstandingBlocks)() = nullptr;
    unsigned (*badFrees)() = nullptr;
    size_t (*report)(char*, size_t) = nullptr;
    void (*failAllocation)(unsigned) = nullptr;
    void (*shutdown)() = nullptr;
};
const ServiceProviderControls& Controls();

// The library's report, and the allocating call of each block it counts as outstanding.
std::string ServiceProviderReport();
std::multiset<std::string> OutstandingKinds();

// After an operation run with the Nth allocation set to fail: true when the operation met the
// failure, false when it finished with the failure still pending (which is then used up and
// off). Finds out with up to N allocations of its own, each freed at once.
bool InjectionWasMet(unsigned n);

// Start-up's library step for a process whose library is already bound: 1 while it is.
int BoundLibraryStep();

// The agent's state as at process start, but for the bound library.
void ResetAgentState();

// One exchange the simulated adapter served, as its request log shows it.
struct ServedExchange {
    uint16_t code = 0;
    uint32_t word = 0;
    uint8_t index = 0;
    uint32_t value = 0;
    std::string outcome;
};

// The simulated adapter pair behind the control device of the current KORVO_ROOT, served by
// a thread of this process, with every exchange recorded.
class InProcessAdapter {
  public:
    InProcessAdapter();
    ~InProcessAdapter();
    InProcessAdapter(const InProcessAdapter&) = delete;
    InProcessAdapter& operator=(const InProcessAdapter&) = delete;

    adapter::AdapterModel& model() { return model_; }
    std::vector<ServedExchange> exchanges() const;
    void ClearExchanges();

  private:
    adapter::AdapterModel model_;
    adapter::AdapterServer server_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<ServedExchange> exchanges_;
};

// A private machine for the agent in this process, laid out by scripts/lay-out-machine in a
// private directory: KORVO_ROOT (with the registry's slot table: bus 0 devices 11 and 12 in
// slots 3 and 4), WIN32DMIPATH (bin/Wcdmi.dll), windir (system/korvo.mif and the two driver
// files), each set in the environment for its life. Binds the library on first use, forgets
// the service provider's registrations and the agent's state, and replaces the start-up seams
// (no pauses, the bound library) for its life.
class AgentMachine {
  public:
    AgentMachine();
    ~AgentMachine();
    AgentMachine(const AgentMachine&) = delete;
    AgentMachine& operator=(const AgentMachine&) = delete;

    // The private directory that holds the machine (and may take more of a test's own).
    const std::string& root() const { return root_.path(); }
    const std::string& korvoRoot() const { return korvoRoot_; }
    const std::string& dmiPath() const { return dmiPath_; }
    const std::string& windir() const { return windir_; }

    // RunStartup with the message boxes it shows (lines of standard error) kept in `boxes`.
    int Start(std::string* boxes = nullptr);

    // Stops the service provider's socket and forgets its registrations; with `database`, the
    // installed components too, so that the next start-up installs the MIF again.
    void ForgetServiceProvider(bool database);

    // The events the service provider has kept.
    size_t EventCount() const;

  private:
    korvo::test::PrivateRoot root_;
    std::map<std::string, std::string> layout_;
    std::string korvoRoot_;
    std::string dmiPath_;
    std::string windir_;
    korvo::test::ScopedEnv korvoRootEnv_;
    korvo::test::ScopedEnv dmiEnv_;
    korvo::test::ScopedEnv windirEnv_;
    korvo::test::ScopedEnv registryEnv_;
};

// One connection to $WIN32DMIPATH/dmi.sock: a JSON object per line each way.
using ManagementLine = korvo::test::JsonLineSocket;

// `readers` management connections side by side, each asking every request `rounds` times;
// every answer that differs from `quiet` (the same requests' answers to one reader alone) is
// reported as a failure of the running test.
void ExpectReadersAgree(const std::vector<nlohmann::json>& requests,
                        const std::vector<nlohmann::json>& quiet, int readers, int rounds);

// A get request of the management protocol, with one integer key when `key` is given.
nlohmann::json GetRequest(uint32_t component, uint32_t group, uint32_t attribute,
                          std::optional<uint32_t> key = std::nullopt, bool next = false);

}  // namespace korvo::hardening

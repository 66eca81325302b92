// Faults around the agent: a control device that is missing, fails each way or stops
// answering; management clients that leave in the middle of a request; a registry file that
// cannot be read; windir and WIN32DMIPATH of 10,000 characters. The agent keeps serving, each
// answer is the one decided for that fault (a driver that does not answer makes a value
// unknown), and no service provider memory is lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "dmi/dmi_api.h"
#include "dmi/load_dmi_library.h"
#include "driver/driver_channel.h"
#include "failover/failover.h"
#include "host/startup.h"
#include "hardening_support.h"
#include "instrumentation/registration.h"
#include "host_tuning.h"
#include "state/service_state.h"

namespace korvo::hardening {
namespace {

using korvo::test::ScopedEnv;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int ShortReplyTimeoutMs = 200;

class HardeningFaults : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(machine.Start(), 1);
        component = serviceState.componentId;
        baseline = OutstandingKinds();
        badFrees = Controls().badFrees();
    }
    void TearDown() override {
        EXPECT_EQ(OutstandingKinds(), baseline) << ServiceProviderReport();
        EXPECT_EQ(Controls().badFrees(), badFrees) << ServiceProviderReport();
    }

    // A read straight through the get callback, freed as the service provider frees it.
    struct Read {
        DmiErrorStatus status;
        DmiUnsigned type;
        uint32_t value;
    };
    static Read ReadDirect(DmiId group, DmiId attribute, uint32_t key) {
        DmiAttributeData keyData{};
        keyData.data.type = MIF_INTEGER;
        keyData.data.value.words[0] = key;
        DmiAttributeValues keys{1, &keyData};
        DmiAttributeData* record = nullptr;
        const DmiErrorStatus status =
            OnCiGetAttribute(0, group, attribute, nullptr, &keys, &record);
        const Read read{status, record->data.type, record->data.value.words[0]};
        DmiApi.DmiFreeAttributeData(record, serviceState.memoryDescriptor);
        return read;
    }

    // Waits until every request in flight inside the service provider has let go of its
    // records, which a client that left cannot wait for.
    void WaitForBaseline() {
        const auto deadline = steady_clock::now() + std::chrono::seconds(5);
        while (OutstandingKinds() != baseline && steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }

    AgentMachine machine;
    InProcessAdapter adapter;
    DmiId component = 0;
    std::multiset<std::string> baseline;
    unsigned badFrees = 0;
};

TEST_F(HardeningFaults, DeviceFailingEachWayLeavesTheAgentServing) {
    korvo::host::SetDeviceReplyTimeoutMs(ShortReplyTimeoutMs);
    const std::string devicePath = korvo::host::DevicePath(adapter::kDeviceName);
    ManagementLine console;
    const auto healthyAddress = console.Ask(GetRequest(component, 4, 2));
    ASSERT_EQ(healthyAddress["status"], 0);

    struct Fault {
        const char* what;
        std::function<void()> impose;
        std::function<void()> heal;
    } faults[] = {
        {"status 0xFFFF",
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Status); },
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Healthy); }},
        {"the call fails",
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Call); },
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Healthy); }},
        {"no bytes returned",
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Empty); },
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Healthy); }},
        {"no answer",
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Silent); },
         [&] { adapter.model().SetFault(adapter::kFaultAll, adapter::FaultMode::Healthy); }},
        {"connection closed", [&] { adapter.model().SetAnswering(false); },
         [&] { adapter.model().SetAnswering(true); }},
        {"device absent", [&] { std::filesystem::rename(devicePath, devicePath + ".away"); },
         [&] { std::filesystem::rename(devicePath + ".away", devicePath); }},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.what);
        fault.impose();
        // Reads and writes that need the driver are unknown; the others still answer.
        for (const auto& request : {GetRequest(component, 4, 2), GetRequest(component, 15, 3),
                                    GetRequest(component, 7, 4), GetRequest(component, 13, 2, 9),
                                    GetRequest(component, 5, 1, 0, true)}) {
            const auto answer = console.Ask(request);
            EXPECT_EQ(answer["status"], DMIERR_VALUE_UNKNOWN)
                << request.dump() << " -> " << answer.dump();
            EXPECT_FALSE(answer.contains("value")) << answer.dump();
        }
        EXPECT_EQ(console.Ask(GetRequest(component, 4, 4))["value"]["integer"], 1);
        const auto written = console.Ask({{"op", "set"},
                                          {"component", component},
                                          {"group", 14},
                                          {"attribute", 2},
                                          {"keys", {{{"integer", 3}}}},
                                          {"value", {{"type", MIF_INTEGER}, {"integer", 77}}}});
        EXPECT_EQ(written["status"], DMIERR_VALUE_UNKNOWN) << written.dump();
        // A driver that cannot be asked tells of no change: no event.
        const size_t events = machine.EventCount();
        RunFailoverCheck();
        EXPECT_EQ(machine.EventCount(), events);
        EXPECT_EQ(serviceState.lastActiveAdapter, 1);
        // A probe finds no driver, so start-up fails quietly.
        EXPECT_FALSE(ProbeDriver());

        fault.heal();
        EXPECT_EQ(console.Ask(GetRequest(component, 4, 2)), healthyAddress);
        RunFailoverCheck();
        EXPECT_EQ(machine.EventCount(), events) << "adapter 1 is still the active one";
    }
}

// The address table's rows exist only as the driver's entries: a failed entry request neither
// makes a row nor passes for the table's end, and no attribute answers for a row the driver
// does not have.
TEST_F(HardeningFaults, AFailedKeyReadNeitherMakesNorEndsARow) {
    ManagementLine console;
    const nlohmann::json wholeTable{{"op", "get-group"}, {"component", component}, {"group", 5}};
    adapter.model().SetFault(11, adapter::FaultMode::Status);
    const auto failed = console.Ask(wholeTable);
    EXPECT_EQ(failed["rows"], nlohmann::json::array()) << failed.dump();
    EXPECT_EQ(failed["end"]["reason"], "read failed") << failed.dump();
    EXPECT_EQ(failed["end"]["status"], DMIERR_VALUE_UNKNOWN);
    EXPECT_EQ(console.Ask(GetRequest(component, 5, 2, 1))["status"], DMIERR_VALUE_UNKNOWN);
    adapter.model().SetFault(11, adapter::FaultMode::Healthy);

    const auto healthy = console.Ask(wholeTable);
    EXPECT_EQ(healthy["rows"].size(), 3u) << healthy.dump();
    EXPECT_EQ(healthy["end"], nlohmann::json({{"reason", "row not found"}, {"index", 3}}));
    for (const uint32_t row : {4u, 257u, 1000u}) {
        for (const DmiId attribute : {1u, 2u, 3u, 4u}) {
            EXPECT_EQ(console.Ask(GetRequest(component, 5, attribute, row))["status"],
                      DMIERR_ROW_NOT_FOUND)
                << "row " << row << " attribute " << attribute;
        }
    }
}

// The read returns "value unknown" at the deadline instead of waiting for ever (the test's
// finishing shows it), and the silent exchange leaves nothing behind: the next request on the
// same device is answered with its own value.
TEST_F(HardeningFaults, ADeviceThatNeverAnswersIsGivenUpAfterFiveSeconds) {
    ASSERT_EQ(korvo::host::DeviceReplyTimeoutMs(), 5000);
    adapter.model().SetFault(3, adapter::FaultMode::Silent);  // group 4 attribute 6's counter
    const Read read = ReadDirect(4, 6, 1);
    EXPECT_EQ(read.status, DMIERR_VALUE_UNKNOWN);
    EXPECT_EQ(read.type, 0u) << "no value";
    const Read next = ReadDirect(4, 7, 1);
    EXPECT_EQ(next.status, DMIERR_NO_ERROR);
    EXPECT_NE(next.type, 0u) << "the next request's own value";
}

TEST_F(HardeningFaults, ClientsLeavingMidRequestLoseNothing) {
    korvo::host::SetDeviceReplyTimeoutMs(ShortReplyTimeoutMs);
    adapter.model().SetFault(1, adapter::FaultMode::Silent);  // group 4 attribute 2 hangs
    const std::string get = GetRequest(component, 4, 2).dump();
    const std::string set = nlohmann::json({{"op", "set"},
                                            {"component", component},
                                            {"group", 13},
                                            {"attribute", 1},
                                            {"keys", {{{"integer", 2}}}},
                                            {"value", {{"integer", 900}}}})
                                .dump();
    const std::string leavings[] = {
        get.substr(0, get.size() / 2),         // half a request
        get + "\n",                            // a request whose answer is slow to come
        set + "\n" + get + "\n" + get + "\n",  // several, the client gone before the first ends
        "{\"op\":\"subscribe\"}\n",            // a subscription
        std::string(70000, 'x'),               // an overlong line, unfinished
    };
    for (const std::string& bytes : leavings) {
        SCOPED_TRACE(bytes.substr(0, 60));
        {
            ManagementLine leaving;
            ASSERT_TRUE(leaving.Send(bytes));
        }
        WaitForBaseline();
        ManagementLine next;
        const auto answer = next.Ask(GetRequest(component, 4, 4));
        EXPECT_EQ(answer["status"], 0) << answer.dump();
        EXPECT_EQ(answer["value"]["integer"], 1);
    }
    std::this_thread::sleep_for(milliseconds(3 * ShortReplyTimeoutMs));
    WaitForBaseline();
}

// With no room to write the component database, start-up fails at the install; the attempt
// after room returns installs the component and registers. (Files of this process stand in
// for a full disk: a write of any byte fails, as on a file system with no block left.)
TEST(HardeningFullDisk, AStartUpThatFoundTheDiskFullRegistersOnceThereIsRoom) {
    AgentMachine machine;
    InProcessAdapter adapter;
    rlimit room{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &room), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit full = room;
    full.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    const int whileFull = RunStartup();
    const uint32_t managementLeft = serviceState.managementRegistered;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &room), 0);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(whileFull, 0);
    EXPECT_EQ(managementLeft, 1u) << "the install, not an earlier step, met the full disk";

    EXPECT_EQ(machine.Start(), 1) << "the next attempt registers";
    EXPECT_EQ(serviceState.ciRegistered, 1u);
    ManagementLine console;
    EXPECT_EQ(console.Ask({{"op", "stats"}})["registered"],
              nlohmann::json::array({serviceState.componentId}));
}

TEST_F(HardeningFaults, AMalformedRegistryFileGivesTheDeviceNumber) {
    const std::string registry = machine.korvoRoot() + "/registry.reg";
    EXPECT_EQ(ReadDirect(21, 4, 1).value, 3u) << "adapter 1 in slot 3 while the file is sound";
    const std::string texts[] = {
        "",
        "not a registry file\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\3\n\"Bus\"=dword:00000000\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\3]\n\"Bus\"=dword:zz\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\3]\n\"Slot\"=hex:0b,\\\n",
        std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\3]\n\"Bus\"=\"") +
            std::string(100000, 'b'),
        std::string("\x00\xff\xfe REGEDIT4\n", 13),
    };
    adapter.model().FailOver(2);
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        std::ofstream(registry, std::ios::binary | std::ios::trunc) << text;
        const Read first = ReadDirect(21, 4, 1);
        EXPECT_EQ(first.status, DMIERR_NO_ERROR);
        EXPECT_EQ(first.value, 11u);
        serviceState.lastActiveAdapter = 1;
        const size_t events = machine.EventCount();
        RunFailoverCheck();
        EXPECT_EQ(serviceState.activeSlot, 12);
        EXPECT_EQ(machine.EventCount(), events + 1);
    }
    std::filesystem::remove(registry);
    EXPECT_EQ(ReadDirect(21, 4, 1).value, 11u) << "no file at all";
}

TEST_F(HardeningFaults, EnvironmentValuesOfTenThousandCharacters) {
    const std::string huge(10000, 'w');
    {
        // windir too long for the driver file's path: the size is unknown, as when it is unset.
        ScopedEnv windir("windir", huge.c_str());
        const Read size = ReadDirect(6, 5, 1);
        EXPECT_EQ(size.status, DMIERR_VALUE_UNKNOWN);
        EXPECT_EQ(size.type, 0u);
    }
    EXPECT_EQ(ReadDirect(6, 5, 1).value, 35328u) << "KORVOm4.SYS once windir fits again";
    {
        // ... and too long for the MIF path: the path stays empty as if windir were unset, the
        // service provider refuses to install a nameless file, and start-up says so.
        ScopedEnv windir("windir", huge.c_str());
        RunShutdown();
        ResetAgentState();
        machine.ForgetServiceProvider(true);
        std::string boxes;
        EXPECT_EQ(machine.Start(&boxes), 0);
        EXPECT_EQ(boxes, "ERROR: DMI implementation corrupted\n");
        EXPECT_STREQ(serviceState.mifPath, "");
        EXPECT_EQ(serviceState.managementRegistered, 1u);
        RunShutdown();
    }
    ResetAgentState();
    machine.ForgetServiceProvider(true);
    EXPECT_EQ(machine.Start(), 1) << "a sound windir installs the component again";
    baseline = OutstandingKinds();  // start-up kept its blocks twice over
    {
        // WIN32DMIPATH too long for the directory buffer: the current directory stays.
        const std::filesystem::path saved = std::filesystem::current_path();
        ScopedEnv dmiPath("WIN32DMIPATH", huge.c_str());
        HMODULE bound = serviceState.libraryModule;
        serviceState.libraryModule = nullptr;
        (void)LoadDmiLibrary();  // may find the library already loaded by its name
        serviceState.libraryModule = bound;
        EXPECT_EQ(std::filesystem::current_path(), saved);
        EXPECT_EQ(DmiApiIsComplete(), 1);
    }
    ManagementLine console;
    EXPECT_EQ(console.Ask(GetRequest(serviceState.componentId, 4, 4))["value"]["integer"], 1)
        << "the agent still serves";
}

}  // namespace
}  // namespace korvo::hardening

// The start-up sequence and shutdown against a fake library table and the fake device: each
// step's failure with the state it leaves and what shutdown undoes, the DmiRegister retries,
// finding versus installing the component, the registration record's frees and the boxes, and
// attempts repeated after failures until one registers; which ends of a session end the agent,
// and its registration as a service process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "dmi/dmi_api.h"
#include "dmi/load_dmi_library.h"
#include "host/startup.h"
#include "instrumentation/component_groups.h"
#include "state/service_state.h"
#include "support/fake_device.h"
#include "support/fake_dmi.h"
#include "support/private_root.h"

namespace {

using korvo::test::FakeDevice;
using korvo::test::FakeDmi;
using korvo::test::ScopedEnv;

int pauses = 0;
void CountPause(DWORD milliseconds) {
    EXPECT_EQ(milliseconds, 1000u);
    ++pauses;
}
bool libraryLoads = true;
int loads = 0;
int FakeLoad() {
    ++loads;
    return libraryLoads ? 1 : 0;
}

class Startup : public testing::Test {
  protected:
    Startup() : windir("windir", "C:\\WINDOWS") {
        ResetServiceState();
        pauses = 0;
        libraryLoads = true;
        loads = 0;
        startupSleep = CountPause;
        startupLoadLibrary = FakeLoad;
        device.SetHandler([this](const FakeDevice::Exchange& exchange, FakeDevice::Record& r) {
            if (exchange.controlWord() == 0xFF0102FF && probeAnswers) {
                const uint8_t signature[] = {0x44, 0x4D, 0x49, 0x10};
                std::memcpy(&r[4], signature, 4);
            }
            return FakeDevice::Reply{};
        });
    }
    ~Startup() override {
        startupSleep = Sleep;
        startupLoadLibrary = LoadDmiLibrary;
        ResetServiceState();
    }

    int Count(const std::string& call) {
        const auto calls = dmi.calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }

    // Runs start-up with standard error captured; returns the result and keeps the lines.
    int Start() {
        testing::internal::CaptureStderr();
        const int result = RunStartup();
        boxes = testing::internal::GetCapturedStderr();
        return result;
    }

    ScopedEnv windir;
    FakeDevice device;
    FakeDmi dmi;
    bool probeAnswers = true;
    std::string boxes;
};

TEST_F(Startup, RegistersAFoundComponent) {
    dmi.componentsByClass = {4, 9};
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(boxes, "");
    EXPECT_EQ(serviceState.libraryLoaded, 1u);
    EXPECT_EQ(serviceState.managementRegistered, 0u);
    EXPECT_EQ(serviceState.ciRegistered, 1u);
    EXPECT_EQ(serviceState.componentId, 4u) << "the first listed component";
    EXPECT_EQ(serviceState.dmiHandle, dmi.ciHandle);
    EXPECT_EQ(serviceState.memoryDescriptor, FakeDmi::memoryDescriptor());
    EXPECT_EQ(dmi.listedClass, "ZUL|CSR|");
    EXPECT_EQ(Count("DmiAddComponent"), 0);
    EXPECT_STREQ(serviceState.mifPath, "") << "no MIF path is built for a known component";
    EXPECT_EQ(dmi.registeredInfo.compId, 4u);
    EXPECT_EQ(dmi.registeredAccess.size(), RegisteredGroupCount()) << "the whole access list";
    // Only the node address, kept for the life of the process, stays allocated.
    EXPECT_EQ(dmi.outstanding(), 1);
    EXPECT_EQ(dmi.badFrees(), 0);
}

TEST_F(Startup, InstallsTheMifWhenTheClassIsUnknown) {
    ScopedEnv tenCharacters("windir", "C:\\WIN95AB");
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Count("DmiAddComponent"), 1);
    EXPECT_EQ(dmi.addedFileType, 2u);
    const std::string path(dmi.addedMifPath.begin(), dmi.addedMifPath.end());
    EXPECT_EQ(path, "C:\\WIN95AB\\system\\korvo.mif");
    EXPECT_EQ(path.size(), 27u) << "a counted string without its NUL";
    EXPECT_EQ(serviceState.componentId, dmi.installedComponentId);
    EXPECT_EQ(dmi.registeredInfo.compId, dmi.installedComponentId);
    // Kept for good: the node address, the file-data list and the path string in it.
    EXPECT_EQ(dmi.outstanding(), 3);
}

TEST_F(Startup, AnEmptyComponentListCountsAsNotFound) {
    dmi.listEmpty = true;
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(Count("DmiFreeComponentList"), 1);
    EXPECT_EQ(Count("DmiAddComponent"), 1);
}

TEST_F(Startup, MifPathFollowsWindir) {
    const std::string longWindir(83, 'W');  // 83 + 17 + NUL: one byte too many
    const std::string fullWindir(82, 'x');  // exactly fills the 100 bytes
    struct Case {
        const char* windir;
        std::string expected;
    } cases[] = {
        {"D:\\W", "D:\\W\\system\\korvo.mif"},
        {nullptr, ""},             // unset: left empty
        {longWindir.c_str(), ""},  // too long: as if unset
        {fullWindir.c_str(), fullWindir + "\\system\\korvo.mif"},
    };
    for (const Case& c : cases) {
        std::string windirValue = c.windir != nullptr ? c.windir : "";
        ScopedEnv env("windir", c.windir != nullptr ? windirValue.c_str() : nullptr);
        char buffer[100] = {};
        EXPECT_EQ(BuildMifPath(buffer), 1);
        EXPECT_EQ(std::string(buffer), c.expected);
    }
}

TEST_F(Startup, RetriesDmiRegisterFiveTimes) {
    dmi.componentsByClass = {1};
    dmi.registerFailures = 5;
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(pauses, 5);
    EXPECT_EQ(Count("DmiRegister"), 6);
}

TEST_F(Startup, GivesUpAfterSixRefusedRegistrations) {
    dmi.registerFailures = 6;
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(pauses, 5);
    EXPECT_EQ(Count("DmiRegister"), 6);
    EXPECT_EQ(boxes, "") << "no message for a refused connection";
}

enum class Failing {
    Load,
    Probe,
    Register,
    Version,
    Component,
    Unregister,
    BuildRecord,
    RegisterCi
};

struct StateCase {
    const char* name;
    Failing failing;
    uint32_t libraryLoaded, managementRegistered, ciRegistered;
    const char* boxes;
    const char* shutdownCall;  // what shutdown undoes, or ""
};

class StartupFailure : public Startup, public testing::WithParamInterface<StateCase> {};

TEST_P(StartupFailure, LeavesTheStateShutdownUndoes) {
    const StateCase& c = GetParam();
    dmi.componentsByClass = {1};
    switch (c.failing) {
        case Failing::Load:
            libraryLoads = false;
            break;
        case Failing::Probe:
            probeAnswers = false;
            break;
        case Failing::Register:
            dmi.registerFailures = 6;
            break;
        case Failing::Version:
            dmi.getVersionStatus = DMIERR_ILLEGAL_HANDLE;
            break;
        case Failing::Component:
            dmi.componentsByClass.clear();
            dmi.addComponentStatus = DMIERR_DATABASE_CORRUPT;
            break;
        case Failing::Unregister:
            dmi.unregisterStatus = DMIERR_ILLEGAL_HANDLE;
            break;
        case Failing::BuildRecord:
            // Start-up allocates six blocks before the registration record's first.
            dmi.FailAllocation(7);
            break;
        case Failing::RegisterCi:
            dmi.registerCiStatus = DMIERR_ILLEGAL_KEYS;
            break;
    }
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(serviceState.libraryLoaded, c.libraryLoaded);
    EXPECT_EQ(serviceState.managementRegistered, c.managementRegistered);
    EXPECT_EQ(serviceState.ciRegistered, c.ciRegistered);
    EXPECT_EQ(boxes, c.boxes);

    dmi.ClearCalls();
    RunShutdown();
    const auto calls = dmi.calls();
    if (c.shutdownCall[0] == '\0') {
        EXPECT_TRUE(calls.empty());
    } else {
        EXPECT_EQ(calls, std::vector<std::string>{c.shutdownCall});
    }
    EXPECT_EQ(serviceState.registration, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartupFailure,
    testing::Values(StateCase{"load", Failing::Load, 0, 0, 0, "", ""},
                    StateCase{"probe", Failing::Probe, 1, 0, 0, "", ""},
                    StateCase{"register", Failing::Register, 1, 0, 0, "", ""},
                    StateCase{"version", Failing::Version, 1, 0, 0, "", ""},
                    StateCase{"component", Failing::Component, 1, 1, 0,
                              "ERROR: DMI implementation corrupted\n", "DmiUnregister"},
                    StateCase{"unregister", Failing::Unregister, 1, 1, 0, "", "DmiUnregister"},
                    StateCase{"buildRecord", Failing::BuildRecord, 1, 0, 0,
                              "abort: Registration failed\n"
                              "ERROR: Could not register the direct interface code\n",
                              ""},
                    StateCase{"registerCi", Failing::RegisterCi, 1, 0, 0,
                              "ERROR: Could not register the direct interface code\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Startup, SuccessIsUndoneByUnregisteringTheCi) {
    dmi.componentsByClass = {1};
    ASSERT_EQ(Start(), 1);
    dmi.ClearCalls();
    RunShutdown();
    EXPECT_EQ(dmi.calls(), std::vector<std::string>{"DmiUnregisterCi"});
}

TEST_F(Startup, FreesTheRegistrationRecordInOrder) {
    dmi.componentsByClass = {1};
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(dmi.freedBlocks.size(), 3u);
    // The entry array, the access list, then the record itself.
    EXPECT_EQ(dmi.freedBlocks,
              (std::vector<void*>{dmi.registeredEntries, dmi.registeredInfo.accessData,
                                  dmi.registeredRecord}));
    EXPECT_EQ(dmi.badFrees(), 0);
}

TEST_F(Startup, AMissingEntryPointIsNeverCalled) {
    DmiApi.DmiRegisterCi = nullptr;
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(boxes, "ERROR: DMI implementation corrupted\n");
    EXPECT_EQ(serviceState.libraryLoaded, 0u) << "nor may the failover check use the library";
    EXPECT_TRUE(dmi.calls().empty());
}

// An attempt after a failed one goes on from the bound library, undoes a management
// registration left in force before it connects again, and makes no second node address or
// MIF file list: after failures at every step that can fail, one attempt registers, and the
// service provider holds the three blocks of one successful install.
TEST_F(Startup, RetriesRecoverFromEveryFailureAndKeepOnlyOneSetOfBlocks) {
    for (int step = 0; step < 6; ++step) {
        probeAnswers = step != 0;
        dmi.registerFailures = step == 1 ? 6 : 0;
        dmi.getVersionStatus = step == 2 ? DMIERR_ILLEGAL_HANDLE : DMIERR_NO_ERROR;
        dmi.addComponentStatus = step == 3 ? DMIERR_DATABASE_CORRUPT : DMIERR_NO_ERROR;
        dmi.unregisterStatus = step == 4 ? DMIERR_ILLEGAL_HANDLE : DMIERR_NO_ERROR;
        dmi.registerCiStatus = step == 5 ? DMIERR_ILLEGAL_KEYS : DMIERR_NO_ERROR;
        const bool managementLeft = serviceState.managementRegistered == 1;
        const size_t before = dmi.calls().size();
        EXPECT_EQ(Start(), 0) << "step " << step;
        const auto calls = dmi.calls();
        const auto firstRegister = std::find(calls.begin() + before, calls.end(), "DmiRegister");
        const auto firstUnregister =
            std::find(calls.begin() + before, calls.end(), "DmiUnregister");
        if (managementLeft) {
            EXPECT_LT(firstUnregister, firstRegister)
                << "step " << step << ": the registration left in force is undone first";
        }
    }
    dmi.unregisterStatus = dmi.registerCiStatus = DMIERR_NO_ERROR;
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(loads, 1) << "the library is bound once";
    EXPECT_EQ(serviceState.managementRegistered, 0u);
    EXPECT_EQ(serviceState.ciRegistered, 1u);
    EXPECT_EQ(Count("DmiNewNodeAddress"), 1);
    EXPECT_EQ(Count("DmiNewFileDataList"), 1);
    const std::string path(dmi.addedMifPath.begin(), dmi.addedMifPath.end());
    EXPECT_EQ(path, "C:\\WINDOWS\\system\\korvo.mif") << "the kept list still names the file";
    EXPECT_EQ(dmi.outstanding(), 3);
    EXPECT_EQ(dmi.badFrees(), 0);
}

TEST_F(Startup, AnAttemptWhileRegisteredDoesNothing) {
    dmi.componentsByClass = {1};
    ASSERT_EQ(Start(), 1);
    dmi.ClearCalls();
    device.ClearExchanges();
    EXPECT_EQ(Start(), 1);
    EXPECT_TRUE(dmi.calls().empty());
    EXPECT_TRUE(device.exchanges().empty());
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(serviceState.ciRegistered, 1u);
}

TEST_F(Startup, EachBoxIsShownOnceHoweverOftenItsStepFails) {
    dmi.componentsByClass = {1};
    dmi.registerCiStatus = DMIERR_ILLEGAL_KEYS;
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(boxes, "ERROR: Could not register the direct interface code\n");
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(boxes, "");
    EXPECT_EQ(Count("DmiRegisterCi"), 2) << "the retry tried again";

    dmi.componentsByClass.clear();  // now the install fails too: a box not yet shown
    dmi.addComponentStatus = DMIERR_DATABASE_CORRUPT;
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(boxes, "ERROR: DMI implementation corrupted\n");
}

// A modal box's message loop runs the retry timer within the attempt that shows the box; the
// pause between DmiRegister calls stands in for that loop here.
int nestedResult = -1;
void StartAgainWhilePausing(DWORD) {
    nestedResult = RunStartup();
}

TEST_F(Startup, AnAttemptStartedWithinAnotherDoesNothing) {
    dmi.componentsByClass = {1};
    dmi.registerFailures = 1;
    nestedResult = -1;
    startupSleep = StartAgainWhilePausing;
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(nestedResult, 0);
    EXPECT_EQ(Count("DmiGetSysMemDsc"), 1);
    EXPECT_EQ(Count("DmiRegister"), 2);
    EXPECT_EQ(Count("DmiRegisterCi"), 1);
}

TEST_F(Startup, AFailedLoadIsTriedAgain) {
    libraryLoads = false;
    EXPECT_EQ(Start(), 0);
    libraryLoads = true;
    dmi.componentsByClass = {1};
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(loads, 2);
}

class LoadLibrary : public testing::Test {
  protected:
    LoadLibrary() {
        ResetServiceState();
        char cwd[4096];
        saved = getcwd(cwd, sizeof cwd);
    }
    ~LoadLibrary() override {
        (void)!chdir(saved.c_str());
        ResetServiceState();
        DmiApi = DmiApiTable{};
    }
    std::string saved;
};

TEST_F(LoadLibrary, EntersTheBinDirectoryEvenWhenTheLoadFails) {
    korvo::test::PrivateRoot root;
    const std::string bin = root.path() + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0700), 0);
    ScopedEnv path("WIN32DMIPATH", root.path().c_str());
    EXPECT_EQ(LoadDmiLibrary(), 0);
    char cwd[4096];
    EXPECT_EQ(std::string(getcwd(cwd, sizeof cwd)), bin);
}

TEST_F(LoadLibrary, ATooLongPathLeavesTheDirectoryAlone) {
    const std::string longPath(300, 'd');
    ScopedEnv path("WIN32DMIPATH", longPath.c_str());
    EXPECT_EQ(LoadDmiLibrary(), 0);
    char cwd[4096];
    EXPECT_EQ(std::string(getcwd(cwd, sizeof cwd)), saved);
}

}  // namespace

// Every WM_ENDSESSION ends the agent but a log-off that Windows 95, 98 and ME let a service
// process outlive. Where the agent could not register as a service process (NT-based Windows),
// a log-off ends it, as it ends the user's processes.
TEST(SessionEnd, EndsTheAgentUnlessAServiceProcessOutlivesALogOff) {
    const struct {
        LPARAM how;
        uint32_t serviceProcess;
        int ends;
    } cases[] = {
        {0, 1, 1},  // shut down or restarted
        {0, 0, 1},
        {ENDSESSION_LOGOFF, 1, 0},  // a log-off outlived
        {ENDSESSION_LOGOFF, 0, 1},  // a log-off that ends every process of the user
    };
    for (const auto& c : cases) {
        serviceState.serviceProcess = c.serviceProcess;
        EXPECT_EQ(SessionEndEndsAgent(c.how), c.ends)
            << "lParam " << c.how << " service process " << c.serviceProcess;
    }
    ResetServiceState();
}

TEST(SessionEnd, TheAgentRegistersAsAServiceProcessWhereKernel32OffersIt) {
    ResetServiceState();
    EXPECT_EQ(RegisterAsServiceProcess(), 1);
    EXPECT_EQ(serviceState.serviceProcess, 1u);
    ResetServiceState();
}

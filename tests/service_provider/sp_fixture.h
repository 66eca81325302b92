// What the service provider's tests share: a private $WIN32DMIPATH per test with the library
// reset around it, a small MIF of our own, a test instrumentation whose callbacks behave like a
// real one (records from the library, rows ending in "row not found"), and a line client for
// the management socket.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dmi/dmi.h"
#include "korvo/provider_files.h"
#include "korvo_sp.h"
#include "support/json_line_socket.h"
#include "support/private_root.h"

namespace korvo::sp::test {

// Component "Test Widget": group 1 (ComponentID: a declared Manufacturer, an enumerated
// Verify), group 2 (a table keyed by attribute 1, served by the test instrumentation except
// attributes 5 and 6), group 3 (an event-generation group keyed by attribute 5).
extern const char* const kTestMif;
constexpr const char* kWidgetTableClass = "TEST|Widget Table|001";
constexpr const char* kWidgetEventClass = "TEST|Widget Event|001";

class ServiceProviderTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& dmiPath() const { return dmiPath_; }  // $WIN32DMIPATH: <root>/dmi
    // The provider's file `name` (management::kLogFileName, ...) in dmiPath().
    std::string dmiFile(const char* name) const { return management::ProviderFile(dmiPath_, name); }
    const std::string& rootPath() const { return root_->path(); }
    // Writes a file below the private root and returns its path.
    std::string WriteFile(const std::string& name, const std::string& text);
    static std::string ReadFile(const std::string& path);

    DmiHandle RegisterManagement();
    // DmiAddComponent of the MIF at `path` (given as written), the way the agent calls it.
    DmiErrorStatus Install(DmiHandle handle, const std::string& path, DmiId* id);
    DmiId InstallTestMif();  // registers, installs kTestMif, unregisters

    DmiMemDsc md = nullptr;

  private:
    std::unique_ptr<korvo::test::PrivateRoot> root_;
    std::unique_ptr<korvo::test::ScopedEnv> dmiEnv_;
    std::string dmiPath_;
};

// The test instrumentation: group 2 rows 1 to 3 (attribute 1 the row, 2 a display string
// "row N" with its terminator counted, 3 a 64-bit counter, 4 a record the library never handed
// out), group 1 attribute 6 the integer 7. Every write is remembered.
struct TestInstrumentation {
    struct Write {
        DmiId group;
        DmiId attribute;
        std::vector<uint32_t> keys;
        uint32_t type;
        std::string text;
        uint32_t integer;
    };
    static std::mutex mutex;
    static std::vector<Write> writes;
    static std::vector<uint32_t> lastKeyTypes;
    // Reads of this row of group 2 answer "value unknown", as a failing instrumentation does.
    static constexpr uint32_t kUnknownRow = 7;

    // Registers it for `componentId` with the access list (1,6) (2,1) (2,2) (2,3) (2,4), the
    // way the agent does: the record is built with DmiAlloc and freed right after the call.
    static DmiErrorStatus Register(DmiId componentId, DmiHandle* handle);
    static void Reset();
};

// An event of component `componentId` built the way the agent builds its failover event
// (every string a separate one, even for equal texts): row 1 of group 3 keyed by the class of
// group 2, row 2 of group 2 keyed by row 2; the caller frees it with DmiFreeMultiRowData.
DmiMultiRowData* BuildWidgetEvent(DmiMemDsc md, DmiId componentId);

// One connection to the management socket, a JSON object per line each way.
using ManagementClient = korvo::test::JsonLineSocket;

}  // namespace korvo::sp::test

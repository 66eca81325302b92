// Every allocation the agent asks of the service provider fails in turn: start-up, a read of
// every attribute of every group, each write and a failover event are run with the Nth
// allocation failing, for N = 1, 2, ... until the operation no longer meets the failure. At each
// N the caller gets the status it should, nothing crashes, and no block is left outstanding but
// those start-up keeps for the life of the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "dmi/dmi_api.h"
#include "failover/failover.h"
#include "hardening_support.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/registration.h"
#include "mif_parser.h"
#include "state/service_state.h"

namespace korvo::hardening {
namespace {

// No operation of the agent makes more allocations than this; a sweep that gets here is lost.
constexpr unsigned MaxSteps = 40;

constexpr char CorruptedBox[] = "ERROR: DMI implementation corrupted";
constexpr char BuildFailedBox[] = "abort: Registration failed";
constexpr char RegisterFailedBox[] = "ERROR: Could not register the direct interface code";

// What start-up keeps for good: the node address, and on the install path the file-data list
// and the MIF path's counted string in its entry.
const std::multiset<std::string> KeptByInstall = {"DmiNewNodeAddress", "DmiNewFileDataList",
                                                  "DmiNewOctetString"};

std::multiset<std::string> Difference(const std::multiset<std::string>& after,
                                      const std::multiset<std::string>& before) {
    std::multiset<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::inserter(added, added.begin()));
    return added;
}

bool Includes(const std::multiset<std::string>& whole, const std::multiset<std::string>& part) {
    return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
}

class HardeningAllocation : public testing::Test {
  protected:
    // Start-up with the Nth allocation failing, from a clean agent and a service provider that
    // has forgotten its registrations (and, for the install path, its database).
    void SweepStartup(bool installPath) {
        for (unsigned n = 1;; ++n) {
            ASSERT_LT(n, MaxSteps) << "start-up never got past the injected failure";
            SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
            ResetAgentState();
            machine.ForgetServiceProvider(installPath);
            const auto before = OutstandingKinds();
            const unsigned badFrees = Controls().badFrees();

            Controls().failAllocation(n);
            std::string boxes;
            const int result = machine.Start(&boxes);
            const bool met = InjectionWasMet(n);
            const auto kept = Difference(OutstandingKinds(), before);

            EXPECT_EQ(Controls().badFrees(), badFrees);
            EXPECT_TRUE(Includes(KeptByInstall, kept)) << ServiceProviderReport();
            EXPECT_EQ(serviceState.libraryLoaded, 1u);
            if (result == 1) {
                EXPECT_EQ(serviceState.ciRegistered, 1u);
                EXPECT_EQ(serviceState.managementRegistered, 0u);
                EXPECT_EQ(boxes, "");
                ManagementLine console;
                const auto stats = console.Ask({{"op", "stats"}});
                EXPECT_EQ(stats["registered"], nlohmann::json::array({serviceState.componentId}));
            } else {
                // The state table: a failed component step leaves the management registration
                // for shutdown to undo, and is the only failure that says so in a box of its own.
                EXPECT_EQ(serviceState.ciRegistered, 0u);
                const bool componentFailed = boxes == std::string(CorruptedBox) + "\n";
                EXPECT_EQ(serviceState.managementRegistered, componentFailed ? 1u : 0u);
                EXPECT_TRUE(boxes.empty() || componentFailed ||
                            boxes == std::string(RegisterFailedBox) + "\n" ||
                            boxes == std::string(BuildFailedBox) + "\n" + RegisterFailedBox + "\n")
                    << boxes;
            }
            if (!met) {
                // The last run met no failure: the whole path, kept blocks and all.
                EXPECT_EQ(result, 1);
                if (installPath) {
                    EXPECT_EQ(kept, KeptByInstall);
                } else {
                    EXPECT_EQ(kept, std::multiset<std::string>{"DmiNewNodeAddress"});
                }
                return;
            }
        }
    }

    AgentMachine machine;
    InProcessAdapter adapter;
};

TEST_F(HardeningAllocation, StartupThatInstallsTheComponent) {
    SweepStartup(true);
}

TEST_F(HardeningAllocation, StartupThatFindsTheComponent) {
    ASSERT_EQ(machine.Start(), 1);  // installs it
    SweepStartup(false);
}

// Each group of the component table, with the last attribute id the MIF declares for it; ids 0
// to last + 1 are read. A group of the table that the MIF lacks fails the sweep.
struct GroupSpan {
    DmiId group;
    DmiId lastAttribute;
};
std::vector<GroupSpan> ServedGroups() {
    const auto mif = mif::ParseMifFile(std::string(KORVO_SOURCE_DIR) + "/mif/korvo.mif");
    std::vector<GroupSpan> spans;
    if (!mif) {
        ADD_FAILURE() << mif.error.Describe();
        return spans;
    }
    for (const ComponentGroup& group : ComponentGroups) {
        const mif::Group* declared = mif.component->FindGroup(group.id);
        if (declared == nullptr) {
            ADD_FAILURE() << "group " << group.id << " is not in the MIF";
            continue;
        }
        DmiId last = 0;
        for (const mif::Attribute& attribute : declared->attributes) {
            last = std::max<DmiId>(last, attribute.id);
        }
        spans.push_back({group.id, last});
    }
    return spans;
}

TEST_F(HardeningAllocation, EveryReadOfEveryGroup) {
    ASSERT_EQ(machine.Start(), 1);
    const DmiMemDsc md = serviceState.memoryDescriptor;
    const unsigned badFrees = Controls().badFrees();
    const auto before = OutstandingKinds();
    const std::vector<GroupSpan> served = ServedGroups();
    ASSERT_EQ(served.size(), std::size(ComponentGroups));

    for (const uint32_t mode : {0u, 1u}) {
        // Get asks for row 1, get-next for the row after key 0: row 1 again.
        DmiAttributeData key{};
        key.id = 1;
        key.data.type = MIF_INTEGER;
        key.data.value.words[0] = mode == 0 ? 1 : 0;
        DmiAttributeValues keys{1, &key};
        const auto callback = mode == 0 ? OnCiGetAttribute : OnCiGetNextAttribute;
        for (const GroupSpan& span : served) {
            for (DmiId attribute = 0; attribute <= span.lastAttribute + 1; ++attribute) {
                SCOPED_TRACE("mode " + std::to_string(mode) + " group " +
                             std::to_string(span.group) + " attribute " +
                             std::to_string(attribute));
                DmiAttributeData* record = nullptr;
                const DmiErrorStatus normal =
                    callback(0, span.group, attribute, nullptr, &keys, &record);
                ASSERT_NE(record, nullptr);
                DmiApi.DmiFreeAttributeData(record, md);

                for (unsigned n = 1;; ++n) {
                    ASSERT_LT(n, MaxSteps);
                    DmiAttributeData untouched{};
                    record = &untouched;
                    Controls().failAllocation(n);
                    const DmiErrorStatus status =
                        callback(0, span.group, attribute, nullptr, &keys, &record);
                    const bool met = InjectionWasMet(n);
                    if (!met) {
                        EXPECT_GT(n, 1u) << "every read makes its record first";
                        EXPECT_EQ(status, normal) << "allocation " << n;
                        DmiApi.DmiFreeAttributeData(record, md);
                        break;
                    }
                    EXPECT_EQ(status, DMIERR_OUT_OF_MEMORY) << "allocation " << n;
                    if (n == 1) {
                        EXPECT_EQ(record, &untouched) << "the record itself could not be made";
                    } else {
                        // A string of the value failed: the record is handed out with its id
                        // and without a value, and the caller frees it.
                        ASSERT_NE(record, &untouched);
                        EXPECT_EQ(record->id, attribute);
                        EXPECT_EQ(record->data.type, 0u);
                        DmiApi.DmiFreeAttributeData(record, md);
                    }
                }
                EXPECT_EQ(OutstandingKinds(), before) << ServiceProviderReport();
                EXPECT_EQ(Controls().badFrees(), badFrees) << ServiceProviderReport();
            }
        }
    }
}

TEST_F(HardeningAllocation, EveryWrite) {
    ASSERT_EQ(machine.Start(), 1);
    struct Write {
        DmiId group;
        DmiId attribute;
        DmiUnsigned type;
        uint32_t value;
        DmiErrorStatus status;
        uint16_t code;  // the request that carries it, 0 for none
    } writes[] = {
        {13, 1, MIF_INTEGER, 70001, DMIERR_NO_ERROR, 30},
        {14, 1, MIF_INTEGER, 70002, DMIERR_NO_ERROR, 32},
        {14, 2, MIF_INTEGER, 70003, DMIERR_NO_ERROR, 33},
        {14, 2, MIF_COUNTER, 70004, DMIERR_VALUE_EXCEEDS_MAXSIZE, 0},
        {13, 2, MIF_INTEGER, 70005, DMIERR_NO_ERROR, 0},
        {21, 1, MIF_INTEGER, 70006, DMIERR_NO_ERROR, 0},
    };
    const auto before = OutstandingKinds();
    for (const Write& write : writes) {
        SCOPED_TRACE("group " + std::to_string(write.group) + " attribute " +
                     std::to_string(write.attribute));
        DmiAttributeData key{};
        key.data.type = MIF_INTEGER;
        key.data.value.words[0] = 5;
        DmiAttributeValues keys{1, &key};
        DmiAttributeData value{};
        value.id = write.attribute;
        value.data.type = write.type;
        value.data.value.words[0] = write.value;
        for (unsigned n = 1;; ++n) {
            ASSERT_LT(n, MaxSteps);
            adapter.ClearExchanges();
            Controls().failAllocation(n);
            EXPECT_EQ(OnCiSetAttribute(0, write.group, write.attribute, nullptr, &keys, &value),
                      write.status);
            const bool met = InjectionWasMet(n);
            const auto sent = adapter.exchanges();
            if (write.code == 0) {
                EXPECT_TRUE(sent.empty());
            } else {
                ASSERT_EQ(sent.size(), 1u);
                EXPECT_EQ(sent[0].code, write.code);
                EXPECT_EQ(sent[0].index, 4);
                EXPECT_EQ(sent[0].value, write.value);
            }
            if (!met) {
                break;
            }
            ADD_FAILURE() << "a write allocated";
        }
        EXPECT_EQ(OutstandingKinds(), before);
    }
}

TEST_F(HardeningAllocation, FailoverEvent) {
    ASSERT_EQ(machine.Start(), 1);
    adapter.model().FailOver(2);
    const auto before = OutstandingKinds();
    const unsigned badFrees = Controls().badFrees();
    for (unsigned n = 1;; ++n) {
        ASSERT_LT(n, MaxSteps);
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        serviceState.lastActiveAdapter = 1;  // so that every check sees the change to 2
        const size_t events = machine.EventCount();
        Controls().failAllocation(n);
        RunFailoverCheck();
        const bool met = InjectionWasMet(n);
        EXPECT_EQ(serviceState.lastActiveAdapter, 2);
        EXPECT_EQ(serviceState.activeSlot, 4);
        EXPECT_EQ(OutstandingKinds(), before) << ServiceProviderReport();
        EXPECT_EQ(Controls().badFrees(), badFrees) << ServiceProviderReport();
        if (!met) {
            EXPECT_EQ(machine.EventCount(), events + 1) << "the whole event goes out";
            break;
        }
        // The label of the adapter row is the last string made and the only one whose
        // failure still lets the event go; every earlier failure stops it.
        if (machine.EventCount() != events) {
            EXPECT_EQ(machine.EventCount(), events + 1);
            EXPECT_EQ(n, 10u) << "only the label's failure lets an event out";
        }
    }
}

}  // namespace
}  // namespace korvo::hardening

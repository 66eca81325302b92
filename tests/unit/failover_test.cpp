// Failover detection and the failover event: the check's sequence of answers, the two rows of
// the event and their values, and every allocation failure releasing all it made.
#include <gtest/gtest.h>

#include <string>

#include "dmi/dmi_api.h"
#include "failover/failover.h"
#include "state/service_state.h"
#include "support/fake_device.h"
#include "support/fake_dmi.h"

namespace {

using korvo::test::FakeDevice;
using korvo::test::FakeDmi;

class Failover : public testing::Test {
  protected:
    Failover() {
        ResetServiceState();
        serviceState.memoryDescriptor = FakeDmi::memoryDescriptor();
        serviceState.libraryLoaded = 1;
        serviceState.componentId = 3;
        device.SetHandler([this](const FakeDevice::Exchange& exchange, FakeDevice::Record& r) {
            EXPECT_EQ(exchange.requestCode(), 56);
            r[4] = active;
            r[7] = bus;
            FakeDevice::PutWord(r, 16, deviceNumber);
            return FakeDevice::Reply{.success = answers ? 1u : 0u};
        });
    }
    ~Failover() override {
        EXPECT_EQ(dmi.outstanding(), 0);
        EXPECT_EQ(dmi.badFrees(), 0);
        ResetServiceState();
    }

    static std::string Text(const DmiAttributeData& entry) {
        const DmiString* str = entry.data.value.str;
        return str == nullptr ? "<null>" : std::string(str->body, str->size);
    }

    FakeDevice device;
    FakeDmi dmi;
    uint8_t active = 1;
    uint8_t bus = 0;
    uint32_t deviceNumber = 11;
    bool answers = true;
};

TEST_F(Failover, DetectsEachChangeOnce) {
    struct Step {
        uint8_t active;
        bool answers;
        uint32_t deviceNumber;
        bool changed;
        int32_t lastActive;
        int32_t slot;
    } steps[] = {
        {1, true, 11, false, 1, 11},  // adapter 1 is assumed active at start
        {2, true, 12, true, 2, 12},
        {2, true, 13, false, 2, 13},  // slot refreshed anyway
        {1, true, 11, true, 1, 11},
        {2, false, 99, false, 1, 11},  // no answer: no change, old values
        {1, false, 99, false, 1, 11},
        {2, true, 12, true, 2, 12},  // a real change after the outage
    };
    for (const Step& step : steps) {
        active = step.active;
        answers = step.answers;
        deviceNumber = step.deviceNumber;
        EXPECT_EQ(CheckFailover(), step.changed);
        EXPECT_EQ(serviceState.lastActiveAdapter, step.lastActive);
        EXPECT_EQ(serviceState.activeSlot, step.slot);
    }
}

TEST_F(Failover, FirstCheckSeeingAdapter2OriginatesOneEvent) {
    active = 2;
    RunFailoverCheck();
    RunFailoverCheck();
    ASSERT_EQ(dmi.originated.size(), 1u);
    EXPECT_EQ(dmi.originated[0].compId, 3u);
    EXPECT_FALSE(dmi.originated[0].hadLanguage);
    EXPECT_FALSE(dmi.originated[0].hadTimestamp);
}

TEST_F(Failover, ADriverThatDoesNotAnswerOriginatesNothing) {
    active = 2;
    answers = false;
    for (int timer = 0; timer < 3; ++timer) {
        RunFailoverCheck();
    }
    EXPECT_EQ(device.exchanges().size(), 3u);
    EXPECT_TRUE(dmi.originated.empty());
    answers = true;
    RunFailoverCheck();
    ASSERT_EQ(dmi.originated.size(), 1u) << "the change seen once the driver answers again";
}

TEST_F(Failover, NothingHappensBeforeTheLibraryIsBound) {
    serviceState.libraryLoaded = 0;
    active = 2;
    RunFailoverCheck();
    EXPECT_TRUE(device.exchanges().empty());
    EXPECT_TRUE(dmi.originated.empty());
}

TEST_F(Failover, EventRowsForEachActiveAdapter) {
    for (int32_t adapter : {1, 2, 7}) {
        serviceState.lastActiveAdapter = adapter;
        serviceState.activeSlot = 12;
        DmiMultiRowData* event = nullptr;
        ASSERT_EQ(BuildFailoverEvent(&event), 0u);
        ASSERT_EQ(FillFailoverEvent(event), 0u);
        ASSERT_EQ(event->size, 2u);

        const DmiRowData& generation = event->list[0];
        EXPECT_EQ(generation.compId, 3u);
        EXPECT_EQ(generation.groupId, 22u);
        EXPECT_EQ(std::string(generation.className->body, generation.className->size),
                  "FailoverEventGeneration|QEV^^Failover Event|001");
        ASSERT_EQ(generation.keyList->size, 1u);
        EXPECT_EQ(generation.keyList->list[0].id, 5u);
        EXPECT_EQ(Text(generation.keyList->list[0]), "QEV|Failover Adapter Table|001");
        ASSERT_EQ(generation.values->size, 7u);
        const int32_t generationValues[] = {1, 1, 0, 1, -1, 0, 1};
        for (DmiId id = 1; id <= 7; ++id) {
            const DmiAttributeData& entry = generation.values->list[id - 1];
            EXPECT_EQ(entry.id, id);
            if (id == 5) {
                EXPECT_EQ(entry.data.type, unsigned(MIF_DISPLAYSTRING));
                EXPECT_EQ(Text(entry), "QEV|Failover Adapter Table|001");
                EXPECT_NE(entry.data.value.str, generation.keyList->list[0].data.value.str)
                    << "each display string is a string of its own";
            } else {
                EXPECT_EQ(entry.data.type, unsigned(MIF_INTEGER));
                EXPECT_EQ(entry.data.value.integer, generationValues[id - 1]);
            }
        }

        const DmiRowData& table = event->list[1];
        EXPECT_EQ(table.compId, 3u);
        EXPECT_EQ(table.groupId, 21u);
        EXPECT_EQ(std::string(table.className->body, table.className->size),
                  "QEV|Failover Adapter Table|001");
        ASSERT_EQ(table.keyList->size, 1u);
        EXPECT_EQ(table.keyList->list[0].id, 1u);
        EXPECT_EQ(table.keyList->list[0].data.type, unsigned(MIF_INTEGER));
        EXPECT_EQ(table.keyList->list[0].data.value.integer, 1);
        ASSERT_EQ(table.values->size, 10u);
        const int32_t other = adapter == 1 ? 2 : 1;
        const int32_t tableValues[] = {adapter, 0, 1, 12, 1, adapter, 1, 1, 0, other};
        for (DmiId id = 1; id <= 10; ++id) {
            const DmiAttributeData& entry = table.values->list[id - 1];
            EXPECT_EQ(entry.id, id);
            if (id == 2) {
                EXPECT_EQ(Text(entry), "Adapter " + std::to_string(adapter));
            } else {
                EXPECT_EQ(entry.data.value.integer, tableValues[id - 1]) << "attribute " << id;
            }
        }
        DmiApi.DmiFreeMultiRowData(event, serviceState.memoryDescriptor);
    }
}

TEST_F(Failover, EveryAllocationFailureReleasesEverything) {
    // The event takes ten allocations; only the adapter label (the last) may fail and still
    // let the event go out.
    constexpr int EventAllocations = 10;
    for (int failing = 1; failing <= EventAllocations + 1; ++failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing) + " fails");
        serviceState.lastActiveAdapter = 1;
        dmi.originated.clear();
        active = 2;
        dmi.FailAllocation(failing);
        RunFailoverCheck();
        dmi.FailAllocation(0);
        EXPECT_EQ(dmi.originated.size(), failing >= EventAllocations ? 1u : 0u);
        EXPECT_EQ(dmi.outstanding(), 0);
        EXPECT_EQ(dmi.badFrees(), 0);
    }
}

TEST_F(Failover, FailedMultiRowDataCreatesNothingElse) {
    dmi.FailAllocation(1);
    DmiMultiRowData* event = nullptr;
    EXPECT_EQ(BuildFailoverEvent(&event), unsigned(DMIERR_OUT_OF_MEMORY));
    EXPECT_EQ(event, nullptr);
    EXPECT_EQ(dmi.allocations(), 1);
}

}  // namespace

// The registration record (its three blocks, the component id, the callbacks, the served
// pairs), what happens when the library cannot supply a block, and the callbacks handing
// each call to its handler and the handler's status back unchanged.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "dmi/dmi_api.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/registration.h"
#include "instrumentation/write_attribute.h"
#include "state/service_state.h"
#include "support/fake_dmi.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::FakeDmi;
using korvo::test::KeyList;

class Registration : public testing::Test {
  protected:
    Registration() {
        ResetServiceState();
        serviceState.memoryDescriptor = FakeDmi::memoryDescriptor();
    }
    ~Registration() override { ResetServiceState(); }

    // What the registration step does once the service provider has seen the record.
    void FreeRecord(DmiRegisterInfo* record) {
        DmiApi.DmiFree(record->accessData->list, serviceState.memoryDescriptor);
        DmiApi.DmiFree(record->accessData, serviceState.memoryDescriptor);
        DmiApi.DmiFree(record, serviceState.memoryDescriptor);
    }

    FakeDmi dmi;
};

TEST_F(Registration, RecordNamesTheComponentCallbacksAndServedPairs) {
    serviceState.componentId = 0x1234;
    DmiRegisterInfo* record = nullptr;
    ASSERT_EQ(BuildCiRegistration(&record), 1);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(serviceState.registration, record);
    EXPECT_EQ(dmi.allocations(), 3);

    EXPECT_EQ(record->compId, 0x1234u);
    EXPECT_EQ(record->ciGetAttribute, &OnCiGetAttribute);
    EXPECT_EQ(record->ciGetNextAttribute, &OnCiGetNextAttribute);
    EXPECT_EQ(record->ciReserveAttribute, &OnCiReserveAttribute);
    EXPECT_EQ(record->ciReleaseAttribute, &OnCiReleaseAttribute);
    EXPECT_EQ(record->ciSetAttribute, &OnCiSetAttribute);
    EXPECT_EQ(record->ciAddRow, &OnCiAddRow);
    EXPECT_EQ(record->ciDeleteRow, &OnCiDeleteRow);

    // Every group of the component table in its order but the failover pair, whose reads the
    // service provider answers itself; group 1 by attribute 6 alone, as the service provider
    // answers its attributes 1 to 5 from the MIF, and group 2 by attribute 2.
    std::vector<std::pair<DmiId, DmiId>> served;
    for (const ComponentGroup& group : ComponentGroups) {
        if (group.id != 20 && group.id != 21) {
            served.emplace_back(group.id, group.id == 1 ? 6 : group.id == 2 ? 2 : 0);
        }
    }
    ASSERT_NE(record->accessData, nullptr);
    ASSERT_EQ(record->accessData->size, served.size());
    std::vector<std::pair<DmiId, DmiId>> listed;
    for (DmiUnsigned i = 0; i < record->accessData->size; ++i) {
        listed.emplace_back(record->accessData->list[i].groupId,
                            record->accessData->list[i].attributeId);
    }
    EXPECT_EQ(listed, served);

    FreeRecord(record);
    EXPECT_EQ(dmi.outstanding(), 0);
    EXPECT_EQ(dmi.badFrees(), 0);
}

// A library that gives out a null block while reporting success.
int nullBlockAt = 0;
DmiAllocFn realAlloc = nullptr;
void* AllocNullOnce(DmiUnsigned size, DmiMemDsc md, DmiErrorStatus* status) {
    if (--nullBlockAt == 0) {
        *status = DMIERR_NO_ERROR;
        return nullptr;
    }
    return realAlloc(size, md, status);
}

TEST_F(Registration, AFailedBlockLeavesNothingBehind) {
    auto* const stale = reinterpret_cast<DmiRegisterInfo*>(0x1000);
    for (bool nullUnderSuccess : {false, true}) {
        for (int failing = 1; failing <= 3; ++failing) {
            SCOPED_TRACE(testing::Message()
                         << "block " << failing << (nullUnderSuccess ? " null" : " refused"));
            if (nullUnderSuccess) {
                realAlloc = DmiApi.DmiAlloc;
                nullBlockAt = failing;
                DmiApi.DmiAlloc = AllocNullOnce;
            } else {
                dmi.FailAllocation(failing);
            }
            serviceState.registration = stale;
            DmiRegisterInfo* record = stale;

            EXPECT_EQ(BuildCiRegistration(&record), 0);
            EXPECT_EQ(record, nullptr);
            EXPECT_EQ(serviceState.registration, nullptr);
            EXPECT_EQ(dmi.outstanding(), 0);
            EXPECT_EQ(dmi.badFrees(), 0);

            dmi.FailAllocation(0);
            if (nullUnderSuccess) {
                DmiApi.DmiAlloc = realAlloc;
            }
        }
    }
}

class Callbacks : public korvo::test::ReadFixture {
  protected:
    // Frees what a read callback handed out, as the service provider would.
    void Release(DmiAttributeData* record) {
        if (record != nullptr) {
            DmiApi.DmiFreeAttributeData(record, serviceState.memoryDescriptor);
        }
    }
};

TEST_F(Callbacks, GetAndGetNextDifferOnlyInTheMode) {
    DmiAttributeData* got = nullptr;
    DmiAttributeData* next = nullptr;
    ASSERT_EQ(OnCiGetAttribute(42, 3, 1, nullptr, nullptr, &got), 0u);
    ASSERT_EQ(OnCiGetNextAttribute(42, 3, 1, nullptr, nullptr, &next), 0u);
    EXPECT_EQ(got->id, 1u);
    EXPECT_EQ(got->data.value.words[0], 1u) << "get of no key is row 1";
    EXPECT_EQ(next->data.value.words[0], 2u) << "get-next of no key is row 2";
    Release(got);
    Release(next);
}

TEST_F(Callbacks, StatusesComeBackUnchanged) {
    KeyList row3{3};
    KeyList row4{4};
    DmiAttributeData* record = nullptr;
    EXPECT_EQ(OnCiGetAttribute(42, 3, 1, nullptr, row4.get(), &record), DMIERR_ROW_NOT_FOUND);
    Release(std::exchange(record, nullptr));
    EXPECT_EQ(OnCiGetNextAttribute(42, 3, 1, nullptr, row3.get(), &record), DMIERR_ROW_NOT_FOUND);
    Release(std::exchange(record, nullptr));
    dmi.FailAllocation(1);
    EXPECT_EQ(OnCiGetAttribute(42, 1, 6, nullptr, nullptr, &record), DMIERR_OUT_OF_MEMORY);
    EXPECT_EQ(record, nullptr);
    dmi.FailAllocation(1);
    EXPECT_EQ(OnCiGetNextAttribute(42, 1, 6, nullptr, nullptr, &record), DMIERR_OUT_OF_MEMORY);
    EXPECT_EQ(record, nullptr);
    dmi.FailAllocation(0);

    DmiString text{3, const_cast<char*>("abc")};
    DmiAttributeData displayString{};
    displayString.data.type = MIF_DISPLAYSTRING;
    displayString.data.value.str = &text;
    EXPECT_EQ(OnCiSetAttribute(42, 14, 1, nullptr, nullptr, &displayString), WriteValueNotInteger);
    DmiAttributeData integer{};
    integer.data.type = MIF_INTEGER;
    integer.data.value.words[0] = 9;
    EXPECT_EQ(OnCiSetAttribute(42, 14, 2, nullptr, row3.get(), &integer), 0u);
    const auto sent = device.exchanges();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].requestCode(), 33);
    EXPECT_EQ(sent[0].byte(11), 2);
    EXPECT_EQ(sent[0].word(16), 9u);

    for (DmiUnsigned a : {0u, 1u, 0xFFFFFFFFu}) {
        EXPECT_EQ(OnCiReserveAttribute(a, a + 1, a + 2, a + 3, a + 4), 0u);
        EXPECT_EQ(OnCiReleaseAttribute(a, a + 1, a + 2, a + 3, a + 4), 0u);
        EXPECT_EQ(OnCiAddRow(a), 0u);
        EXPECT_EQ(OnCiDeleteRow(a), 0u);
    }
}

}  // namespace

// The rules every read follows: the record handed out and tagged, the row key and requested
// row, the rows of the single-row groups, unknown groups and attributes, a driver that does not
// answer, failures of the library's allocations, string values, and the text formatting helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dmi/dmi_api.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/read_attribute.h"
#include "instrumentation/read_rules.h"
#include "state/service_state.h"
#include "support/private_root.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::FakeDevice;
using korvo::test::KeyList;
using korvo::test::ReadFixture;

class ReadCommon : public ReadFixture {};

// The groups the component table lacks, from 0 to two past its last, and the largest id.
std::vector<DmiId> UnservedGroups() {
    std::vector<DmiId> groups;
    DmiId last = 0;
    for (const ComponentGroup& group : ComponentGroups) {
        last = std::max(last, group.id);
    }
    for (DmiId group = 0; group <= last + 2; ++group) {
        if (FindComponentGroup(group) == nullptr) {
            groups.push_back(group);
        }
    }
    groups.push_back(0xFFFFFFFFu);
    return groups;
}

TEST_F(ReadCommon, UnservedGroupsAnswerZeroWithOnlyTheId) {
    for (DmiId group : UnservedGroups()) {
        const auto result = Read(group, 5);
        EXPECT_EQ(result.status, 0u) << "group " << group;
        ASSERT_NE(result.record, nullptr);
        EXPECT_EQ(result.record->id, 5u);
        EXPECT_EQ(result.type(), 0u);
    }
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadCommon, UnlistedAttributeAnswersZeroWithOnlyTheId) {
    const auto result = Read(1, 7);
    EXPECT_EQ(result.status, 0u);
    EXPECT_EQ(result.record->id, 7u);
    EXPECT_EQ(result.type(), 0u);
}

TEST_F(ReadCommon, FailedRecordAllocationIsReturnedAndNothingHandedOut) {
    dmi.FailAllocation(1);
    DmiAttributeData* record = reinterpret_cast<DmiAttributeData*>(0x1234);
    EXPECT_EQ(ReadAttribute(1, 1, 6, nullptr, nullptr, &record, 0), DMIERR_OUT_OF_MEMORY);
    EXPECT_EQ(record, reinterpret_cast<DmiAttributeData*>(0x1234));
}

// Every attribute whose value comes from the driver, under each way an exchange fails: the
// read answers "value unknown" and the record keeps its id and no value, whatever the reply
// bytes hold. The failing replies carry a plausible reply (an NDIS 5.0 driver name, a
// non-empty table entry, a state that makes group 3's row 3 exist) so that a read which used
// them anyway would show.
TEST_F(ReadCommon, AFailedExchangeLeavesTheValueUnknown) {
    struct Attribute {
        DmiId group, attribute;
        uint32_t key;  // 0: no key list
    };
    const Attribute attributes[] = {
        {2, 2, 0},  {3, 1, 3},   {4, 2, 0},  {4, 3, 0},  {4, 6, 0},   {4, 13, 0},
        {5, 1, 2},  {5, 4, 2},   {6, 2, 0},  {6, 3, 0},  {7, 1, 0},   {7, 2, 0},
        {7, 3, 0},  {7, 4, 0},   {7, 5, 0},  {7, 6, 0},  {8, 9, 0},   {10, 1, 0},
        {10, 2, 0}, {11, 1, 0},  {11, 3, 0}, {11, 4, 0}, {12, 1, 0},  {13, 1, 7},
        {13, 2, 7}, {14, 1, 35}, {14, 2, 1}, {15, 1, 0}, {15, 20, 0}, {16, 1, 0},
        {16, 2, 0}, {16, 3, 0},  {16, 4, 0}, {16, 6, 0}, {21, 4, 1},  {21, 8, 0},
    };
    struct Failure {
        const char* name;
        FakeDevice::Reply how;
        bool failedStatus;  // the driver sets the status word to 0xFFFF
        bool noDevice;      // the control device cannot be opened
    };
    const Failure failures[] = {
        {"control call fails", {.success = 0}, false, false},
        {"no bytes returned", {.bytesReturned = 0}, false, false},
        {"status 0xFFFF", {}, true, false},
        {"connection dropped", {.hangUp = true}, false, false},
        {"no control device", {}, false, true},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        device.SetHandler([&failure](const FakeDevice::Exchange&, FakeDevice::Record& r) {
            const char name[] = "KORVOm5";
            std::memcpy(&r[4], name, sizeof name);
            r[11] = 0;                      // not the empty-entry mark
            FakeDevice::PutWord(r, 16, 2);  // state 2: group 3's row 3 exists
            if (failure.failedStatus) {
                r[2] = r[3] = 0xFF;
            }
            return failure.how;
        });
        std::optional<korvo::test::PrivateRoot> emptyMachine;
        if (failure.noDevice) {
            emptyMachine.emplace();
        }
        for (const Attribute& a : attributes) {
            SCOPED_TRACE("group " + std::to_string(a.group) + " attribute " +
                         std::to_string(a.attribute));
            KeyList keys{a.key};
            const auto result = Read(a.group, a.attribute, a.key != 0 ? keys.get() : nullptr);
            EXPECT_EQ(result.status, unsigned(DMIERR_VALUE_UNKNOWN));
            ASSERT_NE(result.record, nullptr);
            EXPECT_EQ(result.record->id, a.attribute);
            EXPECT_EQ(result.type(), 0u);
            EXPECT_EQ(result.record->data.value.words[0], 0u);
            EXPECT_EQ(result.record->data.value.words[1], 0u);
            EXPECT_EQ(SentCodes().size(), failure.noDevice ? 0u : 1u);
        }
        EXPECT_EQ(static_cast<LONG>(serviceState.driverVariant), 0)
            << "a failed name read set the variant";
    }
}

struct KeyCase {
    std::vector<uint32_t> keys;  // empty with `noList`: a null key list
    bool noList;
    uint32_t mode;
    uint32_t expectedRow;
};

TEST(RowKey, RequestedRowFollowsTheKeyAndMode) {
    const KeyCase cases[] = {
        {{}, true, 0, 1},
        {{}, true, 1, 2},
        {{}, false, 0, 1},
        {{}, false, 1, 2},
        {{0xFFFFFFFF}, false, 0, 1},
        {{0xFFFFFFFF}, false, 1, 2},
        {{0}, false, 0, 0},
        {{0}, false, 1, 1},
        {{5, 9}, false, 0, 5},
        {{0xFFFFFFFE}, false, 1, 0xFFFFFFFF},
    };
    for (const KeyCase& c : cases) {
        std::vector<DmiAttributeData> entries;
        for (uint32_t key : c.keys) {
            DmiAttributeData entry{};
            entry.data.type = MIF_INTEGER;
            entry.data.value.words[0] = key;
            entries.push_back(entry);
        }
        DmiAttributeValues list{static_cast<DmiUnsigned>(entries.size()), entries.data()};
        ReadCall call{3, 1, c.noList ? nullptr : &list, c.mode, nullptr};
        EXPECT_EQ(RequestedRow(call), c.expectedRow);
    }
}

TEST_F(ReadCommon, StringValueSetsLengthBodyAndType) {
    const auto result = Read(1, 99);  // any record to fill
    ASSERT_EQ(SetString(result.record, "ABC\0D", 5), 0u);
    EXPECT_EQ(result.type(), unsigned(MIF_DISPLAYSTRING));
    EXPECT_EQ(result.text(), std::string("ABC\0D", 5));
}

TEST_F(ReadCommon, FailedStringKeepsNoTypeAndPassesTheStatusOn) {
    const auto result = Read(1, 99);
    dmi.FailAllocation(1);
    EXPECT_EQ(SetString(result.record, "ABC", 3), DMIERR_OUT_OF_MEMORY);
    EXPECT_EQ(result.type(), 0u);
    EXPECT_EQ(result.record->data.value.str, nullptr);
}

TEST(FormatHex, WritesUpperCasePairsAndATerminator) {
    const uint8_t bytes[] = {0x00, 0x0A, 0xAB, 0xFF};
    char text[9];
    std::memset(text, 'x', sizeof text);
    FormatHex(text, bytes, 4);
    EXPECT_EQ(std::string(text, 9), std::string("000AABFF\0", 9));

    char empty[1] = {'x'};
    FormatHex(empty, bytes, 0);
    EXPECT_EQ(empty[0], '\0');
}

TEST(FormatVersion, SinglePartsAndCountModes) {
    const uint8_t version[3] = {0x01, 0x2B, 0xC3};  // reply bytes 4, 5, 6
    struct Case {
        int mode;
        const char* expected;  // 9 bytes
    } cases[] = {
        {-1, "C3\0X.XXX"},
        {-2, "2B\0X.XXX"},
        {-3, "01\0X.XXX"},
        {0, "X.XX.XXX"},
        {-4, "X.XX.XXX"},
        {1, "C3\0X.XXX"},
        {2,
         "C3\0"
         "2B\0XX"},
        {3,
         "C3\0"
         "2B\0"
         "01"},
        {7,
         "C3\0"
         "2B\0"
         "01"},
    };
    for (const Case& c : cases) {
        char text[9];
        std::memcpy(text, "X.XX.XXX", 9);
        FormatVersion(text, version, c.mode);
        EXPECT_EQ(std::string(text, 9), std::string(c.expected, 9)) << "mode " << c.mode;
    }
}

// The single-row groups ---------------------------------------------------------------------

TEST_F(ReadCommon, SingleRowGroupsRefuseOtherRowsBeforeAsking) {
    KeyList one{1}, two{2}, almostAll{0xFFFFFFFE};
    struct Case {
        DmiAttributeValues* keys;
        uint32_t mode;
        DmiId attribute;
    } cases[] = {
        {two.get(), 0, 2},       {nullptr, 1, 2},    {one.get(), 1, 2},
        {almostAll.get(), 1, 2}, {two.get(), 0, 99},  // the row is checked before the attribute
    };
    for (DmiId group : {4u, 6u, 8u}) {
        for (const Case& c : cases) {
            const auto result = Read(group, c.attribute, c.keys, c.mode);
            EXPECT_EQ(result.status, DMIERR_ROW_NOT_FOUND) << "group " << group;
            EXPECT_EQ(result.record->id, c.attribute);
            EXPECT_EQ(result.type(), 0u);
        }
    }
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadCommon, FirstAttributesUnderGetNextOfKeyZero) {
    KeyList zero{0};
    for (DmiId group : {4u, 6u, 8u}) {
        const auto next = ReadNext(group, 1, zero.get());
        EXPECT_EQ(next.status, DMIERR_ROW_NOT_FOUND) << "group " << group;
        EXPECT_EQ(next.type(), 0u);
        const auto get = Read(group, 1, zero.get());
        EXPECT_EQ(get.status, 0u);
        EXPECT_EQ(get.type(), 5u);
        EXPECT_EQ(get.u32(), 0u);
    }
    const auto group8Attribute2 = ReadNext(8, 2, zero.get());
    EXPECT_EQ(group8Attribute2.status, DMIERR_ATTRIBUTE_NOT_FOUND);
    EXPECT_EQ(group8Attribute2.type(), 0u);
    EXPECT_EQ(Read(8, 2, zero.get()).status, 0u);

    // Row 1 under get-next of key 0 answers the other attributes.
    EXPECT_EQ(ReadNext(4, 5, zero.get()).u32(), 10u);
    EXPECT_EQ(ReadNext(6, 6, zero.get()).u32(), 4u);
    EXPECT_EQ(ReadNext(8, 3, zero.get()).u32(), 3u);
}

// Unlisted attributes and failed strings, across the groups -----------------------------------

TEST_F(ReadCommon, UnlistedAttributesKeepOnlyTheirId) {
    const std::pair<DmiId, DmiId> unlisted[] = {{15, 0}, {15, 21}, {16, 8}, {10, 4},
                                                {11, 6}, {12, 5},  {20, 3}, {21, 11}};
    for (auto [group, attribute] : unlisted) {
        const auto result = Read(group, attribute);
        EXPECT_EQ(result.status, 0u) << group << "/" << attribute;
        EXPECT_EQ(result.record->id, attribute);
        EXPECT_EQ(result.type(), 0u) << group << "/" << attribute;
    }
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadCommon, AFailedStringCreationIsReturnedWithoutAType) {
    const std::pair<DmiId, DmiId> strings[] = {{10, 3}, {11, 5}, {12, 4}, {16, 1},
                                               {16, 6}, {16, 7}, {20, 1}, {21, 2}};
    for (auto [group, attribute] : strings) {
        dmi.FailAllocation(2);  // the record is the first allocation, the string the second
        const auto result = Read(group, attribute);
        EXPECT_EQ(result.status, unsigned(DMIERR_OUT_OF_MEMORY)) << group << "/" << attribute;
        ASSERT_NE(result.record, nullptr);
        EXPECT_EQ(result.type(), 0u) << group << "/" << attribute;
    }
    dmi.FailAllocation(0);
}

}  // namespace

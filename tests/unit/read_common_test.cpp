// The rules every read follows: the record handed out and tagged, the row key and requested
// row, unknown groups and attributes, failures of the library's allocations, string values,
// and the text formatting helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "dmi/dmi_api.h"
#include "instrumentation/read_attribute.h"
#include "instrumentation/read_rules.h"
#include "state/service_state.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::KeyList;
using korvo::test::ReadFixture;

class ReadCommon : public ReadFixture {};

TEST_F(ReadCommon, UnservedGroupsAnswerZeroWithOnlyTheId) {
    for (DmiId group : {0u, 9u, 17u, 18u, 19u, 22u, 23u, 0xFFFFFFFFu}) {
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

struct KeyCase {
    std::vector<uint32_t> keys;  // empty with `noList`: a null key list
    bool noList;
    uint32_t mode;
    uint32_t expectedRow;
};

TEST(RowKey, RequestedRowFollowsTheKeyAndMode) {
    const KeyCase cases[] = {
        {{}, true, 0, 1},           {{}, true, 1, 2},
        {{}, false, 0, 1},          {{}, false, 1, 2},
        {{0xFFFFFFFF}, false, 0, 1}, {{0xFFFFFFFF}, false, 1, 2},
        {{0}, false, 0, 0},         {{0}, false, 1, 1},
        {{5, 9}, false, 0, 5},      {{0xFFFFFFFE}, false, 1, 0xFFFFFFFF},
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
        {-1, "C3\0X.XXX"}, {-2, "2B\0X.XXX"},      {-3, "01\0X.XXX"},
        {0, "X.XX.XXX"},   {-4, "X.XX.XXX"},       {1, "C3\0X.XXX"},
        {2, "C3\0" "2B\0XX"}, {3, "C3\0" "2B\0" "01"}, {7, "C3\0" "2B\0" "01"},
    };
    for (const Case& c : cases) {
        char text[9];
        std::memcpy(text, "X.XX.XXX", 9);
        FormatVersion(text, version, c.mode);
        EXPECT_EQ(std::string(text, 9), std::string(c.expected, 9)) << "mode " << c.mode;
    }
}

}  // namespace

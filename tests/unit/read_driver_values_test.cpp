// The single-row groups of driver values (10, 11, 12): values computed from the driver's
// replies, the driver file's name, and the rows they serve.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state/service_state.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::KeyList;
using korvo::test::ReadFixture;

class ReadDriverValues : public ReadFixture {};

struct IntegerCase {
    DmiId group;
    DmiId attribute;
    uint16_t request;  // 0: none
    uint32_t reply;
    DmiUnsigned type;
    uint64_t expected;
};

TEST_F(ReadDriverValues, SingleRowGroupsComputeTheirValues) {
    const IntegerCase cases[] = {
        {10, 1, 23, 0x12345678, MIF_INTEGER64, 0x5678},
        {10, 2, 23, 0x12345678, MIF_INTEGER64, 0x5678 + 31},
        {10, 2, 23, 0xFFFFFFFF, MIF_INTEGER64, 0xFFFF + 31},
        {11, 1, 24, 0xDEADBEEF, MIF_INTEGER, 0xDEADBEEF},
        {11, 2, 0, 0, MIF_INTEGER, 3},
        {11, 3, 22, 1, MIF_INTEGER, 3},
        {11, 3, 22, 2, MIF_INTEGER, 4},
        {11, 3, 22, 0, MIF_INTEGER, 4},
        {11, 4, 22, 1, MIF_INTEGER, 1},
        {11, 4, 22, 3, MIF_INTEGER, 0},
        {12, 1, 25, 0xFFFFFFFE, MIF_INTEGER, 0xFFFFFFFE},
        {12, 2, 0, 0, MIF_INTEGER, 1},
        {12, 3, 0, 0, MIF_INTEGER, 0},
    };
    for (const IntegerCase& c : cases) {
        if (c.request != 0) {
            ReplyValue(c.request, c.reply, 0xAAAAAAAA);
        }
        const auto result = Read(c.group, c.attribute);
        const std::string what =
            "group " + std::to_string(c.group) + " attribute " + std::to_string(c.attribute);
        EXPECT_EQ(result.status, 0u) << what;
        EXPECT_EQ(result.type(), c.type) << what;
        EXPECT_EQ(c.type == MIF_INTEGER64 ? result.u64() : result.u32(), c.expected) << what;
        EXPECT_EQ(SentCodes(),
                  c.request != 0 ? std::vector<uint16_t>{c.request} : std::vector<uint16_t>{})
            << what;
    }
}

TEST_F(ReadDriverValues, DriverFileNameFollowsTheDriverVariant) {
    const std::pair<DmiId, DmiId> attributes[] = {{10, 3}, {11, 5}, {12, 4}};
    for (uint32_t variant : {0u, 1u}) {
        serviceState.driverVariant = static_cast<LONG>(variant);
        for (auto [group, attribute] : attributes) {
            const auto result = Read(group, attribute);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), unsigned(MIF_DISPLAYSTRING));
            EXPECT_EQ(result.text(), variant == 0 ? "KORVOm4.SYS" : "KORVOm5.SYS");
        }
    }
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadDriverValues, SingleRowGroupsServeRowsZeroAndOneOnly) {
    ReplyValue(23, 5);
    KeyList zero{0}, minusOne{0xFFFFFFFF}, minusTwo{0xFFFFFFFE}, two{2};
    for (DmiId group : {10u, 11u, 12u}) {
        const std::string what = "group " + std::to_string(group);
        // Get-next of key 0 asks for row 1: attribute 1 is refused, the others are served.
        EXPECT_EQ(ReadNext(group, 1, zero.get()).status, unsigned(DMIERR_ROW_NOT_FOUND)) << what;
        EXPECT_TRUE(SentCodes().empty()) << what;
        const auto second = ReadNext(group, 2, zero.get());
        EXPECT_EQ(second.status, 0u) << what;
        EXPECT_NE(second.type(), 0u) << what;
        // Without a key, get-next asks for row 2: nothing is served.
        for (DmiId attribute = 1; attribute <= 5; ++attribute) {
            const auto result = ReadNext(group, attribute);
            EXPECT_EQ(result.status, unsigned(DMIERR_ROW_NOT_FOUND))
                << what << " attribute " << attribute;
            EXPECT_EQ(result.type(), 0u);
        }
        EXPECT_EQ(Read(group, 1, two.get()).status, unsigned(DMIERR_ROW_NOT_FOUND)) << what;
        EXPECT_EQ(Read(group, 1, minusTwo.get()).status, unsigned(DMIERR_ROW_NOT_FOUND)) << what;
        EXPECT_EQ(Read(group, 1, zero.get()).status, 0u) << what << ": row 0 under get";
        EXPECT_EQ(Read(group, 1, minusOne.get()).status, 0u) << what << ": -1 is row 1";
        SentCodes();
    }
    EXPECT_EQ(ReadNext(10, 2, zero.get()).u64(), 5u + 31);
}

}  // namespace

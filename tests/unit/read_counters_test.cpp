// The counter groups: the fixed values and 32-bit counters of group 8 and the twenty 64-bit
// counters of group 15.
#include <gtest/gtest.h>

#include <vector>

#include "support/read_fixture.h"

namespace {

using korvo::test::KeyList;
using korvo::test::ReadFixture;

class ReadCounters : public ReadFixture {};

TEST_F(ReadCounters, Group8ValuesAndCounters) {
    ReplyValue(21, 0xCAFE);
    struct Case {
        DmiId attribute;
        uint32_t value;
        uint32_t type;
    } cases[] = {{1, 0, 5}, {2, 0, 5}, {3, 3, 5}, {4, 4, 5},     {5, 3, 5},
                 {6, 4, 5}, {7, 0, 1}, {8, 0, 1}, {9, 0xCAFE, 1}};
    for (const Case& c : cases) {
        const auto result = Read(8, c.attribute);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), c.type) << "attribute " << c.attribute;
        EXPECT_EQ(result.u32(), c.value) << "attribute " << c.attribute;
    }
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{21}));
    EXPECT_EQ(Read(8, 10).type(), 0u);
}

TEST_F(ReadCounters, Group15GivesTwenty64BitCounters) {
    KeyList keys{500};
    for (DmiId attribute = 1; attribute <= 20; ++attribute) {
        const auto code = uint16_t(33 + attribute);
        ReplyValue(code, 0xF0000000 | attribute, 0x80000000 | attribute);
        for (uint32_t mode : {0u, 1u}) {
            const auto result = Read(15, attribute, mode ? keys.get() : nullptr, mode);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), unsigned(MIF_COUNTER64));
            EXPECT_EQ(result.u64(),
                      (uint64_t(0x80000000 | attribute) << 32) | 0xF0000000 | attribute)
                << "attribute " << attribute;
            EXPECT_EQ(SentCodes(), std::vector<uint16_t>{code});
        }
    }
}

}  // namespace

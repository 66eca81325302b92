// The driver tables (13 and 14): the rows they serve and the row index each read sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/read_fixture.h"

namespace {

using korvo::test::KeyList;
using korvo::test::ReadFixture;

struct RowCase {
    std::vector<uint32_t> keys;  // empty: no key list
    uint32_t mode;
    bool served;
    uint32_t row;  // R, when served
};

class IndexedTables : public ReadFixture {
  protected:
    void Check(DmiId group, uint16_t indexRequest, uint16_t valueRequest,
               const std::vector<RowCase>& cases) {
        ReplyValue(valueRequest, 0xFFFFFFF0, 0x77777777);
        for (const RowCase& c : cases) {
            KeyList keys{c.keys.empty() ? 0u : c.keys[0]};
            DmiAttributeValues* list = c.keys.empty() ? nullptr : keys.get();
            std::string what = "group " + std::to_string(group) + " mode " +
                               std::to_string(c.mode) + " key " +
                               (c.keys.empty() ? "none" : std::to_string(c.keys[0]));
            const auto first = Read(group, 1, list, c.mode);
            const auto second = Read(group, 2, list, c.mode);
            const auto unlisted = Read(group, 3, list, c.mode);
            const auto exchanges = device.exchanges();
            device.ClearExchanges();
            if (!c.served) {
                for (const auto& result : {first, second, unlisted}) {
                    EXPECT_EQ(result.status, unsigned(DMIERR_ROW_NOT_FOUND)) << what;
                    EXPECT_EQ(result.type(), 0u) << what;
                }
                EXPECT_TRUE(exchanges.empty()) << what << ": refused before any request";
                continue;
            }
            EXPECT_EQ(first.status, 0u) << what;
            EXPECT_EQ(first.type(), unsigned(MIF_INTEGER)) << what;
            EXPECT_EQ(first.u32(), c.row) << what;
            EXPECT_EQ(second.type(), unsigned(MIF_INTEGER64)) << what;
            EXPECT_EQ(second.u64(), 0xFFFFFFF0u) << what << ": zero-extended, high half ignored";
            EXPECT_EQ(unlisted.status, 0u) << what;
            EXPECT_EQ(unlisted.type(), 0u) << what;
            ASSERT_EQ(exchanges.size(), 2u) << what;
            EXPECT_EQ(exchanges[0].requestCode(), indexRequest) << what;
            EXPECT_EQ(exchanges[1].requestCode(), valueRequest) << what;
            for (const auto& exchange : exchanges) {
                EXPECT_EQ(exchange.byte(11), uint8_t(c.row - 1)) << what;
                EXPECT_EQ(exchange.word(16), c.row - 1) << what;
            }
        }
    }
};

TEST_F(IndexedTables, Group13SendsTheRowIndexOfRowsZeroTo125) {
    Check(13, 30, 27,
          {
              {{}, 0, true, 1},
              {{}, 1, true, 2},
              {{1}, 0, true, 1},
              {{0xFFFFFFFF}, 0, true, 1},
              {{0}, 0, true, 0},  // index byte 255, word 0xFFFFFFFF
              {{0}, 1, true, 1},
              {{125}, 0, true, 125},
              {{124}, 1, true, 125},
              {{126}, 0, false, 0},
              {{125}, 1, false, 0},
              {{0xFFFFFFFE}, 0, false, 0},
              {{0xFFFFFFFE}, 1, false, 0},  // R wraps to 0xFFFFFFFF
          });
}

TEST_F(IndexedTables, Group14SendsTheRowIndexOfRowsZeroTo35) {
    Check(14, 32, 29,
          {
              {{}, 0, true, 1},
              {{0}, 0, true, 0},
              {{0}, 1, true, 1},
              {{35}, 0, true, 35},
              {{34}, 1, true, 35},
              {{36}, 0, false, 0},
              {{35}, 1, false, 0},
              {{0xFFFFFFFE}, 0, false, 0},
          });
}

}  // namespace

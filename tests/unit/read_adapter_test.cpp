// The adapter's groups: addresses and 64-bit counters (4), the driver's address table walked
// under get-next (5), and the state values of group 7.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/read_fixture.h"

namespace {

using korvo::test::FakeDevice;
using korvo::test::KeyList;
using korvo::test::ReadFixture;

class ReadAdapter : public ReadFixture {};

// Group 4 -----------------------------------------------------------------------------------

TEST_F(ReadAdapter, Group4ConstantsAndAddressTexts) {
    OnRequest(1, [](Record& r) { PutBytes(r, 4, {0x00, 0x1b, 0xaf, 0x09, 0xc0, 0xff}); });
    OnRequest(2, [](Record& r) { PutBytes(r, 4, {0xde, 0xad, 0x00, 0x00, 0x0a, 0x01}); });

    const auto first = Read(4, 2);
    EXPECT_EQ(first.status, 0u);
    EXPECT_EQ(first.type(), 8u);
    EXPECT_EQ(first.text(), std::string("001BAF09C0FF\0", 13));
    const auto second = Read(4, 3);
    EXPECT_EQ(second.text(), std::string("DEAD00000A01\0", 13));
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{1, 2}));

    const std::pair<DmiId, uint32_t> constants[] = {{1, 0}, {4, 1}, {5, 10}};
    for (auto [attribute, expected] : constants) {
        const auto result = Read(4, attribute);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), 5u);
        EXPECT_EQ(result.u32(), expected) << "attribute " << attribute;
    }
    EXPECT_EQ(Read(4, 14).type(), 0u) << "unlisted attribute";
    EXPECT_TRUE(SentCodes().empty());
}

TEST_F(ReadAdapter, Group4CountersCarryTheHighHalf) {
    for (uint16_t code = 3; code <= 10; ++code) {
        OnRequest(code, [code](Record& r) {
            FakeDevice::PutWord(r, 16, 0xF0000000u + code);
            FakeDevice::PutWord(r, 20, code);
        });
    }
    for (DmiId attribute = 6; attribute <= 13; ++attribute) {
        const uint64_t code = attribute - 3;
        const auto result = Read(4, attribute);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), 2u);
        EXPECT_EQ(result.u64(), code << 32 | (0xF0000000u + code)) << "attribute " << attribute;
    }
    EXPECT_EQ(SentCodes(), (std::vector<uint16_t>{3, 4, 5, 6, 7, 8, 9, 10}));
}

// Group 5 -----------------------------------------------------------------------------------

class AddressTable : public ReadFixture {
  protected:
    // A table of three entries at indexes 0 to 2, the address bytes derived from the index;
    // every other index is marked empty.
    void ThreeEntries() {
        OnRequest(11, [](Record& r) {
            const uint8_t index = r[11];
            if (index < 3) {
                PutBytes(r, 4, {0xA0, 0x00, 0x00, 0x00, 0x00, uint8_t(index + 1)});
            } else {
                r[11] = 0x55;
            }
        });
    }
};

TEST_F(AddressTable, GetNextWalksTheTableToTheEmptyEntry) {
    ThreeEntries();
    uint32_t key = 0;
    std::vector<uint32_t> rows;
    std::vector<std::string> addresses;
    for (;;) {
        KeyList keys{key};
        const auto row = ReadNext(5, 1, keys.get());
        const auto address = ReadNext(5, 4, keys.get());
        if (row.status != 0) {
            EXPECT_EQ(row.status, DMIERR_ROW_NOT_FOUND);
            EXPECT_EQ(row.type(), 0u);
            EXPECT_EQ(address.status, DMIERR_ROW_NOT_FOUND);
            EXPECT_EQ(address.type(), 0u);
            EXPECT_EQ(address.record->id, 4u);
            break;
        }
        EXPECT_EQ(row.type(), 5u);
        EXPECT_EQ(address.type(), 8u);
        rows.push_back(row.u32());
        addresses.push_back(address.text());
        key = row.u32();
        ASSERT_LT(key, 10u) << "the walk never ended";
    }
    EXPECT_EQ(rows, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(addresses, (std::vector<std::string>{std::string("A00000000001\0", 13),
                                                   std::string("A00000000002\0", 13),
                                                   std::string("A00000000003\0", 13)}));

    // Key k under get-next asked for index byte k.
    const auto exchanges = device.exchanges();
    ASSERT_EQ(exchanges.size(), 8u);
    for (size_t i = 0; i < exchanges.size(); ++i) {
        EXPECT_EQ(exchanges[i].requestCode(), 11);
        EXPECT_EQ(exchanges[i].byte(11), i / 2);
        EXPECT_EQ(exchanges[i].word(16), i / 2);
    }
}

TEST_F(AddressTable, IndexWrapsAtByteSizeAndIsSignExtended) {
    OnRequest(11, [](Record&) {});  // every entry present; the reply is the request
    struct Case {
        uint32_t key;
        uint32_t mode;
        uint8_t indexByte;
        uint32_t indexWord;
        uint32_t row;
    } cases[] = {
        {1, 0, 0x00, 0x00000000, 1},     {128, 0, 0x7F, 0x0000007F, 128},
        {128, 1, 0x80, 0xFFFFFF80, 129}, {256, 0, 0xFF, 0xFFFFFFFF, 256},
        {255, 1, 0xFF, 0xFFFFFFFF, 256}, {0, 1, 0x00, 0x00000000, 1},
    };
    for (const Case& c : cases) {
        device.ClearExchanges();
        KeyList keys{c.key};
        const auto result = Read(5, 1, keys.get(), c.mode);
        EXPECT_EQ(result.status, 0u) << "row " << c.row;
        EXPECT_EQ(result.u32(), c.row) << "no last row of its own";
        const auto exchanges = device.exchanges();
        ASSERT_EQ(exchanges.size(), 1u);
        EXPECT_EQ(exchanges[0].byte(11), c.indexByte) << "row " << c.row;
        EXPECT_EQ(exchanges[0].word(16), c.indexWord) << "row " << c.row;
    }
}

// Row 0 and the rows past the 256th would alias other entries: they are not asked for.
TEST_F(AddressTable, RowsOutsideTheTableAreNotFoundWithoutAsking) {
    OnRequest(11, [](Record&) {});  // every entry present
    struct Case {
        uint32_t key;
        uint32_t mode;
    } cases[] = {{257, 0}, {256, 1}, {0, 0}, {1000, 0}, {0xFFFFFFFE, 0}, {0xFFFFFFFE, 1}};
    for (const Case& c : cases) {
        KeyList keys{c.key};
        for (DmiId attribute = 1; attribute <= 4; ++attribute) {
            const auto result = Read(5, attribute, keys.get(), c.mode);
            EXPECT_EQ(result.status, DMIERR_ROW_NOT_FOUND)
                << "key " << c.key << " mode " << c.mode << " attribute " << attribute;
            EXPECT_EQ(result.type(), 0u);
        }
    }
    EXPECT_TRUE(SentCodes().empty());
}

// Attributes 2 and 3 hold constants, but only for a row the driver has: they ask for the row's
// entry as attribute 1 does, and a failed exchange is a failure, not a constant.
TEST_F(AddressTable, ConstantAttributesAnswerOnlyForRowsThatExist) {
    ThreeEntries();
    for (uint32_t mode : {0u, 1u}) {
        for (uint32_t row = 1; row <= 4; ++row) {
            KeyList keys{row - mode};
            const auto two = Read(5, 2, keys.get(), mode);
            const auto three = Read(5, 3, keys.get(), mode);
            if (row == 4) {
                EXPECT_EQ(two.status, DMIERR_ROW_NOT_FOUND);
                EXPECT_EQ(three.status, DMIERR_ROW_NOT_FOUND);
                continue;
            }
            EXPECT_EQ(two.status, 0u);
            EXPECT_EQ(two.type(), 5u);
            EXPECT_EQ(two.u32(), 0u);
            EXPECT_EQ(three.status, 0u);
            EXPECT_EQ(three.type(), 5u);
            EXPECT_EQ(three.u32(), 1u);
        }
    }
    for (const auto& exchange : device.exchanges()) {
        EXPECT_EQ(exchange.requestCode(), 11);
    }
    EXPECT_EQ(device.exchanges().size(), 16u);

    FailRequest(11, {.success = 0});
    KeyList first{1};
    for (DmiId attribute = 1; attribute <= 4; ++attribute) {
        const auto failed = Read(5, attribute, first.get());
        EXPECT_EQ(failed.status, DMIERR_VALUE_UNKNOWN) << "attribute " << attribute;
        EXPECT_EQ(failed.type(), 0u);
    }
    EXPECT_EQ(Read(5, 5, first.get()).type(), 0u) << "no such attribute";
}

TEST_F(AddressTable, FailedStringKeepsTheIdAndPassesTheStatusOn) {
    ThreeEntries();
    dmi.FailAllocation(2);
    const auto result = Read(5, 4);
    EXPECT_EQ(result.status, unsigned(DMIERR_OUT_OF_MEMORY));
    EXPECT_EQ(result.record->id, 4u);
    EXPECT_EQ(result.type(), 0u);
}

// Group 7 -----------------------------------------------------------------------------------

TEST_F(ReadAdapter, Group7ReadsTheDriverWhateverTheKeyAndMode) {
    ReplyValue(57, 0x11111111);
    ReplyValue(14, 0xFFFFFFFF);
    ReplyValue(58, 33);
    OnRequest(56, [](Record& r) {
        PutBytes(r, 4, {1, 0xFE, 2, 3});
        FakeDevice::PutWord(r, 16, 7);
    });
    const std::pair<DmiId, uint32_t> cases[] = {
        {1, 0x11111111}, {2, 0xFFFFFFFF}, {3, 33}, {6, 0xFE}};
    KeyList far{77};
    for (uint32_t mode : {0u, 1u}) {
        for (DmiAttributeValues* keys : {static_cast<DmiAttributeValues*>(nullptr), far.get()}) {
            for (auto [attribute, expected] : cases) {
                const auto result = Read(7, attribute, keys, mode);
                EXPECT_EQ(result.status, 0u);
                EXPECT_EQ(result.type(), 5u);
                EXPECT_EQ(result.u32(), expected) << "attribute " << attribute;
            }
        }
    }
    EXPECT_EQ(SentCodes().size(), 16u);
    EXPECT_EQ(Read(7, 7).type(), 0u);
}

TEST_F(ReadAdapter, Group7StateValues) {
    struct Case {
        uint32_t state;
        uint32_t attribute4;
        uint32_t attribute5;
    } cases[] = {{0, 1, 5}, {1, 5, 5}, {2, 2, 4},         {3, 6, 5},
                 {4, 2, 4}, {5, 1, 5}, {0xFFFFFFFF, 1, 5}};
    for (const Case& c : cases) {
        ReplyValue(22, c.state);
        EXPECT_EQ(Read(7, 4).u32(), c.attribute4) << "state " << c.state;
        EXPECT_EQ(Read(7, 5).u32(), c.attribute5) << "state " << c.state;
    }
    EXPECT_EQ(SentCodes(), std::vector<uint16_t>(14, 22));
}

}  // namespace

// Groups 10 to 16, 20 and 21: the single-row groups, the two tables addressed by a row index
// sent to the driver, the 64-bit counters, the version and language texts, and the failover
// group with its adapter table.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "state/service_state.h"
#include "support/private_root.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::FakeDevice;
using korvo::test::KeyList;
using korvo::test::ReadFixture;
using korvo::test::ScopedEnv;

constexpr DmiErrorStatus NoRow = DMIERR_ROW_NOT_FOUND;

class ReadGroups10To21 : public ReadFixture {
  protected:
    void ReplyValue(uint16_t code, uint32_t value, uint32_t high = 0) {
        OnRequest(code, [value, high](Record& r) {
            FakeDevice::PutWord(r, 16, value);
            FakeDevice::PutWord(r, 20, high);
        });
    }

    // The one exchange the last read made.
    FakeDevice::Exchange OnlyExchange() {
        const auto exchanges = device.exchanges();
        device.ClearExchanges();
        EXPECT_EQ(exchanges.size(), 1u);
        return exchanges.empty() ? FakeDevice::Exchange{} : exchanges.front();
    }

    ScopedEnv noRegistryOverride{"KORVO_REGISTRY", nullptr};
};

// ---- groups 10, 11 and 12 ----------------------------------------------------------------------

struct IntegerCase {
    DmiId group;
    DmiId attribute;
    uint16_t request;  // 0: none
    uint32_t reply;
    DmiUnsigned type;
    uint64_t expected;
};

TEST_F(ReadGroups10To21, SingleRowGroupsComputeTheirValues) {
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

TEST_F(ReadGroups10To21, DriverFileNameFollowsTheDriverVariant) {
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

TEST_F(ReadGroups10To21, SingleRowGroupsServeRowsZeroAndOneOnly) {
    ReplyValue(23, 5);
    KeyList zero{0}, minusOne{0xFFFFFFFF}, minusTwo{0xFFFFFFFE}, two{2};
    for (DmiId group : {10u, 11u, 12u}) {
        const std::string what = "group " + std::to_string(group);
        // Get-next of key 0 asks for row 1: attribute 1 is refused, the others are served.
        EXPECT_EQ(ReadNext(group, 1, zero.get()).status, unsigned(NoRow)) << what;
        EXPECT_TRUE(SentCodes().empty()) << what;
        const auto second = ReadNext(group, 2, zero.get());
        EXPECT_EQ(second.status, 0u) << what;
        EXPECT_NE(second.type(), 0u) << what;
        // Without a key, get-next asks for row 2: nothing is served.
        for (DmiId attribute = 1; attribute <= 5; ++attribute) {
            const auto result = ReadNext(group, attribute);
            EXPECT_EQ(result.status, unsigned(NoRow)) << what << " attribute " << attribute;
            EXPECT_EQ(result.type(), 0u);
        }
        EXPECT_EQ(Read(group, 1, two.get()).status, unsigned(NoRow)) << what;
        EXPECT_EQ(Read(group, 1, minusTwo.get()).status, unsigned(NoRow)) << what;
        EXPECT_EQ(Read(group, 1, zero.get()).status, 0u) << what << ": row 0 under get";
        EXPECT_EQ(Read(group, 1, minusOne.get()).status, 0u) << what << ": -1 is row 1";
        SentCodes();
    }
    EXPECT_EQ(ReadNext(10, 2, zero.get()).u64(), 5u + 31);
}

// ---- groups 13 and 14 --------------------------------------------------------------------------

struct RowCase {
    std::vector<uint32_t> keys;  // empty: no key list
    uint32_t mode;
    bool served;
    uint32_t row;  // R, when served
};

class IndexedTables : public ReadGroups10To21 {
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
                    EXPECT_EQ(result.status, unsigned(NoRow)) << what;
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

// ---- groups 15 and 16 --------------------------------------------------------------------------

TEST_F(ReadGroups10To21, Group15GivesTwenty64BitCounters) {
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

TEST_F(ReadGroups10To21, UnlistedAttributesKeepOnlyTheirId) {
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

TEST_F(ReadGroups10To21, Group16GivesVersionPairsAndConstants) {
    OnRequest(12, [](Record& r) {
        r[4] = 0x01;
        r[5] = 0xAB;
        r[6] = 0x0F;
    });
    struct Case {
        DmiId attribute;
        std::string text;
    };
    const Case pairs[] = {{1, "0F"}, {2, "AB"}, {3, "01"}, {4, "01"}};
    KeyList keys{77};
    for (uint32_t mode : {0u, 1u}) {
        for (const Case& c : pairs) {
            const auto result = Read(16, c.attribute, keys.get(), mode);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), unsigned(MIF_DISPLAYSTRING));
            EXPECT_EQ(result.text(), c.text) << "attribute " << c.attribute;
            EXPECT_EQ(SentCodes(), std::vector<uint16_t>{12});
        }
        const auto five = Read(16, 5, keys.get(), mode);
        EXPECT_EQ(five.type(), unsigned(MIF_INTEGER));
        EXPECT_EQ(five.u32(), 6u);
        const auto seven = Read(16, 7, keys.get(), mode);
        EXPECT_EQ(seven.type(), unsigned(MIF_DISPLAYSTRING));
        EXPECT_EQ(seven.text(), std::string("000101234") + std::string(23, '\0'));
        EXPECT_TRUE(SentCodes().empty());
    }
}

TEST_F(ReadGroups10To21, Group16LanguageDefaultsToEnglish) {
    const std::pair<uint32_t, const char*> cases[] = {{0, "en"}, {1, "en"},         {2, "ge"},
                                                      {3, "fr"}, {4, "it"},         {5, "sp"},
                                                      {6, "en"}, {0xFFFFFFFF, "en"}};
    for (auto [selector, code] : cases) {
        ReplyValue(54, selector);
        for (uint32_t mode : {0u, 1u}) {
            const auto result = Read(16, 6, nullptr, mode);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), unsigned(MIF_DISPLAYSTRING));
            EXPECT_EQ(result.text(), std::string(code, 3)) << "reply value " << selector;
            EXPECT_EQ(SentCodes(), std::vector<uint16_t>{54});
        }
    }
}

// ---- groups 20 and 21 --------------------------------------------------------------------------

TEST_F(ReadGroups10To21, FailoverGroupsAnswerGetOfRowsZeroAndOne) {
    KeyList zero{0}, one{1}, two{2}, minusTwo{0xFFFFFFFE};
    for (DmiId group : {20u, 21u}) {
        for (DmiId attribute : {1u, 2u}) {
            const std::string what =
                "group " + std::to_string(group) + " attribute " + std::to_string(attribute);
            EXPECT_EQ(ReadNext(group, attribute).status, unsigned(NoRow)) << what;
            EXPECT_EQ(ReadNext(group, attribute, zero.get()).status, unsigned(NoRow)) << what;
            EXPECT_EQ(ReadNext(group, attribute, one.get()).status, unsigned(NoRow)) << what;
            EXPECT_EQ(Read(group, attribute, two.get()).status, unsigned(NoRow)) << what;
            EXPECT_EQ(Read(group, attribute, minusTwo.get()).status, unsigned(NoRow)) << what;
            EXPECT_EQ(Read(group, attribute, one.get()).status, 0u) << what;
        }
    }
    EXPECT_EQ(ReadNext(21, 4).status, unsigned(NoRow));
    EXPECT_EQ(ReadNext(21, 8).status, unsigned(NoRow));
    EXPECT_TRUE(SentCodes().empty());

    const auto name = Read(20, 1, zero.get());
    EXPECT_EQ(name.type(), unsigned(MIF_DISPLAYSTRING));
    EXPECT_EQ(name.text(), "Failover Group 1");
    const auto two20 = Read(20, 2);
    EXPECT_EQ(two20.type(), unsigned(MIF_INTEGER));
    EXPECT_EQ(two20.u32(), 1u);
}

TEST_F(ReadGroups10To21, Group21DescribesTheAdapterOfTheRow) {
    ReplyValue(61, 0xCAFE);
    KeyList zero{0}, minusOne{0xFFFFFFFF};
    const std::pair<DmiId, uint32_t> constants[] = {{3, 1}, {5, 1}, {6, 0},
                                                    {7, 1}, {9, 0}, {10, 0}};
    for (KeyList* keys : {static_cast<KeyList*>(nullptr), &minusOne, &zero}) {
        const uint32_t row = keys == &zero ? 0 : 1;
        DmiAttributeValues* list = keys ? keys->get() : nullptr;
        const auto first = Read(21, 1, list);
        EXPECT_EQ(first.type(), unsigned(MIF_INTEGER));
        EXPECT_EQ(first.u32(), row);
        for (auto [attribute, value] : constants) {
            const auto result = Read(21, attribute, list);
            EXPECT_EQ(result.type(), unsigned(MIF_INTEGER)) << "attribute " << attribute;
            EXPECT_EQ(result.u32(), value) << "attribute " << attribute;
        }
        EXPECT_TRUE(SentCodes().empty());
        EXPECT_EQ(Read(21, 8, list).u32(), 0xCAFEu);
        EXPECT_EQ(SentCodes(), std::vector<uint16_t>{61});
    }

    const auto label = Read(21, 2);
    EXPECT_EQ(label.status, 0u);
    EXPECT_EQ(label.type(), unsigned(MIF_DISPLAYSTRING));
    EXPECT_EQ(label.text(), "Adapter 1");
    const auto noLabel = Read(21, 2, zero.get());
    EXPECT_EQ(noLabel.status, unsigned(NoRow)) << "row 0 has no label";
    EXPECT_EQ(noLabel.type(), 0u);
    EXPECT_EQ(noLabel.record->data.value.str, nullptr);
}

TEST_F(ReadGroups10To21, Group21SlotComesFromTheSlotTable) {
    OnRequest(60, [](Record& r) {
        r[4] = 2;                        // bus
        FakeDevice::PutWord(r, 16, 11);  // device
    });
    std::ofstream(device.root() + "/registry.reg")
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QEV\\Slots\\PCI\\5]\n"
           "\"Bus\"=dword:00000002\n\"Slot\"=dword:0000000b\n";
    KeyList zero{0};
    struct Case {
        DmiAttributeValues* keys;
        uint32_t sentIndex;
    };
    for (const Case& c : {Case{nullptr, 0}, Case{zero.get(), 0xFFFFFFFF}}) {
        const auto result = Read(21, 4, c.keys);
        EXPECT_EQ(result.status, 0u);
        EXPECT_EQ(result.type(), unsigned(MIF_INTEGER));
        EXPECT_EQ(result.u32(), 5u);
        const auto sent = OnlyExchange();
        EXPECT_EQ(sent.requestCode(), 60);
        EXPECT_EQ(sent.word(16), c.sentIndex);
        EXPECT_EQ(sent.byte(11), 0) << "only the word carries the index";
    }

    std::ofstream(device.root() + "/registry.reg", std::ios::trunc) << "REGEDIT4\n";
    EXPECT_EQ(Read(21, 4).u32(), 11u) << "no slot entry: the device number";
}

// ---- failed string creation ---------------------------------------------------------------------

TEST_F(ReadGroups10To21, AFailedStringCreationIsReturnedWithoutAType) {
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

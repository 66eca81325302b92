// The failover groups: group 20 and the adapter table of group 21, served under get of rows 0
// and 1, with each adapter's label and slot.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/private_root.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::FakeDevice;
using korvo::test::KeyList;
using korvo::test::ReadFixture;
using korvo::test::ScopedEnv;

class ReadFailover : public ReadFixture {
  protected:
    // The one exchange the last read made.
    FakeDevice::Exchange OnlyExchange() {
        const auto exchanges = device.exchanges();
        device.ClearExchanges();
        EXPECT_EQ(exchanges.size(), 1u);
        return exchanges.empty() ? FakeDevice::Exchange{} : exchanges.front();
    }

    ScopedEnv noRegistryOverride{"KORVO_REGISTRY", nullptr};
};

TEST_F(ReadFailover, FailoverGroupsAnswerGetOfRowsZeroAndOne) {
    KeyList zero{0}, one{1}, two{2}, minusTwo{0xFFFFFFFE};
    for (DmiId group : {20u, 21u}) {
        for (DmiId attribute : {1u, 2u}) {
            const std::string what =
                "group " + std::to_string(group) + " attribute " + std::to_string(attribute);
            EXPECT_EQ(ReadNext(group, attribute).status, unsigned(DMIERR_ROW_NOT_FOUND)) << what;
            EXPECT_EQ(ReadNext(group, attribute, zero.get()).status, unsigned(DMIERR_ROW_NOT_FOUND))
                << what;
            EXPECT_EQ(ReadNext(group, attribute, one.get()).status, unsigned(DMIERR_ROW_NOT_FOUND))
                << what;
            EXPECT_EQ(Read(group, attribute, two.get()).status, unsigned(DMIERR_ROW_NOT_FOUND))
                << what;
            EXPECT_EQ(Read(group, attribute, minusTwo.get()).status, unsigned(DMIERR_ROW_NOT_FOUND))
                << what;
            EXPECT_EQ(Read(group, attribute, one.get()).status, 0u) << what;
        }
    }
    EXPECT_EQ(ReadNext(21, 4).status, unsigned(DMIERR_ROW_NOT_FOUND));
    EXPECT_EQ(ReadNext(21, 8).status, unsigned(DMIERR_ROW_NOT_FOUND));
    EXPECT_TRUE(SentCodes().empty());

    const auto name = Read(20, 1, zero.get());
    EXPECT_EQ(name.type(), unsigned(MIF_DISPLAYSTRING));
    EXPECT_EQ(name.text(), "Failover Group 1");
    const auto two20 = Read(20, 2);
    EXPECT_EQ(two20.type(), unsigned(MIF_INTEGER));
    EXPECT_EQ(two20.u32(), 1u);
}

TEST_F(ReadFailover, Group21DescribesTheAdapterOfTheRow) {
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
    EXPECT_EQ(noLabel.status, unsigned(DMIERR_ROW_NOT_FOUND)) << "row 0 has no label";
    EXPECT_EQ(noLabel.type(), 0u);
    EXPECT_EQ(noLabel.record->data.value.str, nullptr);
}

TEST_F(ReadFailover, Group21SlotComesFromTheSlotTable) {
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

}  // namespace

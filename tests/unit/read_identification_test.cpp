// The groups that describe the component itself: constants and Verify from the driver probe
// (1), the state derived from request 22 (2), and the three-row table (3).
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "support/private_root.h"
#include "support/read_fixture.h"

namespace {

using korvo::test::FakeDevice;
using korvo::test::KeyList;
using korvo::test::ReadFixture;

class ReadIdentification : public ReadFixture {
  protected:
    void StateNumber(uint32_t value) {
        OnRequest(22, [value](Record& r) { korvo::test::FakeDevice::PutWord(r, 16, value); });
    }
};

TEST_F(ReadIdentification, Group1IdentificationIsConstantUnderGetAndGetNext) {
    KeyList keys{9};
    for (uint32_t mode : {0u, 1u}) {
        for (DmiId attribute = 1; attribute <= 5; ++attribute) {
            const auto result = Read(1, attribute, keys.get(), mode);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), 5u);
            EXPECT_EQ(result.u32(), 0u);
        }
    }
    EXPECT_TRUE(SentCodes().empty());
}

// Verify (attribute 6) asks the driver probe: 7 "functioning correctly" only when a driver of
// the expected kind answers it, 6 "not functioning correctly" however else it goes.
TEST_F(ReadIdentification, Group1VerifyFollowsTheDriverProbe) {
    struct Case {
        const char* name;
        uint8_t signature[4];
        FakeDevice::Reply how;
        uint32_t expected;
        bool noDevice = false;
    };
    const Case cases[] = {
        {"answers", {0x44, 0x4D, 0x49, 0x10}, {}, 7},
        {"another signature", {0x44, 0x4D, 0x49, 0x11}, {}, 6},
        {"call fails", {0x44, 0x4D, 0x49, 0x10}, {.success = 0}, 6},
        {"no bytes", {0x44, 0x4D, 0x49, 0x10}, {.bytesReturned = 0}, 6},
        {"hangs up", {0x44, 0x4D, 0x49, 0x10}, {.hangUp = true}, 6},
        {"no control device", {0x44, 0x4D, 0x49, 0x10}, {}, 6, true},
    };
    for (const Case& c : cases) {
        OnRequest(0, [&c](Record& r) { std::copy_n(c.signature, 4, &r[4]); });
        FailRequest(0, c.how);
        std::optional<korvo::test::PrivateRoot> emptyMachine;
        if (c.noDevice) {
            emptyMachine.emplace();
        }
        for (uint32_t mode : {0u, 1u}) {
            const auto result = Read(1, 6, nullptr, mode);
            EXPECT_EQ(result.status, 0u) << c.name;
            EXPECT_EQ(result.type(), 5u) << c.name;
            EXPECT_EQ(result.u32(), c.expected) << c.name;
        }
        const auto probes = device.exchanges();
        ASSERT_EQ(probes.size(), c.noDevice ? 0u : 2u) << c.name;
        for (const auto& probe : probes) {
            EXPECT_EQ(probe.controlWord(), 0xFF0102FFu) << c.name;
        }
        SentCodes();
    }
}

TEST_F(ReadIdentification, Group2FollowsTheStateNumber) {
    const std::pair<uint32_t, uint32_t> cases[] = {{1, 2}, {2, 3}, {3, 2}, {4, 3}, {0, 2}, {9, 2}};
    for (auto [state, expected] : cases) {
        StateNumber(state);
        for (uint32_t mode : {0u, 1u}) {
            const auto result = Read(2, 2, nullptr, mode);
            EXPECT_EQ(result.status, 0u);
            EXPECT_EQ(result.type(), 5u);
            EXPECT_EQ(result.u32(), expected) << "state " << state;
        }
    }
    EXPECT_EQ(SentCodes(), std::vector<uint16_t>(12, 22));
}

TEST_F(ReadIdentification, Group3RowsFromTheKey) {
    StateNumber(2);
    KeyList zero{0};
    auto row0 = Read(3, 1, zero.get());
    EXPECT_EQ(row0.u32(), 0u);
    EXPECT_EQ(Read(3, 3, zero.get()).u32(), 3u);

    // No key: row 1 under get, row 2 under get-next.
    EXPECT_EQ(Read(3, 1).u32(), 1u);
    EXPECT_EQ(ReadNext(3, 1).u32(), 2u);
    KeyList minusOne{0xFFFFFFFF};
    EXPECT_EQ(Read(3, 1, minusOne.get()).u32(), 1u);

    KeyList two{2, 5};
    EXPECT_EQ(Read(3, 2, two.get()).u32(), 1u) << "the second key always counts as 1";
    EXPECT_EQ(Read(3, 3, two.get()).u32(), 5u);
    for (DmiId attribute = 4; attribute <= 7; ++attribute) {
        const auto result = Read(3, attribute, two.get());
        EXPECT_EQ(result.type(), 5u);
        EXPECT_EQ(result.u32(), 0u);
    }
    EXPECT_TRUE(SentCodes().empty()) << "rows 0 to 2 ask the driver nothing";
}

TEST_F(ReadIdentification, Group3Row3DependsOnTheState) {
    KeyList three{3};
    for (uint32_t state : {1u, 3u}) {
        StateNumber(state);
        const auto result = Read(3, 1, three.get());
        EXPECT_EQ(result.status, unsigned(DMIERR_ROW_NOT_FOUND));
        EXPECT_EQ(result.type(), 0u);
    }
    for (uint32_t state : {2u, 4u}) {
        StateNumber(state);
        EXPECT_EQ(Read(3, 1, three.get()).u32(), 3u);
        EXPECT_EQ(Read(3, 3, three.get()).u32(), 6u);
    }
    EXPECT_EQ(SentCodes(), std::vector<uint16_t>(6, 22));
}

TEST_F(ReadIdentification, Group3BeyondRow3IsRefusedWithoutAsking) {
    KeyList four{4}, three{3}, huge{0xFFFFFFFE};
    EXPECT_EQ(Read(3, 1, four.get()).status, unsigned(DMIERR_ROW_NOT_FOUND));
    EXPECT_EQ(ReadNext(3, 1, three.get()).status, unsigned(DMIERR_ROW_NOT_FOUND));
    EXPECT_EQ(Read(3, 1, huge.get()).status, unsigned(DMIERR_ROW_NOT_FOUND));
    EXPECT_TRUE(SentCodes().empty());
}

}  // namespace

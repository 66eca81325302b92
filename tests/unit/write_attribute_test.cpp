// Writes: which attributes reach the driver and with what code, row index and value; the row
// range and type tests that keep a write from reaching the wrong row or carrying a pointer; a
// driver that does not take the write; the one write record that keeps the last reply's bytes;
// and writes from several threads at once each reaching the driver intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "driver/driver_channel.h"
#include "instrumentation/write_attribute.h"
#include "support/fake_device.h"
#include "support/fake_dmi.h"
#include "support/private_root.h"

using namespace korvo::driver;

namespace {

using korvo::test::FakeDevice;
using korvo::test::KeyList;

DmiAttributeData Integer(uint32_t number, DmiUnsigned type = MIF_INTEGER) {
    DmiAttributeData value{};
    value.id = 1;
    value.data.type = type;
    value.data.value.words[0] = number;
    return value;
}

DmiString displayText{5, const_cast<char*>("HELLO")};

DmiAttributeData DisplayString() {
    DmiAttributeData value{};
    value.id = 1;
    value.data.type = MIF_DISPLAYSTRING;
    value.data.value.str = &displayText;
    return value;
}

class WriteAttribute : public testing::Test {
  protected:
    DmiErrorStatus Write(DmiId group, DmiId attribute, DmiAttributeData* value,
                         DmiAttributeValues* keys = nullptr) {
        return CiSetAttribute(42, group, attribute, nullptr, keys, value);
    }

    FakeDevice device;
};

struct WriteCase {
    const char* what;
    DmiId group;
    DmiId attribute;
    std::optional<DmiAttributeData> value;      // none: a null value pointer
    std::optional<std::vector<uint32_t>> keys;  // none: a null key list
    DmiErrorStatus status;
    uint16_t code;  // 0: nothing sent
    uint8_t rowIndex;
};

TEST_F(WriteAttribute, SendsTheWritableAttributesAndIgnoresTheRest) {
    const DmiErrorStatus refused = WriteValueNotInteger;
    const DmiErrorStatus noRow = DMIERR_ROW_NOT_FOUND;
    const WriteCase cases[] = {
        {"integer to 14.2, no key list", 14, 2, Integer(7), std::nullopt, 0, 33, 0},
        {"integer to 14.2, empty key list", 14, 2, Integer(8), std::vector<uint32_t>{}, 0, 33, 0},
        {"integer to 14.1, row 5", 14, 1, Integer(0x12345678), std::vector<uint32_t>{5, 9}, 0, 32,
         4},
        {"13.1, key -1 is row 1", 13, 1, Integer(3), std::vector<uint32_t>{0xFFFFFFFF}, 0, 30, 0},
        {"13.1, last row", 13, 1, Integer(4), std::vector<uint32_t>{125}, 0, 30, 124},
        {"13.1, key 0", 13, 1, Integer(1), std::vector<uint32_t>{0}, noRow, 0, 0},
        {"13.1, past the last row", 13, 1, Integer(4), std::vector<uint32_t>{126}, noRow, 0, 0},
        {"13.1, key 257 would wrap to row 1", 13, 1, Integer(2), std::vector<uint32_t>{257}, noRow,
         0, 0},
        {"14.1, last row", 14, 1, Integer(5), std::vector<uint32_t>{35}, 0, 32, 34},
        {"14.2, past the last row", 14, 2, Integer(5), std::vector<uint32_t>{36}, noRow, 0, 0},
        {"14.2, key 0", 14, 2, Integer(5), std::vector<uint32_t>{0}, noRow, 0, 0},
        {"14.1, key -2", 14, 1, Integer(5), std::vector<uint32_t>{0xFFFFFFFE}, noRow, 0, 0},
        {"14.1, string past the last row", 14, 1, DisplayString(), std::vector<uint32_t>{36},
         refused, 0, 0},
        {"counter to 13.1", 13, 1, Integer(6, MIF_COUNTER), std::nullopt, 0, 30, 0},
        {"gauge to 13.1", 13, 1, Integer(7, MIF_GAUGE), std::nullopt, 0, 30, 0},
        {"display string to 13.1", 13, 1, DisplayString(), std::nullopt, refused, 0, 0},
        {"64-bit counter to 13.1", 13, 1, Integer(5, MIF_COUNTER64), std::nullopt, refused, 0, 0},
        {"64-bit integer to 13.1", 13, 1, Integer(5, MIF_INTEGER64), std::nullopt, refused, 0, 0},
        {"octet string to 13.1", 13, 1, Integer(5, MIF_OCTETSTRING), std::nullopt, refused, 0, 0},
        {"date to 13.1", 13, 1, Integer(5, MIF_DATE), std::nullopt, refused, 0, 0},
        {"13.1 string past the last row", 13, 1, DisplayString(), std::vector<uint32_t>{126},
         refused, 0, 0},
        {"display string to 14.3", 14, 3, DisplayString(), std::nullopt, refused, 0, 0},
        {"display string to 14.1", 14, 1, DisplayString(), std::nullopt, refused, 0, 0},
        {"counter to 14.2", 14, 2, Integer(6, MIF_COUNTER), std::nullopt, refused, 0, 0},
        {"integer to 14.3", 14, 3, Integer(7), std::nullopt, 0, 0, 0},
        {"integer to 13.2", 13, 2, Integer(8), std::nullopt, 0, 0, 0},
        {"integer to 21.1", 21, 1, Integer(9), std::nullopt, 0, 0, 0},
        {"string to 21.1", 21, 1, DisplayString(), std::nullopt, 0, 0, 0},
        {"no value to 14.1", 14, 1, std::nullopt, std::nullopt, refused, 0, 0},
        {"no value to 13.1", 13, 1, std::nullopt, std::nullopt, refused, 0, 0},
        {"no value to 21.1", 21, 1, std::nullopt, std::nullopt, 0, 0, 0},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.what);
        device.ClearExchanges();
        std::vector<uint32_t> keyValues = c.keys.value_or(std::vector<uint32_t>{});
        DmiAttributeData value = c.value.value_or(DmiAttributeData{});
        DmiAttributeValues list{static_cast<DmiUnsigned>(keyValues.size()), nullptr};
        std::vector<DmiAttributeData> entries;
        for (uint32_t key : keyValues) {
            entries.push_back(Integer(key));
        }
        list.list = entries.empty() ? nullptr : entries.data();

        EXPECT_EQ(Write(c.group, c.attribute, c.value ? &value : nullptr, c.keys ? &list : nullptr),
                  c.status);

        const auto sent = device.exchanges();
        if (c.code == 0) {
            EXPECT_TRUE(sent.empty());
            continue;
        }
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].controlWord(), kRequestControlWord);
        EXPECT_EQ(sent[0].requestCode(), c.code);
        EXPECT_EQ(sent[0].byte(kIndexOffset), c.rowIndex);
        EXPECT_EQ(sent[0].word(kValueOffset), value.data.value.words[0]);
    }
}

TEST_F(WriteAttribute, AWriteTheDriverDoesNotTakeIsUnknown) {
    struct Failure {
        const char* name;
        FakeDevice::Reply how;
        bool failedStatus;  // the driver sets the status word to 0xFFFF
    } failures[] = {
        {"control call fails", {.success = 0}, false},
        {"no bytes returned", {.bytesReturned = 0}, false},
        {"status 0xFFFF", {}, true},
        {"connection dropped", {.hangUp = true}, false},
    };
    const std::pair<DmiId, DmiId> writable[] = {{13, 1}, {14, 1}, {14, 2}};
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        device.SetHandler([&failure](const FakeDevice::Exchange&, FakeDevice::Record& r) {
            if (failure.failedStatus) {
                r[2] = r[3] = 0xFF;
            }
            return failure.how;
        });
        for (auto [group, attribute] : writable) {
            DmiAttributeData value = Integer(11);
            EXPECT_EQ(Write(group, attribute, &value), unsigned(DMIERR_VALUE_UNKNOWN));
        }
    }
    EXPECT_EQ(device.exchanges().size(), std::size(failures) * std::size(writable));

    // A driver that answers without touching the status: the failure the last reply left in
    // the shared record is not taken for this write's answer.
    device.SetHandler(
        [](const FakeDevice::Exchange&, FakeDevice::Record&) { return FakeDevice::Reply{}; });
    DmiAttributeData accepted = Integer(13);
    EXPECT_EQ(Write(14, 2, &accepted), 0u);

    korvo::test::PrivateRoot emptyMachine;  // no control device at all
    DmiAttributeData value = Integer(12);
    EXPECT_EQ(Write(14, 1, &value), unsigned(DMIERR_VALUE_UNKNOWN));
}

TEST_F(WriteAttribute, TheWriteRecordKeepsWhatTheLastReplyLeft) {
    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record& reply) {
        reply[5] = 0xA5;
        reply[11] = 0x77;
        FakeDevice::PutWord(reply, 16, 0xDEADBEEF);
        FakeDevice::PutWord(reply, 20, 0x01020304);
        return FakeDevice::Reply{};
    });
    DmiAttributeData first = Integer(100);
    ASSERT_EQ(Write(13, 1, &first), 0u);

    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record& reply) {
        reply[5] = 0x5A;
        return FakeDevice::Reply{};
    });
    KeyList row3{3};
    DmiAttributeData second = Integer(200);
    ASSERT_EQ(Write(14, 2, &second, row3.get()), 0u);
    DmiAttributeData third = Integer(300);
    ASSERT_EQ(Write(14, 1, &third), 0u);

    const auto sent = device.exchanges();
    ASSERT_EQ(sent.size(), 3u);
    // The second write sends its own three fields over the first reply and nothing else.
    EXPECT_EQ(sent[1].requestCode(), 33);
    EXPECT_EQ(sent[1].byte(11), 2);
    EXPECT_EQ(sent[1].word(16), 200u);
    EXPECT_EQ(sent[1].byte(5), 0xA5);
    EXPECT_EQ(sent[1].word(20), 0x01020304u);
    EXPECT_EQ(sent[2].byte(5), 0x5A);
    EXPECT_EQ(sent[2].word(20), 0x01020304u);
}

// Several threads write at once while every reply scribbles over the whole record: each
// exchange must still carry exactly the code, row and value of one write, and each write
// must reach the driver once.
TEST_F(WriteAttribute, ConcurrentWritesReachTheDriverIntact) {
    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record& reply) {
        std::fill(reply.begin(), reply.end(), uint8_t{0xEE});
        reply[2] = reply[3] = 0;  // a successful status
        return FakeDevice::Reply{};
    });
    constexpr int threads = 8;
    constexpr int writesPerThread = 50;
    using Sent = std::tuple<uint16_t, uint8_t, uint32_t>;
    std::vector<Sent> expected;
    std::vector<std::thread> writers;
    std::latch start(threads);
    std::vector<DmiErrorStatus> statuses(threads * writesPerThread, 0xFFFFFFFF);
    auto plan = [](int n) {
        static const std::pair<DmiId, DmiId> targets[] = {{13, 1}, {14, 1}, {14, 2}};
        static const uint16_t codes[] = {30, 32, 33};
        const uint32_t key = uint32_t(n % 35) + 1;  // rows of both tables
        const uint32_t number = 0xC0DE0000u + uint32_t(n);
        return std::tuple{targets[n % 3], codes[n % 3], key, number};
    };
    for (int n = 0; n < threads * writesPerThread; ++n) {
        auto [target, code, key, number] = plan(n);
        expected.emplace_back(code, uint8_t(key - 1), number);
    }
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < writesPerThread; ++i) {
                const int n = t * writesPerThread + i;
                auto [target, code, key, number] = plan(n);
                KeyList keys{key};
                DmiAttributeData value = Integer(number);
                statuses[n] = Write(target.first, target.second, &value, keys.get());
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 0u), threads * writesPerThread);

    std::vector<Sent> received;
    for (const auto& exchange : device.exchanges()) {
        received.emplace_back(exchange.requestCode(), exchange.byte(11), exchange.word(16));
    }
    std::sort(expected.begin(), expected.end());
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, expected);
}

}  // namespace

// The driver request channel against a fake control device: what reaches the device, the
// three success conditions, one close per open, and the probe's signature check; and the
// record's word fields at its end.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "driver/driver_channel.h"
#include "host_tuning.h"
#include "support/fake_device.h"

using namespace korvo::driver;

using korvo::test::FakeDevice;

namespace {

DriverRequest Request(uint16_t code) {
    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.requestCode = code;
    return request;
}

TEST(DriverChannel, SendsTheControlCodeWordAndRecord) {
    FakeDevice device;
    DriverRequest request = Request(12);
    SetRequestByte(request, kIndexOffset, 7);
    SetRequestWord(request, kValueOffset, 0xDEADBEEF);
    ASSERT_TRUE(SendDriverRequest(kRequestControlWord, &request));

    const auto exchanges = device.exchanges();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0].controlCode, 0x00170002u);
    EXPECT_EQ(exchanges[0].input, (std::vector<uint8_t>{0x00, 0x02, 0x01, 0xFF}));
    EXPECT_EQ(exchanges[0].requestCode(), 12);
    EXPECT_EQ(exchanges[0].byte(11), 7);
    EXPECT_EQ(exchanges[0].word(16), 0xDEADBEEFu);
    EXPECT_EQ(device.WaitForCloses(1), 1);
}

TEST(DriverChannel, ReplyOverwritesTheRecord) {
    FakeDevice device;
    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record& record) {
        record[4] = 0xAB;
        FakeDevice::PutWord(record, 20, 0x01020304);
        return FakeDevice::Reply{};
    });
    DriverRequest request = Request(3);
    ASSERT_TRUE(SendDriverRequest(kRequestControlWord, &request));
    EXPECT_EQ(RequestByte(request, 4), 0xAB);
    EXPECT_EQ(RequestWord(request, 20), 0x01020304u);
}

struct Outcome {
    const char* name;
    uint32_t success;
    uint32_t bytesReturned;
    uint16_t status;
    bool expected;
};

class DriverChannelOutcome : public testing::TestWithParam<Outcome> {};

TEST_P(DriverChannelOutcome, SucceedsOnlyWhenAllThreeConditionsHold) {
    const Outcome outcome = GetParam();
    FakeDevice device;
    device.SetHandler([&](const FakeDevice::Exchange&, FakeDevice::Record& record) {
        korvo::PutU16(&record[kStatusOffset], outcome.status);
        return FakeDevice::Reply{outcome.success, outcome.bytesReturned};
    });
    DriverRequest request = Request(1);
    EXPECT_EQ(SendDriverRequest(kRequestControlWord, &request), outcome.expected);
    EXPECT_EQ(device.WaitForCloses(1), 1) << "the device is closed once, whatever the outcome";
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverChannelOutcome,
                         testing::Values(Outcome{"status0", 1, 24, 0x0000, true},
                                         Outcome{"statusFFFE", 1, 24, 0xFFFE, true},
                                         Outcome{"statusFFFF", 1, 24, 0xFFFF, false},
                                         Outcome{"callFails", 0, 24, 0x0000, false},
                                         Outcome{"noBytes", 1, 0, 0x0000, false},
                                         Outcome{"oneByte", 1, 1, 0x0000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DriverChannel, FailsWithoutADeviceCallWhenTheDeviceIsMissing) {
    korvo::test::PrivateRoot root;  // nothing listens here
    DriverRequest request = Request(1);
    EXPECT_FALSE(SendDriverRequest(kRequestControlWord, &request));
    EXPECT_FALSE(ProbeDriver());
}

TEST(DriverChannel, ABrokenReplyFailsAndLeavesTheRecordAlone) {
    FakeDevice device;
    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record& record) {
        record[4] = 0x11;
        return FakeDevice::Reply{.hangUp = true};
    });
    DriverRequest request = Request(2);
    SetRequestByte(request, 4, 0x77);
    EXPECT_FALSE(SendDriverRequest(kRequestControlWord, &request));
    EXPECT_EQ(RequestByte(request, 4), 0x77);
}

TEST(DriverChannel, ASilentDeviceTimesOut) {
    FakeDevice device;
    korvo::host::SetDeviceReplyTimeoutMs(100);
    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record&) {
        return FakeDevice::Reply{.silent = true};
    });
    DriverRequest request = Request(2);
    EXPECT_FALSE(SendDriverRequest(kRequestControlWord, &request));
    korvo::host::SetDeviceReplyTimeoutMs(korvo::host::kSocketDeadlineMs);
    EXPECT_EQ(device.WaitForCloses(1), 1);
}

struct Signature {
    uint8_t bytes[4];
    bool expected;
};

TEST(DriverProbe, PassesOnlyForTheExactSignature) {
    const Signature cases[] = {
        {{0x44, 0x4D, 0x49, 0x10}, true},
        {{0x44, 0x4D, 0x49, 0x11}, false},
        {{0x64, 0x6D, 0x69, 0x10}, false},
        {{0x00, 0x00, 0x00, 0x00}, false},
    };
    FakeDevice device;
    for (const Signature& signature : cases) {
        device.SetHandler([&](const FakeDevice::Exchange& exchange, FakeDevice::Record& record) {
            EXPECT_EQ(exchange.controlWord(), 0xFF0102FFu);
            std::memcpy(&record[4], signature.bytes, 4);
            return FakeDevice::Reply{};
        });
        EXPECT_EQ(ProbeDriver(), signature.expected);
    }
}

TEST(DriverProbe, FailsWhenTheExchangeFailsWhateverTheBytes) {
    FakeDevice device;
    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record& record) {
        const uint8_t good[] = {0x44, 0x4D, 0x49, 0x10, 0xFF};
        std::memcpy(&record[4], good, 4);
        record[2] = record[3] = 0xFF;
        return FakeDevice::Reply{};
    });
    EXPECT_FALSE(ProbeDriver());
}

TEST(RequestFields, WordsReachingTheRecordsEndStopThere) {
    struct [[gnu::packed]] Guarded {
        DriverRequest request;
        uint8_t guard[4];
    } record;
    auto* bytes = reinterpret_cast<uint8_t*>(&record.request);
    std::iota(bytes, bytes + sizeof record.request, uint8_t{1});
    std::fill(std::begin(record.guard), std::end(record.guard), uint8_t{0xEE});

    EXPECT_EQ(RequestWord(record.request, 20), 0x18171615u);
    EXPECT_EQ(RequestWord(record.request, 21), 0x00181716u);
    EXPECT_EQ(RequestWord(record.request, 23), 0x00000018u);
    EXPECT_EQ(RequestWord(record.request, 24), 0u);

    SetRequestWord(record.request, 20, 0x44332211);
    SetRequestWord(record.request, 22, 0xAABBCCDD);
    SetRequestWord(record.request, 24, 0x12345678);
    EXPECT_EQ(RequestWord(record.request, 20), 0xCCDD2211u);
    EXPECT_EQ(std::vector<uint8_t>(std::begin(record.guard), std::end(record.guard)),
              std::vector<uint8_t>(4, 0xEE));
}

}  // namespace

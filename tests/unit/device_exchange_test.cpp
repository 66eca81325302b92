// The host layer's device exchange and the record's word fields at their edges: buffers of any
// size travel whole and leave the connection in step, whether the exchange fits the layer's
// stack buffer or not; and word access that reaches the record's end stops there.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "driver/driver_channel.h"
#include "platform.h"
#include "support/fake_device.h"

using namespace korvo::driver;

using korvo::test::FakeDevice;

namespace {

// Output sizes around the 256-byte exchange that still fits on the stack: header 12, input 4.
class DeviceExchangeSize : public testing::TestWithParam<DWORD> {};

TEST_P(DeviceExchangeSize, BuffersTravelWholeAndTheConnectionStaysInStep) {
    FakeDevice device;
    device.SetHandler([](const FakeDevice::Exchange&, FakeDevice::Record& record) {
        record[0] ^= 0xFF;  // the reply differs from what was sent
        return FakeDevice::Reply{1, 17};
    });
    HANDLE handle = CreateFileA(kDevicePath, GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const DWORD size = GetParam();
    for (uint8_t round = 0; round < 2; ++round) {
        uint8_t input[4] = {1, 2, 3, static_cast<uint8_t>(round)};
        std::vector<uint8_t> buffer(size);
        std::iota(buffer.begin(), buffer.end(), static_cast<uint8_t>(round * 7));
        std::vector<uint8_t> expected = buffer;
        expected[0] ^= 0xFF;
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(handle, kQueryGlobalStatsCode, input, sizeof input,
                                    buffer.data(), size, &returned, nullptr));
        EXPECT_EQ(returned, 17u);
        EXPECT_EQ(buffer, expected);
        const auto exchanges = device.exchanges();
        ASSERT_EQ(exchanges.size(), round + 1u);
        EXPECT_EQ(exchanges.back().input, std::vector<uint8_t>(input, input + sizeof input));
    }
    CloseHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(AroundTheStackBuffer, DeviceExchangeSize,
                         testing::Values(24u, 240u, 241u, 1000u));

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

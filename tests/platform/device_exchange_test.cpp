// The stand-in's device exchange at its edges: buffers of any size travel whole and leave the
// connection in step, whether the exchange fits the stand-in's stack buffer or not.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "korvo/driver_protocol.h"
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

}  // namespace

// The stand-in's device exchange at its edges: buffers of any size travel whole and leave the
// connection in step, whether the exchange fits the stand-in's stack buffer or not; and a
// transport put in place of the sockets serves the calls with their Win32 results.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "device_transport.h"
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

// A transport that answers each exchange with the next of `results` and records what it saw.
struct RecordingTransport {
    static inline std::vector<std::string> opened;
    static inline std::vector<int> closed;
    static inline std::vector<korvo::host::DeviceCall> results;
    static inline int exchanges = 0;
    static inline bool refuse = false;

    static int Open(const char* name) {
        opened.emplace_back(name);
        return refuse ? -1 : 7;
    }
    static korvo::host::DeviceCall Exchange(int connection, uint32_t, const void*, uint32_t,
                                            void* output, uint32_t outputSize,
                                            uint32_t* bytesReturned) {
        EXPECT_EQ(connection, 7);
        static_cast<uint8_t*>(output)[0] = static_cast<uint8_t>(outputSize);
        *bytesReturned = 5;
        return results.at(static_cast<size_t>(exchanges++));
    }
    static void Close(int connection) { closed.push_back(connection); }
};

TEST(DeviceTransport, ServesTheCallsWithTheirWin32Results) {
    static constexpr korvo::host::DeviceTransport kRecording{
        RecordingTransport::Open, RecordingTransport::Exchange, RecordingTransport::Close};
    korvo::host::SetDeviceTransport(&kRecording);
    struct Restore {
        ~Restore() { korvo::host::SetDeviceTransport(nullptr); }
    } restore;
    using korvo::host::DeviceCall;
    RecordingTransport::results = {DeviceCall::Succeeded, DeviceCall::Failed, DeviceCall::Broken};

    HANDLE handle = CreateFileA(kDevicePath, GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RecordingTransport::opened, std::vector<std::string>{kDeviceName});
    uint8_t record[24] = {};
    DWORD returned = 99;
    EXPECT_TRUE(DeviceIoControl(handle, kQueryGlobalStatsCode, nullptr, 0, record, sizeof record,
                                &returned, nullptr));
    EXPECT_EQ(returned, 5u);
    EXPECT_EQ(record[0], sizeof record);

    returned = 99;
    EXPECT_FALSE(DeviceIoControl(handle, kQueryGlobalStatsCode, nullptr, 0, record, sizeof record,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(returned, 99u) << "a failed call leaves the count where it was";

    EXPECT_FALSE(DeviceIoControl(handle, kQueryGlobalStatsCode, nullptr, 0, record, sizeof record,
                                 &returned, nullptr));
    EXPECT_FALSE(DeviceIoControl(handle, kQueryGlobalStatsCode, nullptr, 0, record, sizeof record,
                                 &returned, nullptr));
    EXPECT_EQ(RecordingTransport::exchanges, 3) << "a broken connection serves no further call";

    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(RecordingTransport::closed, std::vector<int>{7}) << "closed once, through it";

    RecordingTransport::refuse = true;
    EXPECT_EQ(CreateFileA(kDevicePath, GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace

// The control device \\.\korvodmi.vxd as the fuzz targets see it: in the process, with no
// socket, answering each exchange from a script the target sets (normally: bytes of the fuzz
// input). Setting a script puts it in place of the device sockets behind the stand-in's
// CreateFileA, DeviceIoControl and CloseHandle; other paths still open real files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace korvo::fuzz {

// One exchange as the agent made it.
struct DeviceExchange {
    uint32_t controlCode = 0;
    std::vector<uint8_t> input;        // the control word's bytes
    std::array<uint8_t, 24> record{};  // the output buffer as it came in
    size_t outputSize = 0;
};

// What the device does with one exchange: the call's result, the bytes-returned count, and
// the output buffer (already holding the request; the script edits it in place).
struct DeviceAnswer {
    bool success = true;
    uint32_t bytesReturned = 24;
};

struct DeviceScript {
    // Asked at each CreateFileA of the device; false makes the open fail.
    std::function<bool()> open = [] { return true; };
    // Asked at each DeviceIoControl on an open device handle.
    std::function<DeviceAnswer(const DeviceExchange&, uint8_t* output, size_t outputSize)> answer =
        [](const DeviceExchange&, uint8_t*, size_t) { return DeviceAnswer{}; };
};

// Replaces the script and forgets the exchanges seen so far.
void SetDeviceScript(DeviceScript script);

// The exchanges made since the script was set.
const std::vector<DeviceExchange>& DeviceExchanges();

// Connections to the device, and descriptors of files, opened since the script was set and
// open now: the agent closes each one it opens, so a target checks for 0 after every call.
size_t OpenHandleCount();

}  // namespace korvo::fuzz

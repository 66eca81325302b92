// One synchronous request/reply exchange with the adapter driver through its control device,
// opened afresh for each request and closed before the exchange returns; and the probe.
#include <cstring>

#include "driver/driver_channel.h"
#include "platform.h"

using namespace korvo::driver;

DriverRequest MakeDriverRequest(uint16_t code) {
    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.requestCode = code;
    return request;
}

uint8_t RequestByte(const DriverRequest& request, size_t offset) {
    if (offset >= sizeof request) {
        return 0;
    }
    return reinterpret_cast<const uint8_t*>(&request)[offset];
}

void SetRequestByte(DriverRequest& request, size_t offset, uint8_t value) {
    if (offset < sizeof request) {
        reinterpret_cast<uint8_t*>(&request)[offset] = value;
    }
}

uint32_t RequestWord(const DriverRequest& request, size_t offset) {
    if (offset <= sizeof request - 4) {
        // The whole word lies inside the record, as every word the catalogue names does.
        return GetU32(reinterpret_cast<const uint8_t*>(&request) + offset);
    }
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(RequestByte(request, offset + i)) << (8 * i);
    }
    return value;
}

void SetRequestWord(DriverRequest& request, size_t offset, uint32_t value) {
    if (offset <= sizeof request - 4) {
        PutU32(reinterpret_cast<uint8_t*>(&request) + offset, value);
        return;
    }
    for (size_t i = 0; i < 4; ++i) {
        SetRequestByte(request, offset + i, static_cast<uint8_t>(value >> (8 * i)));
    }
}

bool SendDriverRequest(uint32_t controlWord, DriverRequest* request) {
    HANDLE device = CreateFileA(kDevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    uint8_t word[kControlWordSize];
    PutU32(word, controlWord);
    DWORD bytesReturned = 0;
    const BOOL called = DeviceIoControl(device, kQueryGlobalStatsCode, word, sizeof word, request,
                                        sizeof *request, &bytesReturned, nullptr);
    const bool succeeded =
        called != FALSE && bytesReturned != 0 && request->status != kStatusFailed;
    CloseHandle(device);
    return succeeded;
}

bool CheckDriverSignature(const DriverRequest* reply) {
    for (size_t i = 0; i < sizeof kDriverSignature; ++i) {
        if (RequestByte(*reply, kDataOffset + i) != kDriverSignature[i]) {
            return false;
        }
    }
    return true;
}

bool ProbeDriver() {
    DriverRequest probe = MakeDriverRequest(0);  // the probe's record carries nothing
    return SendDriverRequest(kProbeControlWord, &probe) && CheckDriverSignature(&probe);
}

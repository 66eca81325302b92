// The request/reply channel to the adapter driver: the 24-byte DriverRequest record that
// carries both the request and the reply, one exchange per request, the driver's signature,
// and the probe that start-up uses. The protocol's facts come from korvo/driver_protocol.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "korvo/driver_protocol.h"

#pragma pack(push, 1)
struct DriverRequest {
    uint16_t requestCode;  // selects the request
    uint16_t status;       // written by the driver; kStatusFailed means failure
    uint8_t data[20];      // arguments and reply; offsets below count from the record's start
};
#pragma pack(pop)

static_assert(sizeof(DriverRequest) == korvo::driver::kRecordSize);
static_assert(offsetof(DriverRequest, status) == korvo::driver::kStatusOffset);
static_assert(offsetof(DriverRequest, data) == korvo::driver::kDataOffset);

// A zeroed request with `code` set; the caller adds the fields its request names.
DriverRequest MakeDriverRequest(uint16_t code);

// Field access by record offset, little-endian, never past the 24 bytes.
uint8_t RequestByte(const DriverRequest& request, size_t offset);
void SetRequestByte(DriverRequest& request, size_t offset, uint8_t value);
uint32_t RequestWord(const DriverRequest& request, size_t offset);
void SetRequestWord(DriverRequest& request, size_t offset, uint32_t value);

// One exchange: open the control device, one device call, close. True when the call succeeded,
// returned bytes and the driver's status is not kStatusFailed.
bool SendDriverRequest(uint32_t controlWord, DriverRequest* request);

// True when the reply carries the driver signature at offsets 4 to 7.
bool CheckDriverSignature(const DriverRequest* reply);

// True when a driver of the expected kind answers the probe.
bool ProbeDriver();

// The request/reply channel to the adapter driver: the 24-byte DriverRequest record that
// carries both the request and the reply, the control words and code, one exchange per
// request, the driver's signature, and the probe that start-up uses.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct DriverRequest {
    uint16_t requestCode;  // selects the request
    uint16_t status;       // written by the driver; DriverStatusFailed means failure
    uint8_t data[20];      // arguments and reply; offsets below count from the record's start
};
#pragma pack(pop)

static_assert(sizeof(DriverRequest) == 24);
static_assert(offsetof(DriverRequest, status) == 2);
static_assert(offsetof(DriverRequest, data) == 4);

inline constexpr char DriverDevicePath[] = "\\\\.\\korvodmi.vxd";
inline constexpr uint32_t DriverControlCode = 0x00170002;  // IOCTL_NDIS_QUERY_GLOBAL_STATS
inline constexpr uint32_t DriverRequestWord = 0xFF010200;  // every request of the catalogue
inline constexpr uint32_t DriverProbeWord = 0xFF0102FF;    // the probe only
inline constexpr uint16_t DriverStatusFailed = 0xFFFF;
inline constexpr uint8_t DriverSignature[4] = {0x44, 0x4D, 0x49, 0x10};  // "DMI" and 0x10

// Offsets inside the record that requests and replies use.
inline constexpr size_t ReplyByteOffset = 4;     // first reply byte; addresses, text, versions
inline constexpr size_t RowIndexByteOffset = 11;  // row index in; 0x55 marks an empty entry
inline constexpr size_t ValueOffset = 16;         // u32: row index or new value in; value out
inline constexpr size_t HighValueOffset = 20;     // u32: high half of a 64-bit reply
inline constexpr uint8_t EmptyEntryMark = 0x55;

// Field access by record offset, little-endian, never past the 24 bytes.
uint8_t RequestByte(const DriverRequest& request, size_t offset);
void SetRequestByte(DriverRequest& request, size_t offset, uint8_t value);
uint32_t RequestWord(const DriverRequest& request, size_t offset);
void SetRequestWord(DriverRequest& request, size_t offset, uint32_t value);

// One exchange: open the control device, one device call, close. True when the call succeeded,
// returned bytes and the driver's status is not DriverStatusFailed.
bool SendDriverRequest(uint32_t controlWord, DriverRequest* request);

// True when the reply carries the driver signature at offsets 4 to 7.
bool CheckDriverSignature(const DriverRequest* reply);

// True when a driver of the expected kind answers the probe.
bool ProbeDriver();

// The protocol between the agent and the adapter's driver: the control device, the NDIS query
// code and the two control words, the 24-byte request record with its offsets and marks, the
// catalogue of request codes, and, on the host, the framing of one device call over the control
// device's socket. The agent, the simulated adapter (socket server and kernel driver), the host
// layer and the test fakes all take these facts from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace korvo::driver {

// The control device as a Win32 path, and the one control code sent to it: the NDIS
// global-statistics query, a 4-byte control word as input and the record as output buffer.
inline constexpr char kDevicePath[] = "\\\\.\\korvodmi.vxd";
inline constexpr char kDeviceName[] = "korvodmi.vxd";          // kDevicePath without its prefix
inline constexpr uint32_t kQueryGlobalStatsCode = 0x00170002;  // IOCTL_NDIS_QUERY_GLOBAL_STATS
inline constexpr uint32_t kRequestControlWord = 0xFF010200;    // every request of the catalogue
inline constexpr uint32_t kProbeControlWord = 0xFF0102FF;      // the probe only
inline constexpr size_t kControlWordSize = 4;                  // sent least significant first

// The request record: the same 24 bytes carry the request to the driver and its reply back.
inline constexpr size_t kRecordSize = 24;
inline constexpr size_t kCodeOffset = 0;    // u16 request code
inline constexpr size_t kStatusOffset = 2;  // u16 status, written by the driver
inline constexpr size_t kDataOffset = 4;    // first data byte: addresses, names, versions
inline constexpr size_t kIndexOffset = 11;  // row index in; kNoSuchEntry out marks an empty entry
inline constexpr size_t kValueOffset = 16;  // u32 row index or new value in; the value out
inline constexpr size_t kHighOffset = 20;   // u32 high half of a 64-bit reply
// The failover status (request 56): the active adapter at kDataOffset, then these.
inline constexpr size_t kFailoverByteOffset = 5;  // the byte group 7 attribute 6 reports
inline constexpr size_t kFailoverBusOffset = 7;   // PCI bus of the active adapter

inline constexpr uint16_t kStatusOk = 0x0000;
inline constexpr uint16_t kStatusFailed = 0xFFFF;  // any other status is success
inline constexpr uint8_t kNoSuchEntry = 0x55;
// What the probe's reply carries at kDataOffset: "DMI" and 0x10.
inline constexpr std::array<uint8_t, 4> kDriverSignature = {0x44, 0x4D, 0x49, 0x10};

// The request codes, sent with kRequestControlWord. Where the driver's meaning of a value is
// not known, the code is named by the attribute it serves.
namespace code {
inline constexpr uint16_t kAddress1 = 1;
inline constexpr uint16_t kAddress2 = 2;
inline constexpr uint16_t kFirstPortCounter = 3;  // 64-bit counters of group 4, attributes 6 to 13
inline constexpr uint16_t kLastPortCounter = 10;
inline constexpr uint16_t kMulticastEntry = 11;  // one entry of the address table (group 5)
inline constexpr uint16_t kDriverVersion = 12;
inline constexpr uint16_t kDriverName = 13;
inline constexpr uint16_t kGroup7Attribute2 = 14;
inline constexpr uint16_t kGroup8Attribute9 = 21;
inline constexpr uint16_t kState = 22;
inline constexpr uint16_t kGroup10Value = 23;
inline constexpr uint16_t kGroup11Value = 24;
inline constexpr uint16_t kGroup12Value = 25;
inline constexpr uint16_t kGroup13Number = 27;
inline constexpr uint16_t kGroup14Number = 29;
inline constexpr uint16_t kGroup13Index = 30;        // read, and the write of group 13 attribute 1
inline constexpr uint16_t kGroup14Index = 32;        // read, and the write of group 14 attribute 1
inline constexpr uint16_t kGroup14NumberWrite = 33;  // the write of group 14 attribute 2
inline constexpr uint16_t kFirstStatCounter = 34;    // 64-bit counters of group 15, 1 to 20
inline constexpr uint16_t kLastStatCounter = 53;
inline constexpr uint16_t kLanguage = 54;
inline constexpr uint16_t kFailoverStatus = 56;
inline constexpr uint16_t kGroup7Attribute1 = 57;
inline constexpr uint16_t kGroup7Attribute3 = 58;
inline constexpr uint16_t kAdapterLocation = 60;
inline constexpr uint16_t kGroup21Attribute8 = 61;
}  // namespace code

// True for the request codes of the catalogue above: the ones the driver answers.
constexpr bool IsCatalogueCode(uint32_t requestCode) {
    if ((requestCode >= code::kFirstPortCounter && requestCode <= code::kLastPortCounter) ||
        (requestCode >= code::kFirstStatCounter && requestCode <= code::kLastStatCounter)) {
        return true;
    }
    constexpr uint16_t kSingleCodes[] = {code::kAddress1,         code::kAddress2,
                                         code::kMulticastEntry,   code::kDriverVersion,
                                         code::kDriverName,       code::kGroup7Attribute2,
                                         code::kGroup8Attribute9, code::kState,
                                         code::kGroup10Value,     code::kGroup11Value,
                                         code::kGroup12Value,     code::kGroup13Number,
                                         code::kGroup14Number,    code::kGroup13Index,
                                         code::kGroup14Index,     code::kGroup14NumberWrite,
                                         code::kLanguage,         code::kFailoverStatus,
                                         code::kGroup7Attribute1, code::kGroup7Attribute3,
                                         code::kAdapterLocation,  code::kGroup21Attribute8};
    for (const uint16_t single : kSingleCodes) {
        if (single == requestCode) {
            return true;
        }
    }
    return false;
}

// One device call over the control device's socket on the host. The caller sends the request
// header, the input bytes and the output buffer as it stands; the device answers with the reply
// header and the whole output buffer. All fields are u32, least significant byte first.
struct RequestHeader {
    uint32_t controlCode;
    uint32_t inputLength;
    uint32_t outputLength;
};
struct ReplyHeader {
    uint32_t success;  // non-zero when the call succeeded
    uint32_t bytesReturned;
};
inline constexpr size_t kRequestHeaderSize = 12;
inline constexpr size_t kReplyHeaderSize = 8;

inline void PutU32(uint8_t* out, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

inline void EncodeRequestHeader(const RequestHeader& header, uint8_t* out) {
    PutU32(out, header.controlCode);
    PutU32(out + 4, header.inputLength);
    PutU32(out + 8, header.outputLength);
}

inline RequestHeader DecodeRequestHeader(const uint8_t* in) {
    return {GetU32(in), GetU32(in + 4), GetU32(in + 8)};
}

inline void EncodeReplyHeader(const ReplyHeader& header, uint8_t* out) {
    PutU32(out, header.success);
    PutU32(out + 4, header.bytesReturned);
}

inline ReplyHeader DecodeReplyHeader(const uint8_t* in) {
    return {GetU32(in), GetU32(in + 4)};
}

}  // namespace korvo::driver

// The protocol between the agent and the adapter's driver: the control device, the NDIS query
// code and the two control words, the 24-byte request record with its offsets and marks, the
// catalogue of request codes, and, on the host, the framing of one device call over the control
// device's socket. The agent, the simulated adapter (socket server and kernel driver), the host
// layer and the test fakes all take these facts from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "korvo/byte_order.h"

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

// What a request asks of the driver, and where its reply carries the answer.
enum class RequestKind : uint8_t {
    Address,   // a 6-byte address at kDataOffset
    Counter,   // a 64-bit counter: low half at kValueOffset, high half at kHighOffset
    Entry,     // an entry of the address table: its row at kIndexOffset, kNoSuchEntry past the end
    Driver,    // the driver's version or its name at kDataOffset
    Value,     // a 32-bit value at kValueOffset
    TableRow,  // a row of a writable table: the row at kIndexOffset, its value at kValueOffset
    Failover,  // the failover pair: the active adapter's status, or an adapter's location
};

// The request catalogue: every request code the driver answers, sent with kRequestControlWord,
// one row each. ONE(Name, code, kind) is one code, code::kName; RUN(Name, first, last, kind) a
// run of codes, code::kFirstName to code::kLastName. Where the driver's meaning of a value is not
// known, the code is named as the MIF names the value: "Driver value 14" is DriverValue14, and the
// two writable tables are named by their rows (Table125, Table35). Adding a row is all the
// catalogue needs: code::, kRequestCatalogue and IsCatalogueCode (so `korvo-adapter fail`) follow
// from it.
#define KORVO_DRIVER_REQUESTS(ONE, RUN)                                                    \
    ONE(Address1, 1, Address)                                                              \
    ONE(Address2, 2, Address)                                                              \
    RUN(PortCounter, 3, 10, Counter) /* group 4, attributes 6 to 13 */                     \
    ONE(MulticastEntry, 11, Entry)   /* the address table, group 5 */                      \
    ONE(DriverVersion, 12, Driver)                                                         \
    ONE(DriverName, 13, Driver)                                                            \
    ONE(DriverValue14, 14, Value)                                                          \
    ONE(DriverCounter21, 21, Value)                                                        \
    ONE(State, 22, Value)                                                                  \
    ONE(DriverValue23, 23, Value)                                                          \
    ONE(DriverValue24, 24, Value)                                                          \
    ONE(DriverValue25, 25, Value)                                                          \
    ONE(Table125Value, 27, TableRow)                                                       \
    ONE(Table35Value, 29, TableRow)                                                        \
    ONE(Table125Index, 30, TableRow)     /* read, and the write of group 13 attribute 1 */ \
    ONE(Table35Index, 32, TableRow)      /* read, and the write of group 14 attribute 1 */ \
    ONE(Table35ValueWrite, 33, TableRow) /* the write of group 14 attribute 2 */           \
    RUN(StatCounter, 34, 53, Counter)    /* group 15, attributes 1 to 20 */                \
    ONE(Language, 54, Value)                                                               \
    ONE(FailoverStatus, 56, Failover)                                                      \
    ONE(DriverValue57, 57, Value)                                                          \
    ONE(DriverValue58, 58, Value)                                                          \
    ONE(AdapterLocation, 60, Failover)                                                     \
    ONE(DriverValue61, 61, Value)

namespace code {
#define KORVO_REQUEST_CODE(name, number, kind) inline constexpr uint16_t k##name = number;
#define KORVO_REQUEST_RUN_CODES(name, first, last, kind) \
    inline constexpr uint16_t kFirst##name = first;      \
    inline constexpr uint16_t kLast##name = last;
KORVO_DRIVER_REQUESTS(KORVO_REQUEST_CODE, KORVO_REQUEST_RUN_CODES)
#undef KORVO_REQUEST_CODE
#undef KORVO_REQUEST_RUN_CODES
}  // namespace code

// One row of the catalogue: request codes `first` to `last` (the same for a single code).
struct RequestCodes {
    uint16_t first;
    uint16_t last;
    RequestKind kind;
    const char* name;  // the row's name in code::
};

inline constexpr RequestCodes kRequestCatalogue[] = {
#define KORVO_REQUEST_ROW(name, number, kind) {number, number, RequestKind::kind, #name},
#define KORVO_REQUEST_RUN_ROW(name, first, last, kind) {first, last, RequestKind::kind, #name},
    KORVO_DRIVER_REQUESTS(KORVO_REQUEST_ROW, KORVO_REQUEST_RUN_ROW)
#undef KORVO_REQUEST_ROW
#undef KORVO_REQUEST_RUN_ROW
};

// The rows go up in code order and no two share a code.
constexpr bool CatalogueIsOrdered() {
    uint32_t next = 0;
    for (const RequestCodes& row : kRequestCatalogue) {
        if (row.first < next || row.last < row.first) {
            return false;
        }
        next = row.last + 1u;
    }
    return true;
}
static_assert(CatalogueIsOrdered(), "the request catalogue's rows must go up and not overlap");

// The catalogue's row of `requestCode`; null for a code the driver does not answer.
constexpr const RequestCodes* FindRequestCodes(uint32_t requestCode) {
    for (const RequestCodes& row : kRequestCatalogue) {
        if (requestCode >= row.first && requestCode <= row.last) {
            return &row;
        }
    }
    return nullptr;
}

// True for the request codes of the catalogue: the ones the driver answers.
constexpr bool IsCatalogueCode(uint32_t requestCode) {
    return FindRequestCodes(requestCode) != nullptr;
}

// The rows of the two writable tables, 0 to one less than these in a request (1 to these as
// the agent's keys): what reads of requests 27, 29, 30 and 32 serve and writes take.
inline constexpr uint32_t kTable125Rows = 125;
inline constexpr uint32_t kTable35Rows = 35;

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

// The protocol's integers, least significant byte first.
using korvo::GetU16;
using korvo::GetU32;
using korvo::PutU16;
using korvo::PutU32;

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

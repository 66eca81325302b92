// The rules every group of the read handler follows: the row key K, the requested row R and
// the row checks, the driver exchange whose failure ends the read as "value unknown", the
// driver variant in use, the building of integer and string values, and the text formatting
// of addresses and versions. Each group's reader lives in a read_*.cpp file named for what it
// reads (component_groups.h lists them) and uses only these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dmi/dmi.h"
#include "driver/driver_channel.h"

// Status for "no such row": the end of a table walk.
inline constexpr DmiErrorStatus RowNotFound = DMIERR_ROW_NOT_FOUND;
// Status for a value the driver could not give: its exchange failed. The record keeps its
// attribute id and no value, as for a missing row.
inline constexpr DmiErrorStatus ValueUnknown = DMIERR_VALUE_UNKNOWN;

enum : uint32_t { ReadModeGet = 0, ReadModeGetNext = 1 };

// What one group's reader gets: the request and the record already handed out with its id.
struct ReadCall {
    DmiId groupId;
    DmiId attributeId;
    const DmiAttributeValues* keyList;
    uint32_t mode;
    DmiAttributeData* record;
};

// K: 1 for no key list or no keys, the first key's value otherwise, with 0xFFFFFFFF read as 1.
uint32_t RowKey(const DmiAttributeValues* keyList);

// R = K + mode, in unsigned 32-bit arithmetic.
uint32_t RequestedRow(const ReadCall& call);

inline bool IsGetNext(const ReadCall& call) {
    return call.mode == ReadModeGetNext;
}

// The range rule: true when R is beyond the group's last row (unsigned comparison).
inline bool RowBeyond(const ReadCall& call, uint32_t lastRow) {
    return RequestedRow(call) > lastRow;
}

// The single-row groups (4, 6, 8, 10, 11, 12) refuse rows beyond 1, and attribute 1 under
// get-next (reached with a key of 0 only).
bool RefusedSingleRow(const ReadCall& call);

// The opening of groups 4, 6 and 8, single-row groups whose attribute 1 is the integer 0: true
// when it has answered the read, with its status in `status` (RowNotFound for a refused row, or
// success with attribute 1 set); false when the group's reader goes on to its other attributes.
bool AnsweredSingleRowIndex(const ReadCall& call, DmiErrorStatus& status);

// Sends the request with the request control word; true when the driver answered it. A reply
// is read only after a true result: a failed exchange ends the read with ValueUnknown.
[[nodiscard]] bool ExchangeWithDriver(DriverRequest& request);

// Sends a request that carries nothing but its code; true, with the reply in `reply`, when the
// driver answered.
[[nodiscard]] bool AskDriver(uint16_t code, DriverRequest& reply);

// As AskDriver, giving the reply value.
[[nodiscard]] bool AskDriverValue(uint16_t code, uint32_t& value);

// The reply value: the u32 at offset 16.
inline uint32_t ReplyValue(const DriverRequest& reply) {
    return RequestWord(reply, korvo::driver::kValueOffset);
}

// The 64-bit reply: low half at offset 16, high half at offset 20.
uint64_t ReplyValue64(const DriverRequest& reply);

// Asks request 12 for the driver version; true, with the three version bytes of its reply
// (reply offsets 4, 5 and 6) in `version`, when the driver answered.
inline constexpr size_t VersionBytes = 3;
[[nodiscard]] bool AskDriverVersion(uint8_t (&version)[VersionBytes]);

// The driver variant in use, as an index of DriverFileNames and DriverDescriptions: 0 for the
// NDIS 4.0 driver until a read of group 6 attribute 2 has found the NDIS 5.0 one, then 1.
uint32_t DriverVariant();

// Integer values: a 32-bit value with its type code (5 integer, 1 counter), or a 64-bit one
// (2 counter, 6 integer).
void SetInteger(DmiAttributeData* record, uint32_t value, DmiUnsigned type = MIF_INTEGER);
void SetInteger64(DmiAttributeData* record, uint64_t value, DmiUnsigned type);

// The reply value of request `code` as an integer of `type`, or the 64-bit reply as a 64-bit
// counter; ValueUnknown, and no value, when the driver did not answer.
DmiErrorStatus SetReplyInteger(DmiAttributeData* record, uint16_t code,
                               DmiUnsigned type = MIF_INTEGER);
DmiErrorStatus SetReplyCounter64(DmiAttributeData* record, uint16_t code);

// A display-string value of `length` bytes of `text`: the counted string is created, its
// pointer stored, and on success its length and body set and the type code 8 written. A
// failed creation's status is returned and no type code is set.
DmiErrorStatus SetString(DmiAttributeData* record, const void* text, uint32_t length);

// Writes the hexadecimal text of `count` bytes (upper case, high nibble first) and a NUL:
// 2 * count + 1 bytes.
void FormatHex(char* out, const uint8_t* bytes, size_t count);

// Writes one part of a driver version given the three version bytes (reply offsets 4, 5, 6):
// mode -1, -2, -3 give the pair of version byte 2, 1, 0 and a NUL; a count mode n >= 1 writes
// the pairs of bytes 2, 1 and 0 at positions 0, 3 and 6 of a 9-byte text, each followed by its
// NUL, for as many parts as n asks; 0 and other negative modes write nothing.
void FormatVersion(char* out, const uint8_t* versionBytes, int mode);

// The rules every group of the read handler follows: the row key K and requested row R, the
// driver exchange whose failure ends the read as "value unknown", and the building of integer
// and string values. Each group's branch lives in a file of its own and uses only these.
#pragma once

#include <cstdint>

#include "dmi/dmi.h"
#include "driver/driver_request.h"

// Status for "no such row": the end of a table walk.
inline constexpr DmiErrorStatus RowNotFound = DMIERR_ROW_NOT_FOUND;
// Status for a value the driver could not give: its exchange failed (or, in group 5, the
// entry is empty). The record keeps its attribute id and no value, as for a missing row.
inline constexpr DmiErrorStatus ValueUnknown = DMIERR_VALUE_UNKNOWN;

// What one branch gets: the request and the record already handed out with its id.
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

// A zeroed request with `code` set; the caller adds the index fields its table names.
DriverRequest MakeDriverRequest(uint16_t code);

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
    return RequestWord(reply, ValueOffset);
}

// The 64-bit reply: low half at offset 16, high half at offset 20.
uint64_t ReplyValue64(const DriverRequest& reply);

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

// The branches, one per group. Each returns the status of the read; an attribute it doesn't
// list leaves the record as it is and returns 0.
DmiErrorStatus ReadGroup1(ReadCall& call);
DmiErrorStatus ReadGroup2(ReadCall& call);
DmiErrorStatus ReadGroup3(ReadCall& call);
DmiErrorStatus ReadGroup4(ReadCall& call);
DmiErrorStatus ReadGroup5(ReadCall& call);
DmiErrorStatus ReadGroup6(ReadCall& call);
DmiErrorStatus ReadGroup7(ReadCall& call);
DmiErrorStatus ReadGroup8(ReadCall& call);
DmiErrorStatus ReadGroup10(ReadCall& call);
DmiErrorStatus ReadGroup11(ReadCall& call);
DmiErrorStatus ReadGroup12(ReadCall& call);
DmiErrorStatus ReadGroup13(ReadCall& call);
DmiErrorStatus ReadGroup14(ReadCall& call);
DmiErrorStatus ReadGroup15(ReadCall& call);
DmiErrorStatus ReadGroup16(ReadCall& call);
DmiErrorStatus ReadGroup20(ReadCall& call);
DmiErrorStatus ReadGroup21(ReadCall& call);

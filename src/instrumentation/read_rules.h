// The rules every group of the read handler follows: the row key K and requested row R, the
// driver exchange whose outcome is not consulted, and the building of integer and string
// values. Each group's branch lives in a file of its own and uses only these.
#pragma once

#include <cstdint>

#include "dmi/dmi.h"
#include "driver/driver_request.h"

// Status for "no such row": the end of a table walk.
inline constexpr DmiErrorStatus RowNotFound = DMIERR_ROW_NOT_FOUND;

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

// Sends the request with the request control word. The outcome is deliberately ignored: the
// value is built from the record as it then stands.
void ExchangeWithDriver(DriverRequest& request);

// Sends a request that carries nothing but its code; returns the reply.
DriverRequest AskDriver(uint16_t code);

// The reply value: the u32 at offset 16.
inline uint32_t ReplyValue(const DriverRequest& reply) { return RequestWord(reply, ValueOffset); }

// The 64-bit reply: low half at offset 16, high half at offset 20.
uint64_t ReplyValue64(const DriverRequest& reply);

// Integer values: a 32-bit value with its type code (5 integer, 1 counter), or a 64-bit one
// (2 counter, 6 integer).
void SetInteger(DmiAttributeData* record, uint32_t value, DmiUnsigned type = MIF_INTEGER);
void SetInteger64(DmiAttributeData* record, uint64_t value, DmiUnsigned type);

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

// Reads of the two driver tables (group 13, "Driver Table (125 rows)", and group 14, "Driver
// Table (35 rows)"): the driver addresses their rows by a zero-based row index. Their writes are
// in write_attribute.cpp.
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {

// Sends a per-row request of a table: the row index R - 1 goes in byte 11 (its low 8 bits)
// and in the u32 at 16 (as a signed number, so row 0 gives the index -1). True, with the
// reply in `reply`, when the driver answered.
bool AskForRow(uint16_t code, uint32_t row, DriverRequest& reply) {
    reply = MakeDriverRequest(code);
    const uint32_t index = row - 1;
    SetRequestByte(reply, kIndexOffset, static_cast<uint8_t>(index));
    SetRequestWord(reply, kValueOffset, index);
    return ExchangeWithDriver(reply);
}

// Groups 13 and 14 have the same shape: attribute 1 sends the index request and gives R,
// attribute 2 gives the per-row number the driver answers.
DmiErrorStatus ReadIndexedTable(ReadCall& call, uint32_t lastRow, uint16_t indexRequest,
                                uint16_t valueRequest) {
    if (RowBeyond(call, lastRow)) {
        return RowNotFound;
    }
    const uint32_t row = RequestedRow(call);
    DriverRequest reply;
    switch (call.attributeId) {
        case 1:
            // The driver's reply is not used, but a driver that does not answer has no row.
            if (!AskForRow(indexRequest, row, reply)) {
                return ValueUnknown;
            }
            SetInteger(call.record, row);
            break;
        case 2:
            if (!AskForRow(valueRequest, row, reply)) {
                return ValueUnknown;
            }
            SetInteger64(call.record, ReplyValue(reply), MIF_INTEGER64);
            break;
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

}  // namespace

DmiErrorStatus ReadGroup13(ReadCall& call) {
    return ReadIndexedTable(call, Group13LastRow, code::kGroup13Index, code::kGroup13Number);
}

DmiErrorStatus ReadGroup14(ReadCall& call) {
    return ReadIndexedTable(call, Group14LastRow, code::kGroup14Index, code::kGroup14Number);
}

// Reads of the two driver tables ("Driver Table (125 rows)", group 13, and "Driver Table (35
// rows)", group 14): the driver addresses their rows by a zero-based row index. Their writes are
// in write_attribute.cpp.
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {

// Both tables' attributes, which the MIF names alike.
constexpr DmiId RowNumber = component::driver_table_125_rows::kRowNumber;
constexpr DmiId RowValue = component::driver_table_125_rows::kRowValue;
static_assert(RowNumber == component::driver_table_35_rows::kRowNumber &&
                  RowValue == component::driver_table_35_rows::kRowValue,
              "the two driver tables must number their attributes alike");

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

// The two tables have the same shape: the row number sends the index request and gives R, the
// row value is the per-row number the driver answers.
DmiErrorStatus ReadIndexedTable(ReadCall& call, uint32_t lastRow, uint16_t indexRequest,
                                uint16_t valueRequest) {
    if (RowBeyond(call, lastRow)) {
        return RowNotFound;
    }
    const uint32_t row = RequestedRow(call);
    DriverRequest reply;
    switch (call.attributeId) {
        case RowNumber:
            // The driver's reply is not used, but a driver that does not answer has no row.
            if (!AskForRow(indexRequest, row, reply)) {
                return ValueUnknown;
            }
            SetInteger(call.record, row);
            break;
        case RowValue:
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

DmiErrorStatus ReadDriverTable125Rows(ReadCall& call) {
    return ReadIndexedTable(call, Table125LastRow, code::kTable125Index, code::kTable125Value);
}

DmiErrorStatus ReadDriverTable35Rows(ReadCall& call) {
    return ReadIndexedTable(call, Table35LastRow, code::kTable35Index, code::kTable35Value);
}

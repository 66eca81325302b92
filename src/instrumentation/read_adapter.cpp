// Reads of the groups that describe the adapter: "Adapter" (group 4: its addresses and 64-bit
// traffic counters), "Address Table" (group 5: the table the driver keeps and ends with an empty
// entry) and "Adapter Status" (group 7: values derived from the driver's state, and the failover
// status byte).
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {

// The adapter's 64-bit counters: its statistics counters 1 to 8 ask requests 3 to 10.
constexpr DmiId FirstCounterAttribute = component::adapter::kStatisticsCounter1;
constexpr DmiId LastCounterAttribute = component::adapter::kStatisticsCounter8;

// The driver's address table: an entry for each value of the index byte.
constexpr uint32_t AddressTableRows = 256;

constexpr size_t AddressBytes = 6;
constexpr uint32_t AddressTextLength = 2 * AddressBytes + 1;  // the NUL counts

// Copies `count` reply bytes starting at record offset `offset`.
void CopyReplyBytes(const DriverRequest& reply, size_t offset, uint8_t* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = RequestByte(reply, offset + i);
    }
}

// The six address bytes at reply offsets 4 to 9 as twelve hexadecimal digits and their NUL.
DmiErrorStatus SetAddressText(DmiAttributeData* record, const DriverRequest& reply) {
    uint8_t address[AddressBytes];
    CopyReplyBytes(reply, kDataOffset, address, AddressBytes);
    char text[AddressTextLength];
    FormatHex(text, address, AddressBytes);
    return SetString(record, text, AddressTextLength);
}

// The address of request `code`; ValueUnknown when the driver did not answer.
DmiErrorStatus ReadAddress(DmiAttributeData* record, uint16_t code) {
    DriverRequest reply;
    if (!AskDriver(code, reply)) {
        return ValueUnknown;
    }
    return SetAddressText(record, reply);
}

// Request 11 for the requested row: index byte (R - 1) mod 256, and the same byte
// sign-extended in the value field. True, with the reply in `reply`, when the driver answered.
bool AskAddressTableEntry(uint32_t row, DriverRequest& reply) {
    reply = MakeDriverRequest(code::kMulticastEntry);
    const auto index = static_cast<uint8_t>(row - 1);
    SetRequestByte(reply, kIndexOffset, index);
    SetRequestWord(reply, kValueOffset,
                   static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(index))));
    return ExchangeWithDriver(reply);
}

bool IsEmptyEntry(const DriverRequest& reply) {
    return RequestByte(reply, kIndexOffset) == kNoSuchEntry;
}

}  // namespace

DmiErrorStatus ReadAdapter(ReadCall& call) {
    using namespace component::adapter;
    DmiErrorStatus status = DMIERR_NO_ERROR;
    if (AnsweredSingleRowIndex(call, status)) {
        return status;
    }
    switch (call.attributeId) {
        case kFirstAdapterAddress:
            return ReadAddress(call.record, code::kAddress1);
        case kSecondAdapterAddress:
            return ReadAddress(call.record, code::kAddress2);
        case kFixedValueAttribute4:
            SetInteger(call.record, 1);
            break;
        case kFixedValueAttribute5:
            SetInteger(call.record, 10);
            break;
        default:
            if (call.attributeId >= FirstCounterAttribute &&
                call.attributeId <= LastCounterAttribute) {
                const auto counter = static_cast<uint16_t>(
                    code::kFirstPortCounter + (call.attributeId - FirstCounterAttribute));
                return SetReplyCounter64(call.record, counter);
            }
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadAddressTable(ReadCall& call) {
    using namespace component::address_table;
    if (call.attributeId < kEntryNumber || call.attributeId > kAddress) {
        return DMIERR_NO_ERROR;
    }
    // Every attribute of a row answers only for an entry the driver has: rows 1 to 256, one
    // for each index byte, ending at the first empty entry.
    const uint32_t row = RequestedRow(call);
    if (row == 0 || RowBeyond(call, AddressTableRows)) {
        return RowNotFound;
    }
    DriverRequest reply;
    if (!AskAddressTableEntry(row, reply)) {
        return ValueUnknown;
    }
    if (IsEmptyEntry(reply)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case kEntryNumber:
            SetInteger(call.record, row);
            break;
        case kFixedValueAttribute2:
            SetInteger(call.record, 0);
            break;
        case kFixedValueAttribute3:
            SetInteger(call.record, 1);
            break;
        default:  // kAddress
            return SetAddressText(call.record, reply);
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadAdapterStatus(ReadCall& call) {
    using namespace component::adapter_status;
    uint32_t state = 0;
    switch (call.attributeId) {
        case kDriverValue57:
            return SetReplyInteger(call.record, code::kDriverValue57);
        case kDriverValue14:
            return SetReplyInteger(call.record, code::kDriverValue14);
        case kDriverValue58:
            return SetReplyInteger(call.record, code::kDriverValue58);
        case kAdapterStateIndicator: {
            if (!AskDriverValue(code::kState, state)) {
                return ValueUnknown;
            }
            uint32_t value = 1;
            if (state == 2 || state == 4) {
                value = 2;
            } else if (state == 1) {
                value = 5;
            } else if (state == 3) {
                value = 6;
            }
            SetInteger(call.record, value);
            break;
        }
        case kSecondAdapterStateIndicator:
            if (!AskDriverValue(code::kState, state)) {
                return ValueUnknown;
            }
            SetInteger(call.record, state == 2 || state == 4 ? 4 : 5);
            break;
        case kFailoverStatusByte: {
            DriverRequest reply;
            if (!AskDriver(code::kFailoverStatus, reply)) {
                return ValueUnknown;
            }
            SetInteger(call.record, RequestByte(reply, kFailoverByteOffset));
            break;
        }
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

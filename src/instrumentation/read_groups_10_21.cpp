// Reads of groups 10 to 16, 20 and 21: the three single-row groups (10, 11, 12), the two tables
// whose rows the driver addresses by a zero-based row index (13, 14), the twenty 64-bit
// counters (15), the driver's version and language (16), and the failover group (20) with its
// table of the two adapters of the pair (21).
#include <cstring>

#include "dmi/dmi_api.h"
#include "driver/pci_slot.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"
#include "state/service_state.h"

using namespace korvo::driver;

namespace {

constexpr uint32_t FailoverLastRow = 1;
constexpr DmiId Group15CounterCount = 20;

// Group 10 attribute 2 is the 16-bit value of request 23 plus this.
constexpr uint64_t Group10Attribute2Offset = 31;
constexpr uint32_t LowSixteenBits = 0xFFFF;
constexpr uint32_t DriverFileNameLength = 11;  // "KORVOm4.SYS", no terminator

constexpr uint32_t VersionPairLength = 2;
constexpr size_t VersionPairBufferSize = VersionPairLength + 1;
constexpr int VersionByte2Mode = -1;
constexpr int VersionByte1Mode = -2;
constexpr int VersionByte0Mode = -3;

// Language codes by the reply value 1 to 5: two letters, a NUL and a zero byte.
constexpr char LanguageCodes[5][4] = {"en", "ge", "fr", "it", "sp"};
constexpr uint32_t LanguageCodeLength = 3;  // the two letters and the NUL

constexpr char Group16Attribute7Text[] = "000101234";
constexpr uint32_t Group16Attribute7Length = 32;

constexpr char FailoverGroupName[] = "Failover Group 1";
constexpr uint32_t FailoverGroupNameLength = sizeof FailoverGroupName - 1;
constexpr uint32_t AdapterLabelLength = 9;  // "Adapter 1"

// The failover groups answer get of rows 0 and 1 only.
bool RefusedFailoverRow(const ReadCall& call) {
    return IsGetNext(call) || RowBeyond(call, FailoverLastRow);
}

// The driver file's name for the driver variant in use, without its terminator.
DmiErrorStatus SetDriverFileName(DmiAttributeData* record) {
    return SetString(record, DriverFileNames[DriverVariant()], DriverFileNameLength);
}

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

DmiErrorStatus SetVersionPair(DmiAttributeData* record, int mode) {
    uint8_t version[VersionBytes];
    if (!AskDriverVersion(version)) {
        return ValueUnknown;
    }
    char pair[VersionPairBufferSize];
    FormatVersion(pair, version, mode);
    return SetString(record, pair, VersionPairLength);
}

// The string is created holding "en"; a reply value of 1 to 5 then puts its code in the body,
// any other value leaves "en".
DmiErrorStatus SetLanguageCode(DmiAttributeData* record) {
    uint32_t selector = 0;
    if (!AskDriverValue(code::kLanguage, selector)) {
        return ValueUnknown;
    }
    const DmiErrorStatus status = SetString(record, LanguageCodes[0], LanguageCodeLength);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    if (selector >= 1 && selector <= 5) {
        std::memcpy(record->data.value.str->body, LanguageCodes[selector - 1], LanguageCodeLength);
    }
    return DMIERR_NO_ERROR;
}

// The label is whatever DmiNewOctetString made of the table slot: neither length nor body is
// touched afterwards.
DmiErrorStatus SetAdapterLabel(DmiAttributeData* record, uint32_t rowIndex) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    record->data.value.str = DmiApi.DmiNewOctetString(AdapterLabelLength, AdapterLabels[rowIndex],
                                                      serviceState.memoryDescriptor, &status);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    record->data.type = MIF_DISPLAYSTRING;
    return DMIERR_NO_ERROR;
}

// The physical slot of one adapter of the pair, from the PCI location the driver reports.
DmiErrorStatus ReadAdapterSlot(DmiAttributeData* record, uint32_t row) {
    DriverRequest request = MakeDriverRequest(code::kAdapterLocation);
    SetRequestWord(request, kValueOffset, row - 1);
    if (!ExchangeWithDriver(request)) {
        return ValueUnknown;
    }
    const int32_t slot = FindPciSlot(ReplyValue(request), RequestByte(request, kDataOffset));
    SetInteger(record, static_cast<uint32_t>(slot));
    return DMIERR_NO_ERROR;
}

}  // namespace

DmiErrorStatus ReadGroup10(ReadCall& call) {
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    uint32_t value = 0;
    switch (call.attributeId) {
        case 1:
        case 2:
            if (!AskDriverValue(code::kGroup10Value, value)) {
                return ValueUnknown;
            }
            SetInteger64(
                call.record,
                (value & LowSixteenBits) + (call.attributeId == 2 ? Group10Attribute2Offset : 0),
                MIF_INTEGER64);
            break;
        case 3:
            return SetDriverFileName(call.record);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup11(ReadCall& call) {
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    uint32_t state = 0;
    switch (call.attributeId) {
        case 1:
            return SetReplyInteger(call.record, code::kGroup11Value);
        case 2:
            SetInteger(call.record, 3);
            break;
        case 3:
        case 4:
            if (!AskDriverValue(code::kState, state)) {
                return ValueUnknown;
            }
            if (call.attributeId == 3) {
                SetInteger(call.record, state == 1 ? 3 : 4);
            } else {
                SetInteger(call.record, state == 1 ? 1 : 0);
            }
            break;
        case 5:
            return SetDriverFileName(call.record);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup12(ReadCall& call) {
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case 1:
            return SetReplyInteger(call.record, code::kGroup12Value);
        case 2:
            SetInteger(call.record, 1);
            break;
        case 3:
            SetInteger(call.record, 0);
            break;
        case 4:
            return SetDriverFileName(call.record);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup13(ReadCall& call) {
    return ReadIndexedTable(call, Group13LastRow, code::kGroup13Index, code::kGroup13Number);
}

DmiErrorStatus ReadGroup14(ReadCall& call) {
    return ReadIndexedTable(call, Group14LastRow, code::kGroup14Index, code::kGroup14Number);
}

DmiErrorStatus ReadGroup15(ReadCall& call) {
    if (call.attributeId >= 1 && call.attributeId <= Group15CounterCount) {
        const auto counter = static_cast<uint16_t>(code::kFirstStatCounter - 1 + call.attributeId);
        return SetReplyCounter64(call.record, counter);
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup16(ReadCall& call) {
    switch (call.attributeId) {
        case 1:
            return SetVersionPair(call.record, VersionByte2Mode);
        case 2:
            return SetVersionPair(call.record, VersionByte1Mode);
        case 3:
        case 4:
            return SetVersionPair(call.record, VersionByte0Mode);
        case 5:
            SetInteger(call.record, 6);
            break;
        case 6:
            return SetLanguageCode(call.record);
        case 7: {
            char text[Group16Attribute7Length] = {};  // the text, its NUL, then zero bytes
            std::memcpy(text, Group16Attribute7Text, sizeof Group16Attribute7Text);
            return SetString(call.record, text, Group16Attribute7Length);
        }
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup20(ReadCall& call) {
    if (RefusedFailoverRow(call)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case 1:
            return SetString(call.record, FailoverGroupName, FailoverGroupNameLength);
        case 2:
            SetInteger(call.record, 1);
            break;
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup21(ReadCall& call) {
    if (RefusedFailoverRow(call)) {
        return RowNotFound;
    }
    const uint32_t row = RequestedRow(call);  // 0 or 1: get only
    switch (call.attributeId) {
        case 1:
            SetInteger(call.record, row);
            break;
        case 2:
            // Row 0 has no label: its index, -1, names no slot of the table.
            if (row == 0) {
                return RowNotFound;
            }
            return SetAdapterLabel(call.record, row - 1);
        case 3:
        case 5:
        case 7:
            SetInteger(call.record, 1);
            break;
        case 4:
            return ReadAdapterSlot(call.record, row);
        case 6:
        case 9:
        case 10:
            SetInteger(call.record, 0);
            break;
        case 8:
            return SetReplyInteger(call.record, code::kGroup21Attribute8);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

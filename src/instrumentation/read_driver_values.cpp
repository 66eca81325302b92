// Reads of the three single-row groups of driver values: groups 10, 11 and 12 ("Driver Value
// 23", "24" and "25", named after the driver requests that give their first attributes), each
// also naming the driver file in use.
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"
#include "state/service_state.h"

using namespace korvo::driver;

namespace {

// Group 10 attribute 2 is the 16-bit value of request 23 plus this.
constexpr uint64_t Group10Attribute2Offset = 31;
constexpr uint32_t LowSixteenBits = 0xFFFF;
constexpr uint32_t DriverFileNameLength = 11;  // "KORVOm4.SYS", no terminator

// The driver file's name for the driver variant in use, without its terminator.
DmiErrorStatus SetDriverFileName(DmiAttributeData* record) {
    return SetString(record, DriverFileNames[DriverVariant()], DriverFileNameLength);
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

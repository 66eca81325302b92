// Reads of the three single-row groups of driver values: "Driver Value 23", "24" and "25"
// (groups 10, 11 and 12, named after the driver requests that give their first attributes),
// each also naming the driver file in use.
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"
#include "state/service_state.h"

using namespace korvo::driver;

namespace {

// "Driver value 23 plus 31": the 16-bit value of request 23 plus this.
constexpr uint64_t DriverValue23Offset = 31;
constexpr uint32_t LowSixteenBits = 0xFFFF;
constexpr uint32_t DriverFileNameLength = 11;  // "KORVOm4.SYS", no terminator

// The driver file's name for the driver variant in use, without its terminator.
DmiErrorStatus SetDriverFileName(DmiAttributeData* record) {
    return SetString(record, DriverFileNames[DriverVariant()], DriverFileNameLength);
}

}  // namespace

DmiErrorStatus ReadDriverValue23(ReadCall& call) {
    using namespace component::driver_value_23;
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    uint32_t value = 0;
    switch (call.attributeId) {
        case kDriverValue23:
        case kDriverValue23Plus31:
            if (!AskDriverValue(code::kDriverValue23, value)) {
                return ValueUnknown;
            }
            SetInteger64(call.record,
                         (value & LowSixteenBits) +
                             (call.attributeId == kDriverValue23Plus31 ? DriverValue23Offset : 0),
                         MIF_INTEGER64);
            break;
        case kDriverFileName:
            return SetDriverFileName(call.record);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadDriverValue24(ReadCall& call) {
    using namespace component::driver_value_24;
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    uint32_t state = 0;
    switch (call.attributeId) {
        case kDriverValue24:
            return SetReplyInteger(call.record, code::kDriverValue24);
        case kFixedValueAttribute2:
            SetInteger(call.record, 3);
            break;
        case kStateIndicator:
        case kState1Flag:
            if (!AskDriverValue(code::kState, state)) {
                return ValueUnknown;
            }
            if (call.attributeId == kStateIndicator) {
                SetInteger(call.record, state == 1 ? 3 : 4);
            } else {
                SetInteger(call.record, state == 1 ? 1 : 0);
            }
            break;
        case kDriverFileName:
            return SetDriverFileName(call.record);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadDriverValue25(ReadCall& call) {
    using namespace component::driver_value_25;
    if (RefusedSingleRow(call)) {
        return RowNotFound;
    }
    switch (call.attributeId) {
        case kDriverValue25:
            return SetReplyInteger(call.record, code::kDriverValue25);
        case kFixedValueAttribute2:
            SetInteger(call.record, 1);
            break;
        case kFixedValueAttribute3:
            SetInteger(call.record, 0);
            break;
        case kDriverFileName:
            return SetDriverFileName(call.record);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

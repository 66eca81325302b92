// Reads of the groups that describe the component itself: its identification (group 1,
// "ComponentID": constants, and Verify from the driver probe), its state summary (group 2, from
// the driver's state number) and the three-row table keyed by row number (group 3, "Row Table").
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {
constexpr uint32_t Group3LastRow = 3;
// Verify (attribute 6): the component's level of function as the driver probe finds it.
constexpr uint32_t VerifyFunctioning = 7;     // exists and is functioning correctly
constexpr uint32_t VerifyNotFunctioning = 6;  // exists, and is not functioning correctly
}  // namespace

DmiErrorStatus ReadGroup1(ReadCall& call) {
    if (call.attributeId >= 1 && call.attributeId <= 5) {
        SetInteger(call.record, 0);
    } else if (call.attributeId == 6) {
        SetInteger(call.record, ProbeDriver() ? VerifyFunctioning : VerifyNotFunctioning);
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup2(ReadCall& call) {
    if (call.attributeId == 2) {
        uint32_t state = 0;
        if (!AskDriverValue(code::kState, state)) {
            return ValueUnknown;
        }
        SetInteger(call.record, state == 2 || state == 4 ? 3 : 2);
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup3(ReadCall& call) {
    if (RowBeyond(call, Group3LastRow)) {
        return RowNotFound;
    }
    const uint32_t row = RequestedRow(call);
    if (row == Group3LastRow) {
        // Row 3 exists only in some driver states.
        uint32_t state = 0;
        if (!AskDriverValue(code::kState, state)) {
            return ValueUnknown;
        }
        if (state == 1 || state == 3) {
            return RowNotFound;
        }
    }
    switch (call.attributeId) {
        case 1:
            SetInteger(call.record, row);
            break;
        case 2:
            SetInteger(call.record, 1);
            break;  // the second key, which always counts as 1
        case 3:
            SetInteger(call.record, row + 3);
            break;
        case 4:
        case 5:
        case 6:
        case 7:
            SetInteger(call.record, 0);
            break;
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

// Reads of the groups that describe the component itself: its identification (group 1,
// "ComponentID": constants, and Verify from the driver probe), its state summary (group 2, from
// the driver's state number) and the three-row table keyed by row number (group 3, "Row Table").
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {
constexpr uint32_t RowTableLastRow = 3;
// Verify (attribute 6): the component's level of function as the driver probe finds it.
constexpr uint32_t VerifyFunctioning = 7;     // exists and is functioning correctly
constexpr uint32_t VerifyNotFunctioning = 6;  // exists, and is not functioning correctly
}  // namespace

DmiErrorStatus ReadComponentId(ReadCall& call) {
    using namespace component::component_id;
    if (call.attributeId >= kManufacturer && call.attributeId <= kInstallation) {
        SetInteger(call.record, 0);
    } else if (call.attributeId == kVerify) {
        SetInteger(call.record, ProbeDriver() ? VerifyFunctioning : VerifyNotFunctioning);
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadStateSummary(ReadCall& call) {
    if (call.attributeId == component::state_summary::kStateSummary) {
        uint32_t state = 0;
        if (!AskDriverValue(code::kState, state)) {
            return ValueUnknown;
        }
        SetInteger(call.record, state == 2 || state == 4 ? 3 : 2);
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadRowTable(ReadCall& call) {
    using namespace component::row_table;
    if (RowBeyond(call, RowTableLastRow)) {
        return RowNotFound;
    }
    const uint32_t row = RequestedRow(call);
    if (row == RowTableLastRow) {
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
        case kRowNumber:
            SetInteger(call.record, row);
            break;
        case kSecondKey:
            SetInteger(call.record, 1);
            break;  // the second key, which always counts as 1
        case kRowNumberPlus3:
            SetInteger(call.record, row + 3);
            break;
        case kFixedValueAttribute4:
        case kFixedValueAttribute5:
        case kFixedValueAttribute6:
        case kFixedValueAttribute7:
            SetInteger(call.record, 0);
            break;
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

// Reads of the counter groups: group 8 ("Counters and Fixed Values": fixed values and 32-bit
// counters, one of them from the driver) and group 15 ("Extended Statistics": twenty 64-bit
// counters, one request each).
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {

// Group 8 attribute 2 under get-next.
constexpr DmiErrorStatus AttributeNotFound = DMIERR_ATTRIBUTE_NOT_FOUND;

constexpr DmiId Group15CounterCount = 20;

}  // namespace

DmiErrorStatus ReadGroup8(ReadCall& call) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    if (AnsweredSingleRowIndex(call, status)) {
        return status;
    }
    switch (call.attributeId) {
        case 2:
            if (IsGetNext(call)) {
                return AttributeNotFound;
            }
            SetInteger(call.record, 0);
            break;
        case 3:
        case 5:
            SetInteger(call.record, 3);
            break;
        case 4:
        case 6:
            SetInteger(call.record, 4);
            break;
        case 7:
        case 8:
            SetInteger(call.record, 0, MIF_COUNTER);
            break;
        case 9:
            return SetReplyInteger(call.record, code::kGroup8Attribute9, MIF_COUNTER);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadGroup15(ReadCall& call) {
    if (call.attributeId >= 1 && call.attributeId <= Group15CounterCount) {
        const auto counter = static_cast<uint16_t>(code::kFirstStatCounter - 1 + call.attributeId);
        return SetReplyCounter64(call.record, counter);
    }
    return DMIERR_NO_ERROR;
}

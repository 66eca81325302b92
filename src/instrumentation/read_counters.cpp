// Reads of the counter groups: "Counters and Fixed Values" (group 8: fixed values and 32-bit
// counters, one of them from the driver) and "Extended Statistics" (group 15: twenty 64-bit
// counters, one request each).
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"

using namespace korvo::driver;

namespace {

// The second attribute of "Counters and Fixed Values" under get-next.
constexpr DmiErrorStatus AttributeNotFound = DMIERR_ATTRIBUTE_NOT_FOUND;

constexpr DmiId FirstExtendedCounter = component::extended_statistics::kExtendedCounter1;
constexpr DmiId LastExtendedCounter = component::extended_statistics::kExtendedCounter20;

}  // namespace

DmiErrorStatus ReadCountersAndFixedValues(ReadCall& call) {
    using namespace component::counters_and_fixed_values;
    DmiErrorStatus status = DMIERR_NO_ERROR;
    if (AnsweredSingleRowIndex(call, status)) {
        return status;
    }
    switch (call.attributeId) {
        case kFixedValueAttribute2:
            if (IsGetNext(call)) {
                return AttributeNotFound;
            }
            SetInteger(call.record, 0);
            break;
        case kFixedValueAttribute3:
        case kFixedValueAttribute5:
            SetInteger(call.record, 3);
            break;
        case kFixedValueAttribute4:
        case kFixedValueAttribute6:
            SetInteger(call.record, 4);
            break;
        case kFixedCounterAttribute7:
        case kFixedCounterAttribute8:
            SetInteger(call.record, 0, MIF_COUNTER);
            break;
        case kDriverCounter21:
            return SetReplyInteger(call.record, code::kDriverCounter21, MIF_COUNTER);
        default:
            break;
    }
    return DMIERR_NO_ERROR;
}

DmiErrorStatus ReadExtendedStatistics(ReadCall& call) {
    if (call.attributeId >= FirstExtendedCounter && call.attributeId <= LastExtendedCounter) {
        const auto counter = static_cast<uint16_t>(code::kFirstStatCounter +
                                                   (call.attributeId - FirstExtendedCounter));
        return SetReplyCounter64(call.record, counter);
    }
    return DMIERR_NO_ERROR;
}

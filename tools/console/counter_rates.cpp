// Counter changes between two samples of the watch command.
#include "console/counter_rates.h"

#include "dmi/dmi.h"

namespace korvo::console {

std::optional<CounterChange> ChangeOfCounter(uint32_t type, uint64_t previous, uint64_t current,
                                             double seconds) {
    if (type != MIF_COUNTER && type != MIF_COUNTER64) {
        return std::nullopt;
    }
    CounterChange change;
    if (current >= previous) {
        change.delta = current - previous;
    } else if (type == MIF_COUNTER && previous <= UINT32_MAX && current <= UINT32_MAX) {
        change.kind = CounterChange::Kind::Wrapped;
        change.delta = (uint64_t{1} << 32) - previous + current;
    } else {
        change.kind = CounterChange::Kind::Reset;
        return change;
    }
    if (seconds > 0) {
        change.perSecond = static_cast<double>(change.delta) / seconds;
    }
    return change;
}

const char* CounterChangeName(CounterChange::Kind kind) {
    switch (kind) {
        case CounterChange::Kind::Wrapped:
            return "wrapped";
        case CounterChange::Kind::Reset:
            return "reset";
        case CounterChange::Kind::Rate:
            break;
    }
    return "";
}

}  // namespace korvo::console

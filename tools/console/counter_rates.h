// How fast a counter moves between two samples, taking the counter's width into account: a
// 32-bit counter that went down has wrapped, a 64-bit one has been reset.
#pragma once

#include <cstdint>
#include <optional>

namespace korvo::console {

struct CounterChange {
    enum class Kind {
        Rate,     // counted up by `delta`
        Wrapped,  // a 32-bit counter passed 2^32; `delta` counts across the wrap
        Reset,    // a 64-bit counter went down: it started again, no rate to give
    };
    Kind kind = Kind::Rate;
    uint64_t delta = 0;
    std::optional<double> perSecond;  // none for a reset, or when no time passed
};

// The change of a counter of MIF type `type` (counter or counter64) from `previous` to
// `current` over `seconds`; nothing for a type that is not a counter.
std::optional<CounterChange> ChangeOfCounter(uint32_t type, uint64_t previous, uint64_t current,
                                             double seconds);

// "wrapped", "reset" or "" for a plain rate: the name --json gives a change.
const char* CounterChangeName(CounterChange::Kind kind);

}  // namespace korvo::console

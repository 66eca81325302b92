// The watch command's counter changes: rates, a 32-bit counter across its wrap, a reset.
#include "console/counter_rates.h"

#include <gtest/gtest.h>

#include "dmi/dmi.h"

namespace korvo::console {
namespace {

using Kind = CounterChange::Kind;

TEST(ChangeOfCounter, WrapsA32BitCounterAndCallsA64BitDropAReset) {
    struct Case {
        uint32_t type;
        uint64_t previous;
        uint64_t current;
        double seconds;
        Kind kind;
        uint64_t delta;
        std::optional<double> perSecond;
    };
    const Case cases[] = {
        {MIF_COUNTER, 100, 300, 2.0, Kind::Rate, 200, 100.0},
        {MIF_COUNTER, 0xFFFFFF00, 0x100, 1.0, Kind::Wrapped, 0x200, 512.0},
        {MIF_COUNTER, 0xFFFFFFFF, 0, 0.5, Kind::Wrapped, 1, 2.0},
        {MIF_COUNTER64, 0xFFFFFFF0, 0x100000010, 1.0, Kind::Rate, 0x20, 32.0},
        {MIF_COUNTER64, 5000000000, 7, 1.0, Kind::Reset, 0, std::nullopt},
        {MIF_COUNTER, 7, 7, 0.0, Kind::Rate, 0, std::nullopt},  // no time passed: no rate
    };
    for (const Case& c : cases) {
        const auto change = ChangeOfCounter(c.type, c.previous, c.current, c.seconds);
        ASSERT_TRUE(change) << c.previous << " -> " << c.current;
        EXPECT_EQ(change->kind, c.kind) << c.previous << " -> " << c.current;
        EXPECT_EQ(change->delta, c.delta) << c.previous << " -> " << c.current;
        EXPECT_EQ(change->perSecond, c.perSecond) << c.previous << " -> " << c.current;
    }
    // A gauge or an integer goes up and down freely: no rate is made of it.
    EXPECT_FALSE(ChangeOfCounter(MIF_GAUGE, 10, 5, 1.0));
    EXPECT_FALSE(ChangeOfCounter(MIF_INTEGER64, 10, 5, 1.0));
}

}  // namespace
}  // namespace korvo::console

// The failover event on a whole machine: a WM_TIMER posted from outside makes the agent ask the
// simulated driver which adapter is active, and each change, and nothing else (not a driver
// that has gone away), becomes one event in the service provider's log, naming the adapter and
// the physical slot the registry gives it.
#include "machine.h"

namespace korvo::e2e {
namespace {

using EndToEndFailover = MachineTest;

constexpr unsigned kEventGroup = 22;
constexpr unsigned kAdapterTableGroup = 21;
constexpr unsigned kAdapterNumber = 1;
constexpr unsigned kAdapterLabel = 2;
constexpr unsigned kPhysicalSlot = 4;

// The value with attribute id `id` of the event's row of group `group`; null when it has none.
Json EventValue(const Json& event, unsigned group, unsigned id) {
    for (const Json& row : event["rows"]) {
        if (row["group"] == group) {
            for (const Json& value : row["values"]) {
                if (value["id"] == id) {
                    return value;
                }
            }
        }
    }
    return nullptr;
}

Json AdapterOf(const Json& event) {
    return EventValue(event, kAdapterTableGroup, kAdapterNumber)["integer"];
}

TEST_F(EndToEndFailover, EachChangeOfTheActiveAdapterIsOneEvent) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const auto events = [&] { return machine_.ConsoleJson({"events"})["events"]; };
    const auto postTimer = [&] {
        const RunResult posted = machine_.Console({"post-timer"});
        ASSERT_EQ(posted.exitCode, 0) << posted.err;
    };
    // Waits for an event that names `adapter` as the last one. The agent handles its messages
    // in order, so every earlier message has been handled by then, events and all.
    const auto waitForEventNaming = [&](int adapter) {
        return WaitFor(
            [&] {
                const Json log = events();
                return !log.empty() && AdapterOf(log.back()) == adapter;
            },
            5s);
    };

    ASSERT_NO_FATAL_FAILURE(postTimer());  // adapter 1 is active, as the agent assumes
    ASSERT_EQ(machine_.AdapterCommand({"failover", "2"}).exitCode, 0);
    ASSERT_NO_FATAL_FAILURE(postTimer());
    ASSERT_TRUE(waitForEventNaming(2)) << events().dump(2);
    ASSERT_EQ(events().size(), 1u) << events().dump(2);

    ASSERT_NO_FATAL_FAILURE(postTimer());  // no change
    ASSERT_EQ(machine_.AdapterCommand({"failover", "1", "--notify"}).exitCode, 0);
    ASSERT_TRUE(waitForEventNaming(1)) << events().dump(2);

    const Json log = events();
    ASSERT_EQ(log.size(), 2u) << log.dump(2);
    // The registry maps adapter 2 (bus 0, device 12) to slot 4 and adapter 1 (device 11) to 3.
    const struct {
        int adapter;
        const char* label;
        int slot;
    } expected[] = {{2, "Adapter 2", 4}, {1, "Adapter 1", 3}};
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE("event " + std::to_string(i + 1));
        const Json& event = log[i];
        ASSERT_EQ(event["rows"].size(), 2u) << event.dump(2);
        EXPECT_EQ(event["rows"][0]["group"], kEventGroup);
        EXPECT_EQ(event["rows"][0]["class"], "FailoverEventGeneration|QEV^^Failover Event|001");
        EXPECT_EQ(event["rows"][1]["class"], "QEV|Failover Adapter Table|001");
        EXPECT_EQ(AdapterOf(event), expected[i].adapter);
        EXPECT_EQ(EventValue(event, kAdapterTableGroup, kAdapterLabel)["text"], expected[i].label);
        EXPECT_EQ(EventValue(event, kAdapterTableGroup, kPhysicalSlot)["integer"],
                  expected[i].slot);
    }
}

TEST_F(EndToEndFailover, AnAdapterThatIsGoneIsNoFailover) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    ASSERT_EQ(machine_.AdapterCommand({"quit"}).exitCode, 0);
    ASSERT_TRUE(machine_.WaitForExit(adapter_).has_value());
    for (int timer = 0; timer < 3; ++timer) {
        const RunResult posted = machine_.Console({"post-timer"});
        ASSERT_EQ(posted.exitCode, 0) << posted.err;
    }

    // Back, with the other adapter active: that change, and only that, is an event. The agent
    // handles its messages in order, so the timers of the outage were handled before it.
    adapter_ = machine_.StartAdapter({"--active", "2"});
    ASSERT_GT(adapter_, 0) << machine_.error();
    const RunResult posted = machine_.Console({"post-timer"});
    ASSERT_EQ(posted.exitCode, 0) << posted.err;
    const auto events = [&] { return machine_.ConsoleJson({"events"})["events"]; };
    ASSERT_TRUE(WaitFor([&] { return !events().empty(); }, 5s)) << "no failover event";
    const Json log = events();
    ASSERT_EQ(log.size(), 1u) << log.dump(2);
    EXPECT_EQ(AdapterOf(log[0]), 2);
}

}  // namespace
}  // namespace korvo::e2e

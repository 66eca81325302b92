// Writes through the service provider that reach the simulated driver and read back, and the
// service provider's memory account after the agent has served every kind of call: only the
// blocks that start-up keeps for the life of the process may stay handed out.
#include <signal.h>

#include <algorithm>

#include "machine.h"

namespace korvo::e2e {
namespace {

using EndToEndAttributes = MachineTest;
using EndToEndMemory = MachineTest;

TEST_F(EndToEndAttributes, IndexWritesReachTheDriverAndReadsGiveTheRow) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    struct Write {
        std::string group;
        std::string attribute;
        std::string key;
        std::string value;
        std::string request;  // the line of the adapter's request log that the write causes
    };
    const Write writes[] = {
        {"13", "1", "7", "99", "code 30 word 0xFF010200 index 0x06 value 0x00000063 -> ok"},
        {"14", "1", "2", "42", "code 32 word 0xFF010200 index 0x01 value 0x0000002A -> ok"},
    };
    for (const Write& write : writes) {
        SCOPED_TRACE("group " + write.group + " attribute " + write.attribute);
        RunResult run;
        const Json set = machine_.ConsoleJson(
            {"set", "1", write.group, write.attribute, "--key", write.key, write.value}, &run);
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(set["status"], 0);

        const RunResult log = machine_.AdapterCommand({"log", "-n", "5"});
        EXPECT_NE(log.out.find(write.request), std::string::npos) << log.out;
        // The index attribute reads as the row number, whatever was written to it.
        const Json read =
            machine_.ConsoleReading({"get", "1", write.group, write.attribute, write.key});
        EXPECT_EQ(read["value"]["integer"], std::stoi(write.key)) << read.dump(2);
    }
}

TEST_F(EndToEndAttributes, RowValueWrittenAsA32BitIntegerReadsBack) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    const auto setRowValue = [&](int type, int value) {
        return machine_.ManagementRequest(
            {{"op", "set"},
             {"component", 1},
             {"group", 14},
             {"attribute", 2},
             {"keys", {{{"integer", 5}}}},
             {"value", {{"id", 2}, {"type", type}, {"integer", value}}}});
    };
    const auto readRowValue = [&] {
        return machine_.ConsoleReading({"get", "1", "14", "2", "5"})["value"]["integer"];
    };

    const Json written = setRowValue(5, 1500);
    EXPECT_EQ(written["status"], 0) << written.dump();
    EXPECT_EQ(readRowValue(), 1500);

    // Group 14 takes only 32-bit integers: a 64-bit one is refused before the driver sees it.
    const Json refused = setRowValue(6, 77);
    EXPECT_EQ(refused["status"], 257) << refused.dump();
    EXPECT_EQ(readRowValue(), 1500);
}

// The MIF declares the table's row value as a 64-bit integer (its reads are 64-bit), but the agent
// takes its writes only as 32-bit integers and answers 257 to anything else (the test above).
// The console writes it when told the narrower type, as the example of "set" in its help does.
TEST_F(EndToEndAttributes, ConsoleWritesTheRowValueOfTheSmallTable) {
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent());
    RunResult run;
    const Json set = machine_.ConsoleJson(
        {"set", "1", "14", "2", "--key", "3", "--type", "integer", "1500"}, &run);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(set["status"], 0) << set.dump(2);
    const Json read = machine_.ConsoleReading({"get", "1", "14", "2", "3"});
    EXPECT_EQ(read["value"]["integer"], 1500) << read.dump(2);
}

// The kinds of the blocks the service provider has handed out and not had back, sorted.
std::vector<std::string> OutstandingBlocks(Machine& machine, unsigned* allocations) {
    const Json stats = machine.ConsoleJson({"stats"});
    std::vector<std::string> kinds;
    if (!stats.is_object()) {
        ADD_FAILURE() << "dmicli stats printed no JSON";
        return kinds;
    }
    EXPECT_EQ(stats["memory"]["badFrees"], 0) << stats.dump(2);
    *allocations = stats["memory"]["allocations"];
    for (const Json& block : stats["memory"]["blocks"]) {
        kinds.push_back(block["kind"]);
    }
    std::sort(kinds.begin(), kinds.end());
    return kinds;
}

TEST_F(EndToEndMemory, OnlyTheStartupBlocksStayHandedOut) {
    // Every call of the instrumentation allocates through the service provider: reads of every
    // attribute, a write, and a failover event.
    const auto serveEverything = [&](int events) {
        unsigned before = 0;
        OutstandingBlocks(machine_, &before);
        const RunResult walk = machine_.Console({"walk", "1"});
        EXPECT_EQ(walk.exitCode, 0) << walk.err;
        EXPECT_EQ(machine_.Console({"set", "1", "13", "1", "--key", "4", "9"}).exitCode, 0);
        EXPECT_EQ(machine_.Console({"post-timer"}).exitCode, 0);
        EXPECT_TRUE(WaitFor(
            [&] {
                return machine_.ConsoleJson({"events"})["events"].size() ==
                       static_cast<size_t>(events);
            },
            5s))
            << "no failover event";
        unsigned after = 0;
        const auto blocks = OutstandingBlocks(machine_, &after);
        EXPECT_GT(after, before + 100) << "the walk did not go through the service provider";
        return blocks;
    };

    // A fresh machine: start-up installs the component from the MIF file. Adapter 2 is active,
    // so the first check reports a failover.
    ASSERT_NO_FATAL_FAILURE(StartRegisteredAgent({"--active", "2"}));
    EXPECT_EQ(
        serveEverything(1),
        (std::vector<std::string>{"DmiNewFileDataList", "DmiNewNodeAddress", "DmiNewOctetString"}));

    // Started again, the agent finds the component by its class and installs nothing.
    ASSERT_EQ(machine_.Stop(agent_, SIGTERM), std::optional<int>(0));
    agent_ = machine_.StartAgent();
    ASSERT_TRUE(machine_.WaitUntilRegistered()) << machine_.ErrorOutput(agent_);
    EXPECT_EQ(machine_.ConsoleJson({"components"})["components"].size(), 1u);
    EXPECT_EQ(serveEverything(2), std::vector<std::string>{"DmiNewNodeAddress"});
}

}  // namespace
}  // namespace korvo::e2e

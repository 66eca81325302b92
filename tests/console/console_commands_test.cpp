// Whole console command lines against the fake service provider: listings, reads and writes
// of one row, names resolved, usage errors and help, and the exit status scripts see.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "console_test_fixture.h"

namespace korvo::console {
namespace {

using nlohmann::json;
using test::FakeManagementServer;

TEST_F(ConsoleTest, ListsComponentsGroupsAndAttributesWithTheirMifDescriptions) {
    const Outcome components = Run({"components"});
    EXPECT_EQ(components.exit, 0);
    EXPECT_TRUE(Contains(components.out, "1   KORVO Ethernet Adapter  NIC")) << components.out;

    const Outcome groups = Run({"groups", "korvo"});
    EXPECT_EQ(groups.exit, 0);
    EXPECT_TRUE(Contains(groups.out, "Multicast Table            ZUL|CSR|Multicast|001"))
        << groups.out;
    EXPECT_TRUE(Contains(groups.out, "keys") || Contains(groups.out, "KEYS"));

    const Outcome attributes = Run({"attributes", "1", "multicast"});
    EXPECT_EQ(attributes.exit, 0);
    EXPECT_TRUE(Contains(attributes.out, "1   Index    integer            read-only  key"))
        << attributes.out;
    EXPECT_TRUE(Contains(attributes.out, "4   Address  displaystring(13)  read-only"))
        << attributes.out;

    const Outcome enumeration = Run({"attributes", "1", "1"});
    EXPECT_TRUE(Contains(enumeration.out,
                         "Values of 6 Verify: 1 component does not exist, 7 exists and "
                         "functionality good"))
        << enumeration.out;

    const json listed = Run({"--json", "attributes", "1", "5"}).document();
    EXPECT_EQ(listed["attributes"][0]["key"], true);
    EXPECT_EQ(listed["attributes"][1]["maxSize"], 13);
}

TEST_F(ConsoleTest, GetShowsTheValueByTypeAndTheStatusByName) {
    struct Case {
        std::vector<std::string> arguments;
        const char* line;
        int exit;
    };
    const Case cases[] = {
        {{"get", "1", "4", "2"},
         "Adapter Addresses.Permanent Address = displaystring: 00A0C9123456",
         0},
        {{"get", "1", "4", "6"}, "Adapter Addresses.Frames Received = counter64: 1099511627776", 0},
        {{"get", "1", "1", "verify"},
         "ComponentID.Verify = integer: exists and functionality good (7)",
         0},
        {{"get", "korvo", "multicast", "address", "3"},
         "Multicast Table.Address[3] = displaystring: 01005E000003",
         0},
        {{"get", "1", "5", "4", "2"},
         "Multicast Table.Address[2] = status: value unknown (0x10F)",
         1},
        {{"get", "1", "5", "1", "9"},
         "Multicast Table.Index[9] = status: row not found (0x10A)",
         1},
        {{"get", "1", "22", "1"}, "Failover Event Generation.Event Type = (no value)", 0},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.out, std::string(c.line) + "\n") << outcome.err;
        EXPECT_EQ(outcome.exit, c.exit) << c.line;
    }
    // Keys go out typed, with the id of the group's key attribute.
    const json lastKeyed = server_.Requests("get")[5];
    EXPECT_EQ(lastKeyed["keys"], json::parse(R"([{"id":1,"type":5,"integer":9}])"));
}

TEST_F(ConsoleTest, GetAndGetNextInJsonCarryTheDataTheStatusAndTheDisplay) {
    const Outcome found = Run({"--json", "get", "1", "4", "2"});
    EXPECT_EQ(found.exit, 0);
    EXPECT_EQ(found.err, "");
    const json document = found.document();
    EXPECT_EQ(document["op"], "get");
    ASSERT_EQ(document["results"].size(), 1u) << document.dump(2);
    const json& address = document["results"][0];
    EXPECT_EQ(address["status"], 0);
    EXPECT_EQ(address["attributeName"], "Permanent Address");
    EXPECT_EQ(address["value"]["hex"], "30304130433931323334353600");
    EXPECT_EQ(address["value"]["display"], "00A0C9123456");

    const json next = Run({"get-next", "--json", "1", "5", "1", "1"}).document();
    EXPECT_EQ(next["op"], "get-next");
    ASSERT_EQ(next["results"].size(), 1u) << next.dump(2);
    EXPECT_EQ(next["results"][0]["value"]["display"], "2");
    EXPECT_EQ(server_.Requests("get-next").at(0)["keys"][0]["integer"], 1);
}

// One shape per command whatever the number of attributes asked, 64-bit numbers also as exact
// text (a double cannot hold 2^64 - 1), and the message of every failure on standard error.
TEST_F(ConsoleTest, JsonHasOneShapeExactSixtyFourBitNumbersAndFailuresOnStandardError) {
    struct Case {
        std::vector<std::string> arguments;
        size_t results;
        int exit;
        const char* error;  // on standard error; "" for none
    };
    const Case cases[] = {
        {{"get", "1", "4", "6"}, 1, 0, ""},
        {{"get", "1", "4", "2,6"}, 2, 0, ""},
        {{"get-next", "1", "5", "4", "1"},
         1,
         1,
         "Multicast Table.Address (get-next 1 5 4): value unknown (0x10F)"},
        {{"get", "1", "5", "1", "4"},
         1,
         1,
         "Multicast Table.Index (get 1 5 1): row not found (0x10A)"},
        {{"get", "1", "5", "1,4", "2"},
         2,
         1,
         "Multicast Table.Address (get 1 5 4): value unknown (0x10F)"},
        {{"set", "1", "4", "7", "1"}, 0, 1, "illegal to set (0x106)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        arguments.insert(arguments.begin(), "--json");
        const Outcome outcome = Run(arguments);
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[2] + " " + c.arguments[3] + ": " +
                     outcome.out + outcome.err);
        EXPECT_EQ(outcome.exit, c.exit);
        const json document = json::parse(outcome.out, nullptr, false);
        ASSERT_TRUE(document.is_object());
        EXPECT_EQ(document["op"], c.arguments[0]);
        if (c.results > 0) {
            ASSERT_TRUE(document["results"].is_array());
            EXPECT_EQ(document["results"].size(), c.results);
        }
        if (c.error[0] == '\0') {
            EXPECT_EQ(outcome.err, "");
        } else {
            EXPECT_TRUE(Contains(outcome.err, std::string("dmicli: ")) &&
                        Contains(outcome.err, c.error))
                << outcome.err;
        }
    }

    const json wide = Run({"--json", "get", "1", "15", "1"}).document();
    EXPECT_EQ(wide["results"][0]["value"]["decimal"], "18446744073709551615") << wide.dump(2);
    const json narrow = Run({"--json", "get", "1", "1", "6"}).document();
    EXPECT_FALSE(narrow["results"][0]["value"].contains("decimal")) << narrow.dump(2);
}

TEST_F(ConsoleTest, ComponentsAreFoundByIdOrByAnyUniquePartOfTheirName) {
    EXPECT_EQ(Run({"get", "ETHERNET", "1", "1"}).exit, 0);
    EXPECT_EQ(server_.Requests("get").back()["component"], 1);

    const Outcome ambiguous = Run({"groups", "adapter"});
    EXPECT_EQ(ambiguous.exit, 2);
    EXPECT_TRUE(Contains(ambiguous.err, "1  KORVO Ethernet Adapter")) << ambiguous.err;
    EXPECT_TRUE(Contains(ambiguous.err, "2  Token Ring Adapter")) << ambiguous.err;

    const Outcome unknown = Run({"walk", "modem"});
    EXPECT_EQ(unknown.exit, 1);
    EXPECT_TRUE(Contains(unknown.err, "no component is named \"modem\"")) << unknown.err;

    const Outcome refused = Run({"groups", "7"});
    EXPECT_EQ(refused.exit, 1);
    EXPECT_TRUE(Contains(refused.err, "component not found (0x102)")) << refused.err;

    EXPECT_EQ(Run({"get", "1", "Frobnicators", "1"}).exit, 1);

    // Every name holds the empty text: an empty argument names nothing, however few there are.
    const struct {
        std::vector<std::string> arguments;
        const char* kind;
    } empty[] = {{{"get", "", "4", "2"}, "component"},
                 {{"get", "1", "", "2"}, "group"},
                 {{"get", "1", "4", ""}, "attribute"}};
    const size_t getsBefore = server_.Requests("get").size();
    for (const auto& c : empty) {
        const Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.exit, 2) << c.kind;
        EXPECT_TRUE(Contains(outcome.err, std::string("an empty ") + c.kind)) << outcome.err;
    }
    EXPECT_EQ(server_.Requests("get").size(), getsBefore);
}

TEST_F(ConsoleTest, SetSendsTheValueTypedByTheMifType) {
    const Outcome set = Run({"set", "1", "receive buffers", "size", "--key", "2", "1500"});
    EXPECT_EQ(set.exit, 0) << set.err;
    EXPECT_EQ(set.out, "Receive Buffers.Size[2] set to 1500\n");
    const json request = server_.Requests("set").at(0);
    EXPECT_EQ(request["value"], json::parse(R"({"id":2,"type":5,"integer":1500})"));
    EXPECT_EQ(request["keys"], json::parse(R"([{"id":1,"type":5,"integer":2}])"));

    const Outcome bad = Run({"set", "1", "14", "2", "--key", "2", "large"});
    EXPECT_EQ(bad.exit, 2);
    EXPECT_TRUE(Contains(bad.err, "bad value \"large\" for Size (integer)")) << bad.err;
    EXPECT_EQ(server_.Requests("set").size(), 1u);

    const Outcome readOnly = Run({"set", "1", "14", "1", "--key", "2", "5"});
    EXPECT_EQ(readOnly.exit, 1);
    EXPECT_EQ(readOnly.out, "Receive Buffers.Index[2] = status: illegal to set (0x106)\n");

    const json document = Run({"--json", "set", "1", "14", "1", "--key", "1", "5"}).document();
    EXPECT_EQ(document["statusName"], "illegal to set");

    // --type sends another MIF type than the attribute declares; an unknown one is refused.
    EXPECT_EQ(Run({"set", "1", "14", "2", "--key", "2", "--type", "integer64", "9"}).exit, 0);
    EXPECT_EQ(server_.Requests("set").back()["value"],
              json::parse(R"({"id":2,"type":6,"integer":9})"));
    EXPECT_EQ(Run({"set", "1", "14", "2", "--type", "float", "9"}).exit, 2);
}

TEST_F(ConsoleTest, StatsShowTheMemoryTrackingAndTheRegisteredComponents) {
    const Outcome stats = Run({"stats"});
    EXPECT_EQ(stats.exit, 0);
    EXPECT_TRUE(Contains(stats.out, "outstanding  0")) << stats.out;
    EXPECT_TRUE(Contains(stats.out, "bad frees    0")) << stats.out;
    EXPECT_TRUE(Contains(stats.out, "1          KORVO Ethernet Adapter")) << stats.out;
    EXPECT_EQ(Run({"--json", "stats"}).document()["memory"]["allocations"], 42);
}

TEST_F(ConsoleTest, UsageErrorsExitTwoBeforeAskingAnything) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"get", "1", "4"},
        {"get", "1", "4", "2", "zz"},
        {"walk", "1", "2", "3"},
        {"components", "--since", "3"},
        {"events", "--count", "2"},
        {"events", "--since", "soon"},
        {"--socket"},
        {"post-message", "KORVO", "WM_NOTHING"},
    };
    for (const auto& arguments : cases) {
        const Outcome outcome = Run(arguments);
        EXPECT_EQ(outcome.exit, 2) << testing::PrintToString(arguments);
        EXPECT_TRUE(Contains(outcome.err, "dmicli --help")) << outcome.err;
    }
    EXPECT_TRUE(server_.Requests().empty());
}

// A mistyped option, message name or count says what it takes.
TEST_F(ConsoleTest, UsageErrorsSayWhatWouldBeTaken) {
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const Case cases[] = {
        {{"get", "1", "4", "2", "-ov"}, "unknown option -ov (the short options are -h -n -Ov -On"},
        {{"get", "-x", "1", "4", "2"}, "unknown option -x"},
        {{"post-message", "KORVO", "WM_FOO"},
         "unknown message name \"WM_FOO\": give one of WM_CLOSE, WM_QUIT, WM_ENDSESSION, "
         "WM_TIMER, WM_USER, or a 32-bit number"},
        {{"watch", "1", "4", "6", "--count", "0"}, "--count is at least 1"},
        {{"events", "--follow", "--count", "0"}, "--count is at least 1"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Run(c.arguments);
        EXPECT_EQ(outcome.exit, 2) << testing::PrintToString(c.arguments);
        EXPECT_TRUE(Contains(outcome.err, c.message)) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
    EXPECT_TRUE(server_.Requests().empty());
    // A negative number is still a key.
    EXPECT_EQ(Run({"get", "1", "5", "1", "-1"}).exit, 0);
}

// A get of a table without keys names the row it answered; key 0 says why it has no row.
TEST_F(ConsoleTest, TableReadsNameTheRowOrSayWhyThereIsNone) {
    const Outcome unkeyed = Run({"get", "1", "5", "4"});
    EXPECT_EQ(unkeyed.out, "Multicast Table.Address[1] = displaystring: 01005E000001\n");
    const json document = Run({"--json", "get", "1", "5", "4"}).document();
    EXPECT_EQ(document["results"][0]["instance"]["keys"][0]["integer"], 1) << document.dump(2);

    const Outcome zero = Run({"get", "1", "5", "4", "0"});
    EXPECT_EQ(zero.exit, 1);
    EXPECT_TRUE(Contains(zero.out, "key 0 names no row of this table: its rows are keyed from 1"))
        << zero.out;
}

TEST_F(ConsoleTest, HelpIsShownForTheWholeAndForEachCommand) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--help"},
                                                      {"help"},
                                                      {"help", "walk"},
                                                      {"set", "--help"},
                                                      {"events", "-h"}}) {
        const Outcome help = RunWithoutSocket(arguments);
        EXPECT_EQ(help.exit, 0);
        EXPECT_TRUE(Contains(help.out, "usage: dmicli")) << help.out;
    }
    EXPECT_TRUE(Contains(RunWithoutSocket({"help", "get"}).out, "s:TEXT"));
}

TEST_F(ConsoleTest, ServiceProviderFoundThroughWin32DmiPath) {
    test::ScopedEnv dmiPath("WIN32DMIPATH", (root_.path() + "/dmi").c_str());
    EXPECT_EQ(RunWithoutSocket({"components"}).exit, 0);

    test::ScopedEnv elsewhere("WIN32DMIPATH", (root_.path() + "/nowhere").c_str());
    const Outcome missing = RunWithoutSocket({"walk", "1"});
    EXPECT_EQ(missing.exit, 3);
    EXPECT_EQ(missing.out, "");
    EXPECT_TRUE(Contains(missing.err, "nothing listens on " + root_.path() + "/nowhere/dmi.sock"))
        << missing.err;
    EXPECT_TRUE(Contains(missing.err, "WIN32DMIPATH=" + root_.path() + "/nowhere")) << missing.err;
}

// The log is found beside the socket however WIN32DMIPATH separates and ends its path.
TEST_F(ConsoleTest, LogFoundThroughWin32DmiPathWithEitherSeparator) {
    std::ofstream(root_.path() + "/dmi/" + management::kLogFileName) << "registered component 1\n";
    for (const std::string& given : {root_.path() + "/dmi", root_.path() + "\\dmi\\"}) {
        test::ScopedEnv dmiPath("WIN32DMIPATH", given.c_str());
        const Outcome log = RunWithoutSocket({"log"});
        EXPECT_EQ(log.exit, 0) << given << ": " << log.err;
        EXPECT_EQ(log.out, "registered component 1\n") << given;
    }
}

TEST_F(ConsoleTest, AnAnswerOutsideTheProtocolIsAConnectionFailure) {
    FakeManagementServer garbage(root_.path() + "/garbage.sock", [](const json&) {
        return std::vector<std::string>{R"({"status":0,"components":[{"id":"one","name":7}]})"};
    });
    const Outcome outcome =
        RunWithoutSocket({"--socket", root_.path() + "/garbage.sock", "components"});
    EXPECT_EQ(outcome.exit, 3);
    EXPECT_TRUE(Contains(outcome.err, "does not fit the management protocol")) << outcome.err;
}

}  // namespace
}  // namespace korvo::console

// The console's walk against the fake service provider: tables read row by row, why a
// table's walk ended, rows left out with --rows, and a key that cannot be read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/component_walk.h"
#include "korvo/management_protocol.h"

#include "console_test_fixture.h"

namespace korvo::console {
namespace {

using nlohmann::json;
using test::FakeManagementServer;

TEST_F(ConsoleTest, WalkReadsATableRowByRowUntilRowNotFound) {
    const Outcome walk = Run({"walk", "korvo", "Multicast Table"});
    EXPECT_EQ(walk.exit, 0) << walk.err;
    const std::vector<std::pair<int, int>> asked = {{1, 1}, {1, 4}, {2, 1}, {2, 4},
                                                    {3, 1}, {3, 4}, {4, 1}};
    EXPECT_EQ(RowsAsked(5), asked);
    EXPECT_TRUE(Contains(walk.out, "1    1   Index      integer        1")) << walk.out;
    EXPECT_TRUE(Contains(walk.out, "1    4   Address    displaystring  01005E000001")) << walk.out;
    EXPECT_TRUE(
        Contains(walk.out, "2    4   Address    displaystring  status: value unknown (0x10F)"))
        << walk.out;
    EXPECT_TRUE(Contains(walk.out, "3 rows; row 4: row not found (0x10A)")) << walk.out;

    // --rows 1: the first and the last row, the one between counted, the count still whole.
    const Outcome shortened = Run({"walk", "korvo", "Multicast Table", "--rows", "1"});
    EXPECT_TRUE(Contains(shortened.out, "(1 row not shown)")) << shortened.out;
    EXPECT_FALSE(Contains(shortened.out, "2    4   Address")) << shortened.out;
    EXPECT_TRUE(Contains(shortened.out, "3 rows; row 4")) << shortened.out;
    const json document =
        Run({"--json", "walk", "korvo", "Multicast Table", "--rows", "1"}).document()["groups"][0];
    EXPECT_EQ(document["rowCount"], 3);
    EXPECT_EQ(document["rowsOmitted"], 1);
    EXPECT_EQ(document["rows"].size(), 2u);
}

// watch samples until Ctrl-C and then ends as a finished command does, its samples shown.

TEST(WalkEnd, EachReasonIsNamedAndDescribedFromTheSameEntry) {
    struct Case {
        WalkEnd end;
        uint32_t row;
        const char* reason;
        const char* shown;
    };
    const Case cases[] = {
        {WalkEnd::RowNotFound, 4, "row not found", "row 4: row not found (0x10A)"},
        {WalkEnd::RowRepeats, 2, "row repeats",
         "stopped at row 2: it answered exactly as row 1, so the keys do not select rows"},
        {WalkEnd::NoValue, 3, "no value", "stopped at row 3: none of its attributes has a value"},
        {WalkEnd::RowBound, kWalkRowBound + 1, "row bound", "stopped after 10000 rows"},
        {WalkEnd::NoReadableAttribute, 0, "no readable attribute", "no attribute to read"},
    };
    for (const Case& c : cases) {
        const json end = WalkEndJson(c.end, c.row);
        EXPECT_EQ(end["reason"], c.reason);
        EXPECT_EQ(end.contains("row"), c.end != WalkEnd::NoReadableAttribute) << c.reason;
        EXPECT_EQ(DescribeWalkEnd(end), c.shown);
    }
    EXPECT_EQ(WalkEndJson(WalkEnd::RowNotFound, 4)["status"], kRowNotFound);
}

// --rows N asking for at least half the rows leaves every row in, however large N is.
TEST(ElideRows, KeepsEveryRowWhenAskedForHalfOrMore) {
    for (const uint64_t keep : {uint64_t{2}, uint64_t{1} << 63, UINT64_MAX}) {
        json group{{"rows", {1, 2, 3}}};
        ElideRows(group, keep);
        EXPECT_EQ(group["rows"], json({1, 2, 3})) << keep;
        EXPECT_EQ(group["rowCount"], 3) << keep;
        EXPECT_FALSE(group.contains("rowsOmitted")) << keep;
    }
}

// The walk's document, written a group at a time, is the text of dumping it whole, for no
// group, one and several, with nested members and text that needs escaping.
TEST(WalkDocumentText, IsTheWholeDocumentsDump) {
    const json head{{"component", 1}, {"componentName", "A \"quoted\"\nname"}};
    const std::vector<json> groups{
        {{"id", 1}, {"attributes", json::array()}},
        {{"id", 2}, {"rows", {{{"row", 1}, {"keys", {1}}}}}, {"end", {{"reason", "x"}}}},
        {{"id", 3}, {"name", "line\nbreak"}, {"empty", json::object()}},
    };
    for (size_t count = 0; count <= groups.size(); ++count) {
        WalkDocumentText text(head);
        json whole = head;
        whole["groups"] = json::array();
        for (size_t i = 0; i < count; ++i) {
            text.Add(groups[i]);
            whole["groups"].push_back(groups[i]);
        }
        EXPECT_EQ(text.Finish(), whole.dump(2)) << count << " groups";
    }
}

TEST_F(ConsoleTest, WalkOfAComponentReadsEveryReadableAttributeOfEveryGroup) {
    const Outcome walk = Run({"--json", "walk", "1"});
    ASSERT_EQ(walk.exit, 0) << walk.err;
    const json document = walk.document();
    ASSERT_EQ(document["groups"].size(), 6u);
    EXPECT_EQ(document["componentName"], "KORVO Ethernet Adapter");

    const json& addresses = document["groups"][1];
    EXPECT_EQ(addresses["attributes"][1]["value"]["display"], "1099511627776");
    EXPECT_EQ(addresses["attributes"][2]["skipped"], "write-only");
    for (const json& request : Reads()) {
        EXPECT_FALSE(request["group"] == 4 && request["attribute"] == 7) << "read a write-only";
    }

    const json& multicast = document["groups"][2];
    EXPECT_EQ(multicast["rows"].size(), 3u);
    EXPECT_EQ(multicast["rows"][1]["attributes"][1]["statusName"], "value unknown");
    EXPECT_EQ(multicast["end"]["reason"], "row not found");
    EXPECT_EQ(multicast["end"]["row"], 4);

    EXPECT_EQ(document["groups"][3]["rows"].size(), 2u);

    // Tables that never report their end stop as soon as that shows, instead of being asked
    // for thousands of rows: one whose keys select nothing, one that answers without values.
    const json& totals = document["groups"][4];
    EXPECT_EQ(totals["rows"].size(), 1u);
    EXPECT_EQ(totals["end"]["reason"], "row repeats");
    EXPECT_EQ(RowsAsked(15).size(), 2u);

    const json& events = document["groups"][5];
    EXPECT_EQ(events["end"]["reason"], "no value");
    EXPECT_EQ(RowsAsked(22).size(), 3u);
    EXPECT_EQ(Reads().back()["keys"], json::parse(R"([{"id":5,"type":5,"integer":1}])"));
    // Each group in one request: the walk asks no value by itself.
    EXPECT_TRUE(server_.Requests("get").empty());
    EXPECT_EQ(server_.Requests("get-row").size() + server_.Requests("get-rows").size(), 6u);
}

// A key attribute the service provider could not read ends the listing without making a row
// or passing for the table's end: the walk says what failed, and exits with a DMI status.
TEST_F(ConsoleTest, WalkReportsAKeyThatCouldNotBeRead) {
    const std::string socket = root_.path() + "/failing.sock";
    FakeManagementServer failing(socket, [](const json& request) {
        std::vector<std::string> lines = Answer(request);
        if (request.value("op", "") == "get-rows" && request.value("group", 0) == 5) {
            json answer = json::parse(lines.at(0));
            answer["rows"] = json::array({answer["rows"][0]});
            answer["end"] = {{"reason", "read failed"},
                             {"index", 1},
                             {"attribute", 1},
                             {"status", kValueUnknown},
                             {"statusName", "value unknown"}};
            lines = {Line(answer)};
        }
        return lines;
    });
    const Outcome walk = RunWithoutSocket({"--socket", socket, "--json", "walk", "1", "5"});
    EXPECT_EQ(walk.exit, 1) << walk.out << walk.err;
    const json group = walk.document()["groups"][0];
    EXPECT_EQ(group["rows"].size(), 1u);
    EXPECT_EQ(group["end"], json({{"reason", "read failed"},
                                  {"row", 2},
                                  {"attribute", 1},
                                  {"status", kValueUnknown},
                                  {"statusName", "value unknown"}}));

    const Outcome text = RunWithoutSocket({"--socket", socket, "walk", "1", "5"});
    EXPECT_EQ(text.exit, 1);
    EXPECT_TRUE(Contains(text.out,
                         "1 row; stopped at row 2: its key attribute 1 could not be read: value "
                         "unknown (0x10F)"))
        << text.out;
}

}  // namespace
}  // namespace korvo::console

// Whole console command lines against a fake service provider that serves one small component:
// what is asked, what is shown, and the exit status scripts see.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "console/attribute_values.h"
#include "console/console_commands.h"
#include "console/component_walk.h"
#include "korvo/management_protocol.h"
#include "fake_management_server.h"
#include "support/private_root.h"

namespace korvo::console {
namespace {

using nlohmann::json;
using test::FakeManagementServer;

constexpr int kRowNotFound = 0x10A;
constexpr int kValueUnknown = 0x10F;
constexpr int kIllegalToSet = 0x106;
constexpr int kGroupNotFound = 0x104;

// A component with a plain group, an enumeration, an address, a 64-bit counter, a write-only
// attribute, a three-row table, a writable table, a table that ignores its keys, and an event
// group that answers without values (as the agent does for a group it does not serve).
const char* const kGroups = R"([
  {"id":1,"name":"ComponentID","class":"DMTF|ComponentID|001","description":"","keys":[]},
  {"id":4,"name":"Adapter Addresses","class":"ZUL|CSR|Addresses|001","description":"","keys":[]},
  {"id":5,"name":"Multicast Table","class":"ZUL|CSR|Multicast|001","description":"","keys":[1]},
  {"id":14,"name":"Receive Buffers","class":"ZUL|CSR|Buffers|001","description":"","keys":[1]},
  {"id":15,"name":"Totals","class":"ZUL|CSR|Totals|001","description":"","keys":[1]},
  {"id":22,"name":"Failover Event Generation",
   "class":"FailoverEventGeneration|QEV^^Failover Event|001","description":"","keys":[5]}])";

const char* const kAttributes = R"({
  "1":[{"id":1,"name":"Manufacturer","type":"displaystring","maxSize":64,"access":"read-only"},
       {"id":6,"name":"Verify","type":"integer","access":"read-only",
        "enum":{"1":"component does not exist","7":"exists and functionality good"}}],
  "4":[{"id":2,"name":"Permanent Address","type":"displaystring","maxSize":13,
        "access":"read-only"},
       {"id":6,"name":"Frames Received","type":"counter64","access":"read-only"},
       {"id":7,"name":"Reset","type":"integer","access":"write-only"}],
  "5":[{"id":1,"name":"Index","type":"integer","access":"read-only"},
       {"id":4,"name":"Address","type":"displaystring","maxSize":13,"access":"read-only"}],
  "14":[{"id":1,"name":"Index","type":"integer","access":"read-only"},
        {"id":2,"name":"Size","type":"integer","access":"read-write"}],
  "15":[{"id":1,"name":"Frames","type":"counter64","access":"read-only"}],
  "22":[{"id":1,"name":"Event Type","type":"integer","access":"read-only",
         "enum":{"1":"failover"}},
        {"id":2,"name":"Event Severity","type":"integer","access":"read-only",
         "enum":{"1":"monitor","2":"information","16":"critical"}},
        {"id":5,"name":"Associated Group","type":"displaystring","maxSize":64,
         "access":"read-only"}]})";

json Event(int sequence) {
    json event = json::parse(R"({"time":"20240102030405.000000+060","component":1,
        "rows":[{"group":22,"class":"FailoverEventGeneration|QEV^^Failover Event|001",
                 "keys":[{"id":5,"type":8,"text":"QEV|Failover Adapter Table|001"}],
                 "values":[{"id":1,"type":5,"integer":1},{"id":2,"type":5,"integer":16}]}]})");
    event["sequence"] = sequence;
    return event;
}

std::string Line(const json& message) {
    return message.dump();
}

std::vector<std::string> Answer(const json& request);

// The gets that the fake's multi-value answers stand for, in order: what the service
// provider would ask the instrumentation.
std::mutex readsMutex;
std::vector<json> readsOfMultipleGets;

// get-row and get-rows, answered as the service provider does: each attribute asked for
// read as a get, rows counting up from the first key until one ends the table.
std::vector<std::string> AnswerMultipleGet(const json& request) {
    const bool oneRow = request["op"] == "get-row";
    json keys = request.value("keys", json::array());
    json rows = json::array();
    json end;
    json previous;
    for (int index = 0; index < (oneRow ? 1 : request.value("count", 1)); ++index) {
        json readings = json::array();
        bool rowNotFound = false;
        bool anyValue = false;
        for (const json& id : request["attributes"]) {
            const json get{{"op", "get"},
                           {"component", request["component"]},
                           {"group", request["group"]},
                           {"attribute", id},
                           {"keys", keys}};
            {
                std::lock_guard lock(readsMutex);
                readsOfMultipleGets.push_back(get);
            }
            json reading = json::parse(Answer(get).at(0));
            if (reading["status"] == kRowNotFound) {
                rowNotFound = true;
                break;
            }
            anyValue = anyValue || HasValue(reading.value("value", json()));
            reading["id"] = id;
            readings.push_back(reading);
        }
        if (oneRow) {
            return {Line(rowNotFound ? json{{"status", kRowNotFound}}
                                     : json{{"status", 0}, {"attributes", readings}})};
        }
        if (rowNotFound || (index > 0 && readings == previous)) {
            end = {
                {"reason", rowNotFound ? management::kEndRowNotFound : management::kEndRowRepeats},
                {"index", index}};
            break;
        }
        rows.push_back({{"keys", keys}, {"attributes", readings}});
        if (!anyValue) {
            end = {{"reason", management::kEndNoValue}, {"index", index}};
            break;
        }
        previous = readings;
        keys[0]["integer"] = keys[0]["integer"].get<int>() + 1;
    }
    json answer{{"status", 0}, {"rows", rows}};
    if (!end.is_null()) {
        answer["end"] = end;
    }
    return {Line(answer)};
}

std::vector<std::string> Answer(const json& request) {
    // get-next is answered as a get of the row after the key.
    const bool next = request.value("op", std::string()) == "get-next";
    const std::string op = next ? "get" : request.value("op", std::string());
    const int component = request.value("component", 0);
    const int group = request.value("group", 0);
    const int attribute = request.value("attribute", 0);
    const json keys = request.value("keys", json::array());
    const int row = (keys.empty() ? 1 : keys[0].value("integer", 1)) + (next ? 1 : 0);
    const auto value = [&](json data) {
        data["id"] = attribute;
        return std::vector{Line({{"status", 0}, {"value", data}})};
    };
    const auto status = [](int code, const char* name) {
        return std::vector{Line({{"status", code}, {"statusName", name}})};
    };
    // As strict as the service provider: ids and sequence numbers are unsigned JSON numbers.
    for (const char* member : {"component", "group", "attribute", "since"}) {
        if (request.contains(member) && !request[member].is_number_unsigned()) {
            return status(0x201, "ill-formed command");
        }
    }
    if (op == "get-row" || op == "get-rows") {
        return AnswerMultipleGet(request);
    }
    if (op == "list-components") {
        return {Line({{"status", 0},
                      {"components",
                       {{{"id", 1}, {"name", "KORVO Ethernet Adapter"}, {"description", "NIC"}},
                        {{"id", 2}, {"name", "Token Ring Adapter"}, {"description", ""}}}}})};
    }
    if (component != 1 && !request.contains("since") && op != "stats") {
        return status(0x102, "component not found");
    }
    if (op == "list-groups") {
        return {Line({{"status", 0}, {"groups", json::parse(kGroups)}})};
    }
    if (op == "list-attributes") {
        const json attributes = json::parse(kAttributes);
        if (!attributes.contains(std::to_string(group))) {
            return status(kGroupNotFound, "group not found");
        }
        return {Line({{"status", 0}, {"attributes", attributes[std::to_string(group)]}})};
    }
    if (op == "get" && group == 1) {
        return attribute == 1 ? value({{"type", 8}, {"text", "KORVO"}})
                              : value({{"type", 5}, {"integer", 7}});
    }
    if (op == "get" && group == 4) {
        return attribute == 2 ? value({{"type", 8}, {"hex", "30304130433931323334353600"}})
                              : value({{"type", 2}, {"integer", 1099511627776}});
    }
    if (op == "get" && group == 5) {
        if (row == 0) {  // as the agent answers a key its driver has no row for
            return status(kValueUnknown, "value unknown");
        }
        if (row > 3) {
            return attribute == 1 ? status(kRowNotFound, "row not found")
                                  : status(kValueUnknown, "value unknown");
        }
        if (attribute == 4 && row == 2) {
            return status(kValueUnknown, "value unknown");
        }
        return attribute == 1 ? value({{"type", 5}, {"integer", row}})
                              : value({{"type", 8}, {"text", "01005E00000" + std::to_string(row)}});
    }
    if (op == "get" && group == 14) {
        return row > 2 ? status(kRowNotFound, "row not found")
                       : value({{"type", 5}, {"integer", attribute == 1 ? row : 1514}});
    }
    if (op == "get" && group == 15) {
        return value({{"type", 2}, {"integer", 18446744073709551615ull}});
    }
    if (op == "get" && group == 22) {
        return {Line({{"status", 0}, {"value", {{"id", attribute}}}})};
    }
    if (op == "set") {
        return attribute == 2 ? std::vector{Line({{"status", 0}})}
                              : status(kIllegalToSet, "illegal to set");
    }
    if (op == "events") {
        json events = json::array();
        for (int sequence = 1; sequence <= 2; ++sequence) {
            if (sequence > request.value("since", 0)) {
                events.push_back(Event(sequence));
            }
        }
        return {Line({{"status", 0}, {"events", events}})};
    }
    if (op == "subscribe") {
        std::vector<std::string> lines{Line({{"status", 0}})};
        for (int sequence = request.value("since", 0) + 1; sequence <= 3; ++sequence) {
            lines.push_back(Line({{"event", Event(sequence)}}));
        }
        return lines;
    }
    if (op == "stats") {
        return {Line({{"status", 0},
                      {"memory",
                       {{"outstanding", 0},
                        {"allocations", 42},
                        {"frees", 42},
                        {"badFrees", 0},
                        {"blocks", json::array()}}},
                      {"registered", {1}}})};
    }
    return status(0x201, "ill-formed command");
}

struct Outcome {
    int exit;
    std::string out;
    std::string err;
    json document() const { return json::parse(out); }
};

class ConsoleTest : public testing::Test {
  protected:
    std::string SocketPath() const {
        return management::ProviderFile(root_.path() + "/dmi", management::kSocketFileName);
    }

    Outcome Run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--socket", SocketPath()});
        return RunWithoutSocket(arguments);
    }

    static Outcome RunWithoutSocket(const std::vector<std::string>& arguments) {
        std::ostringstream out;
        std::ostringstream err;
        const int exit = RunConsole(arguments, out, err);
        return {exit, out.str(), err.str()};
    }

    void SetUp() override {
        std::lock_guard lock(readsMutex);
        readsOfMultipleGets.clear();
    }

    // Every get, whether asked by itself or standing for a part of a multi-value request.
    std::vector<json> Reads() const {
        std::vector<json> reads = server_.Requests("get");
        std::lock_guard lock(readsMutex);
        reads.insert(reads.end(), readsOfMultipleGets.begin(), readsOfMultipleGets.end());
        return reads;
    }

    // The first key of each get of `group`, in order, with the attribute asked.
    std::vector<std::pair<int, int>> RowsAsked(int group) const {
        std::vector<std::pair<int, int>> rows;
        for (const json& request : Reads()) {
            if (request["group"] == group) {
                rows.emplace_back(request["keys"].empty() ? 0 : int(request["keys"][0]["integer"]),
                                  int(request["attribute"]));
            }
        }
        return rows;
    }

    test::PrivateRoot root_;
    FakeManagementServer server_{SocketPath(), Answer};
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

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
TEST_F(ConsoleTest, WatchEndsCleanlyOnCtrlC) {
    // Ctrl-C is pressed again and again until the command ends; one that comes before the
    // command listens for it is ignored, as it is after the command.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &previous);
    std::atomic<bool> ended{false};
    std::thread interrupt([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        while (!ended) {
            kill(getpid(), SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const Outcome watch =
        Run({"--json", "watch", "1", "4", "6", "--interval", "0.1", "--count", "600"});
    ended = true;
    interrupt.join();
    sigaction(SIGINT, &previous, nullptr);
    EXPECT_EQ(watch.exit, 0) << watch.err;
    std::istringstream lines(watch.out);
    int samples = 0;
    for (std::string line; std::getline(lines, line); ++samples) {
        const json sample = json::parse(line);
        EXPECT_EQ(sample["readings"][0]["value"]["integer"], uint64_t{1} << 40);
        if (samples > 0) {  // the fake's counter stands still
            EXPECT_EQ(sample["readings"][0]["delta"], 0) << line;
        }
    }
    EXPECT_GE(samples, 2) << watch.out;
    EXPECT_LT(samples, 600) << "not interrupted";
}

// Every way a table walk ends has its name in the document and its words for people.
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

TEST_F(ConsoleTest, EventsShowTheLogWithNamesAndFollowOnlyNewOnes) {
    const Outcome log = Run({"events"});
    EXPECT_EQ(log.exit, 0) << log.err;
    EXPECT_TRUE(Contains(log.out,
                         "Event 1  2024-01-02T03:04:05.000000+01:00  Component 1: "
                         "KORVO Ethernet Adapter"))
        << log.out;
    // The row's key stands apart from the values, so neither is read as the other.
    EXPECT_TRUE(Contains(log.out,
                         "    the row whose key is Associated Group (5) = "
                         "QEV|Failover Adapter Table|001, with the values:\n"
                         "    ID  ATTRIBUTE       VALUE\n"))
        << log.out;
    EXPECT_TRUE(Contains(log.out, "    2   Event Severity  critical (16)")) << log.out;

    const Outcome follow = Run({"events", "--follow", "--count", "1", "--timeout", "5"});
    EXPECT_EQ(follow.exit, 0) << follow.err;
    EXPECT_TRUE(Contains(follow.out, "Event 3 ")) << follow.out;
    EXPECT_FALSE(Contains(follow.out, "Event 2 ")) << follow.out;
    EXPECT_EQ(server_.Requests("subscribe").back()["since"], 2);

    const Outcome replay = Run({"--json", "events", "--follow", "--since", "0", "--count", "3"});
    EXPECT_EQ(replay.exit, 0);
    std::istringstream lines(replay.out);
    std::string line;
    int sequence = 0;
    while (std::getline(lines, line)) {
        const json event = json::parse(line);
        EXPECT_EQ(event["sequence"], ++sequence);
        EXPECT_EQ(event["rows"][0]["values"][1]["display"], "critical (16)");
    }
    EXPECT_EQ(sequence, 3);
}

TEST_F(ConsoleTest, FollowGivesUpAtTheTimeoutAndSaysWhenEventsAreMissing) {
    const auto started = std::chrono::steady_clock::now();
    const Outcome quiet = Run({"events", "--follow", "--since", "3", "--timeout", "0.2"});
    EXPECT_EQ(quiet.exit, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));

    const Outcome short_ = Run({"events", "--follow", "--count", "2", "--timeout", "0.2"});
    EXPECT_EQ(short_.exit, 1);
    EXPECT_TRUE(Contains(short_.err, "1 of 2 events arrived within 0.2 s")) << short_.err;
}

// events --follow and watch wait for a service provider that went away and carry on when it
// is back, saying so once: following events from the last one shown, neither losing nor
// repeating one, and watching with the samples that could not be read left out.
TEST_F(ConsoleTest, FollowingCommandsCarryOnAcrossARestartOfTheServiceProvider) {
    const std::string socket = root_.path() + "/restarting.sock";
    // Answers as Answer does, but a subscription has the events up to `lastEvent` only.
    auto serving = [](int lastEvent) {
        return [lastEvent](const json& request) {
            if (request.value("op", "") != "subscribe") {
                return Answer(request);
            }
            std::vector<std::string> lines{Line({{"status", 0}})};
            for (int sequence = request.value("since", 0) + 1; sequence <= lastEvent; ++sequence) {
                lines.push_back(Line({{"event", Event(sequence)}}));
            }
            return lines;
        };
    };
    // Once `server` has had `op`, it goes away for a while and another takes its place.
    auto restartAfter = [&](std::optional<FakeManagementServer>& server, const char* op) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (server->Requests(op).empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server.emplace(socket, serving(3));
    };
    auto countOf = [](const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    };

    std::optional<FakeManagementServer> server(std::in_place, socket, serving(1));
    Outcome follow;
    std::thread following([&] {
        follow = RunWithoutSocket({"--socket", socket, "--json", "events", "--follow", "--since",
                                   "0", "--count", "3", "--timeout", "20"});
    });
    restartAfter(server, "subscribe");
    following.join();
    EXPECT_EQ(follow.exit, 0) << follow.err;
    std::istringstream events(follow.out);
    std::vector<int> sequences;
    for (std::string line; std::getline(events, line);) {
        sequences.push_back(json::parse(line)["sequence"]);
    }
    EXPECT_EQ(sequences, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(countOf(follow.err, "reconnecting"), 1u) << follow.err;
    ASSERT_FALSE(server->Requests("subscribe").empty());
    EXPECT_EQ(server->Requests("subscribe").front()["since"], 1);

    Outcome watch;
    std::thread watching([&] {
        watch = RunWithoutSocket({"--socket", socket, "--json", "watch", "1", "4", "6",
                                  "--interval", "0.1", "--count", "4"});
    });
    restartAfter(server, "get");
    watching.join();
    EXPECT_EQ(watch.exit, 0) << watch.err;
    EXPECT_EQ(countOf(watch.out, "\"readings\""), 4u) << watch.out;
    EXPECT_EQ(countOf(watch.err, "reconnecting"), 1u) << watch.err;
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

// The management socket, served by the library once an instrumentation has registered: lists
// from the MIF, get/get-next/set routed to the registered callbacks (or answered from the
// MIF), the answers to what is malformed or not registered, event subscriptions, and clients
// that go idle or never read their answers.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvo_host.h"
#include "management_server.h"
#include "sp_fixture.h"

namespace korvo::sp::test {
namespace {

class ManagementSocketTest : public ServiceProviderTest {
  protected:
    void SetUp() override {
        ServiceProviderTest::SetUp();
        componentId = InstallTestMif();
        ASSERT_EQ(TestInstrumentation::Register(componentId, &ciHandle), DMIERR_NO_ERROR);
    }

    nlohmann::json Attribute(const char* op, DmiId group, DmiId attribute,
                             nlohmann::json keys = nlohmann::json::array()) {
        return {{"op", op},
                {"component", componentId},
                {"group", group},
                {"attribute", attribute},
                {"keys", std::move(keys)}};
    }

    DmiId componentId = 0;
    DmiHandle ciHandle = 0;
};

TEST_F(ManagementSocketTest, ListsWhatTheMifDescribes) {
    ManagementClient client;
    ASSERT_TRUE(client.connected());
    const auto components = client.Ask({{"op", "list-components"}});
    EXPECT_EQ(components["status"], 0);
    ASSERT_EQ(components["components"].size(), 1u);
    EXPECT_EQ(components["components"][0]["id"], componentId);
    EXPECT_EQ(components["components"][0]["name"], "Test Widget");

    const auto groups = client.Ask({{"op", "list-groups"}, {"component", componentId}});
    ASSERT_EQ(groups["groups"].size(), 3u);
    EXPECT_EQ(groups["groups"][1]["class"], kWidgetTableClass);
    EXPECT_EQ(groups["groups"][1]["keys"], nlohmann::json::array({1}));

    const auto attributes =
        client.Ask({{"op", "list-attributes"}, {"component", componentId}, {"group", 1}});
    const auto& manufacturer = attributes["attributes"][0];
    EXPECT_EQ(manufacturer["name"], "Manufacturer");
    EXPECT_EQ(manufacturer["type"], "displaystring");
    EXPECT_EQ(manufacturer["maxSize"], 64);
    EXPECT_EQ(manufacturer["access"], "read-only");
    EXPECT_FALSE(manufacturer.contains("enum"));
    EXPECT_EQ(attributes["attributes"][1]["enum"]["7"], "Functioning correctly");

    const auto unknownComponent = client.Ask({{"op", "list-groups"}, {"component", 99}});
    EXPECT_EQ(unknownComponent["status"], DMIERR_COMPONENT_NOT_FOUND);
    EXPECT_EQ(unknownComponent["statusName"], "component not found");
    EXPECT_EQ(
        client.Ask({{"op", "list-attributes"}, {"component", componentId}, {"group", 7}})["status"],
        DMIERR_GROUP_NOT_FOUND);
}

TEST_F(ManagementSocketTest, GetsFromTheInstrumentationOrTheMif) {
    ManagementClient client;
    const auto memoryBefore = client.Ask({{"op", "stats"}})["memory"];
    const unsigned badFreesBefore = KorvoSpBadFrees();
    struct Case {
        nlohmann::json request;
        DmiErrorStatus status;
        nlohmann::json value;  // the members of the expected value, when the status is 0
    };
    const Case cases[] = {
        // Served by the instrumentation; a key without id and type is integer key attribute 1.
        {Attribute("get", 2, 1, {{{"integer", 2}}}), 0, {{"id", 1}, {"type", 5}, {"integer", 2}}},
        {Attribute("get", 2, 2, {{{"id", 1}, {"type", 5}, {"integer", 3}}}),
         0,
         {{"type", 8}, {"text", "row 3"}}},  // the counted terminator is not text
        {Attribute("get", 2, 3), 0, {{"type", 2}, {"integer", (uint64_t{1} << 40) + 1}}},
        {Attribute("get-next", 2, 1, {{{"integer", 2}}}), 0, {{"integer", 3}}},
        {Attribute("get-next", 2, 1, {{{"integer", 3}}}), DMIERR_ROW_NOT_FOUND, nullptr},
        {Attribute("get", 1, 6), 0, {{"id", 6}, {"integer", 7}}},
        // Not in the access list: the MIF's declared value, if any.
        {Attribute("get", 1, 1), 0, {{"id", 1}, {"type", 8}, {"text", "Acme"}}},
        {Attribute("get", 2, 5), 0, {{"type", 5}, {"integer", 2}}},
        {Attribute("get-next", 2, 5), DMIERR_ROW_NOT_FOUND, nullptr},
        {Attribute("get", 2, 6), DMIERR_VALUE_UNKNOWN, nullptr},
        {Attribute("get", 2, 9), DMIERR_ATTRIBUTE_NOT_FOUND, nullptr},
        {Attribute("get", 7, 1), DMIERR_GROUP_NOT_FOUND, nullptr},
        {{{"op", "get"}, {"component", 99}, {"group", 1}, {"attribute", 1}},
         DMIERR_COMPONENT_NOT_FOUND,
         nullptr},
        // A record the library never handed out: not read, reported as a bad free.
        {Attribute("get", 2, 4), DMIERR_VALUE_UNKNOWN, nullptr},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.request.dump());
        const auto answer = client.Ask(item.request);
        ASSERT_FALSE(answer.is_null());
        EXPECT_EQ(answer["status"], item.status) << answer.dump();
        if (item.status == 0) {
            for (const auto& [member, expected] : item.value.items()) {
                EXPECT_EQ(answer["value"][member], expected) << answer.dump();
            }
        } else {
            EXPECT_FALSE(answer.contains("value"));
            EXPECT_TRUE(answer.contains("statusName"));
        }
    }
    EXPECT_EQ(KorvoSpBadFrees(), badFreesBefore + 1);
    // Every record the instrumentation handed over was freed by the service provider.
    const auto stats = client.Ask({{"op", "stats"}});
    EXPECT_EQ(stats["memory"]["outstanding"], memoryBefore["outstanding"]);
    EXPECT_GT(stats["memory"]["frees"], memoryBefore["frees"]);
    EXPECT_EQ(stats["registered"], nlohmann::json::array({componentId}));
}

// Many values in one request, each still read from the instrumentation on its own: a row, a
// group, and a table's rows from a key onwards until the table shows its end.
TEST_F(ManagementSocketTest, ManyValuesInOneRequest) {
    ManagementClient client;
    const auto memoryBefore = client.Ask({{"op", "stats"}})["memory"];
    auto ask = [&](const char* op, DmiId group, nlohmann::json more) {
        nlohmann::json request{{"op", op}, {"component", componentId}, {"group", group}};
        request.update(more);
        return client.Ask(request);
    };
    const nlohmann::json fromRow1 = {{"keys", {{{"integer", 1}}}}};

    const auto rows = ask("get-rows", 2, {{"keys", {{{"integer", 1}}}}, {"attributes", {1, 2}}});
    ASSERT_EQ(rows["status"], 0) << rows.dump();
    ASSERT_EQ(rows["rows"].size(), 3u);
    EXPECT_EQ(rows["rows"][2]["keys"][0]["integer"], 3);
    EXPECT_EQ(rows["rows"][2]["attributes"][1]["value"]["text"], "row 3");
    EXPECT_EQ(rows["rows"][0]["attributes"][0]["id"], 1);
    EXPECT_EQ(rows["end"], nlohmann::json({{"reason", "row not found"}, {"index", 3}}));

    // How a table's rows end, where it does, and what each row read.
    struct Case {
        nlohmann::json request;
        size_t rows;
        nlohmann::json end;  // null: the count of rows was reached
    };
    const Case cases[] = {
        {{{"keys", {{{"integer", 2}}}}, {"attributes", {1}}, {"count", 1}}, 1, nullptr},
        {{{"keys", {{{"integer", 2}}}}, {"attributes", {3}}},
         2,
         {{"reason", "row not found"}, {"index", 2}}},
        // A declared value answers every row alike: the keys select nothing.
        {{{"keys", {{{"integer", 1}}}}, {"attributes", {5}}},
         1,
         {{"reason", "row repeats"}, {"index", 1}}},
        {{{"keys", {{{"integer", 1}}}}, {"attributes", {1, 6}}, {"count", 2}}, 2, nullptr},
        {{{"keys", {{{"integer", 1}}}}, {"attributes", {6}}},
         1,
         {{"reason", "no value"}, {"index", 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.dump());
        const auto answer = ask("get-rows", 2, c.request);
        EXPECT_EQ(answer["status"], 0) << answer.dump();
        EXPECT_EQ(answer["rows"].size(), c.rows);
        EXPECT_EQ(answer.value("end", nlohmann::json()), c.end);
    }

    // A key attribute that could not be read neither makes a row nor ends the table: the
    // listing stops there and names the failure.
    const auto failed =
        ask("get-rows", 2,
            {{"keys", {{{"integer", TestInstrumentation::kUnknownRow}}}}, {"attributes", {1, 2}}});
    EXPECT_EQ(failed["status"], 0) << failed.dump();
    EXPECT_EQ(failed["rows"], nlohmann::json::array());
    EXPECT_EQ(failed.value("end", nlohmann::json()),
              nlohmann::json({{"reason", "read failed"},
                              {"index", 0},
                              {"attribute", 1},
                              {"status", DMIERR_VALUE_UNKNOWN},
                              {"statusName", "value unknown"}}));
    // Only the key tells whether a row exists: another attribute failing is a reading.
    const auto valueFailed =
        ask("get-rows", 2,
            {{"keys", {{{"integer", TestInstrumentation::kUnknownRow}}}}, {"attributes", {2}}});
    EXPECT_EQ(valueFailed.value("end", nlohmann::json()),
              nlohmann::json({{"reason", "no value"}, {"index", 0}}));

    // A group of one row: every attribute but the write-only ones, or those asked for.
    const auto row = ask("get-row", 1, nlohmann::json::object());
    ASSERT_EQ(row["status"], 0) << row.dump();
    EXPECT_EQ(row["attributes"][0]["value"]["text"], "Acme");
    EXPECT_EQ(ask("get-group", 1, nlohmann::json::object())["attributes"], row["attributes"]);
    const auto two = ask("get-row", 2, {{"keys", {{{"integer", 3}}}}, {"attributes", {6, 1}}});
    EXPECT_EQ(two["attributes"][0]["status"], DMIERR_VALUE_UNKNOWN);
    EXPECT_EQ(two["attributes"][1]["value"]["integer"], 3);
    EXPECT_EQ(ask("get-row", 2, {{"keys", {{{"integer", 4}}}}, {"attributes", {1}}})["status"],
              DMIERR_ROW_NOT_FOUND);

    // Refused as a whole.
    const std::pair<nlohmann::json, DmiErrorStatus> refused[] = {
        {{{"keys", {{{"type", 8}, {"text", "a"}}}}}, DMIERR_ILL_FORMED_COMMAND},
        {{{"keys", nlohmann::json::array()}}, DMIERR_ILL_FORMED_COMMAND},
        {{{"keys", {{{"integer", 1}}}}, {"count", 0}}, DMIERR_ILL_FORMED_COMMAND},
        {{{"keys", {{{"integer", 1}}}}, {"count", 257}}, DMIERR_ILL_FORMED_COMMAND},
        {{{"keys", {{{"integer", 1}}}}, {"attributes", "1"}}, DMIERR_ILL_FORMED_COMMAND},
    };
    for (const auto& [request, status] : refused) {
        EXPECT_EQ(ask("get-rows", 2, request)["status"], status) << request.dump();
    }
    EXPECT_EQ(ask("get-rows", 7, fromRow1)["status"], DMIERR_GROUP_NOT_FOUND);
    EXPECT_EQ(client.Ask({{"op", "stats"}})["memory"]["outstanding"], memoryBefore["outstanding"]);
}

TEST_F(ManagementSocketTest, KeysReachTheInstrumentationWithTheirTypes) {
    ManagementClient client;
    const auto keyTypes = [] {
        std::lock_guard lock(TestInstrumentation::mutex);
        return TestInstrumentation::lastKeyTypes;
    };
    client.Ask(Attribute("get", 2, 1, {{{"integer", 1}}, {{"id", 2}, {"integer", 1}}}));
    EXPECT_EQ(keyTypes(), (std::vector<uint32_t>{MIF_INTEGER, MIF_INTEGER}));
    client.Ask(Attribute("get", 2, 1, {{{"type", 8}, {"text", "b"}}}));
    EXPECT_EQ(keyTypes(), std::vector<uint32_t>{MIF_DISPLAYSTRING});
}

TEST_F(ManagementSocketTest, SetsGoThroughTheInstrumentation) {
    ManagementClient client;
    auto set = Attribute("set", 2, 2, {{{"integer", 2}}});
    set["value"] = {{"text", "hello"}};
    EXPECT_EQ(client.Ask(set)["status"], 0);
    {
        std::lock_guard lock(TestInstrumentation::mutex);
        ASSERT_EQ(TestInstrumentation::writes.size(), 1u);
        const auto& write = TestInstrumentation::writes[0];
        EXPECT_EQ(write.group, 2u);
        EXPECT_EQ(write.attribute, 2u);
        EXPECT_EQ(write.keys, std::vector<uint32_t>{2});
        EXPECT_EQ(write.type, MIF_DISPLAYSTRING);  // the MIF's type when none is given
        EXPECT_EQ(write.text, "hello");
    }
    struct Case {
        DmiId attribute;
        nlohmann::json value;
        DmiErrorStatus status;
    };
    const Case refused[] = {
        {2, {{"text", "longer than sixteen bytes"}}, DMIERR_VALUE_EXCEEDS_MAXSIZE},
        {2, {{"integer", 5}}, DMIERR_ILL_FORMED_COMMAND},
        {2, {{"type", 5}, {"integer", 4294967296}}, DMIERR_VALUE_EXCEEDS_MAXSIZE},
        {1, {{"integer", 5}}, DMIERR_ILLEGAL_TO_SET},  // read-only
        {2, nullptr, DMIERR_ILL_FORMED_COMMAND},
    };
    for (const Case& item : refused) {
        SCOPED_TRACE(item.value.dump());
        auto request = Attribute("set", 2, item.attribute);
        if (!item.value.is_null()) {
            request["value"] = item.value;
        }
        EXPECT_EQ(client.Ask(request)["status"], item.status);
    }
    std::lock_guard lock(TestInstrumentation::mutex);
    EXPECT_EQ(TestInstrumentation::writes.size(), 1u);
}

TEST_F(ManagementSocketTest, MalformedRequestsAreAnsweredAndTheConnectionStays) {
    ManagementClient client;
    const std::string valid = "{\"op\":\"list-components\"}\n";
    const std::string lines[] = {
        "not json",
        "[1,2]",
        "",
        "{\"op\":5}",
        "{\"op\":\"frobnicate\"}",
        "{\"op\":\"get\",\"component\":\"1\",\"group\":2,\"attribute\":1}",
        "{\"op\":\"get\",\"component\":1,\"group\":-2,\"attribute\":1}",
        "{\"op\":\"get\",\"component\":1,\"group\":2,\"attribute\":4294967296}",
        "{\"op\":\"get\",\"component\":1,\"group\":2,\"attribute\":1,\"keys\":{}}",
        "{\"op\":\"get\",\"component\":1,\"group\":2,\"attribute\":1,\"keys\":[{\"integer\":1,"
        "\"text\":\"x\"}]}",
        "{\"op\":\"get\",\"component\":1,\"group\":2,\"attribute\":1,\"keys\":[{\"hex\":\"ABC\","
        "\"type\":7}]}",
        "{\"op\":\"events\",\"since\":-1}",
        "{\"op\":\"list-components\"" + std::string(70000, ' ') + "}",
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line.substr(0, 100));
        ASSERT_TRUE(client.Send(line + "\n"));
        const auto answer = client.Read();
        ASSERT_FALSE(answer.is_null());
        EXPECT_EQ(answer["status"], DMIERR_ILL_FORMED_COMMAND);
        EXPECT_EQ(answer["statusName"], "ill-formed command");
        EXPECT_TRUE(answer.contains("error"));
        ASSERT_TRUE(client.Send(valid));
        EXPECT_EQ(client.Read()["status"], 0);
    }
}

TEST_F(ManagementSocketTest, AComponentWithoutInstrumentationIsNotRegistered) {
    ASSERT_EQ(DmiUnregisterCi(ciHandle), DMIERR_NO_ERROR);
    ManagementClient client;
    EXPECT_EQ(client.Ask(Attribute("get", 2, 1))["status"], DMIERR_DIRECT_INTERFACE_NOT_REGISTERED);
    EXPECT_EQ(client.Ask(Attribute("get-next", 1, 6))["status"],
              DMIERR_DIRECT_INTERFACE_NOT_REGISTERED);
    auto set = Attribute("set", 2, 2);
    set["value"] = {{"text", "x"}};
    const auto answer = client.Ask(set);
    EXPECT_EQ(answer["status"], DMIERR_DIRECT_INTERFACE_NOT_REGISTERED);
    EXPECT_EQ(answer["statusName"], "direct interface not registered");
    // What the MIF declares needs no instrumentation.
    EXPECT_EQ(client.Ask(Attribute("get", 1, 1))["value"]["text"], "Acme");
    EXPECT_EQ(client.Ask({{"op", "stats"}})["registered"], nlohmann::json::array());
}

TEST_F(ManagementSocketTest, SubscribersGetEachEventAsItIsOriginated) {
    DmiMultiRowData* first = BuildWidgetEvent(md, componentId);
    ASSERT_EQ(DmiOriginateEvent(componentId, nullptr, nullptr, first), DMIERR_NO_ERROR);
    DmiFreeMultiRowData(first, md);

    ManagementClient subscriber;
    EXPECT_EQ(subscriber.Ask({{"op", "subscribe"}, {"since", 0}})["status"], 0);
    EXPECT_EQ(subscriber.Read()["event"]["sequence"], 1);  // the one before it subscribed

    DmiMultiRowData* second = BuildWidgetEvent(md, componentId);
    ASSERT_EQ(DmiOriginateEvent(componentId, nullptr, nullptr, second), DMIERR_NO_ERROR);
    DmiFreeMultiRowData(second, md);
    const auto pushed = subscriber.Read();
    EXPECT_EQ(pushed["event"]["sequence"], 2);
    EXPECT_EQ(pushed["event"]["component"], componentId);
    EXPECT_EQ(pushed["event"]["rows"][1]["keys"][0]["integer"], 2);

    ManagementClient reader;
    EXPECT_EQ(reader.Ask({{"op", "events"}, {"since", 1}})["events"].size(), 1u);
    EXPECT_EQ(reader.Ask({{"op", "events"}})["events"].size(), 2u);

    // Stopping the library ends the subscription and removes the socket.
    KorvoSpShutdown();
    EXPECT_TRUE(subscriber.ClosedByPeer(30000));
    EXPECT_NE(access(dmiFile(management::kSocketFileName).c_str(), F_OK), 0);
}

TEST_F(ManagementSocketTest, SubscribersAreToldOfEachSuccessfulSetByAnyClient) {
    ManagementClient subscriber;
    EXPECT_EQ(subscriber.Ask({{"op", "subscribe"}})["status"], 0);
    ManagementClient writer;
    auto set = Attribute("set", 2, 2, {{{"integer", 2}}});
    set["value"] = {{"text", "hello"}};
    ASSERT_EQ(writer.Ask(set)["status"], 0);
    const auto notice = subscriber.Read();
    ASSERT_TRUE(notice.contains("set")) << notice.dump();
    EXPECT_EQ(notice["set"]["component"], componentId);
    EXPECT_EQ(notice["set"]["group"], 2);
    EXPECT_EQ(notice["set"]["attribute"], 2);
    EXPECT_EQ(notice["set"]["keys"][0]["integer"], 2);

    // A refused set changes nothing and is not told: the next line is the next event.
    set["value"] = {{"text", "longer than sixteen bytes"}};
    ASSERT_EQ(writer.Ask(set)["status"], DMIERR_VALUE_EXCEEDS_MAXSIZE);
    DmiMultiRowData* event = BuildWidgetEvent(md, componentId);
    ASSERT_EQ(DmiOriginateEvent(componentId, nullptr, nullptr, event), DMIERR_NO_ERROR);
    DmiFreeMultiRowData(event, md);
    EXPECT_TRUE(subscriber.Read().contains("event"));
    // Notices are not events: the log holds the one event only.
    EXPECT_EQ(writer.Ask({{"op", "events"}})["events"].size(), 1u);
}

TEST_F(ManagementSocketTest, AClientThatLeavesMidRequestDisturbsNoOne) {
    {
        ManagementClient leaving;
        ASSERT_TRUE(leaving.Send("{\"op\":\"list-comp"));
    }
    {
        ManagementClient subscriber;
        subscriber.Ask({{"op", "subscribe"}});
    }
    ManagementClient staying;
    EXPECT_EQ(staying.Ask({{"op", "list-components"}})["status"], 0);
    DmiMultiRowData* event = BuildWidgetEvent(md, componentId);
    EXPECT_EQ(DmiOriginateEvent(componentId, nullptr, nullptr, event), DMIERR_NO_ERROR);
    DmiFreeMultiRowData(event, md);
    EXPECT_EQ(staying.Ask(Attribute("get", 2, 1))["status"], 0);
}

}  // namespace
}  // namespace korvo::sp::test

namespace korvo::sp::test {
namespace {

size_t LineCount(const std::string& path) {
    std::ifstream file(path);
    size_t lines = 0;
    for (std::string line; std::getline(file, line);) {
        ++lines;
    }
    return lines;
}

// A driver that keeps failing makes an event at every check: only the latest 1,000 events are
// kept, in memory and in events.log, which is cut back once it holds twice as many; numbering
// goes on across the cut and across a restart.
TEST_F(ManagementSocketTest, TheEventLogKeepsABoundedWindow) {
    constexpr size_t kOriginated = 2500;
    const std::string log = dmiFile(management::kEventLogFileName);
    size_t mostLines = 0;
    for (size_t i = 0; i < kOriginated; ++i) {
        DmiMultiRowData* event = BuildWidgetEvent(md, componentId);
        ASSERT_EQ(DmiOriginateEvent(componentId, nullptr, nullptr, event), DMIERR_NO_ERROR);
        DmiFreeMultiRowData(event, md);
        if (i % 100 == 0) {
            mostLines = std::max(mostLines, LineCount(log));
        }
    }
    EXPECT_LT(mostLines, 2000u);
    const size_t lines = LineCount(log);
    EXPECT_GE(lines, 1000u);
    EXPECT_LT(lines, 2000u);

    ManagementClient reader;
    const auto kept = reader.Ask({{"op", "events"}})["events"];
    ASSERT_EQ(kept.size(), 1000u);
    EXPECT_EQ(kept.front()["sequence"], kOriginated - 999);
    EXPECT_EQ(kept.back()["sequence"], kOriginated);
    EXPECT_EQ(reader.Ask({{"op", "events"}, {"since", kOriginated - 2}})["events"].size(), 2u);

    KorvoSpShutdown();
    DmiMultiRowData* later = BuildWidgetEvent(md, componentId);
    ASSERT_EQ(DmiOriginateEvent(componentId, nullptr, nullptr, later), DMIERR_NO_ERROR);
    DmiFreeMultiRowData(later, md);
    std::ifstream file(log);
    std::string last;
    for (std::string line; std::getline(file, line);) {
        last = line;
    }
    EXPECT_EQ(nlohmann::json::parse(last)["sequence"], kOriginated + 1);
}

}  // namespace
}  // namespace korvo::sp::test

namespace korvo::sp::test {
namespace {

// The management socket with a short idle limit, which is also how long an answer may take to
// leave.
class ManagementDeadlineTest : public ManagementSocketTest {
  protected:
    static constexpr int kLimitMs = 500;
    korvo::test::ScopedEnv idleLimit_{"KORVO_SP_IDLE_LIMIT_MS", std::to_string(kLimitMs).c_str()};
};

// An idle client gets its closing answer, and the connection ends with it, with no other
// client coming to make the provider look.
TEST_F(ManagementDeadlineTest, AnIdleClientIsClosedRightAfterItsClosingAnswer) {
    ManagementClient idle;
    const nlohmann::json closing = idle.Read();
    ASSERT_TRUE(closing.is_object()) << "no closing answer";
    EXPECT_EQ(closing["closing"], true) << closing.dump();
    EXPECT_TRUE(idle.ClosedByPeer(30000)) << "the socket stayed open after the closing answer";
}

// As many clients as the provider serves send requests and never read the answers: each is
// dropped once an answer cannot leave within the limit, and the next client is served.
TEST_F(ManagementDeadlineTest, ClientsThatNeverReadTheirAnswersAreDropped) {
    std::string requests;
    const std::string request =
        nlohmann::json{{"op", "list-attributes"}, {"component", componentId}, {"group", 2}}.dump() +
        "\n";
    while (requests.size() < (size_t{1} << 20)) {
        requests += request;
    }
    std::vector<std::unique_ptr<ManagementClient>> floods;
    for (size_t i = 0; i < ManagementServer::kMaxConnections; ++i) {
        floods.push_back(std::make_unique<ManagementClient>());
        ASSERT_TRUE(floods.back()->connected());
        // As much as the socket takes at once: far more answers than fit on their way back.
        ASSERT_GT(send(floods.back()->fd(), requests.data(), requests.size(),
                       MSG_DONTWAIT | MSG_NOSIGNAL),
                  0);
    }
    const long long deadline = korvo::host::SteadyNowMs() + 60000;
    const std::string asked = R"({"op":"list-components"})"
                              "\n";
    nlohmann::json answer;
    while (korvo::host::MillisecondsLeft(deadline) > 0) {
        ManagementClient next;  // told "too many" and closed while the places are held
        if (send(next.fd(), asked.data(), asked.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(asked.size())) {
            answer = next.Read();
            if (answer.is_object() && answer["status"] == 0) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(answer["status"], 0)
        << "the clients that read nothing hold every place: " << answer.dump();
    for (const auto& flood : floods) {
        EXPECT_TRUE(flood->ClosedByPeer(std::max(korvo::host::MillisecondsLeft(deadline), 1)))
            << "a client that reads nothing was kept";
    }
}

}  // namespace
}  // namespace korvo::sp::test

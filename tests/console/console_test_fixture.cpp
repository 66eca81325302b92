// The console tests' fake service provider: one small component and what it answers.
#include "console_test_fixture.h"

#include <mutex>

#include "dmi/dmi_names.h"
#include "korvo/management_protocol.h"
#include "management/attribute_values.h"

namespace korvo::console {

using management::HasValue;
using nlohmann::json;

namespace {

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

// The gets that the fake's multi-value answers stand for, in order: what the service
// provider would ask the instrumentation.
std::mutex readsMutex;
std::vector<json> readsOfMultipleGets;

// get-row and get-rows, answered as the service provider does: each attribute asked for
// read as a get, rows counting up from the first key until one ends the table.
std::vector<std::string> AnswerMultipleGet(const json& request) {
    const bool oneRow = request.value("op", std::string()) == management::op::kGetRow;
    json keys = request.value("keys", json::array());
    json rows = json::array();
    json end;
    json previous;
    for (int index = 0; index < (oneRow ? 1 : request.value("count", 1)); ++index) {
        json readings = json::array();
        bool rowNotFound = false;
        bool anyValue = false;
        for (const json& id : request["attributes"]) {
            const json get{{"op", std::string(management::op::kGet)},
                           {"component", request["component"]},
                           {"group", request["group"]},
                           {"attribute", id},
                           {"keys", keys}};
            {
                std::lock_guard lock(readsMutex);
                readsOfMultipleGets.push_back(get);
            }
            json reading = json::parse(Answer(get).at(0));
            if (reading["status"] == DMIERR_ROW_NOT_FOUND) {
                rowNotFound = true;
                break;
            }
            anyValue = anyValue || HasValue(reading.value("value", json()));
            reading["id"] = id;
            readings.push_back(reading);
        }
        if (oneRow) {
            return {Line(rowNotFound ? json{{"status", DMIERR_ROW_NOT_FOUND}}
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

}  // namespace

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

void ForgetMultipleGets() {
    std::lock_guard lock(readsMutex);
    readsOfMultipleGets.clear();
}

std::vector<json> MultipleGetReads() {
    std::lock_guard lock(readsMutex);
    return readsOfMultipleGets;
}

std::vector<std::string> Answer(const json& request) {
    // get-next is answered as a get of the row after the key.
    const std::string asked = request.value("op", std::string());
    const bool next = asked == management::op::kGetNext;
    const std::string_view op = next ? management::op::kGet : std::string_view(asked);
    const int component = request.value("component", 0);
    const int group = request.value("group", 0);
    const int attribute = request.value("attribute", 0);
    const json keys = request.value("keys", json::array());
    const int row = (keys.empty() ? 1 : keys[0].value("integer", 1)) + (next ? 1 : 0);
    const auto value = [&](json data) {
        data["id"] = attribute;
        return std::vector{Line({{"status", 0}, {"value", data}})};
    };
    const auto status = [](DmiErrorStatus code) {
        return std::vector{Line({{"status", code}, {"statusName", dmi::StatusName(code)}})};
    };
    // As strict as the service provider: ids and sequence numbers are unsigned JSON numbers.
    for (const char* member : {"component", "group", "attribute", "since"}) {
        if (request.contains(member) && !request[member].is_number_unsigned()) {
            return status(DMIERR_ILL_FORMED_COMMAND);
        }
    }
    if (op == management::op::kGetRow || op == management::op::kGetRows) {
        return AnswerMultipleGet(request);
    }
    if (op == management::op::kListComponents) {
        return {Line({{"status", 0},
                      {"components",
                       {{{"id", 1}, {"name", "KORVO Ethernet Adapter"}, {"description", "NIC"}},
                        {{"id", 2}, {"name", "Token Ring Adapter"}, {"description", ""}}}}})};
    }
    if (component != 1 && !request.contains("since") && op != management::op::kStats) {
        return status(DMIERR_COMPONENT_NOT_FOUND);
    }
    if (op == management::op::kListGroups) {
        return {Line({{"status", 0}, {"groups", json::parse(kGroups)}})};
    }
    if (op == management::op::kListAttributes) {
        const json attributes = json::parse(kAttributes);
        if (!attributes.contains(std::to_string(group))) {
            return status(DMIERR_GROUP_NOT_FOUND);
        }
        return {Line({{"status", 0}, {"attributes", attributes[std::to_string(group)]}})};
    }
    if (op == management::op::kGet && group == 1) {
        return attribute == 1 ? value({{"type", 8}, {"text", "KORVO"}})
                              : value({{"type", 5}, {"integer", 7}});
    }
    if (op == management::op::kGet && group == 4) {
        return attribute == 2 ? value({{"type", 8}, {"hex", "30304130433931323334353600"}})
                              : value({{"type", 2}, {"integer", 1099511627776}});
    }
    if (op == management::op::kGet && group == 5) {
        if (row == 0) {  // as the agent answers a key its driver has no row for
            return status(DMIERR_VALUE_UNKNOWN);
        }
        if (row > 3) {
            return attribute == 1 ? status(DMIERR_ROW_NOT_FOUND) : status(DMIERR_VALUE_UNKNOWN);
        }
        if (attribute == 4 && row == 2) {
            return status(DMIERR_VALUE_UNKNOWN);
        }
        return attribute == 1 ? value({{"type", 5}, {"integer", row}})
                              : value({{"type", 8}, {"text", "01005E00000" + std::to_string(row)}});
    }
    if (op == management::op::kGet && group == 14) {
        return row > 2 ? status(DMIERR_ROW_NOT_FOUND)
                       : value({{"type", 5}, {"integer", attribute == 1 ? row : 1514}});
    }
    if (op == management::op::kGet && group == 15) {
        return value({{"type", 2}, {"integer", 18446744073709551615ull}});
    }
    if (op == management::op::kGet && group == 22) {
        return {Line({{"status", 0}, {"value", {{"id", attribute}}}})};
    }
    if (op == management::op::kSet) {
        return attribute == 2 ? std::vector{Line({{"status", 0}})} : status(DMIERR_ILLEGAL_TO_SET);
    }
    if (op == management::op::kEvents) {
        json events = json::array();
        for (int sequence = 1; sequence <= 2; ++sequence) {
            if (sequence > request.value("since", 0)) {
                events.push_back(Event(sequence));
            }
        }
        return {Line({{"status", 0}, {"events", events}})};
    }
    if (op == management::op::kSubscribe) {
        std::vector<std::string> lines{Line({{"status", 0}})};
        for (int sequence = request.value("since", 0) + 1; sequence <= 3; ++sequence) {
            lines.push_back(Line({{"event", Event(sequence)}}));
        }
        return lines;
    }
    if (op == management::op::kStats) {
        return {Line({{"status", 0},
                      {"memory",
                       {{"outstanding", 0},
                        {"allocations", 42},
                        {"frees", 42},
                        {"badFrees", 0},
                        {"blocks", json::array()}}},
                      {"registered", {1}}})};
    }
    return status(DMIERR_ILL_FORMED_COMMAND);
}

}  // namespace korvo::console

// The console's commands over the management protocol and the window sockets, and the one
// place where errors become exit statuses.
#include "console/console_commands.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/attribute_values.h"
#include "console/command_line.h"
#include "console/component_catalog.h"
#include "console/management_client.h"
#include "console/text_table.h"
#include "console/window_messages.h"
#include "dmi/dmi.h"

namespace korvo::console {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The longest --timeout honoured; beyond it the deadline would overflow the clock.
constexpr double kLongestTimeoutSeconds = 1e8;

// One attribute read: what get or get-next answered.
struct Reading {
    uint32_t id = 0;
    const AttributeInfo* info = nullptr;
    uint32_t status = DMIERR_NO_ERROR;
    json value;  // null when the answer carried none
    std::string error;
};

std::string TypeCell(const Reading& reading) {
    if (const auto type = reading.value.find("type");
        reading.value.is_object() && type != reading.value.end() && type->is_number_integer() &&
        type->get<uint32_t>() != 0) {
        return dmi::TypeName(type->get<uint32_t>());
    }
    return reading.info != nullptr ? reading.info->type : "";
}

// The value, or the status by name; `withError` adds the service provider's explanation, which
// a single answer has room for and a walk's table does not.
std::string ValueCell(const Reading& reading, bool withError = false) {
    if (reading.status != DMIERR_NO_ERROR) {
        return "status: " + dmi::DescribeStatus(reading.status) +
               (withError && !reading.error.empty() ? " (" + reading.error + ")" : "");
    }
    return FormatValue(reading.value, reading.info);
}

json ReadingJson(const Reading& reading) {
    json entry{{"id", reading.id},
               {"name", reading.info != nullptr ? reading.info->name : ""},
               {"status", reading.status},
               {"statusName", dmi::StatusName(reading.status)}};
    if (!reading.value.is_null()) {
        entry["value"] = AnnotateValue(reading.value, reading.info);
    }
    if (!reading.error.empty()) {
        entry["error"] = reading.error;
    }
    return entry;
}

std::string ErrorText(const json& response) {
    const auto error = response.find("error");
    return error != response.end() && error->is_string() ? error->get<std::string>() : "";
}

// A message number or parameter: decimal or 0x hex, a negative number as its two's
// complement in `bits` bits.
uint64_t ParseWord(const std::string& text, unsigned bits, const char* what) {
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) {
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    const uint64_t largestNegative = uint64_t{1} << (bits - 1);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        (!negative && value > mask) || (negative && value > largestNegative)) {
        throw UsageError(std::string("bad ") + what + " \"" + text + "\": give a " +
                         std::to_string(bits) + "-bit number (decimal or 0x hexadecimal)");
    }
    return negative ? (~value + 1) & mask : value;
}

std::string ShowTime(const std::string& time) {
    // yyyymmddHHMMSS.uuuuuu+ooo
    const bool wellFormed =
        time.size() >= 25 && time[14] == '.' && (time[21] == '+' || time[21] == '-') &&
        std::all_of(time.begin(), time.begin() + 14, [](char c) { return c >= '0' && c <= '9'; });
    if (!wellFormed) {
        return time;
    }
    return time.substr(0, 4) + "-" + time.substr(4, 2) + "-" + time.substr(6, 2) + " " +
           time.substr(8, 2) + ":" + time.substr(10, 2) + ":" + time.substr(12, 2) +
           time.substr(14, 7) + " " + time.substr(21, 4);
}

class Console {
  public:
    Console(const CommandLine& line, std::ostream& out, std::ostream& err)
        : line_(line),
          out_(out),
          err_(err),
          catalog_([this]() -> ManagementClient& { return Client(); }) {}

    int Run() {
        const std::string& command = line_.command;
        if (command == "components") {
            return Components();
        }
        if (command == "groups") {
            return Groups();
        }
        if (command == "attributes") {
            return Attributes();
        }
        if (command == "get" || command == "get-next") {
            return Get(command.c_str());
        }
        if (command == "walk") {
            return Walk();
        }
        if (command == "set") {
            return Set();
        }
        if (command == "events") {
            return line_.follow ? FollowEvents() : Events();
        }
        if (command == "stats") {
            return Stats();
        }
        if (command == "post-timer") {
            return PostTimer();
        }
        return PostMessage();
    }

  private:
    ManagementClient& Client() {
        if (!client_) {
            client_.emplace(ManagementSocketPath(line_.socketPath));
        }
        return *client_;
    }

    void PrintJson(const json& document) {
        out_ << document.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
    }

    int Components() {
        const auto& components = catalog_.Components();
        if (line_.json) {
            json list = json::array();
            for (const ComponentInfo& component : components) {
                list.push_back({{"id", component.id},
                                {"name", component.name},
                                {"description", component.description}});
            }
            PrintJson({{"components", list}});
            return kExitSuccess;
        }
        if (components.empty()) {
            out_ << "No component is installed.\n";
            return kExitSuccess;
        }
        TextTable table({"ID", "NAME", "DESCRIPTION"});
        for (const ComponentInfo& component : components) {
            table.AddRow({std::to_string(component.id), component.name, component.description});
        }
        table.Print(out_);
        return kExitSuccess;
    }

    static std::string KeyList(const std::vector<uint32_t>& keys) {
        std::string text;
        for (const uint32_t key : keys) {
            text += (text.empty() ? "" : ",") + std::to_string(key);
        }
        return text.empty() ? "-" : text;
    }

    std::string ComponentTitle(uint32_t component) {
        const ComponentInfo* info = catalog_.FindComponent(component);
        return "Component " + std::to_string(component) +
               (info != nullptr && !info->name.empty() ? ": " + info->name : "");
    }

    int Groups() {
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const auto& groups = catalog_.Groups(component);
        if (line_.json) {
            json list = json::array();
            for (const GroupInfo& group : groups) {
                list.push_back({{"id", group.id},
                                {"name", group.name},
                                {"class", group.className},
                                {"description", group.description},
                                {"keys", group.keys}});
            }
            PrintJson({{"component", component}, {"groups", list}});
            return kExitSuccess;
        }
        out_ << ComponentTitle(component) << '\n';
        TextTable table({"ID", "NAME", "CLASS", "KEYS", "DESCRIPTION"});
        for (const GroupInfo& group : groups) {
            table.AddRow({std::to_string(group.id), group.name, group.className,
                          KeyList(group.keys), group.description});
        }
        table.Print(out_);
        return kExitSuccess;
    }

    static std::string TypeColumn(const AttributeInfo& attribute) {
        if (!attribute.enumNames.empty()) {
            return "enum";
        }
        const uint32_t code = attribute.typeCode();
        if ((code == MIF_OCTETSTRING || code == MIF_DISPLAYSTRING) && attribute.maxSize != 0) {
            return attribute.type + "(" + std::to_string(attribute.maxSize) + ")";
        }
        return attribute.type;
    }

    int Attributes() {
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const uint32_t groupId = catalog_.ResolveGroup(component, line_.arguments[1]);
        const auto& attributes = catalog_.Attributes(component, groupId);
        const GroupInfo* group = catalog_.FindGroup(component, groupId);
        const auto isKey = [&](uint32_t id) {
            return group != nullptr &&
                   std::find(group->keys.begin(), group->keys.end(), id) != group->keys.end();
        };
        if (line_.json) {
            json list = json::array();
            for (const AttributeInfo& attribute : attributes) {
                json names = json::object();
                for (const auto& [number, name] : attribute.enumNames) {
                    names[std::to_string(number)] = name;
                }
                list.push_back({{"id", attribute.id},
                                {"name", attribute.name},
                                {"description", attribute.description},
                                {"type", attribute.type},
                                {"maxSize", attribute.maxSize},
                                {"access", attribute.access},
                                {"key", isKey(attribute.id)},
                                {"enum", names}});
            }
            PrintJson({{"component", component}, {"group", groupId}, {"attributes", list}});
            return kExitSuccess;
        }
        out_ << ComponentTitle(component) << ", group " << groupId;
        if (group != nullptr) {
            out_ << ": " << group->name << " (" << group->className << ")";
        }
        out_ << '\n';
        TextTable table({"ID", "NAME", "TYPE", "ACCESS", "KEY", "DESCRIPTION"});
        for (const AttributeInfo& attribute : attributes) {
            table.AddRow({std::to_string(attribute.id), attribute.name, TypeColumn(attribute),
                          attribute.access, isKey(attribute.id) ? "key" : "",
                          attribute.description});
        }
        table.Print(out_);
        for (const AttributeInfo& attribute : attributes) {
            if (attribute.enumNames.empty()) {
                continue;
            }
            std::string values;
            for (const auto& [number, name] : attribute.enumNames) {
                values += (values.empty() ? "" : ", ") + std::to_string(number) + " " + name;
            }
            out_ << "Values of " << attribute.id << " " << attribute.name << ": " << values << '\n';
        }
        return kExitSuccess;
    }

    // The keys with the ids of the group's key attributes, in order, where the MIF gives them.
    json KeysWithIds(uint32_t component, uint32_t groupId, const std::vector<json>& keys) {
        const GroupInfo* group = keys.empty() ? nullptr : catalog_.FindGroup(component, groupId);
        json list = json::array();
        for (size_t i = 0; i < keys.size(); ++i) {
            json key = keys[i];
            if (group != nullptr && i < group->keys.size()) {
                key["id"] = group->keys[i];
            }
            list.push_back(std::move(key));
        }
        return list;
    }

    Reading Read(const char* op, uint32_t component, uint32_t group, uint32_t attribute,
                 const AttributeInfo* info, const json& keys) {
        const json response = Client().Request({{"op", op},
                                                {"component", component},
                                                {"group", group},
                                                {"attribute", attribute},
                                                {"keys", keys}});
        Reading reading;
        reading.id = attribute;
        reading.info = info;
        reading.status = StatusOf(response);
        if (const auto value = response.find("value");
            reading.status == DMIERR_NO_ERROR && value != response.end()) {
            reading.value = *value;
        }
        reading.error = ErrorText(response);
        return reading;
    }

    std::string Label(uint32_t component, uint32_t groupId, uint32_t attribute, const json& keys) {
        const GroupInfo* group = catalog_.FindGroup(component, groupId);
        const AttributeInfo* info = catalog_.FindAttribute(component, groupId, attribute);
        std::string label = group != nullptr && !group->name.empty()
                                ? group->name
                                : "group " + std::to_string(groupId);
        label += "." + (info != nullptr && !info->name.empty()
                            ? info->name
                            : "attribute " + std::to_string(attribute));
        if (!keys.empty()) {
            std::string shown;
            for (const json& key : keys) {
                shown += (shown.empty() ? "" : ",") + FormatValue(key, nullptr);
            }
            label += "[" + shown + "]";
        }
        return label;
    }

    json Subject(uint32_t component, uint32_t groupId, uint32_t attribute, const json& keys) {
        const GroupInfo* group = catalog_.FindGroup(component, groupId);
        const AttributeInfo* info = catalog_.FindAttribute(component, groupId, attribute);
        return {{"component", component},
                {"group", groupId},
                {"groupName", group != nullptr ? group->name : ""},
                {"attribute", attribute},
                {"attributeName", info != nullptr ? info->name : ""},
                {"keys", keys}};
    }

    int Get(const char* op) {
        std::vector<json> keys;
        for (size_t i = 3; i < line_.arguments.size(); ++i) {
            keys.push_back(ParseKey(line_.arguments[i]));
        }
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const uint32_t group = catalog_.ResolveGroup(component, line_.arguments[1]);
        const uint32_t attribute = catalog_.ResolveAttribute(component, group, line_.arguments[2]);
        const json keyList = KeysWithIds(component, group, keys);
        const AttributeInfo* info = catalog_.FindAttribute(component, group, attribute);
        const Reading reading = Read(op, component, group, attribute, info, keyList);
        if (line_.json) {
            json document = Subject(component, group, attribute, keyList);
            document["op"] = op;
            document["status"] = reading.status;
            document["statusName"] = dmi::StatusName(reading.status);
            if (!reading.value.is_null()) {
                document["value"] = AnnotateValue(reading.value, info);
            }
            if (!reading.error.empty()) {
                document["error"] = reading.error;
            }
            PrintJson(document);
        } else {
            out_ << Label(component, group, attribute, keyList) << " = ";
            if (reading.status != DMIERR_NO_ERROR || !HasValue(reading.value)) {
                out_ << ValueCell(reading, true) << '\n';
            } else {
                out_ << TypeCell(reading) << ": " << ValueCell(reading) << '\n';
            }
        }
        return reading.status == DMIERR_NO_ERROR ? kExitSuccess : kExitDmiStatus;
    }

    int Walk() {
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const auto& groups = catalog_.Groups(component);
        std::vector<const GroupInfo*> selected;
        if (line_.arguments.size() == 2) {
            const uint32_t wanted = catalog_.ResolveGroup(component, line_.arguments[1]);
            const auto found = std::find_if(groups.begin(), groups.end(),
                                            [&](const GroupInfo& g) { return g.id == wanted; });
            if (found == groups.end()) {
                throw StatusError(DMIERR_GROUP_NOT_FOUND,
                                  "component " + std::to_string(component) + " has no group " +
                                      std::to_string(wanted) + "; \"dmicli groups " +
                                      std::to_string(component) + "\" lists them");
            }
            selected.push_back(&*found);
        } else {
            for (const GroupInfo& group : groups) {
                selected.push_back(&group);
            }
        }
        const ComponentInfo* info = catalog_.FindComponent(component);
        json document{{"component", component},
                      {"componentName", info != nullptr ? info->name : ""},
                      {"groups", json::array()}};
        if (!line_.json) {
            out_ << ComponentTitle(component) << '\n';
        }
        for (const GroupInfo* group : selected) {
            document["groups"].push_back(WalkGroup(component, *group));
        }
        if (line_.json) {
            PrintJson(document);
        }
        return kExitSuccess;
    }

    static bool IsWriteOnly(const AttributeInfo& attribute) {
        return attribute.access == "write-only";
    }

    // The keys of row `row` of a table: the first key counts rows, the others stay at 1.
    static json TableKeys(const GroupInfo& group, uint32_t row) {
        json keys = json::array();
        for (size_t i = 0; i < group.keys.size(); ++i) {
            keys.push_back(
                {{"id", group.keys[i]}, {"type", MIF_INTEGER}, {"integer", i == 0 ? row : 1u}});
        }
        return keys;
    }

    static bool SameAnswers(const std::vector<Reading>& row, const std::vector<Reading>& other) {
        return std::equal(row.begin(), row.end(), other.begin(), other.end(),
                          [](const Reading& a, const Reading& b) {
                              return a.id == b.id && a.status == b.status && a.value == b.value;
                          });
    }

    json WalkGroup(uint32_t component, const GroupInfo& group) {
        json document{{"id", group.id},
                      {"name", group.name},
                      {"class", group.className},
                      {"keys", group.keys}};
        if (!line_.json) {
            out_ << "\nGroup " << group.id << "  " << group.name << "  (" << group.className << ")";
            if (!group.keys.empty()) {
                out_ << "  keys " << KeyList(group.keys);
            }
            out_ << '\n';
        }
        const std::vector<AttributeInfo>* attributes = nullptr;
        try {
            attributes = &catalog_.Attributes(component, group.id);
        } catch (const StatusError& refused) {
            document["status"] = refused.status();
            document["error"] = refused.what();
            if (!line_.json) {
                out_ << "  " << refused.what() << '\n';
            }
            return document;
        }
        if (group.keys.empty()) {
            WalkSingleRow(component, group, *attributes, document);
        } else {
            WalkTable(component, group, *attributes, document);
        }
        return document;
    }

    void WalkSingleRow(uint32_t component, const GroupInfo& group,
                       const std::vector<AttributeInfo>& attributes, json& document) {
        TextTable table({"ID", "ATTRIBUTE", "TYPE", "VALUE"});
        json list = json::array();
        for (const AttributeInfo& attribute : attributes) {
            if (IsWriteOnly(attribute)) {
                table.AddRow(
                    {std::to_string(attribute.id), attribute.name, attribute.type, "(write-only)"});
                list.push_back(
                    {{"id", attribute.id}, {"name", attribute.name}, {"skipped", "write-only"}});
                continue;
            }
            const Reading reading =
                Read("get", component, group.id, attribute.id, &attribute, json::array());
            table.AddRow({std::to_string(attribute.id), attribute.name, TypeCell(reading),
                          ValueCell(reading)});
            list.push_back(ReadingJson(reading));
        }
        document["attributes"] = list;
        if (!line_.json) {
            table.Print(out_, "  ");
        }
    }

    void WalkTable(uint32_t component, const GroupInfo& group,
                   const std::vector<AttributeInfo>& attributes, json& document) {
        std::vector<const AttributeInfo*> readable;
        for (const AttributeInfo& attribute : attributes) {
            if (!IsWriteOnly(attribute)) {
                readable.push_back(&attribute);
            }
        }
        TextTable table({"ROW", "ID", "ATTRIBUTE", "TYPE", "VALUE"});
        json rows = json::array();
        json end;
        std::string endText;
        uint32_t rowsShown = 0;
        std::vector<Reading> previous;
        for (uint32_t row = 1; !readable.empty(); ++row) {
            if (row > kWalkRowBound) {
                end = {{"reason", "row bound"}, {"row", row}};
                endText = "stopped after " + std::to_string(kWalkRowBound) + " rows";
                break;
            }
            const json keys = TableKeys(group, row);
            std::vector<Reading> readings;
            bool rowNotFound = false;
            bool anyValue = false;
            for (const AttributeInfo* attribute : readable) {
                Reading reading = Read("get", component, group.id, attribute->id, attribute, keys);
                if (reading.status == DMIERR_ROW_NOT_FOUND) {
                    rowNotFound = true;
                    break;
                }
                anyValue =
                    anyValue || (reading.status == DMIERR_NO_ERROR && HasValue(reading.value));
                readings.push_back(std::move(reading));
            }
            if (rowNotFound) {
                end = {{"reason", "row not found"},
                       {"row", row},
                       {"status", DMIERR_ROW_NOT_FOUND},
                       {"statusName", dmi::StatusName(DMIERR_ROW_NOT_FOUND)}};
                endText =
                    "row " + std::to_string(row) + ": " + dmi::DescribeStatus(DMIERR_ROW_NOT_FOUND);
                break;
            }
            // A group that does not look at its keys answers every row alike and never says
            // "row not found": its first row is all there is to show.
            if (row > 1 && SameAnswers(readings, previous)) {
                end = {{"reason", "row repeats"}, {"row", row}};
                endText = "stopped at row " + std::to_string(row) +
                          ": it answered exactly as row " + std::to_string(row - 1) +
                          ", so the keys do not select rows";
                break;
            }
            json rowDocument{{"row", row}, {"keys", keys}, {"attributes", json::array()}};
            for (const Reading& reading : readings) {
                table.AddRow({std::to_string(row), std::to_string(reading.id), reading.info->name,
                              TypeCell(reading), ValueCell(reading)});
                rowDocument["attributes"].push_back(ReadingJson(reading));
            }
            rows.push_back(std::move(rowDocument));
            ++rowsShown;
            // A table that never says "row not found" (every read refused, or answered
            // without a value) would otherwise be asked for thousands of empty rows.
            if (!anyValue) {
                end = {{"reason", "no value"}, {"row", row}};
                endText = "stopped at row " + std::to_string(row) +
                          ": none of its attributes has a value";
                break;
            }
            previous = std::move(readings);
        }
        if (readable.empty()) {
            end = {{"reason", "no readable attribute"}};
            endText = "no attribute to read";
        }
        document["rows"] = rows;
        document["end"] = end;
        if (!line_.json) {
            if (!table.empty()) {
                table.Print(out_, "  ");
            }
            out_ << "  " << rowsShown << (rowsShown == 1 ? " row; " : " rows; ") << endText << '\n';
        }
    }

    int Set() {
        std::vector<json> keys;
        for (const std::string& key : line_.keys) {
            keys.push_back(ParseKey(key));
        }
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const uint32_t group = catalog_.ResolveGroup(component, line_.arguments[1]);
        const uint32_t attribute = catalog_.ResolveAttribute(component, group, line_.arguments[2]);
        const auto& attributes = catalog_.Attributes(component, group);
        const auto info = std::find_if(attributes.begin(), attributes.end(),
                                       [&](const AttributeInfo& a) { return a.id == attribute; });
        if (info == attributes.end()) {
            throw StatusError(
                DMIERR_ATTRIBUTE_NOT_FOUND,
                "group " + std::to_string(group) + " of component " + std::to_string(component) +
                    " has no attribute " + std::to_string(attribute) + "; \"dmicli attributes " +
                    std::to_string(component) + " " + std::to_string(group) + "\" lists them");
        }
        AttributeInfo sent = *info;
        if (line_.valueType) {
            sent.type = *line_.valueType;
            sent.enumNames.clear();
        }
        const json value = ParseValue(line_.arguments[3], sent);
        const json keyList = KeysWithIds(component, group, keys);
        const json response = Client().Request({{"op", "set"},
                                                {"component", component},
                                                {"group", group},
                                                {"attribute", attribute},
                                                {"keys", keyList},
                                                {"value", value}});
        const uint32_t status = StatusOf(response);
        const std::string error = ErrorText(response);
        if (line_.json) {
            json document = Subject(component, group, attribute, keyList);
            document["op"] = "set";
            document["value"] = AnnotateValue(value, &*info);
            document["status"] = status;
            document["statusName"] = dmi::StatusName(status);
            if (!error.empty()) {
                document["error"] = error;
            }
            PrintJson(document);
        } else if (status == DMIERR_NO_ERROR) {
            out_ << Label(component, group, attribute, keyList) << " set to "
                 << FormatValue(value, &*info) << '\n';
        } else {
            out_ << Label(component, group, attribute, keyList)
                 << " = status: " << dmi::DescribeStatus(status)
                 << (error.empty() ? "" : " (" + error + ")") << '\n';
        }
        return status == DMIERR_NO_ERROR ? kExitSuccess : kExitDmiStatus;
    }

    static std::vector<json> EventsOf(const json& response) {
        const auto events = response.find("events");
        return events != response.end() && events->is_array() ? events->get<std::vector<json>>()
                                                              : std::vector<json>{};
    }

    static uint32_t IdIn(const json& object, const char* member) {
        const auto found = object.find(member);
        return found != object.end() && found->is_number_integer() ? found->get<uint32_t>() : 0;
    }

    // The event with names and displayed values added to its rows, for --json.
    json AnnotateEvent(const json& event) {
        json annotated = event;
        const uint32_t component = IdIn(event, "component");
        if (const auto rows = annotated.find("rows"); rows != annotated.end() && rows->is_array()) {
            for (json& row : *rows) {
                const uint32_t groupId = IdIn(row, "group");
                const GroupInfo* group = catalog_.FindGroup(component, groupId);
                row["groupName"] = group != nullptr ? group->name : "";
                for (const char* part : {"keys", "values"}) {
                    const auto list = row.find(part);
                    if (list == row.end() || !list->is_array()) {
                        continue;
                    }
                    for (json& value : *list) {
                        const AttributeInfo* info =
                            catalog_.FindAttribute(component, groupId, IdIn(value, "id"));
                        value = AnnotateValue(value, info);
                        value["name"] = info != nullptr ? info->name : "";
                    }
                }
            }
        }
        return annotated;
    }

    void PrintEvent(const json& event) {
        const uint32_t component = IdIn(event, "component");
        out_ << "Event " << event.value("sequence", json(0)).dump() << "  "
             << ShowTime(event.value("time", std::string())) << "  " << ComponentTitle(component)
             << '\n';
        const auto rows = event.find("rows");
        if (rows == event.end() || !rows->is_array()) {
            return;
        }
        for (const json& row : *rows) {
            const uint32_t groupId = IdIn(row, "group");
            const GroupInfo* group = catalog_.FindGroup(component, groupId);
            out_ << "  group " << groupId;
            if (group != nullptr && !group->name.empty()) {
                out_ << "  " << group->name;
            }
            out_ << "  (" << row.value("class", std::string()) << ")\n";
            TextTable table({"", "ID", "ATTRIBUTE", "VALUE"});
            for (const char* part : {"keys", "values"}) {
                const auto list = row.find(part);
                if (list == row.end() || !list->is_array()) {
                    continue;
                }
                for (const json& value : *list) {
                    const uint32_t id = IdIn(value, "id");
                    const AttributeInfo* info = catalog_.FindAttribute(component, groupId, id);
                    table.AddRow({part == std::string_view("keys") ? "key" : "value",
                                  std::to_string(id), info != nullptr ? info->name : "",
                                  FormatValue(value, info)});
                }
            }
            table.Print(out_, "    ");
        }
    }

    int Events() {
        const uint64_t since = line_.since.value_or(0);
        const json response =
            RequestOk(Client(), {{"op", "events"}, {"since", since}}, "reading the event log");
        const std::vector<json> events = EventsOf(response);
        if (line_.json) {
            json list = json::array();
            for (const json& event : events) {
                list.push_back(AnnotateEvent(event));
            }
            PrintJson({{"events", list}});
            return kExitSuccess;
        }
        if (events.empty()) {
            out_ << "No events" << (since != 0 ? " after " + std::to_string(since) : "") << ".\n";
        }
        for (const json& event : events) {
            PrintEvent(event);
        }
        return kExitSuccess;
    }

    int FollowEvents() {
        uint64_t since = 0;
        if (line_.since) {
            since = *line_.since;
        } else {
            // Only what happens from now on: start after the last logged event.
            const json response =
                RequestOk(Client(), {{"op", "events"}, {"since", 0}}, "reading the event log");
            for (const json& event : EventsOf(response)) {
                const auto sequence = event.find("sequence");
                if (sequence != event.end() && sequence->is_number_integer()) {
                    since = std::max(since, sequence->get<uint64_t>());
                }
            }
        }
        ManagementClient subscription(ManagementSocketPath(line_.socketPath));
        RequestOk(subscription, {{"op", "subscribe"}, {"since", since}}, "subscribing to events");

        std::optional<Clock::time_point> deadline;
        if (line_.timeoutSeconds) {
            deadline = Clock::now() +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           std::min(*line_.timeoutSeconds, kLongestTimeoutSeconds)));
        }
        uint64_t shown = 0;
        while (!line_.count || shown < *line_.count) {
            auto wait = std::chrono::milliseconds(std::chrono::hours(1));
            if (deadline) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
                if (left.count() <= 0) {
                    break;
                }
                wait = std::min(wait, left);
            }
            const auto message = subscription.Receive(wait);
            if (!message) {
                continue;
            }
            const auto event = message->find("event");
            if (event == message->end() || !event->is_object()) {
                continue;
            }
            if (line_.json) {
                out_ << AnnotateEvent(*event).dump(-1, ' ', false, json::error_handler_t::replace)
                     << '\n';
            } else {
                PrintEvent(*event);
            }
            out_.flush();
            ++shown;
        }
        if (line_.count && shown < *line_.count) {
            err_ << "dmicli: " << shown << " of " << *line_.count << " events arrived within "
                 << *line_.timeoutSeconds << " s\n";
            return kExitDmiStatus;
        }
        return kExitSuccess;
    }

    int Stats() {
        json response = RequestOk(Client(), {{"op", "stats"}},
                                  "reading the service provider's memory tracking");
        response.erase("status");
        response.erase("statusName");
        if (line_.json) {
            PrintJson(response);
            return kExitSuccess;
        }
        const json memory = response.value("memory", json::object());
        const auto number = [&](const char* member) {
            const auto found = memory.find(member);
            return found != memory.end() ? found->dump() : std::string("?");
        };
        out_ << "Memory blocks handed out by the service provider\n";
        TextTable counts({"outstanding", number("outstanding")});
        counts.AddRow({"allocations", number("allocations")});
        counts.AddRow({"frees", number("frees")});
        counts.AddRow({"bad frees", number("badFrees")});
        counts.Print(out_, "  ");
        if (const auto blocks = memory.find("blocks");
            blocks != memory.end() && blocks->is_array() && !blocks->empty()) {
            out_ << "Outstanding blocks\n";
            TextTable table({"SIZE", "KIND"});
            for (const json& block : *blocks) {
                table.AddRow(
                    {block.value("size", json(0)).dump(), block.value("kind", std::string())});
            }
            table.Print(out_, "  ");
        }
        out_ << "Registered instrumentation\n";
        const json registered = response.value("registered", json::array());
        if (!registered.is_array() || registered.empty()) {
            out_ << "  none\n";
            return kExitSuccess;
        }
        TextTable table({"COMPONENT", "NAME"});
        for (const json& id : registered) {
            const ComponentInfo* info =
                id.is_number_integer() ? catalog_.FindComponent(id.get<uint32_t>()) : nullptr;
            table.AddRow({id.dump(), info != nullptr ? info->name : ""});
        }
        table.Print(out_, "  ");
        return kExitSuccess;
    }

    int Post(const std::string& className, const WindowMessage& message, const char* name) {
        const std::string path = PostWindowMessage(className, message);
        if (line_.json) {
            PrintJson({{"class", className},
                       {"message", message.message},
                       {"wParam", message.wParam},
                       {"lParam", message.lParam},
                       {"socket", path}});
        } else {
            char code[16];
            std::snprintf(code, sizeof code, "0x%04X", message.message);
            out_ << "Posted " << (name != nullptr ? std::string(name) + " (" + code + ")" : code)
                 << " to the window of class " << className << " (" << path << ")\n";
        }
        return kExitSuccess;
    }

    int PostTimer() {
        return Post(line_.windowClass.value_or(kAgentWindowClass), {kWmTimer, 0, 0}, "WM_TIMER");
    }

    int PostMessage() {
        const std::string& name = line_.arguments[1];
        WindowMessage message;
        const auto named = WindowMessageByName(name);
        message.message = named ? *named : static_cast<uint32_t>(ParseWord(name, 32, "message"));
        if (line_.arguments.size() > 2) {
            message.wParam = ParseWord(line_.arguments[2], 64, "WPARAM");
        }
        if (line_.arguments.size() > 3) {
            message.lParam = ParseWord(line_.arguments[3], 64, "LPARAM");
        }
        return Post(line_.arguments[0], message, named ? name.c_str() : nullptr);
    }

    const CommandLine& line_;
    std::ostream& out_;
    std::ostream& err_;
    std::optional<ManagementClient> client_;
    ComponentCatalog catalog_;
};

}  // namespace

int RunConsole(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
    try {
        const CommandLine line = ParseCommandLine(arguments);
        if (line.help || line.command == "help") {
            const std::string topic = line.command == "help"
                                          ? (line.arguments.empty() ? "" : line.arguments[0])
                                          : line.command;
            if (topic.empty()) {
                out << OverallHelp();
                return kExitSuccess;
            }
            const auto help = CommandHelp(topic);
            if (!help) {
                throw UsageError("unknown command \"" + topic + "\"");
            }
            out << *help;
            return kExitSuccess;
        }
        Console console(line, out, err);
        return console.Run();
    } catch (const UsageError& error) {
        err << "dmicli: " << error.what() << "\nRun \"dmicli --help\" for the commands and "
            << "options.\n";
        return kExitUsage;
    } catch (const StatusError& error) {
        err << "dmicli: " << error.what() << '\n';
        return kExitDmiStatus;
    } catch (const ConnectionError& error) {
        err << "dmicli: " << error.what() << '\n';
        return kExitUnreachable;
    } catch (const nlohmann::json::exception& error) {
        err << "dmicli: the service provider's answer does not fit the management protocol: "
            << error.what() << '\n';
        return kExitUnreachable;
    }
}

}  // namespace korvo::console

// The tables and lines a person reads, made from the documents the console's commands build.
#include "console/text_renderer.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "management/attribute_values.h"
#include "console/text_table.h"
#include "console/component_walk.h"
#include "dmi/dmi_names.h"

namespace korvo::console {

using management::AttributeInfo;
using management::ComponentInfo;
using management::FormatValue;
using management::GroupInfo;
using management::HasValue;
using management::IdIn;

namespace {

using nlohmann::json;

std::string TextIn(const json& object, const char* member) {
    const auto found = object.find(member);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

const json& ListIn(const json& object, const char* member) {
    static const json kEmpty = json::array();
    const auto found = object.find(member);
    return found != object.end() && found->is_array() ? *found : kEmpty;
}

std::string KeyList(const json& keys) {
    std::string text;
    for (const json& key : keys) {
        text += (text.empty() ? "" : ",") + key.dump();
    }
    return text.empty() ? "-" : text;
}

// An attribute's value, or its status by name; `withError` adds the service provider's
// explanation, which a single answer has room for and a walk's table does not.
std::string ValueCell(const json& reading, bool withError = false) {
    const uint32_t status = IdIn(reading, "status");
    if (status != DMIERR_NO_ERROR) {
        const std::string error = TextIn(reading, "error");
        return "status: " + dmi::DescribeStatus(status) +
               (withError && !error.empty() ? " (" + error + ")" : "");
    }
    const auto value = reading.find("value");
    return value != reading.end() ? TextIn(*value, "display") : FormatValue(json(), nullptr);
}

std::string KeysShown(const json& keys) {
    std::string shown;
    for (const json& key : keys) {
        shown += (shown.empty() ? "" : ",") + FormatValue(key, nullptr);
    }
    return "[" + shown + "]";
}

// Every reading of a group's walk, whatever its rows.
std::vector<const json*> ReadingsOfWalk(const json& group) {
    std::vector<const json*> readings;
    for (const json& reading : ListIn(group, "attributes")) {
        readings.push_back(&reading);
    }
    for (const json& row : ListIn(group, "rows")) {
        for (const json& reading : ListIn(row, "attributes")) {
            readings.push_back(&reading);
        }
    }
    return readings;
}

// When no attribute of a walked group has a value and all answer the same status, the one
// line that says why, instead of a table of that status.
std::optional<std::string> WhyNoValue(const json& group) {
    const std::vector<const json*> readings = ReadingsOfWalk(group);
    if (readings.empty() || readings.front()->contains("skipped")) {
        return std::nullopt;
    }
    const uint32_t status = IdIn(*readings.front(), "status");
    for (const json* reading : readings) {
        if (reading->contains("skipped") || IdIn(*reading, "status") != status ||
            status == DMIERR_NO_ERROR) {
            return std::nullopt;
        }
    }
    std::string why = "no value: every attribute answers " + dmi::DescribeStatus(status);
    if (const std::string error = TextIn(*readings.front(), "error"); !error.empty()) {
        why += "\n  (" + error + (readings.size() > 1 ? ", and so for each attribute)" : ")");
    }
    return why;
}

// The TYPE column of the attribute listing: "enum", "displaystring(64)", "counter64", ...
std::string TypeColumn(const AttributeInfo& attribute) {
    if (!attribute.enumNames.empty()) {
        return "enum";
    }
    const uint32_t code = attribute.typeCode();
    if ((code == MIF_OCTETSTRING || code == MIF_DISPLAYSTRING) && attribute.maxSize != 0) {
        return attribute.type + "(" + std::to_string(attribute.maxSize) + ")";
    }
    return attribute.type;
}

}  // namespace

// "Adapter.First adapter address[7]": the group and attribute by name where they have one;
// with --numeric "1.4.2[7]". A get-next names the row it answered, not the one asked after.
std::string TextRenderer::Label(const json& document) const {
    const auto instance = document.find("instance");
    const json& keys = instance != document.end() && instance->is_object()
                           ? ListIn(*instance, "keys")
                           : ListIn(document, "keys");
    std::string label;
    if (numeric_) {
        label = std::to_string(IdIn(document, "component")) + "." +
                std::to_string(IdIn(document, "group")) + "." +
                std::to_string(IdIn(document, "attribute"));
    } else {
        const std::string group = TextIn(document, "groupName");
        const std::string attribute = TextIn(document, "attributeName");
        label = !group.empty() ? group : "group " + std::to_string(IdIn(document, "group"));
        label +=
            "." + (!attribute.empty() ? attribute
                                      : "attribute " + std::to_string(IdIn(document, "attribute")));
    }
    return keys.empty() ? label : label + KeysShown(keys);
}

std::string TextRenderer::ComponentTitle(uint32_t component) {
    const ComponentInfo* info = catalog_.FindComponent(component);
    return "Component " + std::to_string(component) +
           (info != nullptr && !info->name.empty() ? ": " + info->name : "");
}

// The type the value carries, else the attribute's MIF type.
std::string TextRenderer::TypeCell(uint32_t component, uint32_t group, const json& reading) {
    if (const auto value = reading.find("value"); value != reading.end() && value->is_object()) {
        if (const uint32_t type = IdIn(*value, "type"); type != 0) {
            return dmi::TypeName(type);
        }
    }
    const AttributeInfo* info = catalog_.FindAttribute(component, group, IdIn(reading, "id"));
    return info != nullptr ? info->type : "";
}

void TextRenderer::Components(const json& document) {
    const json& components = ListIn(document, "components");
    if (components.empty()) {
        out_ << "No component is installed.\n";
        return;
    }
    TextTable table({"ID", "NAME", "DESCRIPTION"});
    for (const json& component : components) {
        table.AddRow({std::to_string(IdIn(component, "id")), TextIn(component, "name"),
                      TextIn(component, "description")});
    }
    table.Print(out_);
}

void TextRenderer::Groups(const json& document) {
    out_ << ComponentTitle(IdIn(document, "component")) << '\n';
    TextTable table({"ID", "NAME", "CLASS", "KEYS", "DESCRIPTION"});
    for (const json& group : ListIn(document, "groups")) {
        table.AddRow({std::to_string(IdIn(group, "id")), TextIn(group, "name"),
                      TextIn(group, "class"), KeyList(ListIn(group, "keys")),
                      TextIn(group, "description")});
    }
    table.Print(out_);
}

void TextRenderer::Attributes(const json& document) {
    const uint32_t component = IdIn(document, "component");
    const uint32_t groupId = IdIn(document, "group");
    out_ << ComponentTitle(component) << ", group " << groupId;
    if (const GroupInfo* group = catalog_.FindGroup(component, groupId)) {
        out_ << ": " << group->name << " (" << group->className << ")";
    }
    out_ << '\n';
    std::vector<AttributeInfo> attributes;
    TextTable table({"ID", "NAME", "TYPE", "ACCESS", "KEY", "DESCRIPTION"});
    for (const json& item : ListIn(document, "attributes")) {
        const AttributeInfo& attribute = attributes.emplace_back(AttributeInfo::FromJson(item));
        table.AddRow({std::to_string(attribute.id), attribute.name, TypeColumn(attribute),
                      attribute.access, item.value("key", false) ? "key" : "",
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
}

void TextRenderer::Reading(const json& document) {
    if (const auto end = document.find("end"); end != document.end() && end->is_object()) {
        // What was asked after, not an instance: the keys as given.
        json asked = document;
        asked.erase("instance");
        out_ << Label(asked) << ": " << TextIn(*end, "description") << '\n';
        return;
    }
    if (valueOnly_) {
        out_ << ValueCell(document, true) << '\n';
        return;
    }
    out_ << Label(document) << " = ";
    const auto value = document.find("value");
    if (IdIn(document, "status") != DMIERR_NO_ERROR || value == document.end() ||
        !HasValue(*value)) {
        out_ << ValueCell(document, true) << '\n';
        if (const std::string note = TextIn(document, "note"); !note.empty()) {
            out_ << "  (" << note << ")\n";
        }
        return;
    }
    out_ << TypeCell(IdIn(document, "component"), IdIn(document, "group"), document) << ": "
         << ValueCell(document) << '\n';
}

void TextRenderer::Readings(const json& document) {
    for (const json& reading : ListIn(document, "results")) {
        Reading(reading);
    }
}

void TextRenderer::Written(const json& document) {
    if (IdIn(document, "status") == DMIERR_NO_ERROR) {
        out_ << Label(document) << " set to " << TextIn(document["value"], "display") << '\n';
    } else {
        out_ << Label(document) << " = " << ValueCell(document, true) << '\n';
    }
    if (const std::string hint = TextIn(document, "hint"); !hint.empty()) {
        out_ << hint << '\n';
    }
}

void TextRenderer::WatchSample(const json& sample) {
    const std::string time = TextIn(sample, "time");
    // The time of day is enough on a line; the date and offset are in --json.
    const std::string clock = time.size() >= 23 ? time.substr(11, 12) : time;
    for (const json& reading : ListIn(sample, "readings")) {
        json labelled = sample;
        labelled["attribute"] = IdIn(reading, "id");
        labelled["attributeName"] = TextIn(reading, "name");
        out_ << clock << "  " << Label(labelled) << " = " << ValueCell(reading);
        const std::string change = TextIn(reading, "change");
        if (const auto rate = reading.find("perSecond"); rate != reading.end()) {
            char shown[48];
            std::snprintf(shown, sizeof shown, "  %+.1f/s", rate->get<double>());
            out_ << shown;
        }
        if (!change.empty()) {
            out_ << "  (" << change << ")";
        }
        out_ << '\n';
    }
}

void TextRenderer::LogLine(const std::string& line) {
    out_ << line << '\n';
}

void TextRenderer::WalkHeading(const json& document) {
    out_ << ComponentTitle(IdIn(document, "component")) << '\n';
}

void TextRenderer::WalkGroupHeading(const json& group) {
    out_ << "\nGroup " << IdIn(group, "id") << "  " << TextIn(group, "name") << "  ("
         << TextIn(group, "class") << ")";
    if (const json& keys = ListIn(group, "keys"); !keys.empty()) {
        out_ << "  keys " << KeyList(keys);
    }
    out_ << '\n';
}

void TextRenderer::WalkGroupBody(uint32_t component, const json& walked) {
    const uint32_t groupId = IdIn(walked, "id");
    if (walked.contains("error")) {
        out_ << "  " << TextIn(walked, "error") << '\n';
        return;
    }
    json group = walked;
    ElideRows(group, rowsShown_.value_or(std::numeric_limits<uint64_t>::max() / 2));
    const uint64_t rowCount = group.value("rowCount", uint64_t{0});
    if (const auto why = WhyNoValue(group)) {
        out_ << "  " << *why << '\n';
        return;
    }
    if (group.contains("attributes")) {
        TextTable table({"ID", "ATTRIBUTE", "TYPE", "VALUE"});
        for (const json& reading : ListIn(group, "attributes")) {
            table.AddRow({std::to_string(IdIn(reading, "id")), TextIn(reading, "name"),
                          TypeCell(component, groupId, reading),
                          reading.contains("skipped") ? "(" + TextIn(reading, "skipped") + ")"
                                                      : ValueCell(reading)});
        }
        table.Print(out_, "  ");
        return;
    }
    TextTable table({"ROW", "ID", "ATTRIBUTE", "TYPE", "VALUE"});
    const json& rows = ListIn(group, "rows");
    const uint64_t omitted = group.value("rowsOmitted", uint64_t{0});
    for (const json& row : rows) {
        const std::string number = std::to_string(IdIn(row, "row"));
        if (omitted != 0 && &row == &rows[rows.size() / 2]) {
            table.AddRow(
                {"...", "",
                 "(" + std::to_string(omitted) + (omitted == 1 ? " row" : " rows") + " not shown)",
                 "", ""});
        }
        for (const json& reading : ListIn(row, "attributes")) {
            table.AddRow({number, std::to_string(IdIn(reading, "id")), TextIn(reading, "name"),
                          TypeCell(component, groupId, reading), ValueCell(reading)});
        }
    }
    if (!table.empty()) {
        table.Print(out_, "  ");
    }
    out_ << "  " << rowCount << (rowCount == 1 ? " row; " : " rows; ")
         << DescribeWalkEnd(group.value("end", json::object())) << '\n';
}

void TextRenderer::Events(const json& document, uint64_t since) {
    const json& events = ListIn(document, "events");
    if (events.empty()) {
        out_ << "No events" << (since != 0 ? " after " + std::to_string(since) : "") << ".\n";
    }
    for (const json& event : events) {
        Event(event);
    }
}

void TextRenderer::Event(const json& event) {
    out_ << "Event " << event.value("sequence", json(0)).dump() << "  "
         << event.value("time", std::string()) << "  " << ComponentTitle(IdIn(event, "component"))
         << '\n';
    for (const json& row : ListIn(event, "rows")) {
        out_ << "  group " << IdIn(row, "group");
        if (const std::string name = TextIn(row, "groupName"); !name.empty()) {
            out_ << "  " << name;
        }
        out_ << "  (" << row.value("class", std::string()) << ")\n";
        // The row's keys on a line of their own, so that a key is never read as the value of
        // the attribute of the same name in the table below.
        std::string keys;
        for (const json& key : ListIn(row, "keys")) {
            keys += (keys.empty() ? "" : ", ") + TextIn(key, "name") + " (" +
                    std::to_string(IdIn(key, "id")) + ") = " + TextIn(key, "display");
        }
        if (!keys.empty()) {
            out_ << "    the row whose key is " << keys << ", with the values:\n";
        }
        TextTable table({"ID", "ATTRIBUTE", "VALUE"});
        for (const json& value : ListIn(row, "values")) {
            table.AddRow({std::to_string(IdIn(value, "id")), TextIn(value, "name"),
                          TextIn(value, "display")});
        }
        table.Print(out_, "    ");
    }
}

void TextRenderer::Stats(const json& document) {
    // A count of `section`, or "?" when the answer has none.
    const auto counted = [](const json& section, const char* member) {
        const auto found = section.find(member);
        return found != section.end() ? found->dump() : std::string("?");
    };
    const json memory = document.value("memory", json::object());
    const auto number = [&](const char* member) { return counted(memory, member); };
    out_ << "Memory blocks handed out by the service provider\n";
    TextTable counts({"outstanding", number("outstanding")});
    counts.AddRow({"allocations", number("allocations")});
    counts.AddRow({"frees", number("frees")});
    counts.AddRow({"bad frees", number("badFrees")});
    counts.Print(out_, "  ");
    if (const json& blocks = ListIn(memory, "blocks"); !blocks.empty()) {
        out_ << "Outstanding blocks\n";
        TextTable table({"SIZE", "KIND"});
        for (const json& block : blocks) {
            table.AddRow({block.value("size", json(0)).dump(), block.value("kind", std::string())});
        }
        table.Print(out_, "  ");
    }
    // Events the event log's file did not take (a full disk): held back until it does.
    const json events = document.value("events", json::object());
    out_ << "Events the event log did not take in time\n";
    TextTable held({"held back", counted(events, "heldBack")});
    held.AddRow({"written late", counted(events, "writtenLate")});
    held.AddRow({"lost", counted(events, "lost")});
    held.Print(out_, "  ");
    out_ << "Registered instrumentation\n";
    const json registered = document.value("registered", json::array());
    if (!registered.is_array() || registered.empty()) {
        out_ << "  none\n";
        return;
    }
    TextTable table({"COMPONENT", "NAME"});
    for (const json& id : registered) {
        const ComponentInfo* info =
            id.is_number_integer() ? catalog_.FindComponent(id.get<uint32_t>()) : nullptr;
        table.AddRow({id.dump(), info != nullptr ? info->name : ""});
    }
    table.Print(out_, "  ");
}

void TextRenderer::Posted(const json& document, const char* name) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", IdIn(document, "message"));
    out_ << "Posted " << (name != nullptr ? std::string(name) + " (" + code + ")" : code)
         << " to the window of class " << TextIn(document, "class") << " ("
         << TextIn(document, "socket") << ")\n";
}

}  // namespace korvo::console

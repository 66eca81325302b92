// The console's reads and writes of attributes: get, get-next, walk and set, each naming what
// it read or wrote by the MIF's names, and saying why a table has no row to show.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "console/component_walk.h"
#include "console/console.h"
#include "console/console_commands.h"
#include "dmi/dmi.h"
#include "korvo/management_protocol.h"
#include "management/attribute_reads.h"
#include "management/attribute_values.h"
#include "management/management_requests.h"

namespace korvo::console {

using management::AnnotateValue;
using management::AttributeInfo;
using management::ComponentInfo;
using management::ErrorText;
using management::GroupInfo;
using management::HasValue;
using management::ManagementClient;
using management::ParseKey;
using management::ParseValue;
using management::PutReading;
using management::PutStatus;
using management::ReadAttribute;
using management::Reading;
using management::StatusError;
using management::StatusOf;
using management::UsageError;
using nlohmann::json;

namespace {

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

}  // namespace

// The keys with the ids of the group's key attributes, in order, where the MIF gives them.
json Console::KeysWithIds(uint32_t component, uint32_t groupId, const std::vector<json>& keys) {
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

// What a get, get-next or set names, with the names of its group and attribute.
json Console::Subject(uint32_t component, uint32_t groupId, uint32_t attribute, const json& keys) {
    const GroupInfo* group = catalog_.FindGroup(component, groupId);
    const AttributeInfo* info = catalog_.FindAttribute(component, groupId, attribute);
    return {{"component", component},
            {"group", groupId},
            {"groupName", group != nullptr ? group->name : ""},
            {"attribute", attribute},
            {"attributeName", info != nullptr ? info->name : ""},
            {"keys", keys}};
}

Console::Target Console::ReadTarget() {
    std::vector<json> keys;
    for (size_t i = 3; i < line_.arguments.size(); ++i) {
        keys.push_back(ParseKey(line_.arguments[i]));
    }
    const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
    const uint32_t group = catalog_.ResolveGroup(component, line_.arguments[1]);
    std::vector<uint32_t> attributes;
    for (const std::string& part : SplitList(line_.arguments[2])) {
        attributes.push_back(catalog_.ResolveAttribute(component, group, part));
    }
    return {component, group, std::move(attributes), KeysWithIds(component, group, keys)};
}

// The keys of the row that `op` with `keys` reads (get-next: the row after them; get
// without keys: the row the instrumentation chooses), as the table's key attributes
// answer; or null with the document's "end": the end of the table when a key attribute
// finds no such row, and "read failed" with the key's status when it could not be read
// (whether a row follows is then not known: a failure, never the table's end).
json Console::RowKeys(std::string_view op, uint32_t component, uint32_t groupId, const json& keys,
                      json& end) {
    const GroupInfo* group = catalog_.FindGroup(component, groupId);
    json next = json::array();
    for (const uint32_t keyId : group != nullptr ? group->keys : std::vector<uint32_t>{}) {
        const AttributeInfo* info = catalog_.FindAttribute(component, groupId, keyId);
        const Reading key = ReadAttribute(Client(), op, component, groupId, keyId, info, keys);
        if (key.status == DMIERR_NO_ERROR && HasValue(key.value)) {
            json value = key.value;
            value["id"] = keyId;
            next.push_back(AnnotateValue(value, info));
            continue;
        }
        const std::string name = info != nullptr ? info->name : std::to_string(keyId);
        if (key.status == DMIERR_ROW_NOT_FOUND) {
            end = {{"reason", "end of table"},
                   {"keyAttribute", keyId},
                   {"description", "end of the table: no row follows (its key " + name +
                                       " answers " + dmi::DescribeStatus(key.status) + ")"}};
        } else {
            std::string description =
                "the row's key " + name + " could not be read: " +
                (key.status == DMIERR_NO_ERROR ? std::string("it answered without a value")
                                               : dmi::DescribeStatus(key.status));
            if (!key.error.empty()) {
                description += ": " + key.error;
            }
            end = {{"reason", management::kEndReadFailed},
                   {"keyAttribute", keyId},
                   {"description", description}};
        }
        PutStatus(end, key.status, key.error);
        return nullptr;
    }
    return next;
}

int Console::Get() {
    return Read(management::op::kGet);
}

int Console::GetNext() {
    return Read(management::op::kGetNext);
}

int Console::Read(std::string_view op) {
    const auto [component, group, attributes, keyList] = ReadTarget();
    const bool next = op == management::op::kGetNext;
    const GroupInfo* groupInfo = catalog_.FindGroup(component, group);
    const bool table = groupInfo != nullptr && !groupInfo->keys.empty();
    json end;
    const json nextKeys =
        next && table ? RowKeys(management::op::kGetNext, component, group, keyList, end) : json();
    // A get of a table without keys reads the row the instrumentation takes for no key:
    // its keys name it.
    json unnamedEnd;
    const json chosenKeys =
        !next && table && keyList.empty()
            ? RowKeys(management::op::kGet, component, group, keyList, unnamedEnd)
            : json();
    // Key 0 of a table whose rows count from 1 names no row.
    const bool keyZero =
        !next && table && keyList.size() == 1 && keyList[0].value("integer", json()) == json(0);
    json results = json::array();
    bool allRead = true;
    for (const uint32_t attribute : attributes) {
        const AttributeInfo* info = catalog_.FindAttribute(component, group, attribute);
        const Reading reading =
            ReadAttribute(Client(), op, component, group, attribute, info, keyList);
        json document = Subject(component, group, attribute, keyList);
        document["op"] = std::string(op);
        PutReading(document, reading);
        if (next && !table && reading.status == DMIERR_ROW_NOT_FOUND) {
            document["end"] = {{"reason", "end of group"},
                               {"description", "end of the group: it has one row"}};
        } else if (!end.is_null()) {
            document["end"] = end;
        } else if (next) {
            document["instance"] = {{"group", group}, {"attribute", attribute}, {"keys", nextKeys}};
        } else if (chosenKeys.is_array()) {
            document["instance"] = {
                {"group", group}, {"attribute", attribute}, {"keys", chosenKeys}};
            document["note"] = "no key given: the row the table answers for none";
        }
        if (keyZero && reading.status != DMIERR_NO_ERROR) {
            document["note"] = "key 0 names no row of this table: its rows are keyed from 1";
        }
        allRead = allRead && reading.status == DMIERR_NO_ERROR && !document.contains("end");
        results.push_back(std::move(document));
    }
    // One shape for scripts however many attributes were asked; people see one reading
    // as a line of its own.
    const json document{{"op", std::string(op)}, {"results", results}};
    if (results.size() == 1) {
        Show(document, [&] { text_.Reading(results[0]); });
    } else {
        Show(document, &TextRenderer::Readings);
    }
    for (const json& result : results) {
        ReportFailure(result);
    }
    return allRead ? kExitSuccess : kExitDmiStatus;
}

int Console::Walk() {
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
    const json head{{"component", component}, {"componentName", info != nullptr ? info->name : ""}};
    WalkDocumentText document(head);
    if (!line_.json) {
        text_.WalkHeading(head);
    }
    GroupWalk walk([this]() -> ManagementClient& { return Client(); }, catalog_,
                   line_.json ? nullptr : &text_);
    bool cutShort = false;  // a table whose walk stopped at a failed read
    walk.WalkGroups(component, selected, [&](json group) {
        cutShort = cutShort || group.value("end", json::object()).value("reason", "") ==
                                   management::kEndReadFailed;
        if (line_.json) {
            if (line_.rows) {
                ElideRows(group, *line_.rows);
            }
            document.Add(group);
        }
    });
    if (line_.json) {
        out_ << document.Finish() << '\n';
    }
    return cutShort ? kExitDmiStatus : kExitSuccess;
}

int Console::Set() {
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
    const GroupInfo* groupInfo = catalog_.FindGroup(component, group);
    if (groupInfo != nullptr && !groupInfo->keys.empty() && keys.empty()) {
        const AttributeInfo* key =
            catalog_.FindAttribute(component, group, groupInfo->keys.front());
        throw UsageError(
            "group " + std::to_string(group) + " (" + groupInfo->name +
            ") is a table: give the row to write with --key KEY (its key is " +
            (key != nullptr ? key->name : "attribute " + std::to_string(groupInfo->keys[0])) +
            "), such as: dmicli set " + std::to_string(component) + " " + std::to_string(group) +
            " " + std::to_string(attribute) + " --key 1 " + line_.arguments[3]);
    }
    AttributeInfo sent = *info;
    if (line_.valueType) {
        sent.type = *line_.valueType;
        sent.enumNames.clear();
    }
    const json value = ParseValue(line_.arguments[3], sent);
    const uint32_t declared = info->typeCode();
    const bool wideRead = declared == MIF_INTEGER64 || declared == MIF_COUNTER64;
    const auto number = value.find("integer");
    if (wideRead && sent.typeCode() == MIF_INTEGER && number != value.end() &&
        number->is_number_integer() && number->get<int64_t>() < 0) {
        // The instrumentation widens the 32 bits it is given: a negative number would come
        // back as a large positive one.
        throw UsageError("bad value \"" + line_.arguments[3] + "\" for " + info->name +
                         ": sent as a 32-bit integer into this " + info->type +
                         " attribute it reads back as " +
                         std::to_string(static_cast<uint32_t>(number->get<int32_t>())) +
                         "; give 0 to 2147483647");
    }
    const json keyList = KeysWithIds(component, group, keys);
    const json response =
        Client().Request(management::request::Set(component, group, attribute, keyList, value));
    const uint32_t status = StatusOf(response);
    const std::string error = ErrorText(response);
    json document = Subject(component, group, attribute, keyList);
    document["op"] = std::string(management::op::kSet);
    document["value"] = AnnotateValue(value, &*info);
    PutStatus(document, status, error);
    if (status == DMIERR_VALUE_EXCEEDS_MAXSIZE && !line_.valueType && wideRead &&
        number != value.end() && number->is_number_unsigned() &&
        number->get<uint64_t>() <= uint64_t{INT32_MAX}) {
        std::string command = "dmicli set " + std::to_string(component) + " " +
                              std::to_string(group) + " " + std::to_string(attribute);
        for (const std::string& key : line_.keys) {
            command += " --key " + key;
        }
        document["hint"] =
            "the instrumentation takes no " + info->type +
            " here; it takes writes to this attribute as 32-bit integers: " + command +
            " --type integer " + line_.arguments[3];
    }
    Show(document, &TextRenderer::Written);
    ReportFailure(document);
    return status == DMIERR_NO_ERROR ? kExitSuccess : kExitDmiStatus;
}

}  // namespace korvo::console

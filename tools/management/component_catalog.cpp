// Listing and name resolution of components, groups and attributes for the management tools.
#include "management/component_catalog.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "dmi/dmi.h"
#include "management/attribute_values.h"
#include "management/management_requests.h"

namespace korvo::management {

namespace {

using nlohmann::json;

std::optional<uint32_t> PlainId(std::string_view text) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    const uint64_t id = std::stoull(std::string(text));
    if (id > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(id);
}

std::vector<json> ListOf(const json& response, const char* member) {
    const auto list = response.find(member);
    if (list == response.end() || !list->is_array()) {
        return {};
    }
    return list->get<std::vector<json>>();
}

// Picks the item named `text` from `items` (each with .id and .name). `kind` and `listing`
// say what was looked for and how to see them all.
template <typename Item>
uint32_t PickByName(const std::vector<Item>& items, std::string_view text, const char* kind,
                    uint32_t notFound, const std::string& listing) {
    if (text.empty()) {  // every name holds the empty text: it names nothing
        throw UsageError(std::string("an empty ") + kind + " was given; give its id or its name");
    }
    const std::string wanted = Lower(text);
    std::vector<const Item*> exact;
    std::vector<const Item*> partial;
    for (const Item& item : items) {
        const std::string name = Lower(item.name);
        if (name == wanted) {
            exact.push_back(&item);
        } else if (name.find(wanted) != std::string::npos) {
            partial.push_back(&item);
        }
    }
    const auto& matches = !exact.empty() ? exact : partial;
    if (matches.size() == 1) {
        return matches.front()->id;
    }
    if (matches.empty()) {
        throw StatusError(notFound, std::string("no ") + kind + " is named \"" + std::string(text) +
                                        "\"; " + listing + " lists them");
    }
    std::string names;
    for (const Item* item : matches) {
        names += "\n  " + std::to_string(item->id) + "  " + item->name;
    }
    throw UsageError(std::string("\"") + std::string(text) + "\" names more than one " + kind +
                     "; give its id or more of its name:" + names);
}

std::vector<AttributeInfo> AttributesOf(const json& response) {
    std::vector<AttributeInfo> attributes;
    for (const json& entry : ListOf(response, "attributes")) {
        attributes.push_back(AttributeInfo::FromJson(entry));
    }
    return attributes;
}

}  // namespace

uint32_t StatusOf(const json& response) {
    const auto status = response.find("status");
    if (status == response.end() || !status->is_number_integer()) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    return static_cast<uint32_t>(status->get<int64_t>());
}

std::string ErrorText(const json& response) {
    const auto error = response.find("error");
    return error != response.end() && error->is_string() ? error->get<std::string>() : "";
}

json RequestOk(ManagementClient& client, const json& request, const std::string& what) {
    json response = client.Request(request);
    const uint32_t status = StatusOf(response);
    if (status != DMIERR_NO_ERROR) {
        std::string message = what + ": " + dmi::DescribeStatus(status);
        if (const std::string error = ErrorText(response); !error.empty()) {
            message += " (" + error + ")";
        }
        throw StatusError(status, message);
    }
    return response;
}

const std::vector<ComponentInfo>& ComponentCatalog::Components() {
    if (!components_) {
        const json response =
            RequestOk(client_(), request::ListComponents(), "listing the components");
        std::vector<ComponentInfo> components;
        for (const json& entry : ListOf(response, "components")) {
            components.push_back({entry.value("id", 0u), entry.value("name", std::string()),
                                  entry.value("description", std::string())});
        }
        components_ = std::move(components);
    }
    return *components_;
}

const std::vector<GroupInfo>& ComponentCatalog::Groups(uint32_t component) {
    if (const auto known = groups_.find(component); known != groups_.end()) {
        return known->second;
    }
    const json response = RequestOk(client_(), request::ListGroups(component),
                                    "listing the groups of component " + std::to_string(component));
    std::vector<GroupInfo> groups;
    for (const json& entry : ListOf(response, "groups")) {
        GroupInfo group{entry.value("id", 0u),
                        entry.value("name", std::string()),
                        entry.value("class", std::string()),
                        entry.value("description", std::string()),
                        {}};
        for (const json& key : ListOf(entry, "keys")) {
            if (key.is_number_integer()) {
                group.keys.push_back(key.get<uint32_t>());
            }
        }
        groups.push_back(std::move(group));
    }
    return groups_[component] = std::move(groups);
}

const std::vector<AttributeInfo>& ComponentCatalog::Attributes(uint32_t component, uint32_t group) {
    const auto where = std::make_pair(component, group);
    if (const auto known = attributes_.find(where); known != attributes_.end()) {
        return known->second;
    }
    const json response = RequestOk(client_(), request::ListAttributes(component, group),
                                    "listing the attributes of group " + std::to_string(group) +
                                        " of component " + std::to_string(component));
    return attributes_[where] = AttributesOf(response);
}

void ComponentCatalog::ListAttributes(uint32_t component, std::span<const uint32_t> groups) {
    std::vector<uint32_t> unlisted;
    std::vector<json> requests;
    for (const uint32_t group : groups) {
        if (!attributes_.contains(std::make_pair(component, group))) {
            unlisted.push_back(group);
            requests.push_back(request::ListAttributes(component, group));
        }
    }
    client_().Pipeline(requests, [&](size_t i, json response) {
        if (StatusOf(response) == DMIERR_NO_ERROR) {
            attributes_[std::make_pair(component, unlisted[i])] = AttributesOf(response);
        }
    });
}

uint32_t ComponentCatalog::ResolveComponent(std::string_view text) {
    if (const auto id = PlainId(text)) {
        return *id;
    }
    return PickByName(Components(), text, "component", DMIERR_COMPONENT_NOT_FOUND,
                      "\"dmicli components\"");
}

uint32_t ComponentCatalog::ResolveGroup(uint32_t component, std::string_view text) {
    if (const auto id = PlainId(text)) {
        return *id;
    }
    return PickByName(Groups(component), text, "group", DMIERR_GROUP_NOT_FOUND,
                      "\"dmicli groups " + std::to_string(component) + "\"");
}

uint32_t ComponentCatalog::ResolveAttribute(uint32_t component, uint32_t group,
                                            std::string_view text) {
    if (const auto id = PlainId(text)) {
        return *id;
    }
    return PickByName(
        Attributes(component, group), text, "attribute", DMIERR_ATTRIBUTE_NOT_FOUND,
        "\"dmicli attributes " + std::to_string(component) + " " + std::to_string(group) + "\"");
}

const ComponentInfo* ComponentCatalog::FindComponent(uint32_t component) {
    try {
        for (const ComponentInfo& info : Components()) {
            if (info.id == component) {
                return &info;
            }
        }
    } catch (const StatusError&) {
        components_.emplace();
    }
    return nullptr;
}

const GroupInfo* ComponentCatalog::FindGroup(uint32_t component, uint32_t group) {
    try {
        for (const GroupInfo& info : Groups(component)) {
            if (info.id == group) {
                return &info;
            }
        }
    } catch (const StatusError&) {
        groups_[component];  // remember the refusal: ask once per run
    }
    return nullptr;
}

const AttributeInfo* ComponentCatalog::FindAttribute(uint32_t component, uint32_t group,
                                                     uint32_t attribute) {
    try {
        for (const AttributeInfo& info : Attributes(component, group)) {
            if (info.id == attribute) {
                return &info;
            }
        }
    } catch (const StatusError&) {
        attributes_[std::make_pair(component, group)];
    }
    return nullptr;
}

nlohmann::json TableRowKeys(const GroupInfo& group, uint32_t row) {
    nlohmann::json keys = nlohmann::json::array();
    for (size_t i = 0; i < group.keys.size(); ++i) {
        keys.push_back(
            {{"id", group.keys[i]}, {"type", MIF_INTEGER}, {"integer", i == 0 ? row : 1u}});
    }
    return keys;
}

}  // namespace korvo::management

// The installed components, their groups and their attributes as the service provider's
// database describes them: fetched once per run, and used to turn the names an administrator
// types into ids and the ids of answers back into names.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "management/attribute_values.h"
#include "management/management_client.h"

namespace korvo::management {

// The service provider answered with a DMI status other than 0, or what was named does not
// exist (exit status 1).
class StatusError : public std::runtime_error {
  public:
    StatusError(uint32_t status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    uint32_t status() const { return status_; }

  private:
    uint32_t status_;
};

// Sends `request` and returns its response when the status is 0; throws StatusError that
// names `what` was asked and the status otherwise.
nlohmann::json RequestOk(ManagementClient& client, const nlohmann::json& request,
                         const std::string& what);

// The response's status as a 32-bit code.
uint32_t StatusOf(const nlohmann::json& response);

// The service provider's explanation in an answer; empty when it gave none.
std::string ErrorText(const nlohmann::json& response);

struct ComponentInfo {
    uint32_t id = 0;
    std::string name;
    std::string description;
};

struct GroupInfo {
    uint32_t id = 0;
    std::string name;
    std::string className;
    std::string description;
    std::vector<uint32_t> keys;  // attribute ids; not empty for a table
};

// The keys of row `row` of a table as a walk finds its rows: the first key counts the rows
// 1, 2, 3 ..., any further keys stay 1 (integers all).
nlohmann::json TableRowKeys(const GroupInfo& group, uint32_t row);

class ComponentCatalog {
  public:
    // `client` connects on first use, so commands that need no service provider never do.
    explicit ComponentCatalog(std::function<ManagementClient&()> client)
        : client_(std::move(client)) {}

    const std::vector<ComponentInfo>& Components();
    const std::vector<GroupInfo>& Groups(uint32_t component);
    const std::vector<AttributeInfo>& Attributes(uint32_t component, uint32_t group);
    // Lists the attributes of every group of `groups` not yet listed, all in one pipeline. A
    // group whose listing is refused stays unlisted: Attributes asks again and throws.
    void ListAttributes(uint32_t component, std::span<const uint32_t> groups);

    // An id as typed, or the one thing whose name matches (without regard to case; exactly,
    // else as a unique part). Throws StatusError when nothing matches and UsageError when
    // several things do.
    uint32_t ResolveComponent(std::string_view text);
    uint32_t ResolveGroup(uint32_t component, std::string_view text);
    uint32_t ResolveAttribute(uint32_t component, uint32_t group, std::string_view text);

    // Descriptions for display; null when unknown or when the service provider refuses to
    // list them (a connection failure still throws).
    const ComponentInfo* FindComponent(uint32_t component);
    const GroupInfo* FindGroup(uint32_t component, uint32_t group);
    const AttributeInfo* FindAttribute(uint32_t component, uint32_t group, uint32_t attribute);

  private:
    std::function<ManagementClient&()> client_;
    std::optional<std::vector<ComponentInfo>> components_;
    std::map<uint32_t, std::vector<GroupInfo>> groups_;
    std::map<std::pair<uint32_t, uint32_t>, std::vector<AttributeInfo>> attributes_;
};

}  // namespace korvo::management

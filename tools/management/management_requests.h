// The management protocol's requests, one typed function per op (korvo/management_protocol.h
// says what each carries and answers): what a tool hands to ManagementClient::Request or
// Pipeline, so that no tool spells an op or its members by hand.
#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace korvo::management::request {

nlohmann::json ListComponents();
nlohmann::json ListGroups(uint32_t component);
nlohmann::json ListAttributes(uint32_t component, uint32_t group);

// One attribute of the row `keys` selects (a JSON array of KEY), or of the row after it.
nlohmann::json Get(uint32_t component, uint32_t group, uint32_t attribute,
                   const nlohmann::json& keys);
nlohmann::json GetNext(uint32_t component, uint32_t group, uint32_t attribute,
                       const nlohmann::json& keys);

// The attributes `attributes` (a JSON array of ids; null: every readable one) of one row (keys
// null: the row the group answers for none), of
// at most `count` rows from the one `keys` selects (none: as many as one answer carries), or
// of the whole group.
nlohmann::json GetRow(uint32_t component, uint32_t group, const nlohmann::json& keys,
                      const nlohmann::json& attributes = nullptr);
nlohmann::json GetRows(uint32_t component, uint32_t group, const nlohmann::json& keys,
                       std::optional<uint32_t> count = std::nullopt,
                       const nlohmann::json& attributes = nullptr);
nlohmann::json GetGroup(uint32_t component, uint32_t group,
                        const nlohmann::json& attributes = nullptr);

nlohmann::json Set(uint32_t component, uint32_t group, uint32_t attribute,
                   const nlohmann::json& keys, const nlohmann::json& value);

// The logged events after sequence number `since` (none: every one kept), and a subscription
// to the events after it and each one to come.
nlohmann::json Events(std::optional<uint64_t> since = std::nullopt);
nlohmann::json Subscribe(uint64_t since);

nlohmann::json Stats();

}  // namespace korvo::management::request

// One attribute read through the management protocol, and how a read's or a write's answer is
// put into the documents a management tool prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "management/attribute_values.h"
#include "management/management_client.h"
#include "dmi/dmi.h"

namespace korvo::management {

// What a get or get-next answered.
struct Reading {
    uint32_t id = 0;
    const AttributeInfo* info = nullptr;  // null when the MIF does not describe the attribute
    uint32_t status = DMIERR_NO_ERROR;
    nlohmann::json value;  // null when the answer carried none
    std::string error;
};

// Asks for one attribute (op::kGet or op::kGetNext) of the row `keys` select.
Reading ReadAttribute(ManagementClient& client, std::string_view op, uint32_t component,
                      uint32_t group, uint32_t attribute, const AttributeInfo* info,
                      const nlohmann::json& keys);

// A get's answer, or one READING of a multi-value answer, as a Reading of `attribute`.
Reading ReadingFrom(const nlohmann::json& answer, uint32_t attribute, const AttributeInfo* info);

// The status of an answer, by number and name, and the service provider's explanation.
void PutStatus(nlohmann::json& document, uint32_t status, const std::string& error);

// What a read answered: its status and, where it carried one, the value with its display.
void PutReading(nlohmann::json& document, const Reading& reading);

// A read as one entry of a walk: the attribute's id and name, and PutReading's members.
nlohmann::json ReadingJson(const Reading& reading);

}  // namespace korvo::management

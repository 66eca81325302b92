// Attribute reads over the management protocol, and their answers as document members.
#include "management/attribute_reads.h"

#include "management/component_catalog.h"
#include "korvo/management_protocol.h"
#include "management/management_requests.h"
#include "dmi/dmi_names.h"

namespace korvo::management {

using nlohmann::json;

Reading ReadAttribute(ManagementClient& client, std::string_view op, uint32_t component,
                      uint32_t group, uint32_t attribute, const AttributeInfo* info,
                      const json& keys) {
    const json response =
        client.Request(op == op::kGetNext ? request::GetNext(component, group, attribute, keys)
                                          : request::Get(component, group, attribute, keys));
    return ReadingFrom(response, attribute, info);
}

Reading ReadingFrom(const json& answer, uint32_t attribute, const AttributeInfo* info) {
    Reading reading;
    reading.id = attribute;
    reading.info = info;
    reading.status = StatusOf(answer);
    if (const auto value = answer.find("value");
        reading.status == DMIERR_NO_ERROR && value != answer.end()) {
        reading.value = *value;
    }
    reading.error = ErrorText(answer);
    return reading;
}

void PutStatus(json& document, uint32_t status, const std::string& error) {
    document["status"] = status;
    document["statusName"] = dmi::StatusName(status);
    if (!error.empty()) {
        document["error"] = error;
    }
}

void PutReading(json& document, const Reading& reading) {
    PutStatus(document, reading.status, reading.error);
    if (!reading.value.is_null()) {
        document["value"] = AnnotateValue(reading.value, reading.info);
    }
}

json ReadingJson(const Reading& reading) {
    json entry{{"id", reading.id}, {"name", reading.info != nullptr ? reading.info->name : ""}};
    PutReading(entry, reading);
    return entry;
}

}  // namespace korvo::management

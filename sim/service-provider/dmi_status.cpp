// DMI status names for the management protocol and the log.
#include "dmi_status.h"

#include <cstdio>

namespace korvo::sp {

std::string StatusName(DmiErrorStatus status) {
    switch (status) {
        case DMIERR_NO_ERROR:
            return "no error";
        case DMIERR_ATTRIBUTE_NOT_FOUND:
            return "attribute not found";
        case DMIERR_VALUE_EXCEEDS_MAXSIZE:
            return "value exceeds maximum size";
        case DMIERR_COMPONENT_NOT_FOUND:
            return "component not found";
        case DMIERR_GROUP_NOT_FOUND:
            return "group not found";
        case DMIERR_ILLEGAL_KEYS:
            return "illegal keys";
        case DMIERR_ILLEGAL_TO_SET:
            return "illegal to set";
        case DMIERR_ROW_NOT_FOUND:
            return "row not found";
        case DMIERR_DIRECT_INTERFACE_NOT_REGISTERED:
            return "direct interface not registered";
        case DMIERR_DATABASE_CORRUPT:
            return "database corrupt";
        case DMIERR_VALUE_UNKNOWN:
            return "value unknown";
        case DMIERR_BUFFER_FULL:
            return "buffer full";
        case DMIERR_ILL_FORMED_COMMAND:
            return "ill-formed command";
        case DMIERR_ILLEGAL_HANDLE:
            return "illegal handle";
        case DMIERR_OUT_OF_MEMORY:
            return "out of memory";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "status 0x%X", status);
            return text;
        }
    }
}

nlohmann::json Answer(DmiErrorStatus status, const std::string& error) {
    nlohmann::json answer = {{"status", status}};
    if (status != DMIERR_NO_ERROR) {
        answer["statusName"] = StatusName(status);
        if (!error.empty()) {
            answer["error"] = error;
        }
    }
    return answer;
}

}  // namespace korvo::sp

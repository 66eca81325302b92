// The management protocol's answer: a status with its name from the one list of DMI statuses.
#include "management_answer.h"

#include "dmi/dmi_names.h"

namespace korvo::sp {

nlohmann::json Answer(DmiErrorStatus status, const std::string& error) {
    nlohmann::json answer = {{"status", status}};
    if (status != DMIERR_NO_ERROR) {
        answer["statusName"] = dmi::StatusName(status);
        if (!error.empty()) {
            answer["error"] = error;
        }
    }
    return answer;
}

std::string AnswerText(const nlohmann::json& answer) {
    return answer.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

bool SinceMember(const nlohmann::json& request, uint64_t* since, nlohmann::json* refusal) {
    *since = 0;
    if (const auto given = request.find("since"); given != request.end()) {
        if (!given->is_number_unsigned()) {
            *refusal =
                Answer(DMIERR_ILL_FORMED_COMMAND, "\"since\" must be an event sequence number");
            return false;
        }
        *since = given->get<uint64_t>();
    }
    return true;
}

}  // namespace korvo::sp

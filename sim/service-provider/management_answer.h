// The shape of every answer on the management socket: "status", and with a non-zero status its
// "statusName" and, where there is more to say, an "error" text.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "dmi/dmi.h"

namespace korvo::sp {

nlohmann::json Answer(DmiErrorStatus status, const std::string& error = "");

// An answer (or any part of one) as the management socket writes it: one line of JSON, every
// byte ASCII, invalid UTF-8 replaced.
std::string AnswerText(const nlohmann::json& answer);

// A request's "since", the event sequence number it reads after (0 when it gives none); false,
// with the answer refusing the request in `refusal`, when it is not a sequence number.
bool SinceMember(const nlohmann::json& request, uint64_t* since, nlohmann::json* refusal);

}  // namespace korvo::sp

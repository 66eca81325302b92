// The shape of every answer on the management socket: "status", and with a non-zero status its
// "statusName" and, where there is more to say, an "error" text.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "dmi/dmi.h"

namespace korvo::sp {

nlohmann::json Answer(DmiErrorStatus status, const std::string& error = "");

}  // namespace korvo::sp

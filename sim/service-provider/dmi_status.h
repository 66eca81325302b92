// The names of the DMI statuses, and the shape of every answer on the management socket:
// "status", and with a non-zero status its "statusName" and, where there is more to say, an
// "error" text.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "dmi/dmi.h"

namespace korvo::sp {

// "row not found" for 0x10A, ...; "status 0xNNN" for a code the standard does not name here.
std::string StatusName(DmiErrorStatus status);

nlohmann::json Answer(DmiErrorStatus status, const std::string& error = "");

}  // namespace korvo::sp

// What a management tool knows about DMI data: attribute values shown the way an administrator
// reads them, and keys and values typed on the command line turned into the attribute data of the
// management protocol. Status and type names come from dmi/dmi_names.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "dmi/dmi_names.h"

namespace korvo::management {

// Something typed on the command line cannot be what it stands for (exit status 2).
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One attribute as list-attributes describes it.
struct AttributeInfo {
    uint32_t id = 0;
    std::string name;
    std::string description;
    std::string type;  // the MIF type name
    uint32_t maxSize = 0;
    std::string access;
    std::map<int64_t, std::string> enumNames;

    static AttributeInfo FromJson(const nlohmann::json& attribute);
    // The type code its values carry: the MIF type's, integer for an enumeration.
    uint32_t typeCode() const;
};

// A member of a document that holds a 32-bit number (an id, a type, a status); 0 when it is
// absent or not a number.
uint32_t IdIn(const nlohmann::json& object, const char* member);

// True when attribute data carries a value (a status-0 answer may carry only the id).
bool HasValue(const nlohmann::json& value);

// Text in lower case (ASCII), for names matched without regard to case.
std::string Lower(std::string_view text);

// Bytes as pairs of upper-case hexadecimal digits, as "hex" attribute data carries them.
std::string HexOf(std::string_view bytes);

// The bytes of a "text" value: the protocol sends a text's bytes above 0x7F as the code points
// U+0080 to U+00FF, which become single bytes again; any other character stays as its UTF-8.
std::string BytesOfText(const std::string& text);

// The value as a person reads it: display strings as text (trailing NULs dropped), octet
// strings and unprintable bytes as hex pairs, numbers in full, enumerations by their MIF name.
// `info` may be null when the attribute's description is not known.
std::string FormatValue(const nlohmann::json& value, const AttributeInfo* info);

// The attribute data with "typeName" and "display" (FormatValue's text) added, for --json.
nlohmann::json AnnotateValue(const nlohmann::json& value, const AttributeInfo* info);

// A DMI date, yyyymmddHHMMSS.uuuuuu+ooo (ooo: minutes from UTC), as ISO 8601 with its
// offset, "2026-12-10T12:20:38.368408+00:00"; anything else as it is.
std::string IsoTimeOfDmiDate(const std::string& date);

// A moment as local time in ISO 8601 with its offset, to the millisecond (the part below is
// dropped, not rounded).
std::string IsoTimeOf(std::chrono::system_clock::time_point moment);

// A key typed on the command line: a number (decimal or 0x hex) is an integer key, "s:TEXT" a
// display string, "x:HEX" an octet string. Throws UsageError for anything else.
nlohmann::json ParseKey(std::string_view text);

// A value for a set, typed by the attribute's MIF type: numbers for the integer types (or an
// enumeration's name), text for display strings and dates, hex for octet strings. Throws
// UsageError when the text is not such a value or the type is not one the console writes.
nlohmann::json ParseValue(std::string_view text, const AttributeInfo& info);

}  // namespace korvo::management

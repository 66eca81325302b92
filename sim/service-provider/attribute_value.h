// One attribute's id, type and value, detached from the DMI records that carry it: what the
// service provider keeps of a value it has read (from a callback's record, an event, a request
// line) and builds records from. Also its form on the management protocol (KEY and VALUE).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dmi/dmi.h"

namespace korvo::sp {

struct AttributeValue {
    uint32_t id = 0;
    uint32_t type = 0;     // a DMI data type code
    uint64_t integer = 0;  // numeric types: the value's bits, 32-bit types zero-extended
    std::string bytes;     // octet strings, display strings, dates
};

// The size of a date's text (yyyymmddHHMMSS.uuuuuu+ooo and its padding).
constexpr size_t kDateSize = sizeof(DmiTimestamp);
#define KORVO_CHECK_DATE_SIZE(constant, code, name, size) \
    static_assert(constant != MIF_DATE || size == kDateSize, "a date's size, twice");
KORVO_MIF_TYPES(KORVO_CHECK_DATE_SIZE)
#undef KORVO_CHECK_DATE_SIZE

bool IsKnownType(uint32_t type);
bool IsStringType(uint32_t type);  // octet string, display string, date

// The protocol form: {"id","type", and "integer", "text" or "hex"}.
nlohmann::json ToJson(const AttributeValue& value);
// The same written straight as JSON text after `out`, as multi-value answers are written.
void AppendJsonText(const AttributeValue& value, std::string* out);
// A JSON string of `text` (UTF-8) after `out`, as the management socket writes it.
void AppendJsonString(const std::string& text, std::string* out);
// A list of values (a row's keys or values) in that form, in order.
nlohmann::json ToJson(const std::vector<AttributeValue>& values);

// Reads a protocol KEY or VALUE. A missing "id" or "type" takes the default given. On failure
// returns the status to answer (0x201 ill-formed, 0x101 a value too large for its type) and
// sets `error`.
DmiErrorStatus FromJson(const nlohmann::json& json, uint32_t defaultId, uint32_t defaultType,
                        AttributeValue* value, std::string* error);

// Latin-1 bytes as UTF-8, and back (false when a code point above 0xFF is met or the UTF-8 is
// broken). Display strings travel as text this way.
std::string Latin1ToUtf8(const std::string& bytes);
bool Utf8ToLatin1(const std::string& text, std::string* bytes);

std::string ToHex(const std::string& bytes);

}  // namespace korvo::sp

// The names of the DMI status and data type codes, made from the lists in dmi.h: what the
// service provider answers with and writes to its log, and what the console shows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "dmi/dmi.h"
#include "korvo/ascii.h"

namespace korvo::dmi {

struct StatusEntry {
    DmiErrorStatus code;
    const char* name;
};

struct TypeEntry {
    uint32_t code;
    const char* name;  // the MIF type name, or another spelling of it
    uint32_t size;     // the bytes a value takes; 0 for the string types
};

#define KORVO_DMI_STATUS_ENTRY(constant, code, name) StatusEntry{constant, name},
inline constexpr StatusEntry kStatuses[] = {KORVO_DMI_STATUSES(KORVO_DMI_STATUS_ENTRY)};
#undef KORVO_DMI_STATUS_ENTRY

// The types first, then their other spellings, so a code finds its MIF name first.
#define KORVO_MIF_TYPE_ENTRY(constant, code, name, size) TypeEntry{constant, name, size},
#define KORVO_MIF_ALIAS_ENTRY(constant, name) TypeEntry{constant, name, 0},
inline constexpr TypeEntry kTypeWords[] = {KORVO_MIF_TYPES(KORVO_MIF_TYPE_ENTRY)
                                               KORVO_MIF_TYPE_ALIASES(KORVO_MIF_ALIAS_ENTRY)};
#undef KORVO_MIF_TYPE_ENTRY
#undef KORVO_MIF_ALIAS_ENTRY

// "row not found" for 0x10A; null for a code the list does not hold.
constexpr const char* KnownStatusName(DmiErrorStatus status) {
    for (const StatusEntry& entry : kStatuses) {
        if (entry.code == status) {
            return entry.name;
        }
    }
    return nullptr;
}

// "0x10A": how a status code is written.
inline std::string StatusCodeText(DmiErrorStatus status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%03X", status);
    return text;
}

// The status's name, or "status 0x123" for a code the list does not hold.
inline std::string StatusName(DmiErrorStatus status) {
    const char* name = KnownStatusName(status);
    return name != nullptr ? std::string(name) : "status " + StatusCodeText(status);
}

// "row not found (0x10A)"; "status 0x123" for a code the list does not hold.
inline std::string DescribeStatus(DmiErrorStatus status) {
    const char* name = KnownStatusName(status);
    return name != nullptr ? std::string(name) + " (" + StatusCodeText(status) + ")"
                           : "status " + StatusCodeText(status);
}

// The type's entry: "counter64" and 8 bytes for type code 2; null for a code the list does
// not hold.
constexpr const TypeEntry* FindType(uint32_t type) {
    for (const TypeEntry& entry : kTypeWords) {
        if (entry.code == type) {
            return &entry;
        }
    }
    return nullptr;
}

// The type's MIF name, or "type 9" for a code the list does not hold.
inline std::string TypeName(uint32_t type) {
    const TypeEntry* entry = FindType(type);
    return entry != nullptr ? std::string(entry->name) : "type " + std::to_string(type);
}

// The type code of a MIF type name or one of its other spellings, ASCII case ignored; 0 when
// the word names no type.
constexpr uint32_t TypeCodeOfName(std::string_view word) {
    for (const TypeEntry& entry : kTypeWords) {
        if (korvo::AsciiEqualFold(word, entry.name)) {
            return entry.code;
        }
    }
    return 0;
}

}  // namespace korvo::dmi

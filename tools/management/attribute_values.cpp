// Value display and command-line parsing of keys and values for the management tools.
#include "management/attribute_values.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

#include "dmi/dmi.h"
#include "dmi/dmi_names.h"
#include "korvo/ascii.h"
#include "korvo/hex_digit.h"

namespace korvo::management {

namespace {

using nlohmann::json;

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The range of whole numbers a type accepts, as a sign and two magnitudes so that every
// 64-bit range fits without a wider integer.
struct NumberRange {
    uint64_t maxNegativeMagnitude;  // 0: no negative numbers
    uint64_t maxPositive;
};

constexpr NumberRange kUnsigned32{0, std::numeric_limits<uint32_t>::max()};
constexpr NumberRange kUnsigned64{0, std::numeric_limits<uint64_t>::max()};
constexpr NumberRange kSigned32{uint64_t{1} << 31, (uint64_t{1} << 31) - 1};
constexpr NumberRange kSigned64{uint64_t{1} << 63, (uint64_t{1} << 63) - 1};
// A key is a 32-bit word: either reading of it is accepted (-1 and 4294967295 alike).
constexpr NumberRange kKeyRange{uint64_t{1} << 31, std::numeric_limits<uint32_t>::max()};

// Decimal or 0x hexadecimal, with an optional minus; nothing when the text is not a number
// or lies outside `range`.
std::optional<json> ParseNumber(std::string_view text, NumberRange range) {
    bool negative = false;
    if (StartsWith(text, "-")) {
        negative = true;
        text.remove_prefix(1);
    } else if (StartsWith(text, "+")) {
        text.remove_prefix(1);
    }
    int base = 10;
    if (StartsWith(text, "0x") || StartsWith(text, "0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (negative && magnitude != 0) {
        if (magnitude > range.maxNegativeMagnitude) {
            return std::nullopt;
        }
        // -(2^63) has no positive twin; build it from the magnitude minus one.
        return json(-static_cast<int64_t>(magnitude - 1) - 1);
    }
    if (magnitude > range.maxPositive) {
        return std::nullopt;
    }
    return json(magnitude);
}

std::optional<std::string> ParseHex(std::string_view text) {
    std::string digits;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == '-') {
            continue;
        }
        if (HexDigit(c) < 0) {
            return std::nullopt;
        }
        digits.push_back(AsciiUpper(c));
    }
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    return digits;
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// Text typed by a user: as text when it is valid UTF-8 (the protocol's form), else its bytes.
json StringData(uint32_t type, std::string_view text) {
    if (IsValidUtf8(text)) {
        return json{{"type", type}, {"text", std::string(text)}};
    }
    return json{{"type", type}, {"hex", HexOf(text)}};
}

std::string DecodeHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(HexByte(hex[i], hex[i + 1])));
    }
    return bytes;
}

std::string SpacedHex(std::string_view bytes) {
    if (bytes.empty()) {
        return "(empty)";
    }
    std::string shown;
    for (const char c : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%s%02X", shown.empty() ? "" : " ",
                      static_cast<unsigned char>(c));
        shown += pair;
    }
    return shown;
}

std::string_view WithoutTrailingNuls(std::string_view bytes) {
    while (!bytes.empty() && bytes.back() == '\0') {
        bytes.remove_suffix(1);
    }
    return bytes;
}

bool IsPrintableAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// A text as it came in "text": control characters escaped so a line stays one line.
std::string ShowText(std::string_view text) {
    text = WithoutTrailingNuls(text);
    if (text.empty()) {
        return "(empty)";
    }
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            shown += escape;
        } else {
            shown.push_back(c);
        }
    }
    return shown;
}

std::string ShowNumber(const json& number, const AttributeInfo* info) {
    const std::string text = number.dump();
    if (info == nullptr || info->enumNames.empty()) {
        return text;
    }
    std::optional<int64_t> key;
    if (number.is_number_unsigned()) {
        if (number.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            key = static_cast<int64_t>(number.get<uint64_t>());
        }
    } else if (number.is_number_integer()) {
        key = number.get<int64_t>();
    }
    if (key) {
        if (const auto found = info->enumNames.find(*key); found != info->enumNames.end()) {
            return found->second + " (" + text + ")";
        }
    }
    return text;
}

}  // namespace

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
    return lower;
}

std::string HexOf(std::string_view bytes) {
    std::string hex;
    for (const char c : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(c));
        hex += pair;
    }
    return hex;
}

std::string BytesOfText(const std::string& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if ((lead == 0xC2 || lead == 0xC3) && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            bytes.push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
            ++i;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

AttributeInfo AttributeInfo::FromJson(const json& attribute) {
    AttributeInfo info;
    info.id = attribute.value("id", 0u);
    info.name = attribute.value("name", std::string());
    info.description = attribute.value("description", std::string());
    info.type = attribute.value("type", std::string());
    info.maxSize = attribute.value("maxSize", 0u);
    info.access = attribute.value("access", std::string());
    if (const auto names = attribute.find("enum"); names != attribute.end() && names->is_object()) {
        for (const auto& [number, text] : names->items()) {
            const auto parsed = ParseNumber(number, kSigned64);
            if (parsed && text.is_string()) {
                info.enumNames[parsed->get<int64_t>()] = text.get<std::string>();
            }
        }
    }
    return info;
}

uint32_t AttributeInfo::typeCode() const {
    const uint32_t code = dmi::TypeCodeOfName(type);
    return code == 0 && !enumNames.empty() ? MIF_INTEGER : code;
}

uint32_t IdIn(const json& object, const char* member) {
    const auto found = object.find(member);
    return found != object.end() && found->is_number_integer() ? found->get<uint32_t>() : 0;
}

bool HasValue(const json& value) {
    // Type code 0 is no data type: a record whose value was never filled in.
    return value.is_object() && IdIn(value, "type") != 0 &&
           (value.contains("integer") || value.contains("text") || value.contains("hex"));
}

std::string FormatValue(const json& value, const AttributeInfo* info) {
    if (!HasValue(value)) {
        return "(no value)";
    }
    const uint32_t type = IdIn(value, "type");
    if (const auto number = value.find("integer"); number != value.end()) {
        return ShowNumber(*number, info);
    }
    if (const auto text = value.find("text"); text != value.end() && text->is_string()) {
        if (type == MIF_OCTETSTRING) {
            return SpacedHex(BytesOfText(text->get<std::string>()));
        }
        return ShowText(text->get<std::string>());
    }
    const auto hex = value.find("hex");
    const auto digits =
        hex != value.end() && hex->is_string() ? ParseHex(hex->get<std::string>()) : std::nullopt;
    if (!digits) {
        return "(ill-formed value " + value.dump() + ")";
    }
    const std::string bytes = DecodeHex(*digits);
    if (type == MIF_OCTETSTRING) {
        return SpacedHex(bytes);
    }
    // A display string sent as bytes is often text with its C terminator counted (an address
    // text of twelve digits and a NUL): show it as the text it is.
    const std::string_view trimmed = WithoutTrailingNuls(bytes);
    if (!trimmed.empty() && IsPrintableAscii(trimmed)) {
        return std::string(trimmed);
    }
    return SpacedHex(bytes);
}

json AnnotateValue(const json& value, const AttributeInfo* info) {
    json annotated = value.is_object() ? value : json::object();
    if (annotated.contains("type")) {
        annotated["typeName"] = dmi::TypeName(IdIn(value, "type"));
    }
    // A 64-bit number as exact decimal text too: JSON readers that hold numbers as doubles
    // (jq, JavaScript) round those above 2^53.
    const uint32_t type = IdIn(value, "type");
    if (const auto number = value.find("integer");
        (type == MIF_COUNTER64 || type == MIF_INTEGER64) && number != value.end() &&
        number->is_number_integer()) {
        annotated["decimal"] = number->dump();
    }
    annotated["display"] = FormatValue(value, info);
    return annotated;
}

std::string IsoTimeOfDmiDate(const std::string& date) {
    const auto digits = [&](size_t from, size_t count) {
        return std::all_of(date.begin() + from, date.begin() + from + count,
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    if (date.size() != 25 || date[14] != '.' || (date[21] != '+' && date[21] != '-') ||
        !digits(0, 14) || !digits(15, 6) || !digits(22, 3)) {
        return date;
    }
    const int minutes = std::stoi(date.substr(22, 3));
    char offset[16];
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", date[21], minutes / 60 % 100, minutes % 60);
    return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + "T" +
           date.substr(8, 2) + ":" + date.substr(10, 2) + ":" + date.substr(12, 2) +
           date.substr(14, 7) + offset;
}

std::string IsoTimeOf(std::chrono::system_clock::time_point moment) {
    const auto sinceEpoch =
        std::chrono::floor<std::chrono::milliseconds>(moment.time_since_epoch()).count();
    const std::time_t seconds =
        static_cast<std::time_t>(sinceEpoch >= 0 ? sinceEpoch / 1000 : (sinceEpoch - 999) / 1000);
    const auto millis = sinceEpoch - static_cast<int64_t>(seconds) * 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[40];
    char zone[8];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);  // +hhmm
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", stamp, static_cast<int>(millis), zone,
                  zone + 3);
    return text;
}

json ParseKey(std::string_view text) {
    if (StartsWith(text, "s:")) {
        return StringData(MIF_DISPLAYSTRING, text.substr(2));
    }
    if (StartsWith(text, "x:")) {
        if (const auto hex = ParseHex(text.substr(2))) {
            return json{{"type", MIF_OCTETSTRING}, {"hex", *hex}};
        }
        throw UsageError("bad key \"" + std::string(text) +
                         "\": x: takes pairs of hexadecimal digits, such as x:0A1B");
    }
    const std::string_view number = StartsWith(text, "i:") ? text.substr(2) : text;
    if (const auto parsed = ParseNumber(number, kKeyRange)) {
        // An integer key is a signed 32-bit value: 4294967295 goes out as the -1 it stands for.
        if (parsed->is_number_unsigned() &&
            parsed->get<uint64_t>() > uint64_t(std::numeric_limits<int32_t>::max())) {
            return json{{"type", MIF_INTEGER},
                        {"integer", static_cast<int32_t>(parsed->get<uint32_t>())}};
        }
        return json{{"type", MIF_INTEGER}, {"integer", *parsed}};
    }
    throw UsageError("bad key \"" + std::string(text) +
                     "\": a key is a 32-bit number (12, -1 or 0x0C), s:TEXT or x:HEX");
}

json ParseValue(std::string_view text, const AttributeInfo& info) {
    const uint32_t type = info.typeCode();
    const std::string what =
        "bad value \"" + std::string(text) + "\" for " +
        (info.name.empty() ? "attribute " + std::to_string(info.id) : info.name) + " (" +
        (info.type.empty() ? dmi::TypeName(type) : info.type) + ")";
    json data;
    switch (type) {
        case MIF_COUNTER:
        case MIF_GAUGE:
        case MIF_COUNTER64:
        case MIF_INTEGER:
        case MIF_INTEGER64: {
            for (const auto& [number, name] : info.enumNames) {
                if (Lower(name) == Lower(text)) {
                    data = json{{"type", type}, {"integer", number}};
                }
            }
            if (!data.is_null()) {
                break;
            }
            const NumberRange range = type == MIF_COUNTER64   ? kUnsigned64
                                      : type == MIF_INTEGER   ? kSigned32
                                      : type == MIF_INTEGER64 ? kSigned64
                                                              : kUnsigned32;
            const auto number = ParseNumber(text, range);
            if (!number) {
                std::string expected = "a whole number";
                if (!info.enumNames.empty()) {
                    expected += " or one of";
                    for (const auto& [value, name] : info.enumNames) {
                        expected += " \"" + name + "\"";
                    }
                }
                throw UsageError(what + ": expected " + expected + " within the type's range");
            }
            data = json{{"type", type}, {"integer", *number}};
            break;
        }
        case MIF_OCTETSTRING: {
            const auto hex = ParseHex(StartsWith(text, "x:") ? text.substr(2) : text);
            if (!hex) {
                throw UsageError(what + ": expected pairs of hexadecimal digits, such as 0A1B");
            }
            data = json{{"type", type}, {"hex", *hex}};
            break;
        }
        case MIF_DISPLAYSTRING:
        case MIF_DATE:
            data = StringData(type, text);
            break;
        default:
            throw UsageError(
                "cannot write " +
                (info.name.empty() ? "attribute " + std::to_string(info.id) : info.name) +
                ": its type \"" + info.type + "\" is not one the console knows");
    }
    data["id"] = info.id;
    return data;
}

}  // namespace korvo::management

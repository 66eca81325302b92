// Attribute values on the management protocol: numbers as "integer", display strings as "text"
// when they read as text, everything else as "hex".
#include "attribute_value.h"

#include <algorithm>
#include <limits>

#include "dmi/dmi_names.h"
#include "korvo/hex_digit.h"
#include "management_answer.h"

namespace korvo::sp {
namespace {

// A display string reads as text when its bytes are printable; the C terminators that
// instrumentations often count into the length are not part of the text.
bool ReadsAsText(const std::string& bytes, std::string* text) {
    size_t length = bytes.size();
    while (length > 0 && bytes[length - 1] == '\0') {
        --length;
    }
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x20 || byte == 0x7F) {
            return false;
        }
    }
    *text = bytes.substr(0, length);
    return true;
}

}  // namespace

bool IsKnownType(uint32_t type) {
    return dmi::FindType(type) != nullptr;
}

bool IsStringType(uint32_t type) {
    return type == MIF_OCTETSTRING || type == MIF_DISPLAYSTRING || type == MIF_DATE;
}

std::string ToHex(const std::string& bytes) {
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(UpperHexDigit(byte >> 4));
        hex.push_back(UpperHexDigit(byte));
    }
    return hex;
}

std::string Latin1ToUtf8(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

bool Utf8ToLatin1(const std::string& text, std::string* bytes) {
    bytes->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            bytes->push_back(static_cast<char>(lead));
            continue;
        }
        // Only the two-byte forms of U+0080 to U+00FF map onto single bytes.
        if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= text.size()) {
            return false;
        }
        const auto next = static_cast<unsigned char>(text[++i]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        bytes->push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
    }
    return true;
}

void AppendJsonString(const std::string& text, std::string* out) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\';
    });
    if (!plain) {
        *out += AnswerText(nlohmann::json(text));
        return;
    }
    *out += '"';
    *out += text;
    *out += '"';
}

void AppendJsonText(const AttributeValue& value, std::string* out) {
    *out += "{\"id\":";
    *out += std::to_string(value.id);
    *out += ",\"type\":";
    *out += std::to_string(value.type);
    const auto integer = [out](auto number) {
        *out += ",\"integer\":";
        *out += std::to_string(number);
    };
    switch (value.type) {
        case MIF_COUNTER:
        case MIF_GAUGE:
            integer(static_cast<uint32_t>(value.integer));
            break;
        case MIF_INTEGER:
            integer(static_cast<int32_t>(static_cast<uint32_t>(value.integer)));
            break;
        case MIF_COUNTER64:
            integer(value.integer);
            break;
        case MIF_INTEGER64:
            integer(static_cast<int64_t>(value.integer));
            break;
        case MIF_DISPLAYSTRING:
        case MIF_DATE: {
            std::string text;
            if (ReadsAsText(value.bytes, &text)) {
                *out += ",\"text\":";
                AppendJsonString(Latin1ToUtf8(text), out);
                break;
            }
            [[fallthrough]];
        }
        default:
            *out += ",\"hex\":\"";
            *out += ToHex(value.bytes);
            *out += '"';
            break;
    }
    *out += '}';
}

nlohmann::json ToJson(const AttributeValue& value) {
    std::string text;
    AppendJsonText(value, &text);
    return nlohmann::json::parse(text);
}

nlohmann::json ToJson(const std::vector<AttributeValue>& values) {
    nlohmann::json list = nlohmann::json::array();
    for (const AttributeValue& value : values) {
        list.push_back(ToJson(value));
    }
    return list;
}

namespace {

// The number of an integer, counter or 64-bit attribute, checked against its type's range.
DmiErrorStatus NumberFromJson(const nlohmann::json& integer, AttributeValue* value,
                              std::string* error) {
    if (!integer.is_number_integer()) {
        *error = "a value of type " + std::to_string(value->type) +
                 " is given as a whole number in \"integer\"";
        return DMIERR_ILL_FORMED_COMMAND;
    }
    const bool wide = value->type == MIF_COUNTER64 || value->type == MIF_INTEGER64;
    const bool isSigned = value->type == MIF_INTEGER || value->type == MIF_INTEGER64;
    bool fits;
    if (integer.is_number_unsigned()) {
        const auto number = integer.get<uint64_t>();
        fits = wide ? (!isSigned || number <= uint64_t(std::numeric_limits<int64_t>::max()))
                    : number <= (isSigned ? uint64_t(std::numeric_limits<int32_t>::max())
                                          : uint64_t(std::numeric_limits<uint32_t>::max()));
        value->integer = number;
    } else {
        const auto number = integer.get<int64_t>();
        fits = isSigned && (wide || number >= std::numeric_limits<int32_t>::min());
        value->integer = wide ? static_cast<uint64_t>(number)
                              : static_cast<uint32_t>(static_cast<int32_t>(number));
    }
    if (!fits) {
        *error = "the number does not fit type " + std::to_string(value->type);
        return DMIERR_VALUE_EXCEEDS_MAXSIZE;
    }
    return DMIERR_NO_ERROR;
}

// The bytes of a string or date: "hex" as pairs of hexadecimal digits.
DmiErrorStatus BytesOfHex(const nlohmann::json& hex, AttributeValue* value, std::string* error) {
    const std::string digits = hex.is_string() ? hex.get<std::string>() : std::string("?");
    if (digits.size() % 2 != 0) {
        *error = "\"hex\" must be a string of hexadecimal digit pairs";
        return DMIERR_ILL_FORMED_COMMAND;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int byte = HexByte(digits[i], digits[i + 1]);
        if (byte < 0) {
            *error = "\"hex\" must be a string of hexadecimal digit pairs";
            return DMIERR_ILL_FORMED_COMMAND;
        }
        value->bytes.push_back(static_cast<char>(byte));
    }
    return DMIERR_NO_ERROR;
}

// The id and type of a key or value, each defaulted when absent.
DmiErrorStatus IdAndTypeFromJson(const nlohmann::json& json, AttributeValue* value,
                                 std::string* error) {
    if (const auto id = json.find("id"); id != json.end()) {
        if (!id->is_number_unsigned() ||
            id->get<uint64_t>() > std::numeric_limits<uint32_t>::max()) {
            *error = "\"id\" must be an attribute id (0 to 4294967295)";
            return DMIERR_ILL_FORMED_COMMAND;
        }
        value->id = id->get<uint32_t>();
    }
    if (const auto type = json.find("type"); type != json.end()) {
        if (!type->is_number_unsigned() || type->get<uint64_t>() > 0xFF ||
            !IsKnownType(type->get<uint32_t>())) {
            *error = "\"type\" must be a data type code: 1, 2, 3, 5, 6, 7, 8 or 11";
            return DMIERR_ILL_FORMED_COMMAND;
        }
        value->type = type->get<uint32_t>();
    }
    return DMIERR_NO_ERROR;
}

}  // namespace

DmiErrorStatus FromJson(const nlohmann::json& json, uint32_t defaultId, uint32_t defaultType,
                        AttributeValue* value, std::string* error) {
    if (!json.is_object()) {
        *error = "a key or value must be a JSON object";
        return DMIERR_ILL_FORMED_COMMAND;
    }
    *value = AttributeValue{};
    value->id = defaultId;
    value->type = defaultType;
    if (const DmiErrorStatus status = IdAndTypeFromJson(json, value, error);
        status != DMIERR_NO_ERROR) {
        return status;
    }
    const auto integer = json.find("integer");
    const auto text = json.find("text");
    const auto hex = json.find("hex");
    const int given = (integer != json.end()) + (text != json.end()) + (hex != json.end());
    if (given != 1) {
        *error = "a key or value needs exactly one of \"integer\", \"text\" and \"hex\"";
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (!IsStringType(value->type)) {
        if (integer == json.end()) {
            *error = "a value of type " + std::to_string(value->type) +
                     " is given as a whole number in \"integer\"";
            return DMIERR_ILL_FORMED_COMMAND;
        }
        return NumberFromJson(*integer, value, error);
    }
    if (integer != json.end()) {
        *error =
            "a value of type " + std::to_string(value->type) + " is given as \"text\" or \"hex\"";
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (text != json.end()) {
        if (!text->is_string() || !Utf8ToLatin1(text->get<std::string>(), &value->bytes)) {
            *error = "\"text\" must be a string of characters up to U+00FF";
            return DMIERR_ILL_FORMED_COMMAND;
        }
    } else if (const DmiErrorStatus status = BytesOfHex(*hex, value, error);
               status != DMIERR_NO_ERROR) {
        return status;
    }
    if (value->type == MIF_DATE && value->bytes.size() > kDateSize) {
        *error = "a date is at most 28 bytes";
        return DMIERR_VALUE_EXCEEDS_MAXSIZE;
    }
    return DMIERR_NO_ERROR;
}

}  // namespace korvo::sp

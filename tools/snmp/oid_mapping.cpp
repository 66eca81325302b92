// The object-identifier layout, index encoding, and type and status mapping between DMI and
// SNMP (see oid_mapping.h for the layout).
#include "snmp/oid_mapping.h"

#include <charconv>
#include <limits>

#include "dmi/dmi.h"
#include "korvo/hex_digit.h"

namespace korvo::snmp {

namespace {

using nlohmann::json;

// The bytes of a string value: "text" or "hex" (the management protocol's two spellings).
std::optional<std::string> BytesOf(const json& value) {
    if (const auto text = value.find("text"); text != value.end() && text->is_string()) {
        return management::BytesOfText(text->get_ref<const std::string&>());
    }
    const auto hex = value.find("hex");
    if (hex == value.end() || !hex->is_string()) {
        return std::nullopt;
    }
    const std::string& digits = hex->get_ref<const std::string&>();
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int byte = HexByte(digits[i], digits[i + 1]);
        if (byte < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(byte));
    }
    return bytes;
}

std::optional<int64_t> SignedOf(const json& value) {
    const auto number = value.find("integer");
    if (number == value.end()) {
        return std::nullopt;
    }
    if (number->is_number_integer() && !number->is_number_unsigned()) {
        return number->get<int64_t>();
    }
    if (number->is_number_unsigned() &&
        number->get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return static_cast<int64_t>(number->get<uint64_t>());
    }
    return std::nullopt;
}

std::optional<uint64_t> UnsignedOf(const json& value) {
    const auto number = value.find("integer");
    if (number == value.end() || !number->is_number_integer()) {
        return std::nullopt;
    }
    if (number->is_number_unsigned()) {
        return number->get<uint64_t>();
    }
    const int64_t signedValue = number->get<int64_t>();
    return signedValue < 0 ? std::nullopt : std::optional<uint64_t>(signedValue);
}

json AttributeData(uint32_t id, uint32_t type) {
    return json{{"id", id}, {"type", type}};
}

}  // namespace

std::optional<Oid> ParseOid(std::string_view text) {
    if (text.starts_with('.')) {
        text.remove_prefix(1);
    }
    Oid oid;
    while (!text.empty()) {
        uint32_t part = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), part);
        if (error != std::errc() || end == text.data()) {
            return std::nullopt;
        }
        oid.push_back(part);
        text.remove_prefix(static_cast<size_t>(end - text.data()));
        if (!text.empty()) {
            if (text.front() != '.' || text.size() == 1) {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
    }
    if (oid.size() < 2) {
        return std::nullopt;
    }
    return oid;
}

std::string FormatOid(std::span<const uint32_t> oid) {
    std::string text;
    for (const uint32_t part : oid) {
        if (!text.empty()) {
            text += '.';
        }
        text += std::to_string(part);
    }
    return text;
}

Oid Join(const Oid& base, std::initializer_list<uint32_t> tail) {
    Oid oid = base;
    oid.insert(oid.end(), tail.begin(), tail.end());
    return oid;
}

bool StartsWith(std::span<const uint32_t> oid, std::span<const uint32_t> prefix) {
    return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

Oid ComponentOid(const Oid& prefix, uint32_t component) {
    return Join(prefix, {component});
}

Oid ScalarOid(const Oid& prefix, uint32_t component, uint32_t group, uint32_t attribute) {
    return Join(prefix, {component, group, attribute, kScalarInstance});
}

Oid ColumnOid(const Oid& prefix, uint32_t component, uint32_t group, uint32_t attribute) {
    return Join(prefix, {component, group, kTableEntry, attribute});
}

Oid NotificationOid(const Oid& prefix, uint32_t component, uint32_t group) {
    return Join(prefix, {component, kNotifications, group});
}

bool IsStringType(uint32_t dmiType) {
    return dmiType == MIF_OCTETSTRING || dmiType == MIF_DISPLAYSTRING || dmiType == MIF_DATE;
}

std::optional<Oid> IndexOfKeys(const json& keys) {
    Oid index;
    for (const json& key : keys) {
        const uint32_t type = key.value("type", static_cast<uint32_t>(MIF_INTEGER));
        if (IsStringType(type)) {
            const auto bytes = BytesOf(key);
            if (!bytes || bytes->size() > kMaxIndexString) {
                return std::nullopt;
            }
            index.push_back(static_cast<uint32_t>(bytes->size()));
            for (const char c : *bytes) {
                index.push_back(static_cast<unsigned char>(c));
            }
            continue;
        }
        const auto number = UnsignedOf(key);
        if (!number || *number > std::numeric_limits<uint32_t>::max()) {
            return std::nullopt;
        }
        index.push_back(static_cast<uint32_t>(*number));
    }
    return index;
}

std::optional<json> KeysOfIndex(std::span<const uint32_t> index, std::span<const KeyLayout> keys) {
    json values = json::array();
    size_t at = 0;
    for (const KeyLayout& key : keys) {
        if (at >= index.size()) {
            return std::nullopt;
        }
        json value = AttributeData(key.id, IsStringType(key.type) ? key.type : MIF_INTEGER);
        if (!IsStringType(key.type)) {
            // A DMI integer key is signed 32-bit and no index is negative: a larger
            // sub-identifier names no row.
            if (index[at] > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
                return std::nullopt;
            }
            value["integer"] = index[at++];
            values.push_back(std::move(value));
            continue;
        }
        const uint32_t length = index[at++];
        if (length > kMaxIndexString || index.size() - at < length) {
            return std::nullopt;
        }
        std::string bytes;
        for (uint32_t i = 0; i < length; ++i, ++at) {
            if (index[at] > 0xFF) {
                return std::nullopt;
            }
            bytes.push_back(static_cast<char>(index[at]));
        }
        value["hex"] = management::HexOf(bytes);
        values.push_back(std::move(value));
    }
    if (at != index.size()) {
        return std::nullopt;
    }
    return values;
}

SmiType SmiTypeOf(uint32_t dmiType) {
    switch (dmiType) {
        case MIF_COUNTER:
            return {AsnKind::Counter32, "Counter32"};
        case MIF_COUNTER64:
            return {AsnKind::Counter64, "Counter64"};
        case MIF_GAUGE:
            return {AsnKind::Gauge32, "Gauge32"};
        case MIF_INTEGER64:
            return {AsnKind::OctetString, "DmiInteger64"};
        case MIF_OCTETSTRING:
            return {AsnKind::OctetString, "OCTET STRING"};
        case MIF_DISPLAYSTRING:
        case MIF_DATE:
            return {AsnKind::OctetString, "DisplayString"};
        default:
            return {AsnKind::Integer32, "Integer32"};
    }
}

std::optional<SnmpValue> ToSnmpValue(const json& value, uint32_t dmiType) {
    SnmpValue snmp;
    snmp.kind = SmiTypeOf(dmiType).kind;
    switch (dmiType) {
        case MIF_COUNTER:
        case MIF_GAUGE: {
            const auto number = UnsignedOf(value);
            if (!number || *number > std::numeric_limits<uint32_t>::max()) {
                return std::nullopt;
            }
            snmp.integer = static_cast<int64_t>(*number);
            return snmp;
        }
        case MIF_COUNTER64: {
            const auto number = UnsignedOf(value);
            if (!number) {
                return std::nullopt;
            }
            snmp.unsigned64 = *number;
            return snmp;
        }
        case MIF_INTEGER64: {
            const auto number = SignedOf(value);
            if (!number) {
                return std::nullopt;
            }
            snmp.bytes = std::to_string(*number);
            return snmp;
        }
        case MIF_OCTETSTRING:
        case MIF_DISPLAYSTRING:
        case MIF_DATE: {
            auto bytes = BytesOf(value);
            if (!bytes) {
                return std::nullopt;
            }
            if (dmiType != MIF_OCTETSTRING) {
                while (!bytes->empty() && bytes->back() == '\0') {
                    bytes->pop_back();
                }
            }
            snmp.bytes = std::move(*bytes);
            return snmp;
        }
        default: {
            const auto number = SignedOf(value);
            if (!number || *number < std::numeric_limits<int32_t>::min() ||
                *number > std::numeric_limits<int32_t>::max()) {
                return std::nullopt;
            }
            snmp.integer = *number;
            return snmp;
        }
    }
}

SetValue FromSnmpValue(const SnmpValue& offered, const management::AttributeInfo& attribute) {
    const uint32_t type = attribute.typeCode();
    // A 64-bit integer is served as its decimal text; a manager that sets it by number (an
    // INTEGER, as an administrator types it without the MIB) is taken at its word too.
    const bool numberForText = type == MIF_INTEGER64 && offered.kind == AsnKind::Integer32;
    if (offered.kind != SmiTypeOf(type).kind && !numberForText) {
        return {std::nullopt, kWrongType};
    }
    json value = AttributeData(attribute.id, type);
    switch (type) {
        case MIF_COUNTER64:
            value["integer"] = offered.unsigned64;
            return {value};
        case MIF_INTEGER64: {
            int64_t number = offered.integer;
            const std::string& text = offered.bytes;
            if (!numberForText) {
                const auto [end, error] =
                    std::from_chars(text.data(), text.data() + text.size(), number);
                if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
                    return {std::nullopt, kWrongValue};
                }
            }
            if (number >= std::numeric_limits<int32_t>::min() &&
                number <= std::numeric_limits<int32_t>::max()) {
                value["type"] = MIF_INTEGER;
            }
            value["integer"] = number;
            return {value};
        }
        case MIF_OCTETSTRING:
        case MIF_DISPLAYSTRING:
        case MIF_DATE: {
            if (attribute.maxSize != 0 && offered.bytes.size() > attribute.maxSize) {
                return {std::nullopt, kWrongLength};
            }
            value["hex"] = management::HexOf(offered.bytes);
            return {value};
        }
        default:
            if (!attribute.enumNames.empty() && !attribute.enumNames.contains(offered.integer)) {
                return {std::nullopt, kWrongValue};
            }
            value["integer"] = offered.integer;
            return {value};
    }
}

ReadFailure ReadFailureOf(uint32_t status) {
    switch (status) {
        case DMIERR_COMPONENT_NOT_FOUND:
        case DMIERR_GROUP_NOT_FOUND:
        case DMIERR_ATTRIBUTE_NOT_FOUND:
            return ReadFailure::NoSuchObject;
        case DMIERR_ROW_NOT_FOUND:
        case DMIERR_ILLEGAL_KEYS:
            return ReadFailure::NoSuchInstance;
        default:
            return ReadFailure::Failed;
    }
}

SnmpError SetErrorOf(uint32_t status, uint32_t dmiType) {
    switch (status) {
        case DMIERR_NO_ERROR:
            return kNoError;
        case DMIERR_ILLEGAL_TO_SET:
            return kNotWritable;
        case DMIERR_VALUE_EXCEEDS_MAXSIZE:
            // The one status for a value too long and a value of a type the instrumentation
            // does not take: the manager chose neither the type nor the length of the object.
            return IsStringType(dmiType) ? kWrongLength : kWrongValue;
        case DMIERR_ROW_NOT_FOUND:
        case DMIERR_ILLEGAL_KEYS:
        case DMIERR_COMPONENT_NOT_FOUND:
        case DMIERR_GROUP_NOT_FOUND:
        case DMIERR_ATTRIBUTE_NOT_FOUND:
            return kNoCreation;
        case DMIERR_DIRECT_INTERFACE_NOT_REGISTERED:
        case DMIERR_OUT_OF_MEMORY:
        case DMIERR_BUFFER_FULL:
            return kResourceUnavailable;
        default:
            return kGenErr;
    }
}

}  // namespace korvo::snmp

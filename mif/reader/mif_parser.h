// The MIF reader: turns the text of a component's MIF file into a Component model (groups,
// attributes, types, enumerations, keys, declared values). It keeps no global state, so the
// service provider, dmi-snmp and the fuzz target can use it freely; anything it does not
// understand is refused with an error that names the file and the line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dmi/dmi.h"

namespace korvo::mif {

// The MIF types, numbered by their DMI data type codes.
enum class DataType : uint32_t {
    Counter = MIF_COUNTER,
    Counter64 = MIF_COUNTER64,
    Gauge = MIF_GAUGE,
    Integer = MIF_INTEGER,
    Integer64 = MIF_INTEGER64,
    OctetString = MIF_OCTETSTRING,
    DisplayString = MIF_DISPLAYSTRING,
    Date = MIF_DATE,
};

enum class Access { ReadOnly, ReadWrite, WriteOnly };
enum class Storage { Common, Specific };

struct EnumItem {
    int64_t number = 0;
    std::string text;
};

struct Enumeration {
    std::string name;  // empty for an enumeration written inside an attribute
    DataType type = DataType::Integer;
    std::vector<EnumItem> items;
    int line = 0;
    // Where each number and each text (ASCII case folded) first occurs in `items`: lookups
    // stay constant-time however long the enumeration is. Kept by Add.
    std::unordered_map<int64_t, size_t> numberIndex;
    std::unordered_map<std::string, size_t> textIndex;

    // Appends `item`; false, with nothing added, when its number is listed already.
    bool Add(EnumItem item);
    const EnumItem* FindText(std::string_view text) const;  // ASCII case ignored
    const EnumItem* FindNumber(int64_t number) const;
};

// A declared value: a number (its two's-complement bits, read by the attribute's type) or text.
struct Value {
    bool isText = false;
    uint64_t integer = 0;
    std::string text;
};

struct Attribute {
    uint32_t id = 0;
    std::string name;
    std::string description;
    DataType type = DataType::Integer;
    uint32_t maxSize = 0;  // bytes: the declared size of strings, the width of numbers
    Access access = Access::ReadOnly;
    Storage storage = Storage::Common;
    // Shared with every attribute that names the same declared enumeration.
    std::shared_ptr<const Enumeration> enumeration;
    std::optional<Value> value;
    int line = 0;
};

struct Group {
    uint32_t id = 0;
    std::string name;
    std::string className;
    std::string description;
    std::vector<uint32_t> keys;  // attribute ids; empty for a group of one row
    std::vector<Attribute> attributes;
    int line = 0;

    const Attribute* FindAttribute(uint32_t attributeId) const;
};

struct Component {
    std::string name;
    std::string description;
    std::vector<Enumeration> enumerations;  // declared at component level
    std::vector<Group> groups;

    const Group* FindGroup(uint32_t groupId) const;
};

struct ParseError {
    std::string file;
    int line = 0;  // 0 when the file as a whole could not be read
    std::string message;

    // "FILE:LINE: MESSAGE", or "FILE: MESSAGE" without a line.
    std::string Describe() const;
};

struct ParseResult {
    std::optional<Component> component;
    ParseError error;  // meaningful when component is empty

    explicit operator bool() const { return component.has_value(); }
};

// Parses MIF text; `fileName` is only used in error messages.
ParseResult ParseMifText(std::string_view text, const std::string& fileName);

// Reads and parses the file at `path` (a Linux path, used as given).
ParseResult ParseMifFile(const std::string& path);

// The type's name in MIF and protocol terms ("counter", "displaystring", ...).
const char* TypeName(DataType type);
// The DMI data type code.
constexpr uint32_t TypeCode(DataType type) {
    return static_cast<uint32_t>(type);
}
const char* AccessName(Access access);  // "read-only", "read-write", "write-only"

}  // namespace korvo::mif

// How DMI components appear to SNMP: the object-identifier layout under a prefix, table
// indexes made of a row's key values, DMI data types as SMIv2 types and values, and DMI
// statuses as the SNMPv2 answers and errors a manager expects. Free of the SNMP library, so
// the subagent and the MIB generator share it and tests can check it alone.
//
// Layout under PREFIX (default 1.3.6.1.4.1.32473.1):
//   PREFIX.C                 component C
//   PREFIX.C.G.A.0           attribute A of group G, a group without keys (one instance)
//   PREFIX.C.G               group G with keys: the table
//   PREFIX.C.G.1             its entry
//   PREFIX.C.G.1.A.INDEX     attribute A of the row whose key values make INDEX
//   PREFIX.C.0.G             the notification of event group G
//   PREFIX.C.0.0             the module's conformance, and dmi-snmp's health objects (health.h)
// INDEX is each key value in the order of the group's key list: an integer as one
// sub-identifier, a string as its length and then one sub-identifier per byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "management/attribute_values.h"

namespace korvo::snmp {

using Oid = std::vector<uint32_t>;

// The documentation enterprise number's arc (RFC 5612), until a vendor's own is configured.
inline constexpr std::string_view kDefaultPrefix = "1.3.6.1.4.1.32473.1";
inline constexpr uint32_t kTableEntry = 1;
inline constexpr uint32_t kScalarInstance = 0;
inline constexpr uint32_t kNotifications = 0;
inline constexpr uint32_t kConformance = 0;  // PREFIX.C.0.0: below the notifications' arc
// A key string longer than this cannot be an index (an OID holds at most 128 sub-identifiers).
inline constexpr size_t kMaxIndexString = 100;

// "1.3.6.1" or ".1.3.6.1"; nothing for text that is not a dotted object identifier.
std::optional<Oid> ParseOid(std::string_view text);
std::string FormatOid(std::span<const uint32_t> oid);
Oid Join(const Oid& base, std::initializer_list<uint32_t> tail);
bool StartsWith(std::span<const uint32_t> oid, std::span<const uint32_t> prefix);

Oid ComponentOid(const Oid& prefix, uint32_t component);
Oid ScalarOid(const Oid& prefix, uint32_t component, uint32_t group, uint32_t attribute);
Oid ColumnOid(const Oid& prefix, uint32_t component, uint32_t group, uint32_t attribute);
Oid NotificationOid(const Oid& prefix, uint32_t component, uint32_t group);

// True for the types whose values are byte strings (octet string, display string, date).
bool IsStringType(uint32_t dmiType);

// The index of a row with these key values (attribute data as the management protocol gives
// them); nothing when a key cannot be an index (a negative integer, an over-long string).
std::optional<Oid> IndexOfKeys(const nlohmann::json& keys);

// Where one key of a table's rows sits in an index: its attribute's id and its MIF type.
struct KeyLayout {
    uint32_t id = 0;
    uint32_t type = 0;
};
// The key values an index stands for, given the layout of the group's keys in order; nothing
// when the index does not decode to exactly those keys, or an integer key would be beyond
// 2147483647 (a DMI integer).
std::optional<nlohmann::json> KeysOfIndex(std::span<const uint32_t> index,
                                          std::span<const KeyLayout> keys);

// The SNMP types a DMI value becomes.
enum class AsnKind { Integer32, Counter32, Gauge32, Counter64, OctetString };

struct SmiType {
    AsnKind kind;
    const char* syntax;  // the SYNTAX as the MIB writes it (without a size)
};
// counter Counter32, counter64 Counter64, gauge Gauge32, integer Integer32, octet string
// OCTET STRING, display string and date DisplayString (a date is its 28 characters at most),
// integer64 DmiInteger64: its value as decimal text, because SMIv2 has no signed 64-bit type
// and a Counter64 may neither go down, go negative nor be written.
SmiType SmiTypeOf(uint32_t dmiType);

// A value as SNMP carries it.
struct SnmpValue {
    AsnKind kind = AsnKind::Integer32;
    int64_t integer = 0;      // Integer32 (signed), Counter32, Gauge32
    uint64_t unsigned64 = 0;  // Counter64
    std::string bytes;        // OctetString

    bool operator==(const SnmpValue&) const = default;
};

// An answer's value (attribute data) as SNMP carries it for an attribute of `dmiType`;
// nothing when the value does not fit that type. Display strings lose their trailing NULs.
std::optional<SnmpValue> ToSnmpValue(const nlohmann::json& value, uint32_t dmiType);

// SNMPv2 error-status codes (RFC 3416), as a set answers.
enum SnmpError : int {
    kNoError = 0,
    kGenErr = 5,
    kWrongType = 7,
    kWrongLength = 8,
    kWrongValue = 10,
    kNoCreation = 11,
    kResourceUnavailable = 13,
    kNotWritable = 17,
};

// A value a manager offers for a set, as attribute data for the management protocol; or the
// error that refuses it. Integer64 values that fit 32 bits go as DMI integers, which every
// instrumentation that writes integers accepts; wider ones keep their own type.
struct SetValue {
    std::optional<nlohmann::json> value;
    SnmpError error = kNoError;
};
SetValue FromSnmpValue(const SnmpValue& offered, const management::AttributeInfo& attribute);

// What a get (or a get-next step) answers for a DMI status other than 0. A value that exists
// but could not be read ("value unknown": the driver failed) is an error, as is a component
// nothing serves now: never a made-up value, and never absence (RFC 3416's genErr).
enum class ReadFailure {
    NoSuchObject,    // the group or attribute does not exist
    NoSuchInstance,  // the row does not exist
    Failed,          // the read failed, or nothing serves the component now: genErr
};
ReadFailure ReadFailureOf(uint32_t status);

// The SNMPv2 error a set answers for a DMI status other than 0.
SnmpError SetErrorOf(uint32_t status, uint32_t dmiType);

}  // namespace korvo::snmp

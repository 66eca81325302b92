// The mapping between DMI and SNMP: object identifiers, row indexes made of key values, DMI
// values as SNMP values and back for sets, and DMI statuses as SNMP answers.
#include "snmp/oid_mapping.h"

#include <gtest/gtest.h>

#include "dmi/dmi.h"

namespace korvo::snmp {
namespace {

using nlohmann::json;

TEST(OidMapping, ParsesDottedIdentifiersAndRefusesAnythingElse) {
    EXPECT_EQ(ParseOid("1.3.6.1.4.1.32473.1"), (Oid{1, 3, 6, 1, 4, 1, 32473, 1}));
    EXPECT_EQ(ParseOid(".1.3.6"), (Oid{1, 3, 6}));
    for (const char* bad : {"", "1", "1..3", "1.3.", "1.x.3", "1.3.99999999999", "-1.3"}) {
        EXPECT_FALSE(ParseOid(bad)) << bad;
    }
}

TEST(OidMapping, LayoutUnderThePrefix) {
    const Oid prefix = *ParseOid(kDefaultPrefix);
    EXPECT_EQ(FormatOid(ScalarOid(prefix, 1, 4, 6)), "1.3.6.1.4.1.32473.1.1.4.6.0");
    EXPECT_EQ(FormatOid(ColumnOid(prefix, 1, 13, 2)), "1.3.6.1.4.1.32473.1.1.13.1.2");
    EXPECT_EQ(FormatOid(NotificationOid(prefix, 1, 22)), "1.3.6.1.4.1.32473.1.1.0.22");
}

TEST(OidMapping, RowIndexesRoundTripThroughKeyValues) {
    const struct {
        json keys;
        std::vector<KeyLayout> layouts;
        Oid index;
    } cases[] = {
        {json::array({{{"id", 1}, {"type", MIF_INTEGER}, {"integer", 7}}}),
         {{1, MIF_INTEGER}},
         {7}},
        {json::array({{{"id", 1}, {"type", MIF_INTEGER}, {"integer", 3}},
                      {{"id", 2}, {"type", MIF_INTEGER}, {"integer", 1}}}),
         {{1, MIF_INTEGER}, {2, MIF_INTEGER}},
         {3, 1}},
        {json::array({{{"id", 5}, {"type", MIF_DISPLAYSTRING}, {"hex", "41420A"}}}),
         {{5, MIF_DISPLAYSTRING}},
         {3, 'A', 'B', '\n'}},
        {json::array({{{"id", 5}, {"type", MIF_DISPLAYSTRING}, {"hex", ""}},
                      {{"id", 6}, {"type", MIF_INTEGER}, {"integer", 0}}}),
         {{5, MIF_DISPLAYSTRING}, {6, MIF_INTEGER}},
         {0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys.dump());
        EXPECT_EQ(IndexOfKeys(c.keys), c.index);
        EXPECT_EQ(KeysOfIndex(c.index, c.layouts), c.keys);
    }
    // A key that cannot be an index, and indexes that are not the group's keys.
    EXPECT_FALSE(IndexOfKeys(json::array({{{"integer", -1}}})));
    EXPECT_FALSE(IndexOfKeys(json::array(
        {{{"type", MIF_OCTETSTRING}, {"hex", std::string(2 * (kMaxIndexString + 1), 'A')}}})));
    const std::vector<KeyLayout> oneString = {{5, MIF_DISPLAYSTRING}};
    const std::vector<KeyLayout> twoIntegers = {{1, MIF_INTEGER}, {2, MIF_INTEGER}};
    EXPECT_FALSE(KeysOfIndex(Oid{3}, twoIntegers));          // too short
    EXPECT_FALSE(KeysOfIndex(Oid{3, 1, 1}, twoIntegers));    // too long
    EXPECT_FALSE(KeysOfIndex(Oid{4, 'A', 'B'}, oneString));  // length beyond the index
    EXPECT_FALSE(KeysOfIndex(Oid{1, 256}, oneString));       // not a byte
    // Past the largest DMI integer: no row, rather than a key no instrumentation takes.
    EXPECT_TRUE(KeysOfIndex(Oid{2147483647, 1}, twoIntegers));
    EXPECT_FALSE(KeysOfIndex(Oid{2147483648, 1}, twoIntegers));
    EXPECT_FALSE(KeysOfIndex(Oid{1, 4294967295}, twoIntegers));
    // A key sent as text: its bytes above 0x7F travel as U+0080 to U+00FF, one byte each in
    // the index, so that the index names the same row again.
    const json textKey =
        json::array({{{"id", 5}, {"type", MIF_DISPLAYSTRING}, {"text", "\u00e9"}}});
    EXPECT_EQ(IndexOfKeys(textKey), (Oid{1, 0xE9}));
    EXPECT_EQ(KeysOfIndex(Oid{1, 0xE9}, oneString),
              json::array({{{"id", 5}, {"type", MIF_DISPLAYSTRING}, {"hex", "E9"}}}));
}

TEST(OidMapping, DmiValuesBecomeTheirSmiTypes) {
    const auto integer = [](AsnKind kind, int64_t n) {
        SnmpValue v;
        v.kind = kind;
        v.integer = n;
        return v;
    };
    const auto octets = [](std::string bytes) {
        SnmpValue v;
        v.kind = AsnKind::OctetString;
        v.bytes = std::move(bytes);
        return v;
    };
    SnmpValue big;
    big.kind = AsnKind::Counter64;
    big.unsigned64 = 18446744073709551615u;
    const struct {
        uint32_t type;
        json value;
        std::optional<SnmpValue> snmp;
    } cases[] = {
        {MIF_COUNTER, {{"integer", 4294967295u}}, integer(AsnKind::Counter32, 4294967295)},
        {MIF_COUNTER, {{"integer", 4294967296u}}, std::nullopt},
        {MIF_GAUGE, {{"integer", 12}}, integer(AsnKind::Gauge32, 12)},
        {MIF_COUNTER64, {{"integer", 18446744073709551615u}}, big},
        {MIF_COUNTER64, {{"integer", -1}}, std::nullopt},
        {MIF_INTEGER, {{"integer", -2147483648}}, integer(AsnKind::Integer32, -2147483648)},
        {MIF_INTEGER, {{"integer", 2147483648}}, std::nullopt},
        {MIF_INTEGER64, {{"integer", -9223372036854775807}}, octets("-9223372036854775807")},
        {MIF_DISPLAYSTRING, {{"text", "en"}}, octets("en")},
        {MIF_DISPLAYSTRING, {{"text", "caf\u00e9"}}, octets("caf\xE9")},  // Latin-1 byte
        {MIF_DISPLAYSTRING, {{"hex", "656E00"}}, octets("en")},           // trailing NULs dropped
        {MIF_OCTETSTRING, {{"hex", "00FF00"}}, octets(std::string("\0\xFF\0", 3))},
        {MIF_OCTETSTRING, {{"hex", "0"}}, std::nullopt},
        {MIF_DATE, {{"text", "00000000000000.000000+000"}}, octets("00000000000000.000000+000")},
        {MIF_INTEGER, {{"text", "5"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.value.dump());
        EXPECT_EQ(ToSnmpValue(c.value, c.type), c.snmp);
    }
}

TEST(OidMapping, SetValuesAreCheckedAgainstTheAttribute) {
    const auto attribute = [](const char* type, uint32_t maxSize = 0) {
        management::AttributeInfo info;
        info.id = 2;
        info.type = type;
        info.maxSize = maxSize;
        info.access = "read-write";
        return info;
    };
    const auto offer = [](AsnKind kind, int64_t n, std::string bytes = {}) {
        SnmpValue v;
        v.kind = kind;
        v.integer = n;
        v.bytes = std::move(bytes);
        return v;
    };
    management::AttributeInfo enumeration = attribute("integer");
    enumeration.enumNames = {{1, "On"}, {2, "Off"}};
    const struct {
        management::AttributeInfo attribute;
        SnmpValue offered;
        json value;  // null when refused
        SnmpError error;
    } cases[] = {
        {attribute("integer"),
         offer(AsnKind::Integer32, 42),
         {{"id", 2}, {"type", MIF_INTEGER}, {"integer", 42}},
         kNoError},
        {attribute("integer"), offer(AsnKind::OctetString, 0, "42"), nullptr, kWrongType},
        {enumeration, offer(AsnKind::Integer32, 3), nullptr, kWrongValue},
        // integer64 as decimal text, sent as a DMI integer when it fits 32 bits
        {attribute("integer64"),
         offer(AsnKind::OctetString, 0, "-1500"),
         {{"id", 2}, {"type", MIF_INTEGER}, {"integer", -1500}},
         kNoError},
        {attribute("integer64"),
         offer(AsnKind::OctetString, 0, "4294967296"),
         {{"id", 2}, {"type", MIF_INTEGER64}, {"integer", 4294967296}},
         kNoError},
        // or as an INTEGER, as a manager without the MIB sends it
        {attribute("integer64"),
         offer(AsnKind::Integer32, 2500),
         {{"id", 2}, {"type", MIF_INTEGER}, {"integer", 2500}},
         kNoError},
        {attribute("integer64"), offer(AsnKind::Counter32, 2500), nullptr, kWrongType},
        {attribute("integer64"), offer(AsnKind::OctetString, 0, "12x"), nullptr, kWrongValue},
        {attribute("integer64"), offer(AsnKind::OctetString, 0, ""), nullptr, kWrongValue},
        {attribute("displaystring", 4),
         offer(AsnKind::OctetString, 0, "abcd"),
         {{"id", 2}, {"type", MIF_DISPLAYSTRING}, {"hex", "61626364"}},
         kNoError},
        {attribute("displaystring", 4), offer(AsnKind::OctetString, 0, "abcde"), nullptr,
         kWrongLength},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute.type + " " + c.offered.bytes + std::to_string(c.offered.integer));
        const SetValue set = FromSnmpValue(c.offered, c.attribute);
        EXPECT_EQ(set.error, c.error);
        EXPECT_EQ(set.value.value_or(nullptr), c.value);
    }
}

TEST(OidMapping, DmiStatusesBecomeTheAnswersAManagerExpects) {
    const struct {
        uint32_t status;
        ReadFailure read;
        SnmpError set;  // for an integer attribute
    } cases[] = {
        {DMIERR_VALUE_UNKNOWN, ReadFailure::Failed, kGenErr},
        {DMIERR_ROW_NOT_FOUND, ReadFailure::NoSuchInstance, kNoCreation},
        {DMIERR_ILLEGAL_KEYS, ReadFailure::NoSuchInstance, kNoCreation},
        {DMIERR_ATTRIBUTE_NOT_FOUND, ReadFailure::NoSuchObject, kNoCreation},
        {DMIERR_GROUP_NOT_FOUND, ReadFailure::NoSuchObject, kNoCreation},
        {DMIERR_ILLEGAL_TO_SET, ReadFailure::Failed, kNotWritable},
        {DMIERR_VALUE_EXCEEDS_MAXSIZE, ReadFailure::Failed, kWrongValue},
        {DMIERR_DIRECT_INTERFACE_NOT_REGISTERED, ReadFailure::Failed, kResourceUnavailable},
        {DMIERR_OUT_OF_MEMORY, ReadFailure::Failed, kResourceUnavailable},
        {DMIERR_DATABASE_CORRUPT, ReadFailure::Failed, kGenErr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(ReadFailureOf(c.status), c.read);
        EXPECT_EQ(SetErrorOf(c.status, MIF_INTEGER), c.set);
    }
    EXPECT_EQ(SetErrorOf(DMIERR_VALUE_EXCEEDS_MAXSIZE, MIF_DISPLAYSTRING), kWrongLength);
}

}  // namespace
}  // namespace korvo::snmp

// How the management tools show attribute data and reads keys and values typed by an administrator.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "management/attribute_values.h"

namespace korvo::management {
namespace {

using nlohmann::json;

AttributeInfo EnumAttribute() {
    return AttributeInfo::FromJson(json::parse(R"({"id":2,"name":"Event Severity",
        "type":"integer","access":"read-only",
        "enum":{"1":"monitor","2":"information","16":"critical"}})"));
}

TEST(FormatValue, ShowsEachTypeTheWayAnAdministratorReadsIt) {
    const AttributeInfo severity = EnumAttribute();
    struct Case {
        const char* value;
        const AttributeInfo* info;
        const char* shown;
    };
    const Case cases[] = {
        {R"({"id":1,"type":8,"text":"KORVO"})", nullptr, "KORVO"},
        // Twelve hex digits and the counted NUL: a display string, shown as its text.
        {R"({"id":2,"type":8,"hex":"30304130433931323334353600"})", nullptr, "00A0C9123456"},
        {R"({"id":6,"type":8,"text":"en\u0000"})", nullptr, "en"},
        {R"({"id":8,"type":8,"hex":"4E4449530000000000"})", nullptr, "NDIS"},
        {R"({"id":3,"type":8,"hex":"0102FF"})", nullptr, "01 02 FF"},
        {R"({"id":3,"type":8,"text":"a\nb"})", nullptr, "a\\x0Ab"},
        {R"({"id":4,"type":7,"hex":"0a1bff"})", nullptr, "0A 1B FF"},
        {R"({"id":4,"type":7,"hex":""})", nullptr, "(empty)"},
        {R"({"id":6,"type":2,"integer":1099511627776})", nullptr, "1099511627776"},
        {R"({"id":6,"type":2,"integer":18446744073709551615})", nullptr, "18446744073709551615"},
        {R"({"id":5,"type":5,"integer":-5})", nullptr, "-5"},
        {R"({"id":2,"type":5,"integer":16})", &severity, "critical (16)"},
        {R"({"id":2,"type":5,"integer":3})", &severity, "3"},
        {R"({"id":5,"type":11,"text":"20240102030405.000000+060"})", nullptr,
         "20240102030405.000000+060"},
        {R"({"id":9})", nullptr, "(no value)"},
        {R"({"id":9,"type":0,"hex":""})", nullptr, "(no value)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatValue(json::parse(c.value), c.info), c.shown) << c.value;
    }
}

TEST(FormatValue, AnnotatedValueKeepsTheDataAndAddsItsDisplay) {
    const json annotated = AnnotateValue(json::parse(R"({"id":2,"type":5,"integer":16})"), nullptr);
    EXPECT_EQ(annotated["integer"], 16);
    EXPECT_EQ(annotated["typeName"], "integer");
    EXPECT_EQ(annotated["display"], "16");
}

TEST(DmiNames, NameTheStandardCodesAndShowOthersByNumber) {
    EXPECT_EQ(dmi::DescribeStatus(0x10A), "row not found (0x10A)");
    EXPECT_EQ(dmi::DescribeStatus(0x101), "value exceeds maximum size (0x101)");
    EXPECT_EQ(dmi::DescribeStatus(0x10B), "direct interface not registered (0x10B)");
    EXPECT_EQ(dmi::DescribeStatus(0x204), "out of memory (0x204)");
    EXPECT_EQ(dmi::DescribeStatus(0x999), "status 0x999");
    EXPECT_EQ(dmi::StatusName(0), "no error");
    EXPECT_EQ(dmi::StatusName(0x1), "status 0x001");

    EXPECT_EQ(dmi::TypeName(MIF_COUNTER64), "counter64");
    EXPECT_EQ(dmi::TypeName(MIF_DATE), "date");
    EXPECT_EQ(dmi::TypeName(9), "type 9");
    const std::pair<const char*, uint32_t> words[] = {
        {"displaystring", MIF_DISPLAYSTRING},
        {"String", MIF_DISPLAYSTRING},
        {"INT64", MIF_INTEGER64},
        {"int", MIF_INTEGER},
        {"octetstring", MIF_OCTETSTRING},
        {"strings", 0},
        {"", 0},
    };
    for (const auto& [word, code] : words) {
        EXPECT_EQ(dmi::TypeCodeOfName(word), code) << word;
    }
}

TEST(ParseKey, TakesNumbersAndTypedStrings) {
    struct Case {
        const char* typed;
        const char* data;
    };
    const Case cases[] = {
        {"3", R"({"type":5,"integer":3})"},
        {"0x0C", R"({"type":5,"integer":12})"},
        {"-1", R"({"type":5,"integer":-1})"},
        {"4294967295", R"({"type":5,"integer":-1})"},
        {"0x80000000", R"({"type":5,"integer":-2147483648})"},
        {"i:7", R"({"type":5,"integer":7})"},
        {"s:Adapter 1", R"({"type":8,"text":"Adapter 1"})"},
        {"x:0a:1b", R"({"type":7,"hex":"0A1B"})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseKey(c.typed), json::parse(c.data)) << c.typed;
    }
    for (const char* bad : {"", "abc", "4294967296", "-2147483649", "1.5", "x:0G", "x:123"}) {
        EXPECT_THROW(ParseKey(bad), UsageError) << bad;
    }
}

TEST(ParseValue, ReadsTheValueByTheAttributesMifType) {
    const auto attribute = [](const char* type) {
        return AttributeInfo::FromJson({{"id", 4}, {"name", "Thing"}, {"type", type}});
    };
    struct Case {
        AttributeInfo info;
        const char* typed;
        const char* data;  // null: refused
    };
    const Case cases[] = {
        {attribute("counter"), "5", R"({"id":4,"type":1,"integer":5})"},
        {attribute("counter"), "-1", nullptr},
        {attribute("gauge"), "4294967296", nullptr},
        {attribute("integer"), "-5", R"({"id":4,"type":5,"integer":-5})"},
        {attribute("int"), "2147483648", nullptr},
        {attribute("integer"), "-2147483649", nullptr},
        {attribute("integer"), "0x7FFFFFFF", R"({"id":4,"type":5,"integer":2147483647})"},
        {attribute("counter64"), "18446744073709551615",
         R"({"id":4,"type":2,"integer":18446744073709551615})"},
        {attribute("integer64"), "-9223372036854775808",
         R"({"id":4,"type":6,"integer":-9223372036854775808})"},
        {attribute("integer"), "twelve", nullptr},
        {EnumAttribute(), "Critical", R"({"id":2,"type":5,"integer":16})"},
        {EnumAttribute(), "2", R"({"id":2,"type":5,"integer":2})"},
        {EnumAttribute(), "warning", nullptr},
        {attribute("octetstring"), "0a1B", R"({"id":4,"type":7,"hex":"0A1B"})"},
        {attribute("octetstring"), "0A1", nullptr},
        {attribute("displaystring"), "hello world", R"({"id":4,"type":8,"text":"hello world"})"},
        {attribute("string"), "12", R"({"id":4,"type":8,"text":"12"})"},
        {attribute("float"), "1", nullptr},
    };
    for (const Case& c : cases) {
        if (c.data == nullptr) {
            EXPECT_THROW(ParseValue(c.typed, c.info), UsageError) << c.info.type << " " << c.typed;
        } else {
            EXPECT_EQ(ParseValue(c.typed, c.info), json::parse(c.data))
                << c.info.type << " " << c.typed;
        }
    }
}

TEST(IsoTimeOfDmiDate, GivesTheOffsetInHoursAndMinutes) {
    const std::pair<const char*, const char*> cases[] = {
        {"20261210122038.368408+000", "2026-12-10T12:20:38.368408+00:00"},
        {"20240102030405.000000+060", "2024-01-02T03:04:05.000000+01:00"},
        {"20240102030405.000000-330", "2024-01-02T03:04:05.000000-05:30"},
        {"2024010203", "2024010203"},  // not a DMI date: kept as it came
        {"20240102030405.000000+0x0", "20240102030405.000000+0x0"},
    };
    for (const auto& [date, iso] : cases) {
        EXPECT_EQ(IsoTimeOfDmiDate(date), iso) << date;
    }
}

}  // namespace
}  // namespace korvo::management

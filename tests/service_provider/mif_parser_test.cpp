// The MIF reader: what it makes of a good file, and that every file it does not understand is
// refused with the line where it stopped.
#include <gtest/gtest.h>

#include <fstream>

#include "large_mif.h"
#include "mif_parser.h"
#include "sp_fixture.h"

namespace korvo::mif {
namespace {

TEST(MifParser, ReadsTheModelOfAGoodFile) {
    const ParseResult result = ParseMifText(korvo::sp::test::kTestMif, "widget.mif");
    ASSERT_TRUE(result) << result.error.Describe();
    const Component& component = *result.component;
    EXPECT_EQ(component.name, "Test Widget");
    ASSERT_EQ(component.groups.size(), 3u);

    const Group* identity = component.FindGroup(1);
    ASSERT_NE(identity, nullptr);
    EXPECT_EQ(identity->className, "DMTF|ComponentID|001");
    const Attribute* manufacturer = identity->FindAttribute(1);
    ASSERT_NE(manufacturer, nullptr);
    EXPECT_EQ(manufacturer->type, DataType::DisplayString);  // string(n) is displaystring(n)
    EXPECT_EQ(manufacturer->maxSize, 64u);
    ASSERT_TRUE(manufacturer->value.has_value());
    EXPECT_EQ(manufacturer->value->text, "Acme");
    const Attribute* verify = identity->FindAttribute(6);
    ASSERT_TRUE(verify->enumeration != nullptr);
    EXPECT_EQ(verify->enumeration->FindNumber(7)->text, "Functioning correctly");
    EXPECT_FALSE(verify->value.has_value());

    const Group* table = component.FindGroup(2);
    EXPECT_EQ(table->keys, std::vector<uint32_t>{1});
    EXPECT_EQ(table->FindAttribute(1)->type, DataType::Integer);  // int
    EXPECT_EQ(table->FindAttribute(2)->access, Access::ReadWrite);
    EXPECT_EQ(table->FindAttribute(2)->storage, Storage::Specific);
    EXPECT_EQ(table->FindAttribute(3)->type, DataType::Counter64);
    EXPECT_EQ(table->FindAttribute(3)->access, Access::ReadOnly);  // the default
    // Named by a component-level enumeration, with the value given by its (case-blind) name.
    const Attribute* state = table->FindAttribute(5);
    ASSERT_TRUE(state->enumeration != nullptr);
    EXPECT_EQ(state->enumeration->name, "Widget State");
    EXPECT_EQ(state->value->integer, 2u);
}

TEST(MifParser, ReadsNumbersAndSeveralStatementsOnALine) {
    const ParseResult result = ParseMifText(R"(
        START COMPONENT NAME = "C"   // keywords in any case
          start group name = "G" class = "X|Y|001" id = 0x10 key = 2, 1
            start attribute name = "A" id = 1 type = integer value = -5 end attribute
            start attribute name = "B" id = 2 type = Int64 value = -9223372036854775808
            end attribute
            start attribute name = "D" id = 3 type = OctetString(4) value = "a\"b\\" end attribute
          end group
        end component)",
                                            "inline.mif");
    ASSERT_TRUE(result) << result.error.Describe();
    const Group& group = result.component->groups.at(0);
    EXPECT_EQ(group.id, 16u);
    EXPECT_EQ(group.keys, (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(static_cast<int64_t>(group.FindAttribute(1)->value->integer), -5);
    EXPECT_EQ(group.FindAttribute(2)->value->integer, uint64_t{1} << 63);
    EXPECT_EQ(group.FindAttribute(3)->value->text, "a\"b\\");
}

struct BadMif {
    const char* text;
    int line;
    const char* says;
};

// Each body is wrapped into a component whose first line is line 1.
TEST(MifParser, RefusesWhatItDoesNotUnderstandNamingTheLine) {
    const auto wrap = [](const std::string& body) {
        return "start component\nname = \"C\"\n" + body + "\nend component\n";
    };
    const std::string group = "start group\nname = \"G\"\nclass = \"X|Y|001\"\nid = 1\n";
    const BadMif cases[] = {
        {"name2 = \"x\"", 3, "unknown statement 'name2'"},
        {"description = \"open", 3, "not closed"},
        {"start group\nname = \"G\"\nend attribute", 5, "closes the group opened on line 3"},
        {"start group\nname = \"G\"\nclass = \"X|Y|001\"\nend group", 3, "no id"},
        {"start table\nend table", 3, "groups and enumerations"},
        {"start group\nname = \"G\"\nname = \"H\"", 5, "given twice (first on line 4)"},
        {"start group\nname = \"G\"\nid = 12ab", 5, "'12a' is not a number"},
        {"description = \"x\" @", 3, "unexpected character '@'"},
        {"description = \"a\\qb\"", 3, "unknown escape"},
    };
    for (const BadMif& bad : cases) {
        SCOPED_TRACE(bad.text);
        const ParseResult result = ParseMifText(wrap(bad.text), "bad.mif");
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error.line, bad.line);
        EXPECT_NE(result.error.message.find(bad.says), std::string::npos) << result.error.message;
    }
    // Attribute-level faults, in a group opened on line 3; the attribute opens on line 7.
    const BadMif attributes[] = {
        {"name = \"A\"\nid = 1\ntype = float", 10, "'float' is neither a type nor an enum"},
        {"name = \"A\"\nid = 1\ntype = displaystring", 10, "needs a size"},
        {"name = \"A\"\nid = 1\ntype = integer(4)", 10, "takes no size"},
        {"name = \"A\"\nid = 1\ntype = string(2)\nvalue = \"abc\"", 11,
         "more than the declared size 2"},
        {"name = \"A\"\nid = 1\ntype = string(2)\nvalue = 5", 11, "must be a string"},
        {"name = \"A\"\nid = 1\ntype = counter\nvalue = -1", 11, "does not fit type counter"},
        {"name = \"A\"\nid = 1\ntype = integer\naccess = read-mostly", 11, "read-only, read-write"},
        {"name = \"A\"\nid = 1\ntype = \"Colours\"", 10, "'Colours' is neither"},
        {"name = \"A\"\nid = 1\ntype = start enum\n1 = \"One\"\nend enum\nvalue = \"Two\"", 13,
         "not a value of the attribute's enumeration"},
        {"name = \"A\"\ntype = integer", 7, "no id"},
    };
    for (const BadMif& bad : attributes) {
        SCOPED_TRACE(bad.text);
        const ParseResult result = ParseMifText(
            wrap(group + "start attribute\n" + bad.text + "\nend attribute\nend group"), "bad.mif");
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error.line, bad.line);
        EXPECT_NE(result.error.message.find(bad.says), std::string::npos) << result.error.message;
    }
}

TEST(MifParser, RefusesGroupsThatContradictThemselves) {
    const BadMif cases[] = {
        {"start component\nname = \"C\"\nstart group\nname = \"G\"\nclass = \"X\"\nid = 1\n"
         "key = 3\nstart attribute\nname = \"A\"\nid = 1\ntype = int\nend attribute\nend group\n"
         "end component",
         7, "key attribute 3 is not an attribute of the group"},
        {"start component\nname = \"C\"\nstart group\nname = \"G\"\nclass = \"X\"\nid = 1\n"
         "end group\nstart group\nname = \"H\"\nclass = \"Y\"\nid = 1\nend group\nend component",
         8, "group id 1 is already used by the group on line 3"},
        {"start component\nname = \"C\"\nstart group\nname = \"G\"\nclass = \"X\"\nid = 1\n", 7,
         "the file ends inside the group opened on line 3"},
        {"start component\nname = \"C\"\nend component\nstart component", 4,
         "after 'end component'"},
        {"start component\nname = \"C\"\nstart enum\nname = \"E\"\n1 = \"a\"\n2 = \"b\"\n"
         "1 = \"c\"\nend enum\nend component",
         7, "enumeration value 1 is listed twice"},
        {"start component\nname = \"C\"\nstart enum\nname = \"E\"\n1 = \"a\"\nend enum\n"
         "start enum\nname = \"e\"\n1 = \"a\"\nend enum\nend component",
         7, "enumeration \"e\" is already declared on line 3"},
        {"start component\nname = \"C\"\nstart group\nname = \"G\"\nclass = \"X\"\nid = 1\n"
         "start attribute\nname = \"A\"\nid = 4\ntype = int\nend attribute\n"
         "start attribute\nname = \"B\"\nid = 4\ntype = int\nend attribute\nend group\n"
         "end component",
         12, "attribute id 4 is already used by the attribute on line 7"},
    };
    for (const BadMif& bad : cases) {
        SCOPED_TRACE(bad.text);
        const ParseResult result = ParseMifText(bad.text, "bad.mif");
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error.line, bad.line);
        EXPECT_NE(result.error.message.find(bad.says), std::string::npos) << result.error.message;
        EXPECT_EQ(result.error.Describe().rfind("bad.mif:" + std::to_string(bad.line) + ": ", 0),
                  0u);
    }
}

// A large file: one enumeration of 100,000 items named by the attributes of a thousand
// groups. How the time grows with the size is bench/mif_scaling's to show.
TEST(MifParser, ReadsALargeFile) {
    constexpr int kItems = 100000;
    constexpr int kGroups = 1000;
    const ParseResult result = ParseMifText(test::LargeMifText(kItems, kGroups), "large.mif");
    ASSERT_TRUE(result) << result.error.Describe();
    EXPECT_EQ(result.component->groups.size(), static_cast<size_t>(kGroups));
    EXPECT_EQ(result.component->FindGroup(kGroups)->FindAttribute(1)->value->integer,
              static_cast<uint64_t>(kItems - kGroups));
}

TEST(MifParser, NamesAFileItCannotRead) {
    const ParseResult result = ParseMifFile("/nonexistent/korvo.mif");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error.line, 0);
    EXPECT_EQ(result.error.Describe().rfind("/nonexistent/korvo.mif: cannot read", 0), 0u);
}

// The component's own MIF, as the agent installs it.
TEST(MifParser, AcceptsTheComponentsMif) {
    const std::string path = std::string(KORVO_SOURCE_DIR) + "/mif/korvo.mif";
    if (!std::ifstream(path)) {
        GTEST_SKIP() << path << " is not there";
    }
    const ParseResult result = ParseMifFile(path);
    ASSERT_TRUE(result) << result.error.Describe();
    bool found = false;
    for (const Group& group : result.component->groups) {
        found = found || group.className.rfind("ZUL|CSR|", 0) == 0;
    }
    EXPECT_TRUE(found) << "no group class begins with ZUL|CSR|";
    for (uint32_t id :
         {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 20u, 21u, 22u}) {
        EXPECT_NE(result.component->FindGroup(id), nullptr) << "group " << id;
    }
}

}  // namespace
}  // namespace korvo::mif

// A component as an SNMP subtree: which attribute and row an identifier names, and the order
// and extent of a walk, over a small component whose reads a function answers.
#include "snmp/component_tree.h"

#include <gtest/gtest.h>

#include "dmi/dmi.h"

namespace korvo::snmp {
namespace {

using nlohmann::json;

management::AttributeInfo Attribute(uint32_t id, const char* type,
                                    const char* access = "read-only") {
    management::AttributeInfo info;
    info.id = id;
    info.name = "attribute " + std::to_string(id);
    info.type = type;
    info.access = access;
    return info;
}

// Group 1: scalars (2 write-only). Group 5: a table of three rows whose
// attribute 2 answers for any row, as a value the instrumentation does not look up by key
// would. Group 7: a table keyed by a string, which can be read by index but not walked.
ComponentTree Component() {
    ComponentTree component;
    component.info = {1, "Test", ""};
    component.groups.push_back(
        {{1, "Scalars", "T|S|001", "", {}},
         {Attribute(1, "integer"), Attribute(2, "integer", "write-only"), Attribute(3, "gauge")}});
    component.groups.push_back(
        {{5, "Table", "T|T|001", "", {1}}, {Attribute(1, "integer"), Attribute(2, "integer")}});
    component.groups.push_back({{7, "Named", "T|N|001", "", {1}},
                                {Attribute(1, "displaystring"), Attribute(2, "integer")}});
    return component;
}

class ComponentTreeTest : public testing::Test {
  protected:
    json Answer(uint32_t group, uint32_t attribute, const json& keys) {
        ++reads_;
        if (unregistered_) {
            return {{"status", DMIERR_DIRECT_INTERFACE_NOT_REGISTERED}};
        }
        const uint32_t row = keys.empty() ? 0 : keys[0].value("integer", 0u);
        if (answer_) {
            if (auto given = answer_(group, attribute, row)) {
                return *given;
            }
        }
        if (group == 1 && attribute == 1) {
            return {{"status", 0}, {"value", {{"id", 1}, {"type", MIF_INTEGER}, {"integer", 10}}}};
        }
        if (group == 1 && attribute == 3) {
            return {{"status", 0}, {"value", {{"id", 3}, {"type", MIF_GAUGE}, {"integer", 3}}}};
        }
        if (group == 5 && attribute == 1) {
            if (row > 3) {
                return {{"status", DMIERR_ROW_NOT_FOUND}};
            }
            return {{"status", 0}, {"value", {{"id", 1}, {"type", MIF_INTEGER}, {"integer", row}}}};
        }
        if (group == 5 && attribute == 2) {
            return {{"status", 0}, {"value", {{"id", 2}, {"type", MIF_INTEGER}, {"integer", 0}}}};
        }
        return {{"status", DMIERR_VALUE_UNKNOWN}};
    }

    std::optional<NextInstance> Next(const Oid& name, bool* unavailable) {
        const ReadFunction read = [&](uint32_t g, uint32_t a, const json& keys) {
            return Answer(g, a, keys);
        };
        const RowCounter rows{
            [&](const GroupTree& group) { return counted_ ? counted_ : CountRows(group, read); },
            [&](const GroupTree&, uint32_t count) { counted_ = count; }};
        return FindNext(component_, prefix_, name, read, rows, unavailable);
    }

    // Every identifier a walk from `start` finds, as text after the component's prefix; and
    // whether the walk ended in an error rather than at the end of the subtree.
    std::vector<std::string> Walk(Oid start, bool* failed) {
        std::vector<std::string> found;
        while (const auto next = Next(start, failed)) {
            found.push_back(FormatOid(next->instance.oid).substr(base_.size()));
            start = next->instance.oid;
        }
        return found;
    }
    std::vector<std::string> Walk(Oid start) {
        bool failed = false;
        auto found = Walk(std::move(start), &failed);
        EXPECT_FALSE(failed);
        return found;
    }

    ComponentTree component_ = Component();
    Oid prefix_ = {1, 3, 6, 1, 4, 1, 32473, 1};
    std::string base_ = "1.3.6.1.4.1.32473.1.1.";
    bool unregistered_ = false;
    // An answer of its own for some reads (group, attribute, row; row 0 for a scalar).
    std::function<std::optional<json>(uint32_t, uint32_t, uint32_t)> answer_;
    int reads_ = 0;
    std::optional<uint32_t> counted_;  // what the key column's walk found
};

TEST_F(ComponentTreeTest, WalkGoesColumnByColumnOverTheRowsTheKeyHas) {
    const std::vector<std::string> whole = {"1.1.0",   "1.3.0",   "5.1.1.1", "5.1.1.2",
                                            "5.1.1.3", "5.1.2.1", "5.1.2.2", "5.1.2.3"};
    EXPECT_EQ(Walk(prefix_), whole);
    // From inside: a row, between rows, past a column's rows, a partial index.
    const struct {
        const char* from;
        const char* first;
    } cases[] = {
        {"1", "1.1.0"},         {"1.1.0", "1.3.0"},       {"1.3.0", "5.1.1.1"},
        {"5.1.1.2", "5.1.1.3"}, {"5.1.1.2.7", "5.1.1.3"}, {"5.1.1.3", "5.1.2.1"},
        {"5.1.1.9", "5.1.2.1"}, {"5.1.1.0", "5.1.1.1"},   {"5", "5.1.1.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        const auto from = ParseOid(base_ + c.from);
        const auto found = Walk(*from);
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found.front(), c.first);
    }
    EXPECT_TRUE(Walk(*ParseOid(base_ + "5.1.2.3")).empty());
    // A name past the table's end counts no rows up to it: the other column has the three.
    counted_.reset();
    EXPECT_EQ(Walk(*ParseOid(base_ + "5.1.1.9")),
              (std::vector<std::string>{"5.1.2.1", "5.1.2.2", "5.1.2.3"}));
}

TEST_F(ComponentTreeTest, IndexesPastEveryRowGoOnToTheNextColumnWithoutReading) {
    for (const char* from :
         {"5.1.1.2147483647", "5.1.1.2147483648", "5.1.1.4294967295", "5.1.1.4294967295.1"}) {
        SCOPED_TRACE(from);
        counted_.reset();
        bool unavailable = false;
        const auto next = Next(*ParseOid(base_ + from), &unavailable);
        ASSERT_TRUE(next);
        EXPECT_EQ(FormatOid(next->instance.oid).substr(base_.size()), "5.1.2.1");
        // A name past the rows tells nothing of how many there are.
        EXPECT_FALSE(counted_.has_value()) << *counted_;
    }
}

// A read that failed is never absence: the walk ends in an error at the instance it could
// not read, a table whose key cannot be read is an error rather than a shorter table, and
// only a row that is not there is stepped over.
TEST_F(ComponentTreeTest, AFailedReadEndsTheWalkInAnErrorWhereAMissingRowIsSteppedOver) {
    const json unknown = {{"status", DMIERR_VALUE_UNKNOWN}};
    const json noValue = {{"status", 0}};
    const json notFound = {{"status", DMIERR_ROW_NOT_FOUND}};
    const struct {
        const char* what;
        uint32_t group, attribute, row;
        json answer;
        const char* from;
        std::vector<std::string> found;
        bool failed;
    } cases[] = {
        {"a scalar's value unknown", 1, 3, 0, unknown, "", {"1.1.0"}, true},
        {"a scalar answered without a value", 1, 3, 0, noValue, "", {"1.1.0"}, true},
        {"a key unknown in the key column", 5, 1, 2, unknown, "1.3.0", {"5.1.1.1"}, true},
        {"a key unknown while another column counts rows", 5, 1, 2, unknown, "5.1.2", {}, true},
        {"a value unknown in another column",
         5,
         2,
         3,
         unknown,
         "5.1.1.3",
         {"5.1.2.1", "5.1.2.2"},
         true},
        {"a row gone from another column",
         5,
         2,
         2,
         notFound,
         "5.1.1.3",
         {"5.1.2.1", "5.1.2.3"},
         false},
        {"a key not found: the table ends",
         5,
         1,
         3,
         notFound,
         "1.3.0",
         {"5.1.1.1", "5.1.1.2", "5.1.2.1", "5.1.2.2"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        counted_.reset();
        answer_ = [&](uint32_t g, uint32_t a, uint32_t row) -> std::optional<json> {
            if (g == c.group && a == c.attribute && row == c.row) {
                return c.answer;
            }
            return std::nullopt;
        };
        bool failed = false;
        const Oid from = *c.from == '\0' ? prefix_ : *ParseOid(base_ + c.from);
        EXPECT_EQ(Walk(from, &failed), c.found);
        EXPECT_EQ(failed, c.failed);
    }
}

TEST_F(ComponentTreeTest, WalkWithoutInstrumentationIsUnavailableNotEmpty) {
    unregistered_ = true;
    bool unavailable = false;
    EXPECT_FALSE(Next(prefix_, &unavailable));
    EXPECT_TRUE(unavailable);
    EXPECT_EQ(reads_, 1);
}

TEST_F(ComponentTreeTest, ResolvesIdentifiersToAttributesAndRows) {
    const struct {
        const char* oid;
        std::optional<std::pair<uint32_t, uint32_t>> instance;  // group, attribute
        json keys;
        ReadFailure failure;
    } cases[] = {
        {"1.1.0", std::pair{1u, 1u}, json::array(), {}},
        {"1.2.0", std::pair{1u, 2u}, json::array(), {}},  // write-only: for sets
        {"1.1.1", std::nullopt, nullptr, ReadFailure::NoSuchInstance},
        {"1.9.0", std::nullopt, nullptr, ReadFailure::NoSuchObject},
        {"9.1.0", std::nullopt, nullptr, ReadFailure::NoSuchObject},
        {"5.1.2.7",
         std::pair{5u, 2u},
         json::array({{{"id", 1}, {"type", MIF_INTEGER}, {"integer", 7}}}),
         {}},
        {"5.1.2.7.1", std::nullopt, nullptr, ReadFailure::NoSuchInstance},
        {"5.1.2.2147483648", std::nullopt, nullptr, ReadFailure::NoSuchInstance},
        {"5.1.2.4294967295", std::nullopt, nullptr, ReadFailure::NoSuchInstance},
        {"5.1.2", std::nullopt, nullptr, ReadFailure::NoSuchInstance},
        {"5.2.2.7", std::nullopt, nullptr, ReadFailure::NoSuchObject},
        {"7.1.2.2.65.66",
         std::pair{7u, 2u},
         json::array({{{"id", 1}, {"type", MIF_DISPLAYSTRING}, {"hex", "4142"}}}),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.oid);
        const Resolved resolved = ResolveInstance(component_, prefix_, *ParseOid(base_ + c.oid));
        ASSERT_EQ(resolved.instance.has_value(), c.instance.has_value());
        if (!c.instance) {
            EXPECT_EQ(resolved.failure, c.failure);
            continue;
        }
        EXPECT_EQ(resolved.instance->group->info.id, c.instance->first);
        EXPECT_EQ(resolved.instance->attribute->id, c.instance->second);
        EXPECT_EQ(resolved.instance->keys, c.keys);
    }
}

}  // namespace
}  // namespace korvo::snmp

// The components the service provider lists, seen as SNMP object trees: which attribute and
// row an object identifier names, and which instance comes next in a walk. Reads go through
// a function, so the same walking rules serve the subagent and its tests.
//
// A table's rows are walked as the console walks them (management::TableRowKeys): the first key
// counts 1, 2, 3 ... and any further keys stay 1. The table ends at the first row its first key
// attribute does not find ("row not found"), or after kMaxWalkRows; a key that could not be read
// is an error, never the table's end. A read that failed is never absence: a walk that reaches
// one ends in an error there. Only tables whose keys are all integers can be walked; the rows of
// other tables can still be read and written by their index.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "management/attribute_values.h"
#include "management/component_catalog.h"
#include "management/management_client.h"
#include "snmp/oid_mapping.h"

namespace korvo::snmp {

inline constexpr uint32_t kMaxWalkRows = 4096;

struct GroupTree {
    management::GroupInfo info;
    std::vector<management::AttributeInfo> attributes;  // in id order

    bool IsTable() const { return !info.keys.empty(); }
    const management::AttributeInfo* Find(uint32_t attribute) const;
    std::vector<KeyLayout> KeyLayouts() const;  // its keys' layout, in order
    bool Walkable() const;                      // a table whose keys are all integers
};

struct ComponentTree {
    management::ComponentInfo info;
    std::vector<GroupTree> groups;  // in id order

    const GroupTree* Find(uint32_t group) const;
};

// Every component with its groups and attributes, in id order. Throws ConnectionError when
// the service provider cannot be reached and StatusError when it refuses a list.
std::vector<ComponentTree> LoadComponents(management::ManagementClient& client);

// One component of `catalog` with its groups and attributes, in id order; throws as
// LoadComponents does.
ComponentTree LoadComponent(management::ComponentCatalog& catalog,
                            const management::ComponentInfo& component);

// One attribute of one row, as an object identifier names it.
struct Instance {
    const GroupTree* group = nullptr;
    const management::AttributeInfo* attribute = nullptr;
    nlohmann::json keys = nlohmann::json::array();
    Oid oid;
};

// The instance `name` names under the component's subtree (write-only attributes too, for
// sets), or why there is none.
struct Resolved {
    std::optional<Instance> instance;
    ReadFailure failure = ReadFailure::NoSuchObject;
};
Resolved ResolveInstance(const ComponentTree& component, const Oid& prefix, const Oid& name);

// What an answer to a get (or a reading) whose status is not 0 answers: as its status says
// (ReadFailureOf), but a value unknown that no instrumentation was asked for ("unserved": none
// serves the attribute and the MIF declares no value) is no instance, not a failed read.
ReadFailure ReadFailureOfAnswer(const nlohmann::json& answer);

// The management protocol's answer to a get (a JSON object with "status" and, for 0,
// "value"). Throws ConnectionError when the service provider cannot be reached.
using ReadFunction =
    std::function<nlohmann::json(uint32_t group, uint32_t attribute, const nlohmann::json& keys)>;

// How many rows a walk of the table finds (`count`: nothing when a key could not be read, the
// service provider cannot be reached or no instrumentation serves the component), and what a walk
// of its first key attribute found out by itself (`learned`). The subagent keeps the counts for a
// moment, so that a walk of the key column counts the table and the other columns read no extra
// row.
struct RowCounter {
    std::function<std::optional<uint32_t>(const GroupTree& group)> count;
    std::function<void(const GroupTree& group, uint32_t rows)> learned;
};

// Counts the rows of a walkable table by reading its first key attribute row after row;
// nothing when a read of it failed.
std::optional<uint32_t> CountRows(const GroupTree& group, const ReadFunction& read);

// The first instance after `name` in the component's subtree that has a value, with the
// value; nothing at the end of the subtree; `failed` set (and nothing) when the next instance's
// read failed (the value could not be read or does not fit its type, the service provider
// cannot be reached, no instrumentation serves the component). Write-only attributes are left
// out by their MIF access alone.
struct NextInstance {
    Instance instance;
    SnmpValue value;
};
std::optional<NextInstance> FindNext(const ComponentTree& component, const Oid& prefix,
                                     const Oid& name, const ReadFunction& read,
                                     const RowCounter& rows, bool* failed);

}  // namespace korvo::snmp

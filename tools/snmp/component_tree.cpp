// Object identifiers resolved to attributes and rows, and the walk order of a component's
// subtree (see component_tree.h).
#include "snmp/component_tree.h"

#include <algorithm>

#include "dmi/dmi.h"
#include "korvo/management_protocol.h"

namespace korvo::snmp {

namespace {

using nlohmann::json;

template <typename T>
void SortById(std::vector<T>& items, auto idOf) {
    std::sort(items.begin(), items.end(),
              [&](const T& a, const T& b) { return idOf(a) < idOf(b); });
}

bool IsWriteOnly(const management::AttributeInfo& attribute) {
    return attribute.access == "write-only";
}

// A read's outcome in a walk: a value, no such instance (a row that is not there), or a
// failure: a value that exists but could not be read, a value that does not fit its type,
// or nothing serving the component. A failure is never absence: the walk ends in an error.
enum class Step { Value, Absent, Failed };

Step ReadStep(const json& answer, const management::AttributeInfo& attribute, SnmpValue* value) {
    if (management::StatusOf(answer) != DMIERR_NO_ERROR) {
        return ReadFailureOfAnswer(answer) == ReadFailure::Failed ? Step::Failed : Step::Absent;
    }
    const auto found = answer.find("value");
    if (found == answer.end()) {
        return Step::Failed;
    }
    const auto converted = ToSnmpValue(*found, attribute.typeCode());
    if (!converted) {
        return Step::Failed;
    }
    *value = *converted;
    return Step::Value;
}

}  // namespace

ReadFailure ReadFailureOfAnswer(const json& answer) {
    if (answer.value(management::kUnservedMember, false)) {
        return ReadFailure::NoSuchInstance;
    }
    return ReadFailureOf(management::StatusOf(answer));
}

const management::AttributeInfo* GroupTree::Find(uint32_t attribute) const {
    const auto found = std::find_if(attributes.begin(), attributes.end(),
                                    [&](const auto& a) { return a.id == attribute; });
    return found == attributes.end() ? nullptr : &*found;
}

std::vector<KeyLayout> GroupTree::KeyLayouts() const {
    std::vector<KeyLayout> keys;
    for (const uint32_t id : info.keys) {
        const management::AttributeInfo* attribute = Find(id);
        keys.push_back({id, attribute != nullptr ? attribute->typeCode() : MIF_INTEGER});
    }
    return keys;
}

bool GroupTree::Walkable() const {
    const auto keys = KeyLayouts();
    return IsTable() && std::none_of(keys.begin(), keys.end(),
                                     [](const KeyLayout& k) { return IsStringType(k.type); });
}

const GroupTree* ComponentTree::Find(uint32_t group) const {
    const auto found = std::find_if(groups.begin(), groups.end(),
                                    [&](const auto& g) { return g.info.id == group; });
    return found == groups.end() ? nullptr : &*found;
}

ComponentTree LoadComponent(management::ComponentCatalog& catalog,
                            const management::ComponentInfo& component) {
    ComponentTree tree{component, {}};
    for (const management::GroupInfo& group : catalog.Groups(component.id)) {
        GroupTree groupTree{group, catalog.Attributes(component.id, group.id)};
        SortById(groupTree.attributes, [](const auto& a) { return a.id; });
        tree.groups.push_back(std::move(groupTree));
    }
    SortById(tree.groups, [](const GroupTree& g) { return g.info.id; });
    return tree;
}

std::vector<ComponentTree> LoadComponents(management::ManagementClient& client) {
    management::ComponentCatalog catalog([&]() -> management::ManagementClient& { return client; });
    std::vector<ComponentTree> components;
    for (const management::ComponentInfo& component : catalog.Components()) {
        components.push_back(LoadComponent(catalog, component));
    }
    SortById(components, [](const ComponentTree& c) { return c.info.id; });
    return components;
}

Resolved ResolveInstance(const ComponentTree& component, const Oid& prefix, const Oid& name) {
    const Oid base = ComponentOid(prefix, component.info.id);
    // base . G . A . 0, or base . G . 1 . A . INDEX
    if (!StartsWith(name, base) || name.size() < base.size() + 3) {
        return {};
    }
    const std::span<const uint32_t> rest(name.data() + base.size(), name.size() - base.size());
    const GroupTree* group = component.Find(rest[0]);
    if (group == nullptr) {
        return {};
    }
    if (!group->IsTable()) {
        const management::AttributeInfo* attribute = group->Find(rest[1]);
        if (attribute == nullptr) {
            return {};
        }
        if (rest.size() != 3 || rest[2] != kScalarInstance) {
            return {std::nullopt, ReadFailure::NoSuchInstance};
        }
        return {Instance{group, attribute, json::array(), name}};
    }
    if (rest[1] != kTableEntry || rest.size() < 3) {
        return {};
    }
    const management::AttributeInfo* attribute = group->Find(rest[2]);
    if (attribute == nullptr) {
        return {};
    }
    const auto layouts = group->KeyLayouts();
    auto keys = KeysOfIndex(rest.subspan(3), layouts);
    if (!keys) {
        return {std::nullopt, ReadFailure::NoSuchInstance};
    }
    return {Instance{group, attribute, std::move(*keys), name}};
}

std::optional<uint32_t> CountRows(const GroupTree& group, const ReadFunction& read) {
    const management::AttributeInfo* key = group.Find(group.info.keys.at(0));
    if (key == nullptr) {
        return 0;
    }
    for (uint32_t row = 1; row <= kMaxWalkRows; ++row) {
        SnmpValue value;
        switch (ReadStep(read(group.info.id, key->id, management::TableRowKeys(group.info, row)),
                         *key, &value)) {
            case Step::Value:
                continue;
            case Step::Absent:
                return row - 1;
            case Step::Failed:
                return std::nullopt;
        }
    }
    return kMaxWalkRows;
}

namespace {

// The scalar's instance when it comes after `name` and has a value; nothing when it does not,
// and nothing with *failed set when its read failed.
std::optional<NextInstance> NextScalar(const GroupTree& group,
                                       const management::AttributeInfo& attribute, Oid oid,
                                       const Oid& name, const ReadFunction& read, bool* failed) {
    if (!(name < oid)) {
        return std::nullopt;
    }
    SnmpValue value;
    const Step step = ReadStep(read(group.info.id, attribute.id, json::array()), attribute, &value);
    if (step == Step::Failed) {
        *failed = true;
        return std::nullopt;
    }
    if (step == Step::Value) {
        return NextInstance{{&group, &attribute, json::array(), std::move(oid)}, value};
    }
    return std::nullopt;
}

// The first walked row of a column whose index comes after the name's; nothing when the whole
// column comes at or before the name, or the row is past every row a walk reads.
std::optional<uint32_t> FirstRowAfter(const GroupTree& group, const Oid& column, const Oid& name) {
    uint32_t row = 1;
    if (StartsWith(name, column)) {
        const Oid asked(name.begin() + static_cast<ptrdiff_t>(column.size()), name.end());
        if (!asked.empty()) {
            row = std::max<uint32_t>(asked[0], 1);
            const auto index = IndexOfKeys(management::TableRowKeys(group.info, row));
            if (!(asked < *index)) {
                if (row == UINT32_MAX) {
                    return std::nullopt;
                }
                ++row;
            }
        }
    } else if (!(name < column)) {
        return std::nullopt;
    }
    if (row > kMaxWalkRows) {
        return std::nullopt;
    }
    return row;
}

// The column's first instance after `name` that has a value, as NextScalar answers. A row
// of another column that is no longer there is stepped over (the table shrank since it was
// counted); any failed read ends the walk in an error.
std::optional<NextInstance> NextInColumn(const GroupTree& group,
                                         const management::AttributeInfo& attribute,
                                         const Oid& column, const Oid& name,
                                         const ReadFunction& read, const RowCounter& rows,
                                         bool* failed) {
    const std::optional<uint32_t> first = FirstRowAfter(group, column, name);
    if (!first) {
        return std::nullopt;
    }
    uint32_t row = *first;
    // The first key's column ends where a row is not found, and so tells the row count; the
    // other columns end at the count.
    const bool keyColumn = attribute.id == group.info.keys[0];
    std::optional<uint32_t> last = kMaxWalkRows;
    if (!keyColumn) {
        last = rows.count(group);
    }
    if (!last) {
        *failed = true;
        return std::nullopt;
    }
    SnmpValue value;
    for (; row <= *last; ++row) {
        const json keys = management::TableRowKeys(group.info, row);
        const Step step = ReadStep(read(group.info.id, attribute.id, keys), attribute, &value);
        if (step == Step::Failed) {
            *failed = true;
            return std::nullopt;
        }
        if (step == Step::Value) {
            Oid oid = column;
            const auto index = IndexOfKeys(keys);
            oid.insert(oid.end(), index->begin(), index->end());
            return NextInstance{{&group, &attribute, keys, std::move(oid)}, value};
        }
        if (keyColumn) {
            break;
        }
    }
    // The table ends before `row`: a count when the row before it is known to be there (a
    // walk has just read it), not when the name asked after was past the table's end.
    if (keyColumn && (row == 1 || ReadStep(read(group.info.id, attribute.id,
                                                management::TableRowKeys(group.info, row - 1)),
                                           attribute, &value) == Step::Value)) {
        rows.learned(group, row - 1);
    }
    return std::nullopt;
}

}  // namespace

std::optional<NextInstance> FindNext(const ComponentTree& component, const Oid& prefix,
                                     const Oid& name, const ReadFunction& read,
                                     const RowCounter& rows, bool* failed) {
    *failed = false;
    const uint32_t c = component.info.id;
    const Oid base = ComponentOid(prefix, c);
    // A name inside the subtree skips at once the groups that come before its own.
    const bool inside = StartsWith(name, base) && name.size() > base.size();
    for (const GroupTree& group : component.groups) {
        const uint32_t g = group.info.id;
        if (inside && name[base.size()] > g) {
            continue;
        }
        for (const management::AttributeInfo& attribute : group.attributes) {
            if (IsWriteOnly(attribute)) {
                continue;
            }
            std::optional<NextInstance> next;
            if (!group.IsTable()) {
                next = NextScalar(group, attribute, ScalarOid(prefix, c, g, attribute.id), name,
                                  read, failed);
            } else if (group.Walkable()) {
                next = NextInColumn(group, attribute, ColumnOid(prefix, c, g, attribute.id), name,
                                    read, rows, failed);
            }
            if (next || *failed) {
                return next;
            }
        }
    }
    return std::nullopt;
}

}  // namespace korvo::snmp

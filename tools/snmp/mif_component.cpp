// A component's SNMP tree from its MIF file (see mif_component.h).
#include "snmp/mif_component.h"

#include <algorithm>
#include <stdexcept>

namespace korvo::snmp {

ComponentTree ComponentFromMif(const mif::Component& component, uint32_t id) {
    ComponentTree tree{{id, component.name, component.description}, {}};
    for (const mif::Group& group : component.groups) {
        GroupTree groupTree{{group.id, group.name, group.className, group.description, group.keys},
                            {}};
        for (const mif::Attribute& attribute : group.attributes) {
            management::AttributeInfo info;
            info.id = attribute.id;
            info.name = attribute.name;
            info.description = attribute.description;
            info.type = mif::TypeName(attribute.type);
            info.maxSize = attribute.maxSize;
            info.access = mif::AccessName(attribute.access);
            if (attribute.enumeration) {
                for (const mif::EnumItem& item : attribute.enumeration->items) {
                    info.enumNames.emplace(item.number, item.text);
                }
            }
            groupTree.attributes.push_back(std::move(info));
        }
        std::sort(groupTree.attributes.begin(), groupTree.attributes.end(),
                  [](const auto& a, const auto& b) { return a.id < b.id; });
        tree.groups.push_back(std::move(groupTree));
    }
    std::sort(tree.groups.begin(), tree.groups.end(),
              [](const GroupTree& a, const GroupTree& b) { return a.info.id < b.info.id; });
    return tree;
}

ComponentTree LoadMifComponent(const std::string& path, uint32_t id) {
    const mif::ParseResult parsed = mif::ParseMifFile(path);
    if (!parsed) {
        throw std::runtime_error(parsed.error.Describe());
    }
    return ComponentFromMif(*parsed.component, id);
}

}  // namespace korvo::snmp

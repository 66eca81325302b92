// The lookups over the table of the component's groups (component_groups.h).
#include "instrumentation/component_groups.h"

const ComponentGroup* FindComponentGroup(DmiId groupId) {
    for (const ComponentGroup& group : ComponentGroups) {
        if (group.id == groupId) {
            return &group;
        }
    }
    return nullptr;
}

size_t RegisteredGroupCount() {
    size_t count = 0;
    for (const ComponentGroup& group : ComponentGroups) {
        count += group.registered ? 1 : 0;
    }
    return count;
}

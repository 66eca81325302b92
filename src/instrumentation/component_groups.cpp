// The table of the component's groups, and the lookups over it.
#include "instrumentation/component_groups.h"

const ComponentGroup ComponentGroups[17] = {
    {1, ReadGroup1, true, 6},  // the service provider answers attributes 1 to 5 from the MIF
    {2, ReadGroup2, true, 2},    {3, ReadGroup3, true, 0},   {4, ReadGroup4, true, 0},
    {5, ReadGroup5, true, 0},    {6, ReadGroup6, true, 0},   {7, ReadGroup7, true, 0},
    {8, ReadGroup8, true, 0},    {10, ReadGroup10, true, 0}, {11, ReadGroup11, true, 0},
    {12, ReadGroup12, true, 0},  {13, ReadGroup13, true, 0}, {14, ReadGroup14, true, 0},
    {15, ReadGroup15, true, 0},  {16, ReadGroup16, true, 0}, {20, ReadGroup20, false, 0},
    {21, ReadGroup21, false, 0},
};

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

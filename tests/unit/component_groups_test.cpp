// The component table against the component's MIF: the agent has a reader for every group the
// MIF declares but the failover event's, in the MIF's order, and what the registration names of
// a group is an attribute the MIF declares. The tests that walk every group take them from the
// table, so this is where a group missing from one of the two shows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failover/failover.h"
#include "instrumentation/component_groups.h"
#include "mif_parser.h"

namespace {

korvo::mif::ParseResult ComponentMif() {
    return korvo::mif::ParseMifFile(std::string(KORVO_SOURCE_DIR) + "/mif/korvo.mif");
}

TEST(ComponentGroups, AreTheGroupsOfTheMifButTheFailoverEvent) {
    const auto mif = ComponentMif();
    ASSERT_TRUE(mif) << mif.error.Describe();
    std::vector<DmiId> declared;
    for (const korvo::mif::Group& group : mif.component->groups) {
        if (group.id != EventGenerationGroup) {
            declared.push_back(group.id);
        }
    }
    std::vector<DmiId> served;
    for (const ComponentGroup& group : ComponentGroups) {
        served.push_back(group.id);
        EXPECT_NE(group.read, nullptr) << "group " << group.id;
        EXPECT_EQ(FindComponentGroup(group.id), &group);
    }
    EXPECT_EQ(served, declared);
}

TEST(ComponentGroups, RegisterOnlyAttributesTheMifDeclares) {
    const auto mif = ComponentMif();
    ASSERT_TRUE(mif) << mif.error.Describe();
    for (const ComponentGroup& group : ComponentGroups) {
        const korvo::mif::Group* declared = mif.component->FindGroup(group.id);
        ASSERT_NE(declared, nullptr) << "group " << group.id;
        if (group.registered && group.registeredAttribute != 0) {
            EXPECT_NE(declared->FindAttribute(group.registeredAttribute), nullptr)
                << "group " << group.id << " attribute " << group.registeredAttribute;
        }
    }
}

}  // namespace

// The adapter component's groups as the agent serves them: for each group its reader and what
// the registration's access list names of it. The read dispatch and the access list both come
// from this one table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dmi/dmi.h"
#include "instrumentation/read_rules.h"
#include "korvo/driver_protocol.h"

using GroupReader = DmiErrorStatus (*)(ReadCall& call);

struct ComponentGroup {
    DmiId id;
    GroupReader read;
    bool registered;            // listed in the registration's access list
    DmiId registeredAttribute;  // the attribute the list names; 0 for every attribute
};

// In group order. Groups 20 and 21 (the failover group and its adapter table, which the failover
// event's rows describe) are answered but not registered: the service provider does not route
// their reads to the agent.
extern const ComponentGroup ComponentGroups[17];

// The group's entry, or null for a group the component doesn't have.
const ComponentGroup* FindComponentGroup(DmiId groupId);

// How many (group, attribute) pairs the registration's access list holds.
size_t RegisteredGroupCount();

// The rows of the two writable tables, 1 to these: what their reads serve and their writes take.
inline constexpr uint32_t Group13LastRow = korvo::driver::kGroup13Rows;
inline constexpr uint32_t Group14LastRow = korvo::driver::kGroup14Rows;

// The readers, one per group. Each returns the status of the read; an attribute it doesn't
// list leaves the record as it is and returns 0.
DmiErrorStatus ReadGroup1(ReadCall& call);
DmiErrorStatus ReadGroup2(ReadCall& call);
DmiErrorStatus ReadGroup3(ReadCall& call);
DmiErrorStatus ReadGroup4(ReadCall& call);
DmiErrorStatus ReadGroup5(ReadCall& call);
DmiErrorStatus ReadGroup6(ReadCall& call);
DmiErrorStatus ReadGroup7(ReadCall& call);
DmiErrorStatus ReadGroup8(ReadCall& call);
DmiErrorStatus ReadGroup10(ReadCall& call);
DmiErrorStatus ReadGroup11(ReadCall& call);
DmiErrorStatus ReadGroup12(ReadCall& call);
DmiErrorStatus ReadGroup13(ReadCall& call);
DmiErrorStatus ReadGroup14(ReadCall& call);
DmiErrorStatus ReadGroup15(ReadCall& call);
DmiErrorStatus ReadGroup16(ReadCall& call);
DmiErrorStatus ReadGroup20(ReadCall& call);
DmiErrorStatus ReadGroup21(ReadCall& call);

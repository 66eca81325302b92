// The adapter component's groups as the agent serves them: for each group its reader and what
// the registration's access list names of it. The read dispatch and the access list both come
// from this one table, and so do the tests that walk every group.
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

// The rows of the two writable tables, 1 to these: what their reads serve and their writes take.
inline constexpr uint32_t Group13LastRow = korvo::driver::kGroup13Rows;
inline constexpr uint32_t Group14LastRow = korvo::driver::kGroup14Rows;

// The readers, one per group, in files by what they read. Each returns the status of the read;
// an attribute it doesn't list leaves the record as it is and returns 0.
// read_identification.cpp: the component itself (ComponentID, State Summary, Row Table).
DmiErrorStatus ReadGroup1(ReadCall& call);
DmiErrorStatus ReadGroup2(ReadCall& call);
DmiErrorStatus ReadGroup3(ReadCall& call);
// read_adapter.cpp: the adapter (Adapter, Address Table, Adapter Status).
DmiErrorStatus ReadGroup4(ReadCall& call);
DmiErrorStatus ReadGroup5(ReadCall& call);
DmiErrorStatus ReadGroup7(ReadCall& call);
// read_driver.cpp: the installed driver (Driver, Driver Version).
DmiErrorStatus ReadGroup6(ReadCall& call);
DmiErrorStatus ReadGroup16(ReadCall& call);
// read_counters.cpp: the counters (Counters and Fixed Values, Extended Statistics).
DmiErrorStatus ReadGroup8(ReadCall& call);
DmiErrorStatus ReadGroup15(ReadCall& call);
// read_driver_values.cpp: the single values the driver keeps (Driver Value 23, 24, 25).
DmiErrorStatus ReadGroup10(ReadCall& call);
DmiErrorStatus ReadGroup11(ReadCall& call);
DmiErrorStatus ReadGroup12(ReadCall& call);
// read_driver_tables.cpp: the tables the driver keeps (Driver Table of 125 and of 35 rows).
DmiErrorStatus ReadGroup13(ReadCall& call);
DmiErrorStatus ReadGroup14(ReadCall& call);
// read_failover.cpp: the failover pair (Failover Group, Failover Adapter Table).
DmiErrorStatus ReadGroup20(ReadCall& call);
DmiErrorStatus ReadGroup21(ReadCall& call);

// In group order; its length is the number of groups. Groups 20 and 21 (the failover group and
// its adapter table, which the failover event's rows describe) are answered but not registered:
// the service provider does not route their reads to the agent.
inline constexpr ComponentGroup ComponentGroups[] = {
    {1, ReadGroup1, true, 6},  // the service provider answers attributes 1 to 5 from the MIF
    {2, ReadGroup2, true, 2},    {3, ReadGroup3, true, 0},   {4, ReadGroup4, true, 0},
    {5, ReadGroup5, true, 0},    {6, ReadGroup6, true, 0},   {7, ReadGroup7, true, 0},
    {8, ReadGroup8, true, 0},    {10, ReadGroup10, true, 0}, {11, ReadGroup11, true, 0},
    {12, ReadGroup12, true, 0},  {13, ReadGroup13, true, 0}, {14, ReadGroup14, true, 0},
    {15, ReadGroup15, true, 0},  {16, ReadGroup16, true, 0}, {20, ReadGroup20, false, 0},
    {21, ReadGroup21, false, 0},
};

// The group's entry, or null for a group the component doesn't have.
const ComponentGroup* FindComponentGroup(DmiId groupId);

// How many (group, attribute) pairs the registration's access list holds.
size_t RegisteredGroupCount();

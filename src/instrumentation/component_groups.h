// The adapter component's groups as the agent serves them: for each group its reader and what
// the registration's access list names of it. The read dispatch and the access list both come
// from this one table, and so do the tests that walk every group.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dmi/dmi.h"
#include "instrumentation/component_names.h"
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
inline constexpr uint32_t Table125LastRow = korvo::driver::kTable125Rows;
inline constexpr uint32_t Table35LastRow = korvo::driver::kTable35Rows;

// The readers, one per group, named as the MIF names the group and kept in files by what they
// read. Each returns the status of the read; an attribute it doesn't list leaves the record as
// it is and returns 0.
// read_identification.cpp: the component itself.
DmiErrorStatus ReadComponentId(ReadCall& call);
DmiErrorStatus ReadStateSummary(ReadCall& call);
DmiErrorStatus ReadRowTable(ReadCall& call);
// read_adapter.cpp: the adapter.
DmiErrorStatus ReadAdapter(ReadCall& call);
DmiErrorStatus ReadAddressTable(ReadCall& call);
DmiErrorStatus ReadAdapterStatus(ReadCall& call);
// read_driver.cpp: the installed driver.
DmiErrorStatus ReadDriver(ReadCall& call);
DmiErrorStatus ReadDriverVersion(ReadCall& call);
// read_counters.cpp: the counters.
DmiErrorStatus ReadCountersAndFixedValues(ReadCall& call);
DmiErrorStatus ReadExtendedStatistics(ReadCall& call);
// read_driver_values.cpp: the single values the driver keeps.
DmiErrorStatus ReadDriverValue23(ReadCall& call);
DmiErrorStatus ReadDriverValue24(ReadCall& call);
DmiErrorStatus ReadDriverValue25(ReadCall& call);
// read_driver_tables.cpp: the tables the driver keeps.
DmiErrorStatus ReadDriverTable125Rows(ReadCall& call);
DmiErrorStatus ReadDriverTable35Rows(ReadCall& call);
// read_failover.cpp: the failover pair.
DmiErrorStatus ReadFailoverGroup(ReadCall& call);
DmiErrorStatus ReadFailoverAdapterTable(ReadCall& call);

// In group order; its length is the number of groups. The failover group and its adapter table
// (which the failover event's rows describe) are answered but not registered: the service
// provider does not route their reads to the agent. Of ComponentID the registration names
// Verify alone: the service provider answers the other attributes from the MIF.
inline constexpr ComponentGroup ComponentGroups[] = {
    {component::component_id::kGroupId, ReadComponentId, true, component::component_id::kVerify},
    {component::state_summary::kGroupId, ReadStateSummary, true,
     component::state_summary::kStateSummary},
    {component::row_table::kGroupId, ReadRowTable, true, 0},
    {component::adapter::kGroupId, ReadAdapter, true, 0},
    {component::address_table::kGroupId, ReadAddressTable, true, 0},
    {component::driver::kGroupId, ReadDriver, true, 0},
    {component::adapter_status::kGroupId, ReadAdapterStatus, true, 0},
    {component::counters_and_fixed_values::kGroupId, ReadCountersAndFixedValues, true, 0},
    {component::driver_value_23::kGroupId, ReadDriverValue23, true, 0},
    {component::driver_value_24::kGroupId, ReadDriverValue24, true, 0},
    {component::driver_value_25::kGroupId, ReadDriverValue25, true, 0},
    {component::driver_table_125_rows::kGroupId, ReadDriverTable125Rows, true, 0},
    {component::driver_table_35_rows::kGroupId, ReadDriverTable35Rows, true, 0},
    {component::extended_statistics::kGroupId, ReadExtendedStatistics, true, 0},
    {component::driver_version::kGroupId, ReadDriverVersion, true, 0},
    {component::failover_group::kGroupId, ReadFailoverGroup, false, 0},
    {component::failover_adapter_table::kGroupId, ReadFailoverAdapterTable, false, 0},
};

// The group's entry, or null for a group the component doesn't have.
const ComponentGroup* FindComponentGroup(DmiId groupId);

// How many (group, attribute) pairs the registration's access list holds.
size_t RegisteredGroupCount();

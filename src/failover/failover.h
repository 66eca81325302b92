// Failover monitoring: asking the driver which adapter of the pair is active, and the DMI
// event that tells the service provider when that has changed.
#pragma once

#include "dmi/dmi.h"
#include "instrumentation/component_names.h"

// Asks the driver for the pair's failover status. True when a change is to be reported: the
// active adapter number differs from the one last seen. A driver that does not answer changes
// nothing: false, and the last seen adapter and slot stay. Refreshes activeSlot on every
// successful exchange.
bool CheckFailover();

// Runs on every WM_TIMER that reaches the window procedure: once the library is bound, checks
// for a change and, on one, builds, fills, originates and frees the failover event.
void RunFailoverCheck();

// The event's construction, in calling order. Each returns a DMI status, 0 for success.
DmiErrorStatus BuildFailoverEvent(DmiMultiRowData** event);
DmiErrorStatus FillFailoverEvent(DmiMultiRowData* event);
DmiErrorStatus FillEventRow(DmiRowData* row, DmiUnsigned valueCount, DmiId groupId,
                            const char* classText);
DmiErrorStatus FillEventGenerationRow(DmiAttributeData* keys, DmiAttributeData* values);
void FillAdapterTableRow(DmiAttributeData* keys, DmiAttributeData* values);

inline constexpr DmiId EventGenerationGroup = component::failover_event_generation::kGroupId;
inline constexpr DmiId AdapterTableGroup = component::failover_adapter_table::kGroupId;
inline constexpr char EventGenerationClass[] = "FailoverEventGeneration|QEV^^Failover Event|001";
inline constexpr char AdapterTableClass[] = "QEV|Failover Adapter Table|001";

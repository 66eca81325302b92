// The failover event: a multi-row record with the event-generation row (group 22) and the
// failover adapter table row (group 21), built from new library records each time and
// describing the pair as the last failover check left it.
#include "dmi/dmi_api.h"
#include "failover/failover.h"
#include "state/service_state.h"

namespace {

void SetIntegerEntry(DmiAttributeData& entry, DmiId id, int32_t value) {
    entry.id = id;
    entry.data.type = MIF_INTEGER;
    entry.data.value.integer = value;
}

DmiErrorStatus SetStringEntry(DmiAttributeData& entry, DmiId id, const char* text) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    entry.id = id;
    entry.data.type = MIF_DISPLAYSTRING;
    entry.data.value.str = DmiApi.DmiNewString(text, serviceState.memoryDescriptor, &status);
    return status;
}

}  // namespace

DmiErrorStatus BuildFailoverEvent(DmiMultiRowData** event) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    DmiMultiRowData* rows = DmiApi.DmiNewMultiRowData(2, serviceState.memoryDescriptor, &status);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    for (DmiUnsigned i = 0; i < 2 && status == DMIERR_NO_ERROR; ++i) {
        rows->list[i].keyList =
            DmiApi.DmiNewAttributeValues(1, serviceState.memoryDescriptor, &status);
    }
    if (status == DMIERR_NO_ERROR) {
        status = FillEventRow(&rows->list[0], 7, EventGenerationGroup, EventGenerationClass);
    }
    if (status == DMIERR_NO_ERROR) {
        status = FillEventRow(&rows->list[1], 10, AdapterTableGroup, AdapterTableClass);
    }
    if (status != DMIERR_NO_ERROR) {
        // Nothing is handed out, so nothing made so far may stay allocated.
        DmiApi.DmiFreeMultiRowData(rows, serviceState.memoryDescriptor);
        return status;
    }
    *event = rows;
    return DMIERR_NO_ERROR;
}

DmiErrorStatus FillEventRow(DmiRowData* row, DmiUnsigned valueCount, DmiId groupId,
                            const char* classText) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    row->values = DmiApi.DmiNewAttributeValues(valueCount, serviceState.memoryDescriptor, &status);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    row->compId = serviceState.componentId;
    row->groupId = groupId;
    row->className = DmiApi.DmiNewString(classText, serviceState.memoryDescriptor, &status);
    return status;
}

DmiErrorStatus FillFailoverEvent(DmiMultiRowData* event) {
    DmiRowData& generation = event->list[0];
    DmiRowData& adapter = event->list[1];
    const DmiErrorStatus status =
        FillEventGenerationRow(generation.keyList->list, generation.values->list);
    if (status == DMIERR_NO_ERROR) {
        FillAdapterTableRow(adapter.keyList->list, adapter.values->list);
    }
    return status;
}

DmiErrorStatus FillEventGenerationRow(DmiAttributeData* keys, DmiAttributeData* values) {
    if (keys == nullptr || values == nullptr) {
        return DMIERR_NO_ERROR;
    }
    using namespace component::failover_event_generation;
    SetIntegerEntry(values[0], kEventType, 1);
    SetIntegerEntry(values[1], kEventSeverity, 1);
    SetIntegerEntry(values[2], kIsEventStateBased, 0);
    SetIntegerEntry(values[3], kEventStateKey, 1);
    const DmiErrorStatus status = SetStringEntry(values[4], kAssociatedGroup, AdapterTableClass);
    SetIntegerEntry(values[5], kEventSystem, 0);
    SetIntegerEntry(values[6], kEventSubsystem, 1);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    // The key names the same class again, in a string of its own.
    return SetStringEntry(keys[0], kAssociatedGroup, AdapterTableClass);
}

void FillAdapterTableRow(DmiAttributeData* keys, DmiAttributeData* values) {
    if (keys == nullptr || values == nullptr) {
        return;
    }
    const int32_t active = serviceState.lastActiveAdapter;
    // Adapters 1 and 2 have their labels; any other number the driver reports is named by
    // that number rather than read from outside the table.
    char label[sizeof "Adapter -2147483648"];
    if (active == 1 || active == 2) {
        wsprintfA(label, "%s", AdapterLabels[active - 1]);
    } else {
        wsprintfA(label, "Adapter %d", static_cast<int>(active));
    }
    using namespace component::failover_adapter_table;
    SetIntegerEntry(values[0], kAdapterNumber, active);
    (void)SetStringEntry(values[1], kAdapterLabel, label);  // a failed label lets the event go
    SetIntegerEntry(values[2], kFixedValueAttribute3, 1);
    SetIntegerEntry(values[3], kPhysicalSlot, serviceState.activeSlot);
    SetIntegerEntry(values[4], kFixedValueAttribute5, 1);
    SetIntegerEntry(values[5], kActiveAdapterNumber, active);
    SetIntegerEntry(values[6], kFixedValueAttribute7, 1);
    SetIntegerEntry(values[7], kDriverValue61, 1);
    SetIntegerEntry(values[8], kFixedValueAttribute9, 0);
    SetIntegerEntry(values[9], kStandbyAdapterNumber, active == 1 ? 2 : 1);
    SetIntegerEntry(keys[0], kAdapterNumber, 1);
}

// ReadAttribute: the common steps of every read (the record created, handed out and tagged
// with the attribute id), then the reader of the group, found in the component's group table.
#include "instrumentation/read_attribute.h"

#include "dmi/dmi_api.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/read_rules.h"
#include "state/service_state.h"

DmiErrorStatus ReadAttribute(DmiId /*componentId*/, DmiId groupId, DmiId attributeId,
                             DmiString* /*language*/, DmiAttributeValues* keyList,
                             DmiAttributeData** value, uint32_t mode) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    DmiAttributeData* record = DmiApi.DmiNewAttributeData(serviceState.memoryDescriptor, &status);
    if (status != DMIERR_NO_ERROR) {
        return status;
    }
    // From here on the record belongs to the service provider, whatever the status.
    *value = record;
    record->id = attributeId;

    const ComponentGroup* group = FindComponentGroup(groupId);
    if (group == nullptr) {
        return DMIERR_NO_ERROR;  // a group the component doesn't have: the record holds the id
    }
    ReadCall call{groupId, attributeId, keyList, mode, record};
    return group->read(call);
}

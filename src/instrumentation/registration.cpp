// The registration record that names the adapter component, the seven direct-interface
// callbacks and the (group, attribute) pairs served, built from DMI memory so that the
// registration step can hand it to the service provider and free it right after; and the
// callbacks themselves, which pass the service provider's arguments to their handlers.
#include "instrumentation/registration.h"

#include <cstring>

#include "dmi/dmi_api.h"
#include "instrumentation/component_groups.h"
#include "instrumentation/read_attribute.h"
#include "instrumentation/write_attribute.h"
#include "state/service_state.h"

namespace {

// One zeroed block from the service provider's memory, or null. The status decides; a null
// block under a success status counts as a failure too, since nothing could be written to it.
void* AllocateZeroed(size_t size) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    void* block =
        DmiApi.DmiAlloc(static_cast<DmiUnsigned>(size), serviceState.memoryDescriptor, &status);
    if (status != DMIERR_NO_ERROR || block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, size);
    return block;
}

}  // namespace

DmiErrorStatus OnCiGetAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                                DmiString* language, DmiAttributeValues* keyList,
                                DmiAttributeData** value) {
    return ReadAttribute(componentId, groupId, attributeId, language, keyList, value, ReadModeGet);
}

DmiErrorStatus OnCiGetNextAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                                    DmiString* language, DmiAttributeValues* keyList,
                                    DmiAttributeData** value) {
    return ReadAttribute(componentId, groupId, attributeId, language, keyList, value,
                         ReadModeGetNext);
}

DmiErrorStatus OnCiReserveAttribute(DmiUnsigned first, DmiUnsigned second, DmiUnsigned third,
                                    DmiUnsigned fourth, DmiUnsigned fifth) {
    return CiReserveAttribute(first, second, third, fourth, fifth);
}

DmiErrorStatus OnCiReleaseAttribute(DmiUnsigned first, DmiUnsigned second, DmiUnsigned third,
                                    DmiUnsigned fourth, DmiUnsigned fifth) {
    return CiReleaseAttribute(first, second, third, fourth, fifth);
}

DmiErrorStatus OnCiSetAttribute(DmiId componentId, DmiId groupId, DmiId attributeId,
                                DmiString* language, DmiAttributeValues* keyList,
                                DmiAttributeData* value) {
    return CiSetAttribute(componentId, groupId, attributeId, language, keyList, value);
}

DmiErrorStatus OnCiAddRow(DmiUnsigned row) {
    return CiAddRow(row);
}

DmiErrorStatus OnCiDeleteRow(DmiUnsigned row) {
    return CiDeleteRow(row);
}

int BuildCiRegistration(DmiRegisterInfo** record) {
    serviceState.registration = nullptr;
    if (record != nullptr) {
        *record = nullptr;
    }

    auto* registration = static_cast<DmiRegisterInfo*>(AllocateZeroed(sizeof(DmiRegisterInfo)));
    if (registration == nullptr) {
        return 0;
    }
    registration->compId = serviceState.componentId;
    registration->ciGetAttribute = OnCiGetAttribute;
    registration->ciGetNextAttribute = OnCiGetNextAttribute;
    registration->ciReserveAttribute = OnCiReserveAttribute;
    registration->ciReleaseAttribute = OnCiReleaseAttribute;
    registration->ciSetAttribute = OnCiSetAttribute;
    registration->ciAddRow = OnCiAddRow;
    registration->ciDeleteRow = OnCiDeleteRow;

    // A failure further on gives back what was already allocated: the caller only learns
    // that the record could not be built and has nothing to free.
    auto* access = static_cast<DmiAccessDataList*>(AllocateZeroed(sizeof(DmiAccessDataList)));
    if (access == nullptr) {
        DmiApi.DmiFree(registration, serviceState.memoryDescriptor);
        return 0;
    }
    registration->accessData = access;
    // The pairs the service provider routes to this instrumentation: the registered groups of
    // the component's table, in its order.
    access->size = static_cast<DmiUnsigned>(RegisteredGroupCount());

    auto* entries =
        static_cast<DmiAccessData*>(AllocateZeroed(access->size * sizeof(DmiAccessData)));
    if (entries == nullptr) {
        DmiApi.DmiFree(access, serviceState.memoryDescriptor);
        DmiApi.DmiFree(registration, serviceState.memoryDescriptor);
        return 0;
    }
    DmiAccessData* entry = entries;
    for (const ComponentGroup& group : ComponentGroups) {
        if (group.registered) {
            entry->groupId = group.id;
            entry->attributeId = group.registeredAttribute;
            ++entry;
        }
    }
    access->list = entries;

    serviceState.registration = registration;
    if (record != nullptr) {
        *record = registration;
    }
    return 1;
}

// The DMI entry points of Wcdmi.dll that reach the rows and attributes of a component's groups,
// as a management application asks for them: get, set, get several rows, add and delete rows.
#include <string>
#include <utility>
#include <vector>

#include "entry_point_frame.h"

using namespace korvo::sp;
using namespace korvo::sp::entry;

// ---- Rows and attributes, as a management application asks for them -------------------------

KORVO_EXPORT DmiErrorStatus DmiAddRow(DmiHandle handle, DmiRowData* row) {
    (void)row;
    // The rows of the component's tables come from its instrumentation; the database keeps none.
    return provider.IsManagementHandle(handle) ? DMIERR_ILLEGAL_TO_SET : DMIERR_ILLEGAL_HANDLE;
}

KORVO_EXPORT DmiErrorStatus DmiDeleteRow(DmiHandle handle, DmiRowData* row) {
    (void)row;
    return provider.IsManagementHandle(handle) ? DMIERR_ILLEGAL_TO_SET : DMIERR_ILLEGAL_HANDLE;
}

KORVO_EXPORT DmiErrorStatus DmiGetAttribute(DmiHandle handle, DmiId compId, DmiId groupId,
                                            DmiId attribId, DmiAttributeValues* keyList,
                                            DmiDataUnion** value) {
    return Guarded("DmiGetAttribute", [&]() -> DmiErrorStatus {
        if (value == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *value = nullptr;
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        std::vector<AttributeValue> keys;
        std::string error;
        if (!provider.heap().ReadAttributeValues(keyList, &keys, &error)) {
            return DMIERR_ILLEGAL_KEYS;
        }
        const Outcome outcome = provider.Get(compId, groupId, attribId, keys, false);
        if (outcome.status != DMIERR_NO_ERROR || !outcome.value) {
            return outcome.status;
        }
        return HandOut(value, [&]() -> DmiDataUnion* {
            DmiHeap& heap = provider.heap();
            auto* data = static_cast<DmiDataUnion*>(
                heap.Allocate(sizeof(DmiDataUnion), RecordType::DataUnion, "DmiGetAttribute"));
            DmiAttributeData filled{};
            if (data == nullptr ||
                !heap.FillAttributeData(&filled, *outcome.value, "DmiGetAttribute")) {
                heap.FreeRecord(data, RecordType::DataUnion, "DmiGetAttribute");
                return nullptr;
            }
            *data = filled.data;  // the string, if any, moves along as a block of its own
            return data;
        });
    });
}

KORVO_EXPORT DmiErrorStatus DmiSetAttribute(DmiHandle handle, DmiId compId, DmiId groupId,
                                            DmiId attribId, DmiUnsigned setMode,
                                            DmiAttributeValues* keyList, DmiDataUnion* value) {
    // Set modes: 0 sets; 1 and 2 reserve and release, which this provider has no locks for.
    constexpr DmiUnsigned kSet = 0;
    constexpr DmiUnsigned kRelease = 2;
    return Guarded("DmiSetAttribute", [&]() -> DmiErrorStatus {
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        if (setMode > kRelease) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        std::vector<AttributeValue> keys;
        std::string error;
        if (!provider.heap().ReadAttributeValues(keyList, &keys, &error)) {
            return DMIERR_ILLEGAL_KEYS;
        }
        AttributeValue newValue;
        if (value == nullptr || !provider.heap().ReadDataUnion(value, &newValue, &error)) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        newValue.id = attribId;
        if (setMode != kSet) {
            return DMIERR_NO_ERROR;
        }
        return provider.Set(compId, groupId, attribId, keys, newValue).status;
    });
}

KORVO_EXPORT DmiErrorStatus DmiGetMultiple(DmiHandle handle, DmiMultiRowRequest* request,
                                           DmiMultiRowData** rowData) {
    return Guarded("DmiGetMultiple", [&]() -> DmiErrorStatus {
        if (request == nullptr || rowData == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *rowData = nullptr;
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        DmiHeap& heap = provider.heap();
        std::string error;
        DmiMultiRowRequest header;
        if (!heap.CopyOut(request, sizeof header, &header, &error) ||
            header.size > kMaxListEntries) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        // Each row is looked up below; a database that cannot be opened fails even a request
        // of no rows.
        if (!provider.Database(&error)) {
            return DMIERR_DATABASE_CORRUPT;
        }
        std::vector<RowCopy> rows;
        for (DmiUnsigned i = 0; i < header.size; ++i) {
            DmiRowRequest wanted;
            if (!heap.CopyOut(header.list + i, sizeof wanted, &wanted, &error)) {
                return DMIERR_ILL_FORMED_COMMAND;
            }
            RowCopy row;
            row.componentId = wanted.compId;
            row.groupId = wanted.groupId;
            if (!heap.ReadAttributeValues(wanted.keyList, &row.keys, &error)) {
                return DMIERR_ILLEGAL_KEYS;
            }
            const Found found = provider.Find(wanted.compId, wanted.groupId);
            if (found.status != DMIERR_NO_ERROR) {
                return found.status;
            }
            row.className = found.group->className;
            std::vector<DmiId> attributes;
            if (wanted.attributeId != 0) {
                attributes.push_back(wanted.attributeId);
            } else {
                for (const auto& attribute : found.group->attributes) {
                    attributes.push_back(attribute.id);
                }
            }
            for (const auto& outcome :
                 provider.GetAll(found, attributes, row.keys, wanted.requestMode == DMI_NEXT)) {
                if (!outcome || outcome->status != DMIERR_NO_ERROR || !outcome->value) {
                    return outcome && outcome->status != DMIERR_NO_ERROR ? outcome->status
                                                                         : DMIERR_VALUE_UNKNOWN;
                }
                row.values.push_back(*outcome->value);
            }
            rows.push_back(std::move(row));
        }
        return HandOut(rowData, [&] { return heap.NewMultiRowData(rows, "DmiGetMultiple"); });
    });
}

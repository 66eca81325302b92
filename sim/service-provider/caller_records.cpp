// Reading a caller's DMI records into values; see caller_records.h.
#include "caller_records.h"

#include <cstring>

namespace korvo::sp {
namespace {

// The header of a list record, believed only when its count is within the limit and its
// entries are somewhere: "`what` of N `entries` without room for them" otherwise.
template <typename List>
bool ReadListHeader(const CallerMemory& memory, const List* list, const char* what,
                    const char* entries, List* header, std::string* error) {
    if (!memory.CopyOut(list, sizeof *header, header, error)) {
        return false;
    }
    if (header->size > kMaxCallerListEntries || (header->size > 0 && header->list == nullptr)) {
        *error = std::string(what) + " of " + std::to_string(header->size) + " " + entries +
                 " without room for them";
        return false;
    }
    return true;
}

}  // namespace

bool ReadCountedString(const CallerMemory& memory, const DmiString* string, std::string* bytes,
                       std::string* error) {
    DmiString header;
    if (!memory.CopyOut(string, sizeof header, &header, error)) {
        return false;
    }
    if (header.size > kMaxCallerStringBytes) {
        *error = "a counted string claims " + std::to_string(header.size) + " bytes";
        return false;
    }
    bytes->resize(header.size);
    return memory.CopyOut(header.body, header.size, bytes->data(), error);
}

bool ReadUnionValue(const CallerMemory& memory, const DmiDataUnion& data, AttributeValue* value,
                    std::string* error) {
    value->type = data.type;
    value->integer = 0;
    value->bytes.clear();
    switch (data.type) {
        case MIF_COUNTER:
        case MIF_GAUGE:
        case MIF_INTEGER:
            value->integer = data.value.counter;
            return true;
        case MIF_COUNTER64:
        case MIF_INTEGER64:
            value->integer = data.value.counter64;
            return true;
        case MIF_OCTETSTRING:
        case MIF_DISPLAYSTRING:
            return ReadCountedString(memory, data.value.str, &value->bytes, error);
        case MIF_DATE: {
            DmiTimestamp stamp;
            if (!memory.CopyOut(data.value.date, sizeof stamp, &stamp, error)) {
                return false;
            }
            value->bytes.assign(stamp.text, strnlen(stamp.text, sizeof stamp.text));
            return true;
        }
        default:
            *error = "unknown data type code " + std::to_string(data.type);
            return false;
    }
}

bool ReadAttributeData(const CallerMemory& memory, const DmiAttributeData* data,
                       AttributeValue* value, std::string* error) {
    DmiAttributeData copy;
    if (!memory.CopyOut(data, sizeof copy, &copy, error)) {
        return false;
    }
    value->id = copy.id;
    return ReadUnionValue(memory, copy.data, value, error);
}

bool ReadDataUnion(const CallerMemory& memory, const DmiDataUnion* data, AttributeValue* value,
                   std::string* error) {
    DmiDataUnion copy;
    if (!memory.CopyOut(data, sizeof copy, &copy, error)) {
        return false;
    }
    return ReadUnionValue(memory, copy, value, error);
}

bool ReadAttributeValues(const CallerMemory& memory, const DmiAttributeValues* list,
                         std::vector<AttributeValue>* values, std::string* error) {
    values->clear();
    if (list == nullptr) {
        return true;
    }
    DmiAttributeValues header;
    if (!ReadListHeader(memory, list, "an attribute list", "entries", &header, error)) {
        return false;
    }
    for (DmiUnsigned i = 0; i < header.size; ++i) {
        DmiAttributeData entry;
        if (!memory.CopyOut(header.list + i, sizeof entry, &entry, error)) {
            return false;
        }
        AttributeValue value;
        value.id = entry.id;
        if (!ReadUnionValue(memory, entry.data, &value, error)) {
            *error = "attribute " + std::to_string(entry.id) + ": " + *error;
            return false;
        }
        values->push_back(std::move(value));
    }
    return true;
}

bool ReadRows(const CallerMemory& memory, const DmiMultiRowData* rows, std::vector<RowCopy>* copies,
              std::string* error) {
    copies->clear();
    DmiMultiRowData header;
    if (!ReadListHeader(memory, rows, "a multi-row record", "rows", &header, error)) {
        return false;
    }
    for (DmiUnsigned i = 0; i < header.size; ++i) {
        DmiRowData row;
        if (!memory.CopyOut(header.list + i, sizeof row, &row, error)) {
            return false;
        }
        RowCopy copy;
        copy.componentId = row.compId;
        copy.groupId = row.groupId;
        if (row.className != nullptr) {
            std::string className;
            if (!ReadCountedString(memory, row.className, &className, error)) {
                return false;
            }
            copy.className = std::move(className);
        }
        if (!ReadAttributeValues(memory, row.keyList, &copy.keys, error) ||
            !ReadAttributeValues(memory, row.values, &copy.values, error)) {
            *error = "row " + std::to_string(i + 1) + ": " + *error;
            return false;
        }
        copies->push_back(std::move(copy));
    }
    return true;
}

}  // namespace korvo::sp

// The DMI entry points of Wcdmi.dll for memory: the memory descriptors, DmiAlloc and DmiFree,
// and the New and Free call of every record, each a tracked block of the provider's heap.
#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "entry_point_frame.h"

namespace {

using namespace korvo::sp;
using namespace korvo::sp::entry;

DmiErrorStatus Report(DmiErrorStatus* status, DmiErrorStatus code) {
    if (status != nullptr) {
        *status = code;
    }
    return code;
}

// The frame of every New and Alloc call: a memory descriptor of ours, one allocation step,
// and "out of memory" for a failed step or a failed allocation.
template <typename Result, typename Make>
Result* NewRecord(DmiMemDsc md, DmiErrorStatus* status, Make make) {
    try {
        if (!provider.IsDescriptor(md)) {
            Report(status, DMIERR_ILLEGAL_HANDLE);
            return nullptr;
        }
        if (provider.heap().TakeStep()) {
            Report(status, DMIERR_OUT_OF_MEMORY);
            return nullptr;
        }
        Result* made = make();
        Report(status, made != nullptr ? DMIERR_NO_ERROR : DMIERR_OUT_OF_MEMORY);
        return made;
    } catch (const std::bad_alloc&) {
        Report(status, DMIERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

void FreeGuarded(const void* record, RecordType type, const char* call) {
    try {
        provider.heap().FreeRecord(record, type, call);
    } catch (const std::exception& failure) {
        provider.Log(std::string(call) + ": " + failure.what());
    }
}

}  // namespace

// ---- Memory ---------------------------------------------------------------------------------

KORVO_EXPORT DmiMemDsc DmiGetSysMemDsc(DmiUnsigned reserved) {
    (void)reserved;
    return provider.systemDescriptor();
}

KORVO_EXPORT DmiMemDsc DmiGetClientMemDsc(DmiUnsigned reserved) {
    (void)reserved;
    return provider.clientDescriptor();
}

KORVO_EXPORT void* DmiAlloc(DmiUnsigned size, DmiMemDsc md, DmiErrorStatus* status) {
    return NewRecord<void>(
        md, status, [&] { return provider.heap().Allocate(size, RecordType::Raw, "DmiAlloc"); });
}

KORVO_EXPORT void DmiFree(void* block, DmiMemDsc md) {
    (void)md;  // the block identifies itself
    try {
        provider.heap().Free(block, "DmiFree");
    } catch (const std::exception& failure) {
        provider.Log(std::string("DmiFree: ") + failure.what());
    }
}

KORVO_EXPORT DmiTimestamp* DmiNewTimestamp(DmiMemDsc md, DmiErrorStatus* status) {
    // Zeroed like every New record: the caller writes the time it means.
    return NewRecord<DmiTimestamp>(
        md, status, [] { return provider.heap().NewTimestamp("", "DmiNewTimestamp"); });
}

KORVO_EXPORT DmiString* DmiNewString(const char* text, DmiMemDsc md, DmiErrorStatus* status) {
    if (text == nullptr) {
        Report(status, DMIERR_ILL_FORMED_COMMAND);
        return nullptr;
    }
    return NewRecord<DmiString>(md, status,
                                [&] { return provider.heap().NewString(text, "DmiNewString"); });
}

KORVO_EXPORT DmiOctetString* DmiNewOctetString(DmiUnsigned size, const void* bytes, DmiMemDsc md,
                                               DmiErrorStatus* status) {
    return NewRecord<DmiOctetString>(md, status, [&]() -> DmiOctetString* {
        if (size > DmiHeap::kMaxBlockSize) {
            return nullptr;
        }
        // Without bytes the body is zeros, for the caller to fill in.
        DmiOctetString* string =
            provider.heap().NewString(std::string(size, '\0'), "DmiNewOctetString");
        if (string != nullptr && bytes != nullptr) {
            std::memcpy(string->body, bytes, size);
        }
        return string;
    });
}

KORVO_EXPORT DmiNodeAddress* DmiNewNodeAddress(const char* address, const char* rpc,
                                               const char* transport, DmiMemDsc md,
                                               DmiErrorStatus* status) {
    return NewRecord<DmiNodeAddress>(md, status, [&]() -> DmiNodeAddress* {
        // The node and its three strings in one block; a null text leaves its string null.
        const char* texts[] = {address, rpc, transport};
        size_t size = sizeof(DmiNodeAddress);
        for (const char* text : texts) {
            if (text != nullptr) {
                size = (size + alignof(DmiString) - 1) / alignof(DmiString) * alignof(DmiString);
                size += sizeof(DmiString) + std::strlen(text) + 1;
            }
        }
        auto* base = static_cast<std::byte*>(
            provider.heap().Allocate(size, RecordType::NodeAddress, "DmiNewNodeAddress"));
        if (base == nullptr) {
            return nullptr;
        }
        auto* node = reinterpret_cast<DmiNodeAddress*>(base);
        DmiString** fields[] = {&node->address, &node->rpc, &node->transport};
        size_t offset = sizeof(DmiNodeAddress);
        for (size_t i = 0; i < 3; ++i) {
            if (texts[i] == nullptr) {
                continue;
            }
            offset = (offset + alignof(DmiString) - 1) / alignof(DmiString) * alignof(DmiString);
            auto* string = reinterpret_cast<DmiString*>(base + offset);
            const size_t length = std::strlen(texts[i]);
            string->size = static_cast<DmiUnsigned>(length);
            string->body = reinterpret_cast<char*>(string + 1);
            std::memcpy(string->body, texts[i], length);
            *fields[i] = string;
            offset += sizeof(DmiString) + length + 1;
        }
        return node;
    });
}

// ---- The New and Free calls of plain records ------------------------------------------------

// The records a New call makes zeroed: X(entry point, record, record type).
#define KORVO_SP_NEW_RECORD_CALLS(X)                        \
    X(DmiNewDataUnion, DmiDataUnion, DataUnion)             \
    X(DmiNewAttributeData, DmiAttributeData, AttributeData) \
    X(DmiNewRowData, DmiRowData, RowData)

// The lists a New call makes with `size` zeroed entries: X(entry point, list, record type,
// entry).
#define KORVO_SP_NEW_LIST_CALLS(X)                                                  \
    X(DmiNewAttributeValues, DmiAttributeValues, AttributeValues, DmiAttributeData) \
    X(DmiNewMultiRowData, DmiMultiRowData, MultiRowData, DmiRowData)                \
    X(DmiNewMultiRowRequest, DmiMultiRowRequest, MultiRowRequest, DmiRowRequest)    \
    X(DmiNewFileTypeList, DmiFileTypeList, FileTypeList, DmiUnsigned)               \
    X(DmiNewFileDataList, DmiFileDataList, FileDataList, DmiFileDataInfo)

// Every Free call of a record, with what it owns: X(entry point, record, record type). The
// memory descriptor is not needed: the block identifies itself.
#define KORVO_SP_FREE_CALLS(X)                                     \
    X(DmiFreeTimestamp, DmiTimestamp, Timestamp)                   \
    X(DmiFreeString, DmiString, String)                            \
    X(DmiFreeOctetString, DmiOctetString, String)                  \
    X(DmiFreeDataUnion, DmiDataUnion, DataUnion)                   \
    X(DmiFreeAttributeData, DmiAttributeData, AttributeData)       \
    X(DmiFreeRowData, DmiRowData, RowData)                         \
    X(DmiFreeAttributeValues, DmiAttributeValues, AttributeValues) \
    X(DmiFreeMultiRowData, DmiMultiRowData, MultiRowData)          \
    X(DmiFreeMultiRowRequest, DmiMultiRowRequest, MultiRowRequest) \
    X(DmiFreeFileTypeList, DmiFileTypeList, FileTypeList)          \
    X(DmiFreeNodeAddress, DmiNodeAddress, NodeAddress)             \
    X(DmiFreeAttributeList, DmiAttributeList, AttributeList)       \
    X(DmiFreeGroupList, DmiGroupList, GroupList)                   \
    X(DmiFreeComponentList, DmiComponentList, ComponentList)       \
    X(DmiFreeClassNameList, DmiClassNameList, ClassNameList)

#define KORVO_SP_DEFINE_NEW_RECORD(name, Record, type)                              \
    KORVO_EXPORT Record* name(DmiMemDsc md, DmiErrorStatus* status) {               \
        return NewRecord<Record>(md, status, [] {                                   \
            return static_cast<Record*>(                                            \
                provider.heap().Allocate(sizeof(Record), RecordType::type, #name)); \
        });                                                                         \
    }
KORVO_SP_NEW_RECORD_CALLS(KORVO_SP_DEFINE_NEW_RECORD)
#undef KORVO_SP_DEFINE_NEW_RECORD

#define KORVO_SP_DEFINE_NEW_LIST(name, List, type, Entry)                             \
    KORVO_EXPORT List* name(DmiUnsigned size, DmiMemDsc md, DmiErrorStatus* status) { \
        return NewRecord<List>(md, status, [&] {                                      \
            return static_cast<List*>(provider.heap().NewList(                        \
                RecordType::type, size, sizeof(Entry), alignof(Entry), #name));       \
        });                                                                           \
    }
KORVO_SP_NEW_LIST_CALLS(KORVO_SP_DEFINE_NEW_LIST)
#undef KORVO_SP_DEFINE_NEW_LIST

#define KORVO_SP_DEFINE_FREE(name, Record, type)           \
    KORVO_EXPORT void name(Record* record, DmiMemDsc md) { \
        (void)md;                                          \
        FreeGuarded(record, RecordType::type, #name);      \
    }
KORVO_SP_FREE_CALLS(KORVO_SP_DEFINE_FREE)
#undef KORVO_SP_DEFINE_FREE

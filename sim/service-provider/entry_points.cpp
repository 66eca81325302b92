// The 57 exported DMI entry points of Wcdmi.dll and the library's own Korvo exports. Each entry
// point checks its arguments, hands the work to the one Provider of the process, and never lets
// a C++ exception cross the C boundary.
#include <algorithm>
#include <cstring>
#include <new>

#include "dmi/dmi.h"
#include "dmi/dmi_names.h"
#include "korvo/management_protocol.h"
#include "korvo_sp.h"
#include "list_replies.h"
#include "provider.h"

#define KORVO_EXPORT extern "C" KORVO_SP_API

namespace {

using namespace korvo::sp;

// Made when the library is loaded (so KORVO_SP_FAIL_ALLOCATION is read then), and destroyed
// at process exit, which stops the management socket's threads.
Provider provider;

constexpr const char* kDescription = "KORVO DMI service provider stand-in for Linux";

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

// Runs one entry point; a call it refuses leaves its status in sp.log, except the end of a
// table that every walk meets.
template <typename Body>
DmiErrorStatus Guarded(const char* call, Body body) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    try {
        status = body();
    } catch (const std::bad_alloc&) {
        status = DMIERR_OUT_OF_MEMORY;
    } catch (const std::exception& failure) {
        provider.Log(std::string(call) + ": " + failure.what());
        status = DMIERR_ILL_FORMED_COMMAND;
    }
    if (status != DMIERR_NO_ERROR && status != DMIERR_ROW_NOT_FOUND) {
        provider.Note(std::string(call) + " refused: " + korvo::dmi::DescribeStatus(status));
    }
    return status;
}

void FreeGuarded(const void* record, RecordType type, const char* call) {
    try {
        provider.heap().FreeRecord(record, type, call);
    } catch (const std::exception& failure) {
        provider.Log(std::string(call) + ": " + failure.what());
    }
}

// A List call's reply: one allocation step, then the block built by `build`.
template <typename List, typename Build>
DmiErrorStatus HandOut(List** reply, Build build) {
    if (provider.heap().TakeStep()) {
        return DMIERR_OUT_OF_MEMORY;
    }
    List* list = build();
    if (list == nullptr) {
        return DMIERR_OUT_OF_MEMORY;
    }
    *reply = list;
    return DMIERR_NO_ERROR;
}

// The components of the database, for the List calls.
DmiErrorStatus ListComponentsCommon(DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount,
                                    DmiBoolean getDescription, DmiId compId,
                                    const DmiString* className, DmiComponentList** reply,
                                    const char* call) {
    if (reply == nullptr) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    *reply = nullptr;
    if (!provider.IsManagementHandle(handle)) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    std::string error;
    std::optional<std::string> prefix;
    if (className != nullptr) {
        prefix = std::string();
        if (!provider.heap().ReadString(className, &*prefix, &error)) {
            provider.Log(std::string(call) + ": the class string cannot be read: " + error);
            return DMIERR_ILL_FORMED_COMMAND;
        }
    }
    const auto database = provider.Database(&error);
    if (!database) {
        return DMIERR_DATABASE_CORRUPT;
    }
    const auto all = database->Components();
    std::vector<ComponentDatabase::Entry> matching;
    for (const auto& entry : all) {
        const bool classMatches =
            !prefix ||
            std::any_of(entry.component->groups.begin(), entry.component->groups.end(),
                        [&](const korvo::mif::Group& group) {
                            return group.className.compare(0, prefix->size(), *prefix) == 0;
                        });
        if (classMatches) {
            matching.push_back(entry);
        }
    }
    std::vector<const ComponentDatabase::Entry*> selected;
    if (!SelectItems(
            matching, requestMode, maxCount, compId,
            [](const ComponentDatabase::Entry& entry) { return entry.id; }, &selected)) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (selected.empty()) {
        return DMIERR_COMPONENT_NOT_FOUND;
    }
    return HandOut(reply, [&] {
        return BuildComponentList(provider.heap(), selected, getDescription != 0, true, call);
    });
}

// What a List call names, or the status that says why it is not there.
Found FindForManagement(DmiHandle handle, DmiId compId,
                        std::optional<DmiId> groupId = std::nullopt) {
    if (!provider.IsManagementHandle(handle)) {
        Found refused;
        refused.status = DMIERR_ILLEGAL_HANDLE;
        return refused;
    }
    return provider.Find(compId, groupId);
}

}  // namespace

// korvo_sp.h declares every entry point from the published interface's list, so a definition
// below whose signature strayed from it would not compile (C functions cannot be overloaded).

// ---- Registration and version ---------------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiRegister(DmiHandle* handle) {
    return Guarded("DmiRegister", [&] { return provider.RegisterManagement(handle); });
}

KORVO_EXPORT DmiErrorStatus DmiRemoteRegister(DmiNodeAddress* node, DmiHandle* handle) {
    // Every node is this machine: the stand-in has no remote service providers to reach.
    (void)node;
    return Guarded("DmiRemoteRegister", [&] { return provider.RegisterManagement(handle); });
}

KORVO_EXPORT DmiErrorStatus DmiUnregister(DmiHandle handle) {
    return Guarded("DmiUnregister", [&] { return provider.UnregisterManagement(handle); });
}

KORVO_EXPORT DmiErrorStatus DmiGetVersion(DmiHandle handle, DmiString** dmiLevel,
                                          DmiString** description, DmiFileTypeList** fileTypes) {
    return Guarded("DmiGetVersion", [&]() -> DmiErrorStatus {
        if (dmiLevel == nullptr || description == nullptr || fileTypes == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        if (const DmiErrorStatus refused = provider.RefusedStatus("getversion")) {
            return refused;
        }
        DmiHeap& heap = provider.heap();
        if (heap.TakeStep()) {
            return DMIERR_OUT_OF_MEMORY;
        }
        DmiString* level = heap.NewString(kDmiLevel, "DmiGetVersion");
        DmiString* text = heap.NewString(kDescription, "DmiGetVersion");
        auto* types = static_cast<DmiFileTypeList*>(
            heap.NewList(RecordType::FileTypeList, 1, sizeof(DmiUnsigned), alignof(DmiUnsigned),
                         "DmiGetVersion"));
        if (level == nullptr || text == nullptr || types == nullptr) {
            heap.FreeRecord(level, RecordType::String, "DmiGetVersion");
            heap.FreeRecord(text, RecordType::String, "DmiGetVersion");
            heap.FreeRecord(types, RecordType::FileTypeList, "DmiGetVersion");
            return DMIERR_OUT_OF_MEMORY;
        }
        types->list[0] = DMI_MIF_FILE_NAME;
        *dmiLevel = level;
        *description = text;
        *fileTypes = types;
        return DMIERR_NO_ERROR;
    });
}

KORVO_EXPORT DmiErrorStatus DmiSetDefaultNode(DmiNodeAddress* node, DmiUnsigned* reserved) {
    // There is only the local node, so every node is already the default.
    (void)node;
    (void)reserved;
    return DMIERR_NO_ERROR;
}

KORVO_EXPORT DmiErrorStatus DmiRegisterCi(DmiRegisterInfo* registration, DmiHandle* handle,
                                          DmiString** dmiLevel) {
    return Guarded("DmiRegisterCi",
                   [&] { return provider.RegisterCi(registration, handle, dmiLevel); });
}

KORVO_EXPORT DmiErrorStatus DmiUnregisterCi(DmiHandle handle) {
    return Guarded("DmiUnregisterCi", [&] { return provider.UnregisterCi(handle); });
}

// ---- The database ---------------------------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiAddComponent(DmiHandle handle, DmiFileDataList* files, DmiId* compId,
                                            DmiStringList** errors) {
    return Guarded("DmiAddComponent", [&]() -> DmiErrorStatus {
        if (errors != nullptr) {
            *errors = nullptr;  // the reasons go to the log
        }
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        return provider.AddComponent(files, compId);
    });
}

KORVO_EXPORT DmiErrorStatus DmiListComponents(DmiHandle handle, DmiUnsigned requestMode,
                                              DmiUnsigned maxCount, DmiBoolean getPragma,
                                              DmiBoolean getDescription, DmiId compId,
                                              DmiComponentList** reply) {
    (void)getPragma;  // no MIF of ours carries pragmas
    return Guarded("DmiListComponents", [&] {
        return ListComponentsCommon(handle, requestMode, maxCount, getDescription, compId, nullptr,
                                    reply, "DmiListComponents");
    });
}

KORVO_EXPORT DmiErrorStatus DmiListComponentsByClass(DmiHandle handle, DmiUnsigned requestMode,
                                                     DmiUnsigned maxCount, DmiBoolean getPragma,
                                                     DmiBoolean getDescription, DmiId compId,
                                                     DmiString* className,
                                                     DmiAttributeValues* keyList,
                                                     DmiComponentList** reply) {
    // The key list would select rows of a table the database does not hold; it is not used.
    (void)getPragma;
    (void)keyList;
    return Guarded("DmiListComponentsByClass", [&]() -> DmiErrorStatus {
        if (reply != nullptr) {
            *reply = nullptr;
        }
        if (const DmiErrorStatus refused = provider.RefusedStatus("listcomponentsbyclass")) {
            return refused;
        }
        if (className == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        return ListComponentsCommon(handle, requestMode, maxCount, getDescription, compId,
                                    className, reply, "DmiListComponentsByClass");
    });
}

KORVO_EXPORT DmiErrorStatus DmiListClassNames(DmiHandle handle, DmiUnsigned requestMode,
                                              DmiUnsigned maxCount, DmiId compId,
                                              DmiClassNameList** reply) {
    return Guarded("DmiListClassNames", [&]() -> DmiErrorStatus {
        if (reply == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *reply = nullptr;
        const Found found = FindForManagement(handle, compId);
        if (found.status != DMIERR_NO_ERROR) {
            return found.status;
        }
        std::vector<const korvo::mif::Group*> selected;
        if (!SelectItems(
                found.component->groups, requestMode == DMI_UNIQUE ? DMI_FIRST : requestMode,
                maxCount, 0, [](const korvo::mif::Group& group) { return group.id; }, &selected)) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        return HandOut(reply, [&] {
            return BuildClassNameList(provider.heap(), selected, "DmiListClassNames");
        });
    });
}

KORVO_EXPORT DmiErrorStatus DmiListGroups(DmiHandle handle, DmiUnsigned requestMode,
                                          DmiUnsigned maxCount, DmiBoolean getPragma,
                                          DmiBoolean getDescription, DmiId compId, DmiId groupId,
                                          DmiGroupList** reply) {
    (void)getPragma;
    return Guarded("DmiListGroups", [&]() -> DmiErrorStatus {
        if (reply == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *reply = nullptr;
        const Found found = FindForManagement(handle, compId);
        if (found.status != DMIERR_NO_ERROR) {
            return found.status;
        }
        std::vector<const korvo::mif::Group*> selected;
        if (!SelectItems(
                found.component->groups, requestMode, maxCount, groupId,
                [](const korvo::mif::Group& group) { return group.id; }, &selected)) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        if (selected.empty()) {
            return DMIERR_GROUP_NOT_FOUND;
        }
        return HandOut(reply, [&] {
            return BuildGroupList(provider.heap(), selected, getDescription != 0, "DmiListGroups");
        });
    });
}

KORVO_EXPORT DmiErrorStatus DmiListAttributes(DmiHandle handle, DmiUnsigned requestMode,
                                              DmiUnsigned maxCount, DmiBoolean getPragma,
                                              DmiBoolean getDescription, DmiId compId,
                                              DmiId groupId, DmiId attribId,
                                              DmiAttributeList** reply) {
    (void)getPragma;
    return Guarded("DmiListAttributes", [&]() -> DmiErrorStatus {
        if (reply == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *reply = nullptr;
        const Found found = FindForManagement(handle, compId, groupId);
        if (found.status != DMIERR_NO_ERROR) {
            return found.status;
        }
        std::vector<const korvo::mif::Attribute*> selected;
        if (!SelectItems(
                found.group->attributes, requestMode, maxCount, attribId,
                [](const korvo::mif::Attribute& attribute) { return attribute.id; }, &selected)) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        if (selected.empty()) {
            return DMIERR_ATTRIBUTE_NOT_FOUND;
        }
        return HandOut(reply, [&] {
            return BuildAttributeList(provider.heap(), selected, getDescription != 0,
                                      "DmiListAttributes");
        });
    });
}

KORVO_EXPORT DmiErrorStatus DmiListLanguages(DmiHandle handle, DmiUnsigned maxCount, DmiId compId,
                                             DmiStringList** reply) {
    (void)maxCount;  // there is one language
    return Guarded("DmiListLanguages", [&]() -> DmiErrorStatus {
        if (reply == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *reply = nullptr;
        if (const DmiErrorStatus status = FindForManagement(handle, compId).status) {
            return status;
        }
        return HandOut(reply, [&] {
            return BuildStringList(provider.heap(), {kLanguage}, "DmiListLanguages");
        });
    });
}

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

// ---- Indications and configuration ----------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiSetIndicationCallbacks(DmiHandle handle, DmiIndicationFn onEvent,
                                                      void* context) {
    return Guarded("DmiSetIndicationCallbacks",
                   [&] { return provider.SetIndicationCallback(handle, onEvent, context); });
}

KORVO_EXPORT DmiErrorStatus DmiIndicationListen(DmiHandle handle) {
    return Guarded("DmiIndicationListen", [&] { return provider.SetListening(handle, true); });
}

KORVO_EXPORT DmiErrorStatus DmiStopIndicationListening(DmiHandle handle) {
    return Guarded("DmiStopIndicationListening",
                   [&] { return provider.SetListening(handle, false); });
}

KORVO_EXPORT DmiErrorStatus DmiGetSubscriptionAddress(DmiHandle handle, DmiString** address) {
    return Guarded("DmiGetSubscriptionAddress", [&]() -> DmiErrorStatus {
        if (address == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *address = nullptr;
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        return HandOut(address, [] {
            return provider.heap().NewString(korvo::management::SocketPath(),
                                             "DmiGetSubscriptionAddress");
        });
    });
}

KORVO_EXPORT DmiErrorStatus DmiSetConfig(DmiHandle handle, DmiString* language) {
    return Guarded("DmiSetConfig", [&]() -> DmiErrorStatus {
        std::string text;
        std::string error;
        if (language == nullptr || !provider.heap().ReadString(language, &text, &error)) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        return provider.SetLanguage(handle, text);
    });
}

KORVO_EXPORT DmiErrorStatus DmiGetConfig(DmiHandle handle, DmiString** language) {
    return Guarded("DmiGetConfig", [&]() -> DmiErrorStatus {
        if (language == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *language = nullptr;
        std::string text;
        if (const DmiErrorStatus status = provider.GetLanguage(handle, &text)) {
            return status;
        }
        return HandOut(language, [&] { return provider.heap().NewString(text, "DmiGetConfig"); });
    });
}

// ---- Events ---------------------------------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiOriginateEvent(DmiId compId, DmiString* language,
                                              DmiTimestamp* timestamp, DmiMultiRowData* rows) {
    (void)language;  // events are kept as the instrumentation wrote them
    return Guarded("DmiOriginateEvent",
                   [&] { return provider.OriginateEvent(compId, timestamp, rows); });
}

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

// ---- The library's own exports --------------------------------------------------------------

KORVO_EXPORT unsigned KorvoSpOutstandingBlocks(void) {
    return static_cast<unsigned>(provider.heap().Stats().outstanding.size());
}

KORVO_EXPORT unsigned KorvoSpBadFrees(void) {
    return static_cast<unsigned>(provider.heap().Stats().badFrees);
}

KORVO_EXPORT size_t KorvoSpReport(char* buffer, size_t capacity) {
    try {
        const std::string text = provider.ReportText();
        if (buffer != nullptr && capacity > 0) {
            const size_t copied = std::min(text.size(), capacity - 1);
            std::memcpy(buffer, text.data(), copied);
            buffer[copied] = '\0';
        }
        return text.size();
    } catch (const std::exception&) {
        return 0;
    }
}

KORVO_EXPORT void KorvoSpFailAllocation(unsigned n) {
    provider.heap().FailAllocation(n);
}

KORVO_EXPORT void KorvoSpShutdown(void) {
    provider.Shutdown();
}

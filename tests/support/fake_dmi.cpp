// The fake DMI library: tracked blocks, failure injection and a call log behind DmiApi.
#include "support/fake_dmi.h"

#include <cstddef>
#include <cstring>
#include <memory>

#include "dmi/dmi_api.h"
#include "state/service_state.h"

namespace korvo::test {
namespace {

int memoryToken;  // its address is the fake memory descriptor

struct Tracker {
    std::mutex mutex;
    std::map<const void*, std::unique_ptr<std::max_align_t[]>> blocks;
    int allocations = 0;
    int failAt = 0;  // allocation number that fails; 0: none
    int badFrees = 0;
    std::vector<std::string> calls;
};

Tracker* tracker = nullptr;
FakeDmi* fake = nullptr;

void Log(const char* name) {
    std::lock_guard lock(tracker->mutex);
    tracker->calls.emplace_back(name);
}

// One tracked, zeroed block of `size` bytes; null with DMIERR_OUT_OF_MEMORY when the injected
// failure falls on it.
void* Allocate(size_t size, DmiErrorStatus* status) {
    std::lock_guard lock(tracker->mutex);
    ++tracker->allocations;
    if (tracker->failAt != 0 && tracker->allocations == tracker->failAt) {
        if (status != nullptr) {
            *status = DMIERR_OUT_OF_MEMORY;
        }
        return nullptr;
    }
    const size_t units = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t) + 1;
    auto block = std::make_unique<std::max_align_t[]>(units);
    std::memset(block.get(), 0, units * sizeof(std::max_align_t));
    void* pointer = block.get();
    tracker->blocks.emplace(pointer, std::move(block));
    if (status != nullptr) {
        *status = DMIERR_NO_ERROR;
    }
    return pointer;
}

void Release(const void* block) {
    if (block == nullptr) {
        return;
    }
    std::lock_guard lock(tracker->mutex);
    if (tracker->blocks.erase(block) == 0) {
        ++tracker->badFrees;
    }
}

bool HoldsString(const DmiAttributeData& data) {
    return data.data.type == MIF_DISPLAYSTRING || data.data.type == MIF_OCTETSTRING;
}

void FreeValues(DmiAttributeValues* values) {
    if (values == nullptr) {
        return;
    }
    for (DmiUnsigned i = 0; values->list != nullptr && i < values->size; ++i) {
        if (HoldsString(values->list[i])) {
            Release(values->list[i].data.value.str);
        }
    }
    Release(values);
}

// ---- memory --------------------------------------------------------------------------------

DmiMemDsc FakeGetSysMemDsc(DmiUnsigned) {
    Log("DmiGetSysMemDsc");
    return FakeDmi::memoryDescriptor();
}

void* FakeAlloc(DmiUnsigned size, DmiMemDsc, DmiErrorStatus* status) {
    Log("DmiAlloc");
    return Allocate(size, status);
}

void FakeFree(void* block, DmiMemDsc) {
    Log("DmiFree");
    {
        std::lock_guard lock(tracker->mutex);
        fake->freedBlocks.push_back(block);
    }
    Release(block);
}

DmiString* MakeString(const void* bytes, DmiUnsigned size, DmiErrorStatus* status) {
    auto* str = static_cast<DmiString*>(Allocate(sizeof(DmiString) + size + 1, status));
    if (str != nullptr) {
        str->size = size;
        str->body = reinterpret_cast<char*>(str + 1);
        if (size != 0) {
            std::memcpy(str->body, bytes, size);
        }
    }
    return str;
}

DmiString* FakeNewString(const char* text, DmiMemDsc, DmiErrorStatus* status) {
    Log("DmiNewString");
    return MakeString(text, static_cast<DmiUnsigned>(std::strlen(text)), status);
}

DmiOctetString* FakeNewOctetString(DmiUnsigned size, const void* bytes, DmiMemDsc,
                                   DmiErrorStatus* status) {
    Log("DmiNewOctetString");
    return MakeString(bytes, size, status);
}

void FakeFreeString(DmiString* str, DmiMemDsc) {
    Log("DmiFreeString");
    Release(str);
}

DmiAttributeData* FakeNewAttributeData(DmiMemDsc, DmiErrorStatus* status) {
    Log("DmiNewAttributeData");
    return static_cast<DmiAttributeData*>(Allocate(sizeof(DmiAttributeData), status));
}

void FakeFreeAttributeData(DmiAttributeData* data, DmiMemDsc) {
    Log("DmiFreeAttributeData");
    if (data != nullptr && HoldsString(*data)) {
        Release(data->data.value.str);
    }
    Release(data);
}

DmiAttributeValues* FakeNewAttributeValues(DmiUnsigned size, DmiMemDsc,
                                           DmiErrorStatus* status) {
    Log("DmiNewAttributeValues");
    auto* values = static_cast<DmiAttributeValues*>(
        Allocate(sizeof(DmiAttributeValues) + size * sizeof(DmiAttributeData), status));
    if (values != nullptr) {
        values->size = size;
        values->list = reinterpret_cast<DmiAttributeData*>(
            reinterpret_cast<char*>(values) + sizeof(DmiAttributeValues) +
            (alignof(DmiAttributeData) - sizeof(DmiAttributeValues) % alignof(DmiAttributeData)) %
                alignof(DmiAttributeData));
    }
    return values;
}

void FakeFreeAttributeValues(DmiAttributeValues* values, DmiMemDsc) {
    Log("DmiFreeAttributeValues");
    FreeValues(values);
}

DmiMultiRowData* FakeNewMultiRowData(DmiUnsigned size, DmiMemDsc, DmiErrorStatus* status) {
    Log("DmiNewMultiRowData");
    auto* rows = static_cast<DmiMultiRowData*>(
        Allocate(sizeof(DmiMultiRowData) + size * sizeof(DmiRowData) + 8, status));
    if (rows != nullptr) {
        rows->size = size;
        rows->list = reinterpret_cast<DmiRowData*>(reinterpret_cast<char*>(rows) + 16);
    }
    return rows;
}

void FakeFreeMultiRowData(DmiMultiRowData* rows, DmiMemDsc) {
    Log("DmiFreeMultiRowData");
    if (rows == nullptr) {
        return;
    }
    for (DmiUnsigned i = 0; rows->list != nullptr && i < rows->size; ++i) {
        Release(rows->list[i].className);
        FreeValues(rows->list[i].keyList);
        FreeValues(rows->list[i].values);
    }
    Release(rows);
}

DmiFileDataList* FakeNewFileDataList(DmiUnsigned size, DmiMemDsc, DmiErrorStatus* status) {
    Log("DmiNewFileDataList");
    auto* list = static_cast<DmiFileDataList*>(
        Allocate(sizeof(DmiFileDataList) + size * sizeof(DmiFileDataInfo) + 8, status));
    if (list != nullptr) {
        list->size = size;
        list->list = reinterpret_cast<DmiFileDataInfo*>(reinterpret_cast<char*>(list) + 16);
    }
    return list;
}

void FakeFreeFileTypeList(DmiFileTypeList* list, DmiMemDsc) {
    Log("DmiFreeFileTypeList");
    Release(list);
}

void FakeFreeComponentList(DmiComponentList* list, DmiMemDsc) {
    Log("DmiFreeComponentList");
    Release(list);
}

DmiNodeAddress* FakeNewNodeAddress(const char*, const char*, const char*, DmiMemDsc,
                                   DmiErrorStatus* status) {
    Log("DmiNewNodeAddress");
    auto* node = static_cast<DmiNodeAddress*>(Allocate(sizeof(DmiNodeAddress), status));
    if (node != nullptr && fake->newNodeAddressStatus != 0) {
        Release(node);
        *status = fake->newNodeAddressStatus;
        return nullptr;
    }
    return node;
}

// ---- management ----------------------------------------------------------------------------

DmiErrorStatus FakeSetDefaultNode(DmiNodeAddress*, DmiUnsigned*) {
    Log("DmiSetDefaultNode");
    return 0;
}

DmiErrorStatus FakeRegister(DmiHandle* handle) {
    Log("DmiRegister");
    if (fake->registerFailures > 0) {
        --fake->registerFailures;
        return DMIERR_ILLEGAL_HANDLE;
    }
    *handle = fake->managementHandle;
    return 0;
}

DmiErrorStatus FakeGetVersion(DmiHandle, DmiString** level, DmiString** description,
                              DmiFileTypeList** types) {
    Log("DmiGetVersion");
    if (fake->getVersionStatus != 0) {
        return fake->getVersionStatus;
    }
    DmiErrorStatus status = 0;
    *level = MakeString("2.0", 3, &status);
    *description = MakeString("fake", 4, &status);
    *types = static_cast<DmiFileTypeList*>(Allocate(sizeof(DmiFileTypeList), &status));
    return 0;
}

DmiErrorStatus FakeListComponentsByClass(DmiHandle, DmiUnsigned, DmiUnsigned, DmiBoolean,
                                         DmiBoolean, DmiId, DmiString* className,
                                         DmiAttributeValues*, DmiComponentList** reply) {
    Log("DmiListComponentsByClass");
    fake->listedClass.assign(className != nullptr ? className->body : "",
                             className != nullptr ? className->size : 0);
    *reply = nullptr;
    if (fake->componentsByClass.empty() && !fake->listEmpty) {
        return DMIERR_COMPONENT_NOT_FOUND;
    }
    const size_t count = fake->componentsByClass.size();
    DmiErrorStatus status = 0;
    auto* list = static_cast<DmiComponentList*>(
        Allocate(sizeof(DmiComponentList) + 8 + count * sizeof(DmiComponentInfo), &status));
    list->size = static_cast<DmiUnsigned>(count);
    list->list = reinterpret_cast<DmiComponentInfo*>(reinterpret_cast<char*>(list) + 16);
    for (size_t i = 0; i < count; ++i) {
        list->list[i].id = fake->componentsByClass[i];
    }
    *reply = list;
    return 0;
}

DmiErrorStatus FakeAddComponent(DmiHandle, DmiFileDataList* files, DmiId* compId,
                                DmiStringList** errors) {
    Log("DmiAddComponent");
    if (errors != nullptr) {
        *errors = nullptr;
    }
    if (files != nullptr && files->size > 0 && files->list != nullptr) {
        fake->addedFileType = files->list[0].fileType;
        if (const DmiString* path = files->list[0].fileData) {
            fake->addedMifPath.assign(path->body, path->body + path->size);
        }
    }
    if (fake->addComponentStatus != 0) {
        return fake->addComponentStatus;
    }
    *compId = fake->installedComponentId;
    return 0;
}

DmiErrorStatus FakeUnregister(DmiHandle) {
    Log("DmiUnregister");
    return fake->unregisterStatus;
}

DmiErrorStatus FakeRegisterCi(DmiRegisterInfo* info, DmiHandle* handle, DmiString** level) {
    Log("DmiRegisterCi");
    if (info != nullptr) {
        fake->registeredInfo = *info;
        fake->registeredRecord = info;
        fake->registeredEntries = info->accessData != nullptr ? info->accessData->list : nullptr;
        fake->registeredAccess.clear();
        if (info->accessData != nullptr && info->accessData->list != nullptr) {
            fake->registeredAccess.assign(info->accessData->list,
                                          info->accessData->list + info->accessData->size);
        }
    }
    if (fake->registerCiStatus != 0) {
        return fake->registerCiStatus;
    }
    *handle = fake->ciHandle;
    DmiErrorStatus status = 0;
    *level = MakeString("2.0", 3, &status);
    return 0;
}

DmiErrorStatus FakeUnregisterCi(DmiHandle) {
    Log("DmiUnregisterCi");
    return fake->unregisterCiStatus;
}

DmiErrorStatus FakeOriginateEvent(DmiId compId, DmiString* language, DmiTimestamp* timestamp,
                                  DmiMultiRowData* rows) {
    Log("DmiOriginateEvent");
    std::lock_guard lock(tracker->mutex);
    fake->originated.push_back({compId, language != nullptr, timestamp != nullptr, rows});
    return fake->originateStatus;
}

}  // namespace

DmiMemDsc FakeDmi::memoryDescriptor() { return &memoryToken; }

FakeDmi::FakeDmi() {
    tracker = new Tracker;
    fake = this;
    DmiApi = DmiApiTable{};
    DmiApi.DmiGetSysMemDsc = FakeGetSysMemDsc;
    DmiApi.DmiAlloc = FakeAlloc;
    DmiApi.DmiFree = FakeFree;
    DmiApi.DmiNewString = FakeNewString;
    DmiApi.DmiFreeString = FakeFreeString;
    DmiApi.DmiNewOctetString = FakeNewOctetString;
    DmiApi.DmiFreeOctetString = FakeFreeString;
    DmiApi.DmiNewAttributeData = FakeNewAttributeData;
    DmiApi.DmiFreeAttributeData = FakeFreeAttributeData;
    DmiApi.DmiNewAttributeValues = FakeNewAttributeValues;
    DmiApi.DmiFreeAttributeValues = FakeFreeAttributeValues;
    DmiApi.DmiNewMultiRowData = FakeNewMultiRowData;
    DmiApi.DmiFreeMultiRowData = FakeFreeMultiRowData;
    DmiApi.DmiNewFileDataList = FakeNewFileDataList;
    DmiApi.DmiFreeFileTypeList = FakeFreeFileTypeList;
    DmiApi.DmiFreeComponentList = FakeFreeComponentList;
    DmiApi.DmiNewNodeAddress = FakeNewNodeAddress;
    DmiApi.DmiSetDefaultNode = FakeSetDefaultNode;
    DmiApi.DmiRegister = FakeRegister;
    DmiApi.DmiGetVersion = FakeGetVersion;
    DmiApi.DmiListComponentsByClass = FakeListComponentsByClass;
    DmiApi.DmiAddComponent = FakeAddComponent;
    DmiApi.DmiUnregister = FakeUnregister;
    DmiApi.DmiRegisterCi = FakeRegisterCi;
    DmiApi.DmiUnregisterCi = FakeUnregisterCi;
    DmiApi.DmiOriginateEvent = FakeOriginateEvent;
    serviceState.memoryDescriptor = memoryDescriptor();
}

FakeDmi::~FakeDmi() {
    DmiApi = DmiApiTable{};
    serviceState.memoryDescriptor = nullptr;
    fake = nullptr;
    delete tracker;
    tracker = nullptr;
}

void FakeDmi::FailAllocation(int n) {
    std::lock_guard lock(tracker->mutex);
    tracker->failAt = n == 0 ? 0 : tracker->allocations + n;
}

int FakeDmi::allocations() const {
    std::lock_guard lock(tracker->mutex);
    return tracker->allocations;
}

int FakeDmi::outstanding() const {
    std::lock_guard lock(tracker->mutex);
    return static_cast<int>(tracker->blocks.size());
}

int FakeDmi::badFrees() const {
    std::lock_guard lock(tracker->mutex);
    return tracker->badFrees;
}

std::vector<std::string> FakeDmi::calls() const {
    std::lock_guard lock(tracker->mutex);
    return tracker->calls;
}

void FakeDmi::ClearCalls() {
    std::lock_guard lock(tracker->mutex);
    tracker->calls.clear();
}

void* FakeDmi::Allocate(size_t size) {
    DmiErrorStatus status = 0;
    return korvo::test::Allocate(size, &status);
}

bool FakeDmi::IsLive(const void* block) const {
    std::lock_guard lock(tracker->mutex);
    return tracker->blocks.count(block) != 0;
}

KeyList::KeyList(std::initializer_list<uint32_t> keys) {
    for (uint32_t key : keys) {
        DmiAttributeData entry{};
        entry.id = 1;
        entry.data.type = MIF_INTEGER;
        entry.data.value.words[0] = key;
        entries_.push_back(entry);
    }
    list_.size = static_cast<DmiUnsigned>(entries_.size());
    list_.list = entries_.empty() ? nullptr : entries_.data();
}

}  // namespace korvo::test

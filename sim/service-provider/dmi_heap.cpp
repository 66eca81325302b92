// The tracked heap behind the DMI New, Alloc and Free calls, and the view of callers' memory
// that the record readers (caller_records.h) copy through; see dmi_heap.h.
#include "dmi_heap.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvo::sp {
namespace {

// Every list record is a count followed by a pointer to its entries.
struct ListHeader {
    DmiUnsigned size;
    void* list;
};
static_assert(sizeof(ListHeader) == sizeof(DmiAttributeValues));
static_assert(offsetof(ListHeader, list) == offsetof(DmiAttributeValues, list));
static_assert(offsetof(ListHeader, list) == offsetof(DmiStringList, list));

constexpr std::byte kFreedPattern{0xDD};
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = size_t{8} << 20;
constexpr size_t kRecentBadFrees = 32;

size_t MinimumSize(RecordType type) {
    switch (type) {
        case RecordType::Raw:
            return 0;
        case RecordType::String:
            return sizeof(DmiString);
        case RecordType::Timestamp:
            return sizeof(DmiTimestamp);
        case RecordType::DataUnion:
            return sizeof(DmiDataUnion);
        case RecordType::AttributeData:
            return sizeof(DmiAttributeData);
        case RecordType::RowData:
            return sizeof(DmiRowData);
        case RecordType::NodeAddress:
            return sizeof(DmiNodeAddress);
        default:
            return sizeof(ListHeader);
    }
}

// A record may also have been put together by the caller from DmiAlloc blocks.
bool Compatible(RecordType actual, RecordType expected) {
    return actual == expected || actual == RecordType::Raw;
}

std::string Address(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

size_t AlignUp(size_t offset, size_t align) {
    return (offset + align - 1) / align * align;
}

}  // namespace

const char* RecordTypeName(RecordType type) {
    switch (type) {
        case RecordType::Raw:
            return "DmiAlloc block";
        case RecordType::String:
            return "counted string";
        case RecordType::Timestamp:
            return "timestamp";
        case RecordType::DataUnion:
            return "data union";
        case RecordType::AttributeData:
            return "attribute data";
        case RecordType::AttributeValues:
            return "attribute values list";
        case RecordType::RowData:
            return "row";
        case RecordType::MultiRowData:
            return "multi-row data";
        case RecordType::MultiRowRequest:
            return "multi-row request";
        case RecordType::NodeAddress:
            return "node address";
        case RecordType::FileTypeList:
            return "file type list";
        case RecordType::FileDataList:
            return "file data list";
        case RecordType::ComponentList:
            return "component list";
        case RecordType::ClassNameList:
            return "class name list";
        case RecordType::GroupList:
            return "group list";
        case RecordType::AttributeList:
            return "attribute list";
        case RecordType::StringList:
            return "string list";
    }
    return "record";
}

DmiHeap::DmiHeap(std::function<void(const std::string&)> report) : report_(std::move(report)) {}

DmiHeap::~DmiHeap() = default;

void DmiHeap::FailAllocation(unsigned n) {
    std::lock_guard lock(mutex_);
    failCountdown_ = n;
}

bool DmiHeap::TakeStep() {
    std::lock_guard lock(mutex_);
    if (failCountdown_ == 0) {
        return false;
    }
    return --failCountdown_ == 0;
}

void* DmiHeap::Allocate(size_t size, RecordType type, std::string_view kind) {
    if (size > kMaxBlockSize) {
        return nullptr;
    }
    Block block;
    block.size = size;
    block.type = type;
    block.kind = std::string(kind);
    block.storage = std::make_unique<std::byte[]>(std::max<size_t>(size, 1));
    void* address = block.storage.get();
    std::lock_guard lock(mutex_);
    live_.emplace(reinterpret_cast<uintptr_t>(address), std::move(block));
    ++allocations_;
    return address;
}

DmiString* DmiHeap::NewString(std::string_view bytes, std::string_view kind) {
    // The body follows the header in the same block, with a NUL after the counted bytes.
    if (bytes.size() > kMaxBlockSize) {
        return nullptr;
    }
    void* block = Allocate(sizeof(DmiString) + bytes.size() + 1, RecordType::String, kind);
    if (block == nullptr) {
        return nullptr;
    }
    auto* string = static_cast<DmiString*>(block);
    string->size = static_cast<DmiUnsigned>(bytes.size());
    string->body = reinterpret_cast<char*>(string + 1);
    std::memcpy(string->body, bytes.data(), bytes.size());
    return string;
}

DmiTimestamp* DmiHeap::NewTimestamp(std::string_view text, std::string_view kind) {
    auto* stamp =
        static_cast<DmiTimestamp*>(Allocate(sizeof(DmiTimestamp), RecordType::Timestamp, kind));
    if (stamp != nullptr) {
        std::memcpy(stamp->text, text.data(), std::min(text.size(), sizeof stamp->text));
    }
    return stamp;
}

void* DmiHeap::NewList(RecordType type, size_t count, size_t entrySize, size_t entryAlign,
                       std::string_view kind) {
    const size_t offset = AlignUp(sizeof(ListHeader), entryAlign);
    if (count > (kMaxBlockSize - offset) / entrySize) {
        return nullptr;
    }
    void* block = Allocate(offset + count * entrySize, type, kind);
    if (block == nullptr) {
        return nullptr;
    }
    auto* header = static_cast<ListHeader*>(block);
    header->size = static_cast<DmiUnsigned>(count);
    header->list = count == 0 ? nullptr : static_cast<std::byte*>(block) + offset;
    return block;
}

bool DmiHeap::FillAttributeData(DmiAttributeData* data, const AttributeValue& value,
                                std::string_view kind) {
    data->id = value.id;
    data->data.type = value.type;
    switch (value.type) {
        case MIF_COUNTER64:
        case MIF_INTEGER64:
            data->data.value.counter64 = value.integer;
            return true;
        case MIF_OCTETSTRING:
        case MIF_DISPLAYSTRING:
            data->data.value.str = NewString(value.bytes, kind);
            return data->data.value.str != nullptr;
        case MIF_DATE:
            data->data.value.date = NewTimestamp(value.bytes, kind);
            return data->data.value.date != nullptr;
        default:
            data->data.value.counter = static_cast<DmiUnsigned>(value.integer);
            return true;
    }
}

DmiAttributeData* DmiHeap::NewAttributeData(const AttributeValue& value, std::string_view kind) {
    auto* data = static_cast<DmiAttributeData*>(
        Allocate(sizeof(DmiAttributeData), RecordType::AttributeData, kind));
    if (data != nullptr && !FillAttributeData(data, value, kind)) {
        FreeRecord(data, RecordType::AttributeData, kind);
        return nullptr;
    }
    return data;
}

DmiAttributeValues* DmiHeap::NewAttributeValues(const std::vector<AttributeValue>& values,
                                                std::string_view kind) {
    auto* list = static_cast<DmiAttributeValues*>(NewList(RecordType::AttributeValues,
                                                          values.size(), sizeof(DmiAttributeData),
                                                          alignof(DmiAttributeData), kind));
    if (list == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < values.size(); ++i) {
        if (!FillAttributeData(&list->list[i], values[i], kind)) {
            FreeRecord(list, RecordType::AttributeValues, kind);
            return nullptr;
        }
    }
    return list;
}

DmiMultiRowData* DmiHeap::NewMultiRowData(const std::vector<RowCopy>& rows, std::string_view kind) {
    auto* record = static_cast<DmiMultiRowData*>(NewList(
        RecordType::MultiRowData, rows.size(), sizeof(DmiRowData), alignof(DmiRowData), kind));
    if (record == nullptr) {
        return nullptr;
    }
    bool built = true;
    for (size_t i = 0; i < rows.size(); ++i) {
        DmiRowData& row = record->list[i];
        row.compId = rows[i].componentId;
        row.groupId = rows[i].groupId;
        row.className = NewString(rows[i].className.value_or(""), kind);
        row.keyList = NewAttributeValues(rows[i].keys, kind);
        row.values = NewAttributeValues(rows[i].values, kind);
        built = built && row.className && row.keyList && row.values;
    }
    if (!built) {
        FreeRecord(record, RecordType::MultiRowData, kind);
        return nullptr;
    }
    return record;
}

void DmiHeap::Free(void* block, std::string_view call) {
    if (block == nullptr) {
        return;
    }
    std::lock_guard lock(mutex_);
    const auto where = live_.find(reinterpret_cast<uintptr_t>(block));
    if (where == live_.end()) {
        FreeLocked(block, RecordType::Raw, call);  // reports why
        return;
    }
    Release(where);
}

void DmiHeap::FreeRecord(const void* record, RecordType type, std::string_view call) {
    std::lock_guard lock(mutex_);
    FreeLocked(record, type, call);
}

void DmiHeap::FreeLocked(const void* record, RecordType expected, std::string_view call) {
    if (record == nullptr) {
        return;
    }
    const auto address = reinterpret_cast<uintptr_t>(record);
    const auto where = live_.find(address);
    if (where == live_.end()) {
        if (quarantine_.contains(address)) {
            ReportBadFree(record, call, "was freed twice");
        } else if (Locate(record, 1) == Where::Inside) {
            ReportBadFree(record, call, "points into a block, not at its start");
        } else {
            ReportBadFree(record, call, "was never handed out by the service provider");
        }
        return;
    }
    Block& block = where->second;
    if (block.beingFreed) {
        ReportBadFree(record, call, "is freed twice: a record refers back to it");
        return;
    }
    if (!Compatible(block.type, expected)) {
        ReportBadFree(record, call,
                      "was made by " + block.kind + " (" + RecordTypeName(block.type) +
                          "), which is not a " + RecordTypeName(expected) + "; left as it is");
        return;
    }
    if (block.size < MinimumSize(expected)) {
        ReportBadFree(record, call,
                      "is a block of " + std::to_string(block.size) + " bytes, too small for a " +
                          RecordTypeName(expected) + "; left as it is");
        return;
    }
    block.beingFreed = true;
    FreeOwnedLocked(block, expected, call);
    Release(live_.find(address));
}

void DmiHeap::FreeChildLocked(const Block& parent, const void* child, RecordType type,
                              std::string_view call) {
    if (child == nullptr) {
        return;
    }
    const auto start = reinterpret_cast<uintptr_t>(parent.storage.get());
    const auto at = reinterpret_cast<uintptr_t>(child);
    if (at > start && at < start + parent.size) {
        return;  // built into the parent's block, released with it
    }
    // Also inline: built into another block that this same free is releasing (a list's
    // separately allocated entry array).
    auto owner = live_.upper_bound(at);
    if (owner != live_.begin()) {
        --owner;
        if (owner->second.beingFreed && at > owner->first &&
            at < owner->first + owner->second.size) {
            return;
        }
    }
    FreeLocked(child, type, call);
}

void DmiHeap::FreeUnionValueLocked(const Block& parent, const DmiDataUnion& data,
                                   std::string_view call) {
    switch (data.type) {
        case MIF_OCTETSTRING:
        case MIF_DISPLAYSTRING:
            FreeChildLocked(parent, data.value.str, RecordType::String, call);
            break;
        case MIF_DATE:
            FreeChildLocked(parent, data.value.date, RecordType::Timestamp, call);
            break;
        default:
            break;
    }
}

template <typename Entry, typename Visit>
void DmiHeap::ForEachEntryLocked(Block& block, Visit visit, std::string_view call) {
    ListHeader header;
    std::memcpy(&header, block.storage.get(), sizeof header);
    if (header.list == nullptr || header.size == 0) {
        return;
    }
    const auto start = reinterpret_cast<uintptr_t>(block.storage.get());
    const auto at = reinterpret_cast<uintptr_t>(header.list);
    if (at > start && at < start + block.size) {
        const size_t room = (start + block.size - at) / sizeof(Entry);
        const size_t count = std::min<size_t>(header.size, room);
        for (size_t i = 0; i < count; ++i) {
            Entry entry;
            std::memcpy(&entry, reinterpret_cast<const std::byte*>(at) + i * sizeof(Entry),
                        sizeof entry);
            visit(block, entry);
        }
        return;
    }
    // The entries live in a block of their own (put together with DmiAlloc).
    const auto arrayAt = live_.find(at);
    if (arrayAt == live_.end() || arrayAt->second.beingFreed ||
        arrayAt->second.type != RecordType::Raw) {
        FreeLocked(header.list, RecordType::Raw, call);  // reports what is wrong with it
        return;
    }
    Block& entries = arrayAt->second;
    entries.beingFreed = true;
    const size_t count = std::min<size_t>(header.size, entries.size / sizeof(Entry));
    for (size_t i = 0; i < count; ++i) {
        Entry entry;
        std::memcpy(&entry, entries.storage.get() + i * sizeof(Entry), sizeof entry);
        visit(entries, entry);
    }
    Release(live_.find(at));
}

void DmiHeap::FreeOwnedLocked(Block& block, RecordType type, std::string_view call) {
    switch (type) {
        case RecordType::Raw:
        case RecordType::Timestamp:
            return;  // they own nothing
        case RecordType::String:
        case RecordType::DataUnion:
        case RecordType::AttributeData:
        case RecordType::RowData:
        case RecordType::NodeAddress:
            FreeRecordFieldsLocked(block, type, call);
            return;
        case RecordType::AttributeValues:
        case RecordType::MultiRowData:
        case RecordType::MultiRowRequest:
        case RecordType::FileTypeList:
        case RecordType::FileDataList:
        case RecordType::StringList:
            FreeValueListLocked(block, type, call);
            return;
        case RecordType::ComponentList:
        case RecordType::ClassNameList:
        case RecordType::GroupList:
        case RecordType::AttributeList:
            FreeDescriptionListLocked(block, type, call);
            return;
    }
}

void DmiHeap::FreeRecordFieldsLocked(const Block& block, RecordType type, std::string_view call) {
    const std::byte* bytes = block.storage.get();
    switch (type) {
        case RecordType::String: {
            DmiString string;
            std::memcpy(&string, bytes, sizeof string);
            FreeChildLocked(block, string.body, RecordType::Raw, call);
            return;
        }
        case RecordType::DataUnion: {
            DmiDataUnion data;
            std::memcpy(&data, bytes, sizeof data);
            FreeUnionValueLocked(block, data, call);
            return;
        }
        case RecordType::AttributeData: {
            DmiAttributeData data;
            std::memcpy(&data, bytes, sizeof data);
            FreeUnionValueLocked(block, data.data, call);
            return;
        }
        case RecordType::RowData: {
            DmiRowData row;
            std::memcpy(&row, bytes, sizeof row);
            FreeRowFieldsLocked(block, row, call);
            return;
        }
        case RecordType::NodeAddress: {
            DmiNodeAddress node;
            std::memcpy(&node, bytes, sizeof node);
            FreeChildLocked(block, node.address, RecordType::String, call);
            FreeChildLocked(block, node.rpc, RecordType::String, call);
            FreeChildLocked(block, node.transport, RecordType::String, call);
            return;
        }
        default:
            return;  // not a single record: FreeOwnedLocked sends no other type here
    }
}

void DmiHeap::FreeRowFieldsLocked(const Block& owner, const DmiRowData& row,
                                  std::string_view call) {
    FreeChildLocked(owner, row.className, RecordType::String, call);
    FreeChildLocked(owner, row.keyList, RecordType::AttributeValues, call);
    FreeChildLocked(owner, row.values, RecordType::AttributeValues, call);
}

void DmiHeap::FreeValueListLocked(Block& block, RecordType type, std::string_view call) {
    switch (type) {
        case RecordType::AttributeValues:
            ForEachEntryLocked<DmiAttributeData>(
                block,
                [&](const Block& owner, const DmiAttributeData& entry) {
                    FreeUnionValueLocked(owner, entry.data, call);
                },
                call);
            return;
        case RecordType::MultiRowData:
            ForEachEntryLocked<DmiRowData>(
                block,
                [&](const Block& owner, const DmiRowData& row) {
                    FreeRowFieldsLocked(owner, row, call);
                },
                call);
            return;
        case RecordType::MultiRowRequest:
            ForEachEntryLocked<DmiRowRequest>(
                block,
                [&](const Block& owner, const DmiRowRequest& request) {
                    FreeChildLocked(owner, request.keyList, RecordType::AttributeValues, call);
                },
                call);
            return;
        case RecordType::FileTypeList:
            ForEachEntryLocked<DmiUnsigned>(
                block, [](const Block&, DmiUnsigned) {}, call);
            return;
        case RecordType::FileDataList:
            ForEachEntryLocked<DmiFileDataInfo>(
                block,
                [&](const Block& owner, const DmiFileDataInfo& file) {
                    FreeChildLocked(owner, file.fileData, RecordType::String, call);
                },
                call);
            return;
        case RecordType::StringList:
            ForEachEntryLocked<DmiString*>(
                block,
                [&](const Block& owner, DmiString* string) {
                    FreeChildLocked(owner, string, RecordType::String, call);
                },
                call);
            return;
        default:
            return;  // not a list of values: FreeOwnedLocked sends no other type here
    }
}

void DmiHeap::FreeDescriptionListLocked(Block& block, RecordType type, std::string_view call) {
    switch (type) {
        case RecordType::ComponentList:
            ForEachEntryLocked<DmiComponentInfo>(
                block,
                [&](const Block& owner, const DmiComponentInfo& info) {
                    FreeChildLocked(owner, info.name, RecordType::String, call);
                    FreeChildLocked(owner, info.description, RecordType::String, call);
                },
                call);
            return;
        case RecordType::ClassNameList:
            ForEachEntryLocked<DmiClassNameInfo>(
                block,
                [&](const Block& owner, const DmiClassNameInfo& info) {
                    FreeChildLocked(owner, info.className, RecordType::String, call);
                },
                call);
            return;
        case RecordType::GroupList:
            ForEachEntryLocked<DmiGroupInfo>(
                block,
                [&](const Block& owner, const DmiGroupInfo& info) {
                    FreeChildLocked(owner, info.name, RecordType::String, call);
                    FreeChildLocked(owner, info.pragma, RecordType::String, call);
                    FreeChildLocked(owner, info.className, RecordType::String, call);
                    FreeChildLocked(owner, info.description, RecordType::String, call);
                    FreeChildLocked(owner, info.keyList, RecordType::AttributeValues, call);
                },
                call);
            return;
        case RecordType::AttributeList:
            ForEachEntryLocked<DmiAttributeInfo>(
                block,
                [&](const Block& owner, const DmiAttributeInfo& info) {
                    FreeChildLocked(owner, info.name, RecordType::String, call);
                    FreeChildLocked(owner, info.pragma, RecordType::String, call);
                    FreeChildLocked(owner, info.description, RecordType::String, call);
                },
                call);
            return;
        default:
            return;  // not a description list: FreeListEntriesLocked sends no other type here
    }
}

void DmiHeap::Release(std::map<uintptr_t, Block>::iterator where) {
    Block block = std::move(where->second);
    live_.erase(where);
    ++frees_;
    // Kept a while, so that a second free is recognised and a use after free reads garbage.
    std::fill_n(block.storage.get(), std::max<size_t>(block.size, 1), kFreedPattern);
    block.beingFreed = false;
    const uintptr_t address = reinterpret_cast<uintptr_t>(block.storage.get());
    quarantineBytes_ += block.size;
    quarantine_.emplace(address, std::move(block));
    quarantineOrder_.push_back(address);
    while (quarantineOrder_.size() > kQuarantineBlocks || quarantineBytes_ > kQuarantineBytes) {
        const auto oldest = quarantine_.find(quarantineOrder_.front());
        quarantineOrder_.pop_front();
        if (oldest != quarantine_.end()) {
            quarantineBytes_ -= oldest->second.size;
            quarantine_.erase(oldest);
        }
    }
}

void DmiHeap::ReportBadFree(const void* record, std::string_view call, std::string reason) {
    ++badFrees_;
    BadFreeReport report{std::string(call), "block " + Address(record) + " " + reason};
    if (report_) {
        report_(report.call + ": bad free: " + report.reason);
    }
    recentBadFrees_.push_back(std::move(report));
    if (recentBadFrees_.size() > kRecentBadFrees) {
        recentBadFrees_.pop_front();
    }
}

DmiHeap::Where DmiHeap::Locate(const void* p, size_t size) const {
    const auto at = reinterpret_cast<uintptr_t>(p);
    if (size > UINTPTR_MAX - at) {
        return Where::Overrun;
    }
    for (const auto* blocks : {&live_, &quarantine_}) {
        auto owner = blocks->upper_bound(at);
        if (owner == blocks->begin()) {
            continue;
        }
        --owner;
        const uintptr_t start = owner->first;
        const uintptr_t end = start + owner->second.size;
        if (at == start || at < end) {
            if (blocks == &quarantine_) {
                return Where::Freed;
            }
            return at + size <= end ? Where::Inside : Where::Overrun;
        }
    }
    return Where::Unknown;
}

bool DmiHeap::CopyOut(const void* source, size_t size, void* target, std::string* error) const {
    std::lock_guard lock(mutex_);
    return CopyOutLocked(source, size, target, error);
}

bool DmiHeap::CopyOutLocked(const void* source, size_t size, void* target,
                            std::string* error) const {
    if (size == 0) {
        return true;
    }
    if (source == nullptr) {
        *error = "a null pointer where a record was expected";
        return false;
    }
    switch (Locate(source, size)) {
        case Where::Inside:
        case Where::Unknown:
            std::memcpy(target, source, size);
            return true;
        case Where::Freed:
            *error = "the record at " + Address(source) + " was already freed";
            return false;
        case Where::Overrun:
            *error = "reading " + std::to_string(size) + " bytes at " + Address(source) +
                     " runs past the end of its block";
            return false;
    }
    return false;
}

class DmiHeap::LockedMemory final : public CallerMemory {
  public:
    explicit LockedMemory(const DmiHeap& heap) : heap_(heap) {}
    bool CopyOut(const void* source, size_t size, void* target, std::string* error) const override {
        return heap_.CopyOutLocked(source, size, target, error);
    }

  private:
    const DmiHeap& heap_;
};

bool DmiHeap::ReadString(const DmiString* string, std::string* bytes, std::string* error) const {
    std::lock_guard lock(mutex_);
    return ReadCountedString(LockedMemory(*this), string, bytes, error);
}

bool DmiHeap::ReadAttributeData(const DmiAttributeData* data, AttributeValue* value,
                                std::string* error) const {
    std::lock_guard lock(mutex_);
    return sp::ReadAttributeData(LockedMemory(*this), data, value, error);
}

bool DmiHeap::ReadDataUnion(const DmiDataUnion* data, AttributeValue* value,
                            std::string* error) const {
    std::lock_guard lock(mutex_);
    return sp::ReadDataUnion(LockedMemory(*this), data, value, error);
}

bool DmiHeap::ReadAttributeValues(const DmiAttributeValues* list,
                                  std::vector<AttributeValue>* values, std::string* error) const {
    std::lock_guard lock(mutex_);
    return sp::ReadAttributeValues(LockedMemory(*this), list, values, error);
}

bool DmiHeap::ReadRows(const DmiMultiRowData* rows, std::vector<RowCopy>* copies,
                       std::string* error) const {
    std::lock_guard lock(mutex_);
    return sp::ReadRows(LockedMemory(*this), rows, copies, error);
}

bool DmiHeap::IsLiveBlock(const void* record, size_t size) const {
    std::lock_guard lock(mutex_);
    const auto where = live_.find(reinterpret_cast<uintptr_t>(record));
    return where != live_.end() && where->second.size >= size;
}

MemoryStats DmiHeap::Stats() const {
    std::lock_guard lock(mutex_);
    MemoryStats stats;
    stats.allocations = allocations_;
    stats.frees = frees_;
    stats.badFrees = badFrees_;
    for (const auto& [address, block] : live_) {
        stats.outstanding.push_back(BlockReport{block.size, block.kind});
    }
    stats.recentBadFrees.assign(recentBadFrees_.begin(), recentBadFrees_.end());
    return stats;
}

}  // namespace korvo::sp

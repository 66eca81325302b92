// The service provider's memory: every DMI record it hands out is a tracked block, released by
// the matching Free call together with what the record owns. A free of a block it never handed
// out, a second free, and a record freed by the wrong call are counted and reported, never acted
// on: the heap touches only memory it handed out. Freed blocks stay in quarantine for a while,
// filled with a pattern, so that a second free is recognised and a use after free shows.
//
// Each New or Alloc call is one allocation step for failure injection, however many blocks it
// makes. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attribute_value.h"
#include "caller_records.h"
#include "dmi/dmi.h"

namespace korvo::sp {

// What a block holds, so that a deep free knows what it owns.
enum class RecordType : uint8_t {
    Raw,  // DmiAlloc: bytes whose meaning the caller knows
    String,
    Timestamp,
    DataUnion,
    AttributeData,
    AttributeValues,
    RowData,
    MultiRowData,
    MultiRowRequest,
    NodeAddress,
    FileTypeList,
    FileDataList,
    ComponentList,
    ClassNameList,
    GroupList,
    AttributeList,
    StringList,
};

struct BlockReport {
    size_t size = 0;
    std::string kind;  // the call that handed it out
};

struct BadFreeReport {
    std::string call;    // the freeing call
    std::string reason;  // "freed twice", "never handed out", ...
};

struct MemoryStats {
    uint64_t allocations = 0;  // blocks handed out
    uint64_t frees = 0;        // blocks released
    uint64_t badFrees = 0;
    std::vector<BlockReport> outstanding;
    std::vector<BadFreeReport> recentBadFrees;  // the latest ones, oldest first
};

class DmiHeap {
  public:
    // The largest block the heap hands out; a larger request is answered "out of memory". No
    // counted string a caller hands in is believed to be longer.
    static constexpr size_t kMaxBlockSize = kMaxCallerStringBytes;

    // `report` receives one line for every bad free (for the log).
    explicit DmiHeap(std::function<void(const std::string&)> report = {});
    ~DmiHeap();
    DmiHeap(const DmiHeap&) = delete;
    DmiHeap& operator=(const DmiHeap&) = delete;

    // Failure injection: the Nth allocation step from now fails (0 turns it off).
    void FailAllocation(unsigned n);
    // One allocation step of a New or Alloc call: true when this one is to fail.
    bool TakeStep();

    // A zeroed block, or null when it is too large. Not an allocation step by itself.
    void* Allocate(size_t size, RecordType type, std::string_view kind);

    // Record builders over Allocate (no allocation step of their own).
    DmiString* NewString(std::string_view bytes, std::string_view kind);
    DmiTimestamp* NewTimestamp(std::string_view text, std::string_view kind);
    // A list header with `count` zeroed entries of `entrySize` bytes in the same block.
    void* NewList(RecordType type, size_t count, size_t entrySize, size_t entryAlign,
                  std::string_view kind);
    // Stores `value` into `data` (id, type, value); a string value gets a block of its own.
    bool FillAttributeData(DmiAttributeData* data, const AttributeValue& value,
                           std::string_view kind);
    DmiAttributeData* NewAttributeData(const AttributeValue& value, std::string_view kind);
    DmiAttributeValues* NewAttributeValues(const std::vector<AttributeValue>& values,
                                           std::string_view kind);
    // A multi-row record holding `rows`; null, with nothing left behind, when a block of it
    // cannot be made.
    DmiMultiRowData* NewMultiRowData(const std::vector<RowCopy>& rows, std::string_view kind);

    // The Free calls. `call` names the freeing call in reports. Null is ignored.
    void Free(void* block, std::string_view call);  // shallow: the block alone
    void FreeRecord(const void* record, RecordType type, std::string_view call);

    // Reading what callers hand in (caller_records.h), with the heap's lock held throughout.
    // Memory inside a block of ours is checked against the block; memory the heap does not
    // know is the caller's and is read as given. Memory of a freed block, or a range running
    // past its block, is refused with `error` set.
    bool CopyOut(const void* source, size_t size, void* target, std::string* error) const;
    bool ReadString(const DmiString* string, std::string* bytes, std::string* error) const;
    bool ReadAttributeData(const DmiAttributeData* data, AttributeValue* value,
                           std::string* error) const;
    bool ReadDataUnion(const DmiDataUnion* data, AttributeValue* value, std::string* error) const;
    bool ReadAttributeValues(const DmiAttributeValues* list, std::vector<AttributeValue>* values,
                             std::string* error) const;
    bool ReadRows(const DmiMultiRowData* rows, std::vector<RowCopy>* copies,
                  std::string* error) const;
    // True when `record` is the start of a live block of ours of at least `size` bytes.
    bool IsLiveBlock(const void* record, size_t size) const;

    MemoryStats Stats() const;

  private:
    struct Block {
        size_t size = 0;
        RecordType type = RecordType::Raw;
        std::string kind;
        std::unique_ptr<std::byte[]> storage;
        bool beingFreed = false;
    };
    enum class Where { Inside, Unknown, Freed, Overrun };
    // Caller memory as CopyOut reads it, for a reader run with the lock held.
    class LockedMemory;

    Where Locate(const void* p, size_t size) const;
    bool CopyOutLocked(const void* source, size_t size, void* target, std::string* error) const;

    void FreeLocked(const void* record, RecordType expected, std::string_view call);
    // Frees what a block about to be released owns, by its record type: the fields of a single
    // record, the entries of a list of values or rows, or those of a list of descriptions.
    void FreeOwnedLocked(Block& block, RecordType type, std::string_view call);
    void FreeRecordFieldsLocked(const Block& block, RecordType type, std::string_view call);
    void FreeRowFieldsLocked(const Block& owner, const DmiRowData& row, std::string_view call);
    void FreeValueListLocked(Block& block, RecordType type, std::string_view call);
    void FreeDescriptionListLocked(Block& block, RecordType type, std::string_view call);
    void FreeChildLocked(const Block& parent, const void* child, RecordType type,
                         std::string_view call);
    void FreeUnionValueLocked(const Block& parent, const DmiDataUnion& data, std::string_view call);
    template <typename Entry, typename Visit>
    void ForEachEntryLocked(Block& block, Visit visit, std::string_view call);
    void Release(std::map<uintptr_t, Block>::iterator where);
    void ReportBadFree(const void* record, std::string_view call, std::string reason);

    mutable std::mutex mutex_;
    std::function<void(const std::string&)> report_;
    std::map<uintptr_t, Block> live_;
    std::map<uintptr_t, Block> quarantine_;
    std::deque<uintptr_t> quarantineOrder_;
    size_t quarantineBytes_ = 0;
    unsigned failCountdown_ = 0;
    uint64_t allocations_ = 0;
    uint64_t frees_ = 0;
    uint64_t badFrees_ = 0;
    std::deque<BadFreeReport> recentBadFrees_;
};

const char* RecordTypeName(RecordType type);

}  // namespace korvo::sp

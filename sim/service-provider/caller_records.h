// Reading the DMI records a caller hands in (counted strings, data unions, attribute lists,
// multi-row records) into values, without trusting them: every byte is copied through a
// CallerMemory, which refuses memory that is not there to be read (a freed block, a range
// running past its block), and a list or string is believed only up to a limit. A read either
// gives the whole value or fails with an error saying where it stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "attribute_value.h"
#include "dmi/dmi.h"

namespace korvo::sp {

// Lists read out of a caller's memory are believed up to this many entries, and counted strings
// up to this many bytes (the largest block the service provider hands out).
inline constexpr DmiUnsigned kMaxCallerListEntries = 1u << 20;
inline constexpr size_t kMaxCallerStringBytes = size_t{64} << 20;

// Where a caller's records are copied from: `size` bytes at `source` into `target`, or false
// with `error` saying why they cannot be read. A null `source` with a size is refused.
class CallerMemory {
  public:
    virtual bool CopyOut(const void* source, size_t size, void* target,
                         std::string* error) const = 0;

  protected:
    ~CallerMemory() = default;
};

// A row of a multi-row record, read out of the caller's memory.
struct RowCopy {
    uint32_t componentId = 0;
    uint32_t groupId = 0;
    std::optional<std::string> className;
    std::vector<AttributeValue> keys;
    std::vector<AttributeValue> values;
};

bool ReadCountedString(const CallerMemory& memory, const DmiString* string, std::string* bytes,
                       std::string* error);
// A data union already copied out; what it points to (a string, a date) is read through
// `memory`. An unknown type code is an error.
bool ReadUnionValue(const CallerMemory& memory, const DmiDataUnion& data, AttributeValue* value,
                    std::string* error);
bool ReadAttributeData(const CallerMemory& memory, const DmiAttributeData* data,
                       AttributeValue* value, std::string* error);
bool ReadDataUnion(const CallerMemory& memory, const DmiDataUnion* data, AttributeValue* value,
                   std::string* error);
// A null list is an empty one.
bool ReadAttributeValues(const CallerMemory& memory, const DmiAttributeValues* list,
                         std::vector<AttributeValue>* values, std::string* error);
bool ReadRows(const CallerMemory& memory, const DmiMultiRowData* rows, std::vector<RowCopy>* copies,
              std::string* error);

}  // namespace korvo::sp

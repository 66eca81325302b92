// Why a walk of a table ended: the "end" of a walked group in the document --json prints, and
// the words a person reads for it, from one table.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace korvo::console {

enum class WalkEnd {
    RowNotFound,          // the table's own end
    RowRepeats,           // the row answered exactly as the one before: the keys select nothing
    NoValue,              // no attribute of the row has a value
    RowBound,             // kWalkRowBound rows were read
    NoReadableAttribute,  // every attribute is write-only
};

// {"reason":"row not found","row":N,...} for a walk that ended at `row`.
nlohmann::json WalkEndJson(WalkEnd end, uint32_t row);

// "row 4: row not found (0x10A)", "stopped after 10000 rows", ...
std::string DescribeWalkEnd(const nlohmann::json& end);

}  // namespace korvo::console

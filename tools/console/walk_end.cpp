// The reasons a table walk ends, each with its name in the document and its words for people.
#include "console/walk_end.h"

#include "dmi/dmi_names.h"

namespace korvo::console {

namespace {

struct WalkEndReason {
    WalkEnd end;
    const char* reason;                     // the "reason" of the document's "end"
    std::string (*describe)(uint32_t row);  // `row` is where the walk ended
};

const WalkEndReason kReasons[] = {
    {WalkEnd::RowNotFound, "row not found",
     [](uint32_t row) {
         return "row " + std::to_string(row) + ": " + dmi::DescribeStatus(DMIERR_ROW_NOT_FOUND);
     }},
    {WalkEnd::RowRepeats, "row repeats",
     [](uint32_t row) {
         return "stopped at row " + std::to_string(row) + ": it answered exactly as row " +
                std::to_string(row - 1) + ", so the keys do not select rows";
     }},
    {WalkEnd::NoValue, "no value",
     [](uint32_t row) {
         return "stopped at row " + std::to_string(row) + ": none of its attributes has a value";
     }},
    {WalkEnd::RowBound, "row bound",
     [](uint32_t row) { return "stopped after " + std::to_string(row - 1) + " rows"; }},
    {WalkEnd::NoReadableAttribute, "no readable attribute",
     [](uint32_t) { return std::string("no attribute to read"); }},
};

}  // namespace

nlohmann::json WalkEndJson(WalkEnd end, uint32_t row) {
    for (const WalkEndReason& known : kReasons) {
        if (known.end != end) {
            continue;
        }
        nlohmann::json document{{"reason", known.reason}};
        if (end != WalkEnd::NoReadableAttribute) {
            document["row"] = row;
        }
        if (end == WalkEnd::RowNotFound) {
            document["status"] = DMIERR_ROW_NOT_FOUND;
            document["statusName"] = dmi::StatusName(DMIERR_ROW_NOT_FOUND);
        }
        return document;
    }
    return nullptr;
}

std::string DescribeWalkEnd(const nlohmann::json& end) {
    const std::string reason = end.value("reason", std::string());
    for (const WalkEndReason& known : kReasons) {
        if (reason == known.reason) {
            return known.describe(end.value("row", 0u));
        }
    }
    return reason;
}

}  // namespace korvo::console

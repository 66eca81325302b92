// Walking a component's groups, and the reasons a table walk ends, each with its name in the
// document and its words for people.
#include "console/component_walk.h"

#include <algorithm>

#include "console/text_renderer.h"
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

void ElideRows(nlohmann::json& group, uint64_t keep) {
    const auto rows = group.find("rows");
    if (rows == group.end() || !rows->is_array()) {
        return;
    }
    const uint64_t count = rows->size();
    group["rowCount"] = count;
    if (count <= 2 * keep) {
        return;
    }
    nlohmann::json kept = nlohmann::json::array();
    for (uint64_t i = 0; i < count; ++i) {
        if (i < keep || i >= count - keep) {
            kept.push_back((*rows)[i]);
        }
    }
    *rows = std::move(kept);
    group["rowsOmitted"] = count - 2 * keep;
}

namespace {

bool IsWriteOnly(const AttributeInfo& attribute) {
    return attribute.access == "write-only";
}

bool SameAnswers(const std::vector<Reading>& row, const std::vector<Reading>& other) {
    return std::equal(row.begin(), row.end(), other.begin(), other.end(),
                      [](const Reading& a, const Reading& b) {
                          return a.id == b.id && a.status == b.status && a.value == b.value;
                      });
}

}  // namespace

Reading GroupWalk::Read(uint32_t component, uint32_t group, const AttributeInfo& attribute,
                        const nlohmann::json& keys) {
    return ReadAttribute(client_(), "get", component, group, attribute.id, &attribute, keys);
}

nlohmann::json GroupWalk::Walk(uint32_t component, const GroupInfo& group) {
    nlohmann::json document{
        {"id", group.id}, {"name", group.name}, {"class", group.className}, {"keys", group.keys}};
    if (text_ != nullptr) {
        text_->WalkGroupHeading(document);
    }
    const std::vector<AttributeInfo>* attributes = nullptr;
    try {
        attributes = &catalog_.Attributes(component, group.id);
    } catch (const StatusError& refused) {
        document["status"] = refused.status();
        document["error"] = refused.what();
    }
    if (attributes != nullptr && group.keys.empty()) {
        document["attributes"] = SingleRow(component, group, *attributes);
    } else if (attributes != nullptr) {
        Table(component, group, *attributes, document);
    }
    if (text_ != nullptr) {
        text_->WalkGroupBody(component, document);
    }
    return document;
}

nlohmann::json GroupWalk::SingleRow(uint32_t component, const GroupInfo& group,
                                    const std::vector<AttributeInfo>& attributes) {
    nlohmann::json list = nlohmann::json::array();
    for (const AttributeInfo& attribute : attributes) {
        if (IsWriteOnly(attribute)) {
            list.push_back(
                {{"id", attribute.id}, {"name", attribute.name}, {"skipped", "write-only"}});
            continue;
        }
        list.push_back(ReadingJson(Read(component, group.id, attribute, nlohmann::json::array())));
    }
    return list;
}

void GroupWalk::Table(uint32_t component, const GroupInfo& group,
                      const std::vector<AttributeInfo>& attributes, nlohmann::json& document) {
    std::vector<const AttributeInfo*> readable;
    for (const AttributeInfo& attribute : attributes) {
        if (!IsWriteOnly(attribute)) {
            readable.push_back(&attribute);
        }
    }
    nlohmann::json rows = nlohmann::json::array();
    nlohmann::json end = WalkEndJson(WalkEnd::NoReadableAttribute, 0);
    std::vector<Reading> previous;
    for (uint32_t row = 1; !readable.empty(); ++row) {
        if (row > kWalkRowBound) {
            end = WalkEndJson(WalkEnd::RowBound, row);
            break;
        }
        const nlohmann::json keys = TableRowKeys(group, row);
        std::vector<Reading> readings;
        bool rowNotFound = false;
        bool anyValue = false;
        for (const AttributeInfo* attribute : readable) {
            Reading reading = Read(component, group.id, *attribute, keys);
            if (reading.status == DMIERR_ROW_NOT_FOUND) {
                rowNotFound = true;
                break;
            }
            anyValue = anyValue || (reading.status == DMIERR_NO_ERROR && HasValue(reading.value));
            readings.push_back(std::move(reading));
        }
        if (rowNotFound) {
            end = WalkEndJson(WalkEnd::RowNotFound, row);
            break;
        }
        // A group that does not look at its keys answers every row alike and never says
        // "row not found": its first row is all there is to show.
        if (row > 1 && SameAnswers(readings, previous)) {
            end = WalkEndJson(WalkEnd::RowRepeats, row);
            break;
        }
        nlohmann::json rowDocument{
            {"row", row}, {"keys", keys}, {"attributes", nlohmann::json::array()}};
        for (const Reading& reading : readings) {
            rowDocument["attributes"].push_back(ReadingJson(reading));
        }
        rows.push_back(std::move(rowDocument));
        // A table that never says "row not found" (every read refused, or answered
        // without a value) would otherwise be asked for thousands of empty rows.
        if (!anyValue) {
            end = WalkEndJson(WalkEnd::NoValue, row);
            break;
        }
        previous = std::move(readings);
    }
    document["rows"] = rows;
    document["end"] = end;
}

}  // namespace korvo::console

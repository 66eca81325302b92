// Walking a component's groups, and the reasons a table walk ends, each with its name in the
// document and its words for people.
#include "console/component_walk.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "console/text_renderer.h"
#include "dmi/dmi_names.h"
#include "korvo/management_protocol.h"
#include "management/management_requests.h"

namespace korvo::console {

using management::AttributeInfo;
using management::ConnectionError;
using management::GroupInfo;
using management::Reading;
using management::ReadingFrom;
using management::ReadingJson;
using management::StatusError;
using management::StatusOf;
using management::TableRowKeys;

namespace {

struct WalkEndReason {
    WalkEnd end;
    const char* reason;                                  // the "reason" of the document's "end"
    std::string (*describe)(const nlohmann::json& end);  // the document's "end"
};

uint32_t RowOf(const nlohmann::json& end) {
    return end.value("row", 0u);
}

const WalkEndReason kReasons[] = {
    {WalkEnd::RowNotFound, management::kEndRowNotFound,
     [](const nlohmann::json& end) {
         return "row " + std::to_string(RowOf(end)) + ": " +
                dmi::DescribeStatus(DMIERR_ROW_NOT_FOUND);
     }},
    {WalkEnd::RowRepeats, management::kEndRowRepeats,
     [](const nlohmann::json& end) {
         return "stopped at row " + std::to_string(RowOf(end)) + ": it answered exactly as row " +
                std::to_string(RowOf(end) - 1) + ", so the keys do not select rows";
     }},
    {WalkEnd::NoValue, management::kEndNoValue,
     [](const nlohmann::json& end) {
         return "stopped at row " + std::to_string(RowOf(end)) +
                ": none of its attributes has a value";
     }},
    {WalkEnd::RowBound, "row bound",
     [](const nlohmann::json& end) {
         return "stopped after " + std::to_string(RowOf(end) - 1) + " rows";
     }},
    {WalkEnd::NoReadableAttribute, "no readable attribute",
     [](const nlohmann::json&) { return std::string("no attribute to read"); }},
    {WalkEnd::ReadFailed, management::kEndReadFailed,
     [](const nlohmann::json& end) {
         std::string text = "stopped at row " + std::to_string(RowOf(end)) +
                            ": its key attribute " + std::to_string(end.value("attribute", 0u)) +
                            " could not be read: " + dmi::DescribeStatus(end.value("status", 0u));
         if (const std::string error = end.value("error", std::string()); !error.empty()) {
             text += ": " + error;
         }
         return text;
     }},
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
            return known.describe(end);
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
    if (keep >= count || count - keep <= keep) {  // count <= 2 * keep, without overflowing
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

WalkDocumentText::WalkDocumentText(nlohmann::json head) {
    head["groups"] = nlohmann::json::array();
    text_ = head.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    constexpr std::string_view kEmptyGroups = "[]";
    const size_t at = text_.rfind(kEmptyGroups);
    end_ = text_.substr(at + kEmptyGroups.size());
    text_.resize(at);
    if (end_ != "\n}") {
        throw std::logic_error("a walk document's groups must be its last member");
    }
}

void WalkDocumentText::Add(const nlohmann::json& group) {
    text_ += any_ ? ",\n    " : "[\n    ";
    any_ = true;
    // A dumped string holds no newline of its own: every newline starts a line to indent.
    for (const char c : group.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)) {
        text_ += c;
        if (c == '\n') {
            text_ += "    ";
        }
    }
}

std::string WalkDocumentText::Finish() {
    text_ += any_ ? "\n  ]" : "[]";
    return std::move(text_) + end_;
}

namespace {

bool IsWriteOnly(const AttributeInfo& attribute) {
    return attribute.access == "write-only";
}

// The attributes a walk reads: all but the write-only ones.
std::vector<const AttributeInfo*> Readable(const std::vector<AttributeInfo>& attributes) {
    std::vector<const AttributeInfo*> readable;
    for (const AttributeInfo& attribute : attributes) {
        if (!IsWriteOnly(attribute)) {
            readable.push_back(&attribute);
        }
    }
    return readable;
}

// The end a get-rows answer names; null when it names none the walk knows.
const WalkEndReason* EndNamed(const nlohmann::json& end) {
    const auto reason = end.find("reason");
    for (const WalkEndReason& known : kReasons) {
        if (reason != end.end() && reason->is_string() && *reason == known.reason) {
            return &known;
        }
    }
    return nullptr;
}

nlohmann::json AttributeIds(const std::vector<const AttributeInfo*>& attributes) {
    nlohmann::json ids = nlohmann::json::array();
    for (const AttributeInfo* attribute : attributes) {
        ids.push_back(attribute->id);
    }
    return ids;
}

// The READINGs of a multi-value answer, one for each attribute asked for; when the request
// was refused as a whole, each attribute's reading is the refusal, as its own get's would be.
std::vector<Reading> Readings(const nlohmann::json& answer, const nlohmann::json& row,
                              const std::vector<const AttributeInfo*>& attributes) {
    std::vector<Reading> readings;
    const auto given = row.find("attributes");
    for (size_t i = 0; i < attributes.size(); ++i) {
        const bool answered = StatusOf(answer) == DMIERR_NO_ERROR && given != row.end() &&
                              given->is_array() && i < given->size();
        readings.push_back(
            ReadingFrom(answered ? (*given)[i] : answer, attributes[i]->id, attributes[i]));
    }
    return readings;
}

nlohmann::json RowRequest(uint32_t component, uint32_t group,
                          const std::vector<const AttributeInfo*>& readable) {
    return management::request::GetRow(component, group, nullptr, AttributeIds(readable));
}

nlohmann::json RowsRequest(uint32_t component, const GroupInfo& group, uint32_t row,
                           const std::vector<const AttributeInfo*>& readable) {
    const uint32_t count = std::min(management::kMaxRowsPerRequest, kWalkRowBound - row + 1);
    return management::request::GetRows(component, group.id, TableRowKeys(group, row), count,
                                        AttributeIds(readable));
}

bool SameAnswers(const std::vector<Reading>& row, const std::vector<Reading>& other) {
    return std::equal(row.begin(), row.end(), other.begin(), other.end(),
                      [](const Reading& a, const Reading& b) {
                          return a.id == b.id && a.status == b.status && a.value == b.value;
                      });
}

}  // namespace

nlohmann::json GroupWalk::FirstRequest(uint32_t component, const GroupInfo& group) {
    const std::vector<AttributeInfo>* attributes = nullptr;
    try {
        attributes = &catalog_.Attributes(component, group.id);
    } catch (const StatusError&) {
        return nullptr;
    }
    const std::vector<const AttributeInfo*> readable = Readable(*attributes);
    if (readable.empty()) {
        return nullptr;
    }
    return group.keys.empty() ? RowRequest(component, group.id, readable)
                              : RowsRequest(component, group, 1, readable);
}

nlohmann::json GroupWalk::Ask(const nlohmann::json& request) {
    if (given_) {
        nlohmann::json answer = std::move(*given_);
        given_.reset();
        return answer;
    }
    return client_().Request(request);
}

void GroupWalk::WalkGroups(uint32_t component, std::span<const GroupInfo* const> groups,
                           const std::function<void(nlohmann::json)>& walked) {
    std::vector<uint32_t> groupIds;
    for (const GroupInfo* group : groups) {
        groupIds.push_back(group->id);
    }
    catalog_.ListAttributes(component, groupIds);
    std::vector<nlohmann::json> requests;
    std::vector<size_t> requestGroup;  // the group each request is the first of
    for (size_t i = 0; i < groups.size(); ++i) {
        if (nlohmann::json request = FirstRequest(component, *groups[i]); !request.is_null()) {
            requests.push_back(std::move(request));
            requestGroup.push_back(i);
        }
    }
    size_t done = 0;  // groups walked so far, in order
    auto walkNext = [&](std::optional<nlohmann::json> firstAnswer) {
        walked(Walk(component, *groups[done++], std::move(firstAnswer)));
    };
    client_().Pipeline(requests, [&](size_t i, nlohmann::json answer) {
        while (done < requestGroup[i]) {
            walkNext(std::nullopt);
        }
        walkNext(std::move(answer));
    });
    while (done < groups.size()) {
        walkNext(std::nullopt);
    }
}

nlohmann::json GroupWalk::Walk(uint32_t component, const GroupInfo& group,
                               std::optional<nlohmann::json> firstAnswer) {
    given_ = std::move(firstAnswer);
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
    given_.reset();
    if (text_ != nullptr) {
        text_->WalkGroupBody(component, document);
    }
    return document;
}

nlohmann::json GroupWalk::SingleRow(uint32_t component, const GroupInfo& group,
                                    const std::vector<AttributeInfo>& attributes) {
    const std::vector<const AttributeInfo*> readable = Readable(attributes);
    // The whole row in one request, each value still read on its own by the service provider.
    std::vector<Reading> readings;
    if (!readable.empty()) {
        const nlohmann::json answer = Ask(RowRequest(component, group.id, readable));
        readings = Readings(answer, answer, readable);
    }
    nlohmann::json list = nlohmann::json::array();
    auto reading = readings.begin();
    for (const AttributeInfo& attribute : attributes) {
        if (IsWriteOnly(attribute)) {
            list.push_back(
                {{"id", attribute.id}, {"name", attribute.name}, {"skipped", "write-only"}});
        } else {
            list.push_back(ReadingJson(*reading++));
        }
    }
    return list;
}

void GroupWalk::Table(uint32_t component, const GroupInfo& group,
                      const std::vector<AttributeInfo>& attributes, nlohmann::json& document) {
    const std::vector<const AttributeInfo*> readable = Readable(attributes);
    nlohmann::json rows = nlohmann::json::array();
    nlohmann::json end = WalkEndJson(WalkEnd::NoReadableAttribute, 0);
    std::vector<Reading> previous;
    // Rows come many to a request; the service provider ends a batch where the table ends.
    for (uint32_t row = 1; !readable.empty();) {
        if (row > kWalkRowBound) {
            end = WalkEndJson(WalkEnd::RowBound, row);
            break;
        }
        const nlohmann::json request = RowsRequest(component, group, row, readable);
        const uint32_t count = request["count"].get<uint32_t>();
        const nlohmann::json answer = Ask(request);
        const uint32_t first = row;
        nlohmann::json batch = answer.value("rows", nlohmann::json::array());
        nlohmann::json batchEnd = answer.value("end", nlohmann::json());
        if (const uint32_t status = StatusOf(answer); status == DMIERR_ROW_NOT_FOUND) {
            batch = nlohmann::json::array();
            batchEnd = {{"reason", management::kEndRowNotFound}, {"index", 0}};
        } else if (status != DMIERR_NO_ERROR) {
            // Refused as a whole: the row reads as the refusal, attribute by attribute, and
            // has no value.
            batch = nlohmann::json::array({nlohmann::json::object()});
            batchEnd = {{"reason", management::kEndNoValue}, {"index", 0}};
        }
        bool repeated = false;
        for (const nlohmann::json& rowAnswer : batch) {
            std::vector<Reading> readings = Readings(answer, rowAnswer, readable);
            // Within a batch the service provider ends at a repeated row; across two, we do.
            if (row == first && row > 1 && SameAnswers(readings, previous)) {
                repeated = true;
                break;
            }
            nlohmann::json rowDocument{{"row", row},
                                       {"keys", TableRowKeys(group, row)},
                                       {"attributes", nlohmann::json::array()}};
            for (const Reading& reading : readings) {
                rowDocument["attributes"].push_back(ReadingJson(reading));
            }
            rows.push_back(std::move(rowDocument));
            previous = std::move(readings);
            ++row;
        }
        if (repeated) {
            end = WalkEndJson(WalkEnd::RowRepeats, row);
            break;
        }
        if (!batchEnd.is_null()) {
            const WalkEndReason* named = EndNamed(batchEnd);
            if (named == nullptr) {
                throw ConnectionError(
                    "the service provider ended a table for a reason the "
                    "console does not know: " +
                    batchEnd.dump());
            }
            end = WalkEndJson(named->end, first + batchEnd.value("index", 0u));
            if (named->end == WalkEnd::ReadFailed) {
                for (const char* member : {"attribute", "status", "statusName", "error"}) {
                    if (const auto given = batchEnd.find(member); given != batchEnd.end()) {
                        end[member] = *given;
                    }
                }
            }
            break;
        }
        if (row - first != count) {
            throw ConnectionError("the service provider answered " + std::to_string(row - first) +
                                  " rows of " + std::to_string(count) +
                                  " without saying the table ended");
        }
    }
    document["rows"] = rows;
    document["end"] = end;
}

}  // namespace korvo::console

// What a walk reads ahead: the rows a table has, counted for a moment, and the values of a
// whole group or of a table's following rows read in one request for the get-nexts to come.
#include <algorithm>
#include <chrono>

#include "management/component_catalog.h"
#include "management/management_client.h"
#include "management/management_requests.h"
#include "korvo/management_protocol.h"
#include "dmi/dmi.h"
#include "snmp/subagent_internal.h"

namespace korvo::snmp {

namespace {

constexpr auto kRowCountLife = std::chrono::seconds(1);
// How long values read ahead for a walk may serve its following get-nexts.
constexpr auto kReadAheadLife = std::chrono::milliseconds(250);

}  // namespace

// The rows of a table as a walk finds them, counted again once the count is older than
// kRowCountLife (a walk of the key column renews it), so that a walk reads no row twice
// and a poller sees rows come and go.
std::optional<uint32_t> Subagent::Rows(uint32_t component, const GroupTree& group,
                                       const ReadFunction& read) {
    const auto now = std::chrono::steady_clock::now();
    const auto key = std::make_pair(component, group.info.id);
    if (const auto found = rowCounts_.find(key);
        found != rowCounts_.end() && now - found->second.second < kRowCountLife) {
        return found->second.first;
    }
    const auto rows = CountRows(group, read);
    if (rows) {
        rowCounts_[key] = {*rows, now};
    }
    return rows;
}

// Drops the readings of the groups another client's set wrote; all of them while a line
// of the subscription waits unread, which may be such a notice.
void Subagent::DropWritten() {
    if (follower_ == nullptr) {
        return;
    }
    if (follower_->LinesWaiting()) {
        readAhead_.clear();
    }
    const uint64_t noticed = follower_->SetsNoticed();
    if (noticed == setsSeen_) {
        return;
    }
    setsSeen_ = noticed;
    const EventFollower::Written written = follower_->TakeWritten();
    if (written.all) {
        readAhead_.clear();
        return;
    }
    std::erase_if(readAhead_, [&](const auto& entry) {
        const auto group = std::make_pair(std::get<0>(entry.first), std::get<1>(entry.first));
        return std::find(written.groups.begin(), written.groups.end(), group) !=
               written.groups.end();
    });
}

// A get-next's read: served from the values read ahead, or read together with the rest
// of its group (a table from its row onwards, a group without keys whole) in one request.
json Subagent::ReadAhead(const ComponentTree& component, uint32_t group, uint32_t attribute,
                         const json& keys) {
    DropWritten();
    const auto now = std::chrono::steady_clock::now();
    const ReadingKey key{component.info.id, group, attribute, keys.dump()};
    if (const auto found = readAhead_.find(key);
        found != readAhead_.end() && now - found->second.read < kReadAheadLife) {
        return found->second.answer;
    }
    if (const GroupTree* tree = component.Find(group);
        tree != nullptr && (!tree->IsTable() || tree->Walkable())) {
        std::erase_if(readAhead_,
                      [&](const auto& entry) { return now - entry.second.read >= kReadAheadLife; });
        FetchAhead(component.info.id, *tree, keys, now);
        if (const auto found = readAhead_.find(key); found != readAhead_.end()) {
            return found->second.answer;
        }
    }
    return Read(component.info.id, group, attribute, keys);
}

// Keeps the readings of one get-group (a group without keys) or get-rows (a table from
// the row `keys` select), and "row not found" for the row where the table ends. Nothing
// is kept from a request refused as a whole: each read then asks on its own.
void Subagent::FetchAhead(uint32_t component, const GroupTree& group, const json& keys,
                          std::chrono::steady_clock::time_point now) {
    const auto keep = [&](const json& rowKeys, const json& readings) {
        const std::string index = rowKeys.dump();
        for (const json& reading : readings) {
            readAhead_[{component, group.info.id, reading.value("id", 0u), index}] = {reading, now};
        }
    };
    if (!group.IsTable()) {
        const json answer =
            provider_.Request(management::request::GetGroup(component, group.info.id), deadline_);
        if (management::StatusOf(answer) == DMIERR_NO_ERROR) {
            keep(json::array(), answer.value("attributes", json::array()));
        }
        return;
    }
    const uint32_t first = keys.empty() ? 1u : std::max(keys[0].value("integer", 1u), 1u);
    const json answer =
        provider_.Request(management::request::GetRows(component, group.info.id,
                                                       management::TableRowKeys(group.info, first),
                                                       management::kMaxRowsPerRequest),
                          deadline_);
    uint32_t status = management::StatusOf(answer);
    json end = answer.value("end", json());
    if (status == DMIERR_ROW_NOT_FOUND) {
        end = {{"reason", management::kEndRowNotFound}, {"index", 0}};
    } else if (status != DMIERR_NO_ERROR) {
        return;
    }
    uint32_t row = first;
    for (const json& read : answer.value("rows", json::array())) {
        keep(management::TableRowKeys(group.info, row++), read.value("attributes", json::array()));
    }
    if (end.is_object() && end.value("reason", "") == management::kEndRowNotFound) {
        json missing = json::array();
        for (const management::AttributeInfo& attribute : group.attributes) {
            missing.push_back({{"id", attribute.id}, {"status", DMIERR_ROW_NOT_FOUND}});
        }
        keep(management::TableRowKeys(group.info, first + end.value("index", 0u)), missing);
    }
}

}  // namespace korvo::snmp

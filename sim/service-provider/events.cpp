// Events: DmiOriginateEvent checks an event against the MIF, keeps it in the event log and
// hands it to the management applications that listen for events, even when the log's file
// does not take it (the event is then written later, or counted lost).
#include "provider.h"

#include <cstring>

#include "dmi/dmi_names.h"
#include "korvo/provider_files.h"
#include "sp_log.h"

namespace korvo::sp {

// ---- Events --------------------------------------------------------------------------------

std::shared_ptr<EventLog> Provider::Events(std::string* error) {
    const std::string root = Root();
    if (root.empty()) {
        *error = "WIN32DMIPATH is not set; the service provider keeps its event log there";
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    if (!events_) {
        std::vector<std::string> warnings;
        events_ = std::make_shared<EventLog>(
            management::ProviderFile(root, management::kEventLogFileName), &warnings,
            [root](const std::string& line) { LogLine(root, "event log: " + line); });
        for (const std::string& warning : warnings) {
            LogLine(root, warning);
        }
    }
    return events_;
}

DmiErrorStatus Provider::OriginateEvent(DmiId componentId, const DmiTimestamp* timestamp,
                                        const DmiMultiRowData* rows) {
    if (const DmiErrorStatus refused = RefusedStatus("originateevent")) {
        Log("DmiOriginateEvent refused as KORVO_SP_REFUSE asks");
        return refused;
    }
    const auto refuse = [&](DmiErrorStatus status, const std::string& why) {
        Log("DmiOriginateEvent: event of component " + std::to_string(componentId) + " refused (" +
            dmi::StatusName(status) + "): " + why);
        return status;
    };
    std::string error;
    std::vector<RowCopy> copies;
    if (rows == nullptr) {
        return refuse(DMIERR_ILL_FORMED_COMMAND, "no multi-row data");
    }
    if (!heap_.ReadRows(rows, &copies, &error)) {
        return refuse(DMIERR_ILL_FORMED_COMMAND, error);
    }
    if (copies.empty()) {
        return refuse(DMIERR_ILL_FORMED_COMMAND, "the event has no rows");
    }
    const Found found = Find(componentId);
    if (found.status == DMIERR_DATABASE_CORRUPT) {
        return found.status;
    }
    if (found.status != DMIERR_NO_ERROR) {
        return refuse(found.status, found.error);
    }
    nlohmann::json event = {{"component", componentId}, {"rows", nlohmann::json::array()}};
    for (size_t i = 0; i < copies.size(); ++i) {
        const RowCopy& row = copies[i];
        const std::string where = "row " + std::to_string(i + 1) + ": ";
        if (row.componentId != componentId) {
            return refuse(DMIERR_COMPONENT_NOT_FOUND,
                          where + "names component " + std::to_string(row.componentId));
        }
        const mif::Group* group = found.component->FindGroup(row.groupId);
        if (group == nullptr) {
            return refuse(DMIERR_GROUP_NOT_FOUND,
                          where + "the MIF has no group " + std::to_string(row.groupId));
        }
        if (!row.className || *row.className != group->className) {
            return refuse(DMIERR_GROUP_NOT_FOUND,
                          where + "class " +
                              (row.className ? "\"" + *row.className + "\"" : "(none)") +
                              " is not \"" + group->className + "\", the class of group " +
                              std::to_string(row.groupId));
        }
        event["rows"].push_back({{"group", row.groupId},
                                 {"class", Latin1ToUtf8(*row.className)},
                                 {"keys", ToJson(row.keys)},
                                 {"values", ToJson(row.values)}});
    }
    std::string time = DmiDateNow();
    if (timestamp != nullptr) {
        DmiTimestamp stamp;
        if (!heap_.CopyOut(timestamp, sizeof stamp, &stamp, &error)) {
            return refuse(DMIERR_ILL_FORMED_COMMAND, "the timestamp cannot be read: " + error);
        }
        const std::string given(stamp.text, strnlen(stamp.text, sizeof stamp.text));
        if (!given.empty()) {
            time = given;
        }
    }
    const auto log = Events(&error);
    if (!log) {
        Log("DmiOriginateEvent: the event cannot be kept: " + error);
        return DMIERR_DATABASE_CORRUPT;
    }
    uint64_t sequence = 0;
    const bool written = log->Append(std::move(event), time, &sequence, &error);
    Deliver(copies);
    if (!written) {
        // Delivered and kept in memory, but not in the file: the originator hears that the
        // log is full, and the log says why.
        Log("DmiOriginateEvent: event " + std::to_string(sequence) + " of component " +
            std::to_string(componentId) + " delivered but held back from the event log (" +
            dmi::DescribeStatus(DMIERR_BUFFER_FULL) + "): " + error +
            "; it is written once the file takes it");
        return DMIERR_BUFFER_FULL;
    }
    return DMIERR_NO_ERROR;
}

nlohmann::json Provider::EventStatsJson() {
    std::string error;
    const auto log = Events(&error);
    const EventLog::Counts counts = log ? log->Counted() : EventLog::Counts{};
    return {
        {"heldBack", counts.heldBack}, {"writtenLate", counts.writtenLate}, {"lost", counts.lost}};
}

void Provider::Deliver(const std::vector<RowCopy>& rows) {
    std::vector<std::pair<DmiHandle, ManagementClient>> listeners;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, client] : managementClients_) {
            if (client.listening && client.callback != nullptr) {
                listeners.emplace_back(handle, client);
            }
        }
    }
    constexpr const char* kKind = "service provider: event delivered to a listener";
    for (const auto& [handle, client] : listeners) {
        DmiMultiRowData* record = heap_.NewMultiRowData(rows, kKind);
        if (record != nullptr) {
            client.callback(handle, record, client.context);
            heap_.FreeRecord(record, RecordType::MultiRowData, kKind);
        }
    }
}

uint64_t Provider::LastNotice() {
    std::string error;
    const auto log = Events(&error);
    return log ? log->LastNotice() : 0;
}

std::vector<nlohmann::json> Provider::EventsAfter(uint64_t since, uint64_t* notice,
                                                  std::vector<nlohmann::json>* notices,
                                                  std::chrono::milliseconds wait) {
    std::string error;
    const auto log = Events(&error);
    return log ? log->WaitSince(since, notice, notices, wait) : std::vector<nlohmann::json>{};
}

}  // namespace korvo::sp

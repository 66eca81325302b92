// The subagent's answers for the component's health objects (health.h): the failures it
// noted while answering, and a check, when they are read, of whether the instrumentation
// answers: the first values of every group read in one request each.
#include <chrono>
#include <string>

#include "dmi/dmi_names.h"
#include "korvo/management_protocol.h"
#include "management/component_catalog.h"
#include "management/management_client.h"
#include "snmp/log.h"
#include "snmp/subagent_internal.h"

namespace korvo::snmp {

namespace {

// How long one check serves the health objects' reads, so that a poll of all of them sees
// one check and a busy poller does not make one per object.
constexpr auto kHealthCheckLife = std::chrono::seconds(1);

int64_t SecondsSince1970() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The first failed reading of a get-group or get-rows answer (its "attributes", its rows'
// and its "end" when a key could not be read); null when every reading has a value or no row.
json FailedReading(const json& answer) {
    const auto failed = [](const json& reading) {
        return management::StatusOf(reading) != DMIERR_NO_ERROR &&
               ReadFailureOfAnswer(reading) == ReadFailure::Failed;
    };
    for (const json& reading : answer.value("attributes", json::array())) {
        if (failed(reading)) {
            return reading;
        }
    }
    for (const json& row : answer.value("rows", json::array())) {
        for (const json& reading : row.value("attributes", json::array())) {
            if (failed(reading)) {
                return reading;
            }
        }
    }
    if (const json end = answer.value("end", json());
        end.is_object() && end.value("reason", "") == management::kEndReadFailed && failed(end)) {
        json reading = end;
        reading["id"] = end.value("attribute", 0u);
        return reading;
    }
    return nullptr;
}

// "health check: group 4 attribute 6", as a health check's failure names what it read.
std::string GroupText(uint32_t group, uint32_t attribute) {
    return "health check: group " + std::to_string(group) +
           (attribute != 0 ? " attribute " + std::to_string(attribute) : "");
}

}  // namespace

std::string FailedReadText(const std::string& what, const json& answer) {
    const uint32_t status = management::StatusOf(answer);
    std::string text = what + ": " +
                       (status == DMIERR_NO_ERROR ? std::string("an answer without a fitting value")
                                                  : dmi::DescribeStatus(status));
    if (const std::string error = answer.value("error", std::string()); !error.empty()) {
        text += ": " + error;
    }
    return text;
}

void Subagent::NoteFailure(uint32_t component, uint32_t status, const std::string& text) {
    failures_[component].Note(status, text, SecondsSince1970());
}

// Whether the component's instrumentation answers now: every group without keys read whole
// and every walkable table's first row, one request each, within the master's timeout.
InstrumentationHealth Subagent::CheckHealth(const ComponentTree& component) {
    const uint32_t id = component.info.id;
    const auto now = Clock::now();
    if (const auto found = healthChecks_.find(id);
        found != healthChecks_.end() && now - found->second.second < kHealthCheckLife) {
        return found->second.first;
    }
    InstrumentationHealth health = InstrumentationHealth::Answering;
    try {
        for (const GroupTree& group : component.groups) {
            json request = {{"component", id}, {"group", group.info.id}};
            if (!group.IsTable()) {
                request["op"] = "get-group";
            } else if (group.Walkable()) {
                request["op"] = "get-rows";
                request["keys"] = management::TableRowKeys(group.info, 1);
                request["count"] = 1u;
            } else {
                continue;
            }
            const json answer = provider_.Request(request, deadline_);
            const uint32_t status = management::StatusOf(answer);
            if (status == DMIERR_ROW_NOT_FOUND) {
                continue;  // a table without rows
            }
            if (status == DMIERR_DIRECT_INTERFACE_NOT_REGISTERED ||
                status == DMIERR_COMPONENT_NOT_FOUND) {
                NoteFailure(id, status, FailedReadText(GroupText(group.info.id, 0), answer));
                health = InstrumentationHealth::Unavailable;
                break;
            }
            json failed = status != DMIERR_NO_ERROR ? answer : FailedReading(answer);
            if (!failed.is_null()) {
                NoteFailure(
                    id, management::StatusOf(failed),
                    FailedReadText(GroupText(group.info.id, failed.value("id", 0u)), failed));
                health = InstrumentationHealth::Failing;
                break;
            }
        }
    } catch (const management::ReplyTimeout& error) {
        NoteFailure(id, DMIERR_NO_ERROR, std::string("health check: ") + error.what());
        health = InstrumentationHealth::Failing;
    } catch (const std::exception& error) {
        NoteFailure(id, DMIERR_NO_ERROR, std::string("health check: ") + error.what());
        health = InstrumentationHealth::Unavailable;
    }
    healthChecks_[id] = {health, Clock::now()};
    return health;
}

void Subagent::AnswerHealth(const Registered& entry, netsnmp_request_info* request,
                            uint32_t object) {
    const uint32_t component = entry.tree.info.id;
    // The check comes first: the failure it finds is the last failure the others show.
    const InstrumentationHealth now = object == kHealthInstrumentation
                                          ? CheckHealth(entry.tree)
                                          : InstrumentationHealth::Answering;
    netsnmp_variable_list* variable = request->requestvb;
    const auto oid = ToNetsnmp(HealthInstanceOid(options_.prefix, component, object));
    snmp_set_var_objid(variable, oid.data(), oid.size());
    SetVarValue(variable, HealthValue(object, now, failures_[component]));
}

}  // namespace korvo::snmp

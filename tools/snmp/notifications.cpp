// The service provider's events sent as SNMPv2 notifications, and the queue in which they
// wait while the master agent is away.
#include <chrono>
#include <string>

#include "snmp/log.h"
#include "snmp/subagent_internal.h"

namespace korvo::snmp {

namespace {

// sysUpTime.0 and snmpTrapOID.0 (SNMPv2-MIB), the first two varbinds of every notification.
const oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
// Notifications kept while the master agent is away; beyond it the oldest is dropped, and
// logged.
constexpr size_t kMaxWaitingNotifications = 200;

}  // namespace

void Subagent::SendEvents(EventFollower& follower) {
    DropWritten();
    std::deque<json> events = follower.Take();
    if (!events.empty()) {
        readAhead_.clear();
    }
    for (const json& event : events) {
        if (masterConnected) {
            SendNotification(event, Clock::now());
            continue;
        }
        waiting_.push_back({event, Clock::now()});
        if (waiting_.size() > kMaxWaitingNotifications) {
            Log("event " + std::to_string(waiting_.front().event.value("sequence", 0)) +
                " dropped: " + std::to_string(kMaxWaitingNotifications) +
                " notifications already wait for the master agent");
            waiting_.pop_front();
        }
    }
}

// Sends the notifications that waited for the master agent, once it is back.
void Subagent::SendWaiting() {
    if (!masterConnected || waiting_.empty()) {
        return;
    }
    Log(std::to_string(waiting_.size()) +
        " notifications that waited for the master agent go out now");
    for (const Waiting& notification : std::exchange(waiting_, {})) {
        SendNotification(notification.event, notification.arrived);
    }
}

// Sends an event as a notification; its sysUpTime says when the event arrived, also for
// one that waited for the master agent.
void Subagent::SendNotification(const json& event, Clock::time_point arrived) {
    const uint32_t component = event.value("component", 0u);
    const auto found = registered_.find(component);
    const json& rows = event.value("rows", json::array());
    if (found == registered_.end() || rows.empty()) {
        Log("an event of component " + std::to_string(component) +
            " that no registered subtree describes; not sent");
        return;
    }
    const ComponentTree& tree = found->second->tree;
    netsnmp_variable_list* variables = nullptr;
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - arrived).count();
    const u_long uptime = netsnmp_get_agent_uptime();
    const u_long ticks = waited / 10 < static_cast<long long>(uptime) ? uptime - waited / 10 : 0;
    snmp_varlist_add_variable(&variables, kSysUpTime, OID_LENGTH(kSysUpTime), ASN_TIMETICKS, &ticks,
                              sizeof ticks);
    const auto trapOid =
        ToNetsnmp(NotificationOid(options_.prefix, component, rows[0].value("group", 0u)));
    snmp_varlist_add_variable(&variables, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              trapOid.data(), trapOid.size() * sizeof(oid));
    for (const json& row : rows) {
        const GroupTree* group = tree.Find(row.value("group", 0u));
        const auto index = IndexOfKeys(row.value("keys", json::array()));
        for (const json& value : row.value("values", json::array())) {
            const uint32_t id = value.value("id", 0u);
            const management::AttributeInfo* attribute = group ? group->Find(id) : nullptr;
            const uint32_t type = attribute ? attribute->typeCode() : value.value("type", 0u);
            const auto converted = ToSnmpValue(value, type);
            if (group == nullptr || !converted || (group->IsTable() && !index)) {
                continue;
            }
            Oid name = group->IsTable() ? ColumnOid(options_.prefix, component, group->info.id, id)
                                        : ScalarOid(options_.prefix, component, group->info.id, id);
            if (group->IsTable()) {
                name.insert(name.end(), index->begin(), index->end());
            }
            const auto oidName = ToNetsnmp(name);
            netsnmp_variable_list* added = snmp_varlist_add_variable(
                &variables, oidName.data(), oidName.size(), ASN_NULL, nullptr, 0);
            SetVarValue(added, *converted);
        }
    }
    send_v2trap(variables);
    snmp_free_varbind(variables);
    Log("event " + std::to_string(event.value("sequence", 0)) + " sent as a notification",
        LogPriority::Info);
}

}  // namespace korvo::snmp

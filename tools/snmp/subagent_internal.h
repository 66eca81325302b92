// What the subagent's files share: the Subagent that the main loop drives, which registers the
// components, answers the master agent's requests and sends the notifications; its
// registrations; and whether the master agent is connected.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include <nlohmann/json.hpp>

#include "snmp/component_tree.h"
#include "snmp/event_follower.h"
#include "snmp/health.h"
#include "snmp/netsnmp_values.h"
#include "snmp/service_provider.h"
#include "snmp/subagent.h"

namespace korvo::snmp {

using nlohmann::json;

// Whether the AgentX session with the master agent is open (the library says so through its
// index callbacks).
extern bool masterConnected;

class Subagent;

// "WHAT: value unknown (0x10F): its error text", as a failed read is recorded and logged.
std::string FailedReadText(const std::string& what, const json& answer);

// One component's registration; the handler finds it through the registration's pointer.
struct Registered {
    Subagent* owner = nullptr;
    ComponentTree tree;
    netsnmp_handler_registration* registration = nullptr;
};

class Subagent {
  public:
    explicit Subagent(const SubagentOptions& options);

    void Follow(EventFollower* follower) { follower_ = follower; }

    void Refresh();

    void SendEvents(EventFollower& follower);
    void SendWaiting();

    static int Handle(netsnmp_mib_handler*, netsnmp_handler_registration* registration,
                      netsnmp_agent_request_info* info, netsnmp_request_info* requests);

  private:
    void BeginRequest(netsnmp_agent_request_info* info);
    std::optional<uint32_t> Rows(uint32_t component, const GroupTree& group,
                                 const ReadFunction& read);
    void DropWritten();
    json ReadAhead(const ComponentTree& component, uint32_t group, uint32_t attribute,
                   const json& keys);
    void FetchAhead(uint32_t component, const GroupTree& group, const json& keys,
                    std::chrono::steady_clock::time_point now);
    json Read(uint32_t component, uint32_t group, uint32_t attribute, const json& keys);
    void Answer(const Registered& entry, netsnmp_agent_request_info* info,
                netsnmp_request_info* request);
    void LogFailure(const std::string& text);
    void AnswerGet(const Registered& entry, netsnmp_agent_request_info* info,
                   netsnmp_request_info* request, const Oid& name);
    void AnswerGetNext(const Registered& entry, netsnmp_agent_request_info* info,
                       netsnmp_request_info* request, const Oid& name);
    void AnswerSet(const Registered& entry, netsnmp_agent_request_info* info,
                   netsnmp_request_info* request, const Oid& name);
    SnmpError RowError(uint32_t component, const Instance& instance);
    void NoteFailure(uint32_t component, uint32_t status, const std::string& text);
    InstrumentationHealth CheckHealth(const ComponentTree& component);
    void AnswerHealth(const Registered& entry, netsnmp_request_info* request, uint32_t object);
    void SendNotification(const json& event, Clock::time_point arrived);

    SubagentOptions options_;
    ServiceProvider provider_;
    std::map<uint32_t, std::unique_ptr<Registered>> registered_;
    std::map<std::pair<uint32_t, uint32_t>,
             std::pair<uint32_t, std::chrono::steady_clock::time_point>>
        rowCounts_;
    // Readings fetched ahead for get-nexts (a "get" answer's shape), each kept for
    // kReadAheadLife and all dropped by a set or an event.
    using ReadingKey = std::tuple<uint32_t, uint32_t, uint32_t, std::string>;
    struct Reading {
        json answer;
        std::chrono::steady_clock::time_point read;
    };
    std::map<ReadingKey, Reading> readAhead_;
    EventFollower* follower_ = nullptr;
    uint64_t setsSeen_ = 0;
    bool reachable_ = true;
    // The master agent's current request: when its answer is due.
    Clock::duration budget_;
    Clock::time_point deadline_;
    const void* session_ = nullptr;
    long transaction_ = -1;
    // The set whose write failed: its later varbinds are not written.
    const void* stoppedSet_ = nullptr;
    // Per component: the failed reads seen since the start, and the last health check.
    std::map<uint32_t, FailureRecord> failures_;
    std::map<uint32_t, std::pair<InstrumentationHealth, Clock::time_point>> healthChecks_;
    std::optional<Clock::time_point> lastFailureLogged_;
    uint64_t unsaidFailures_ = 0;
    struct Waiting {
        json event;
        Clock::time_point arrived;
    };
    std::deque<Waiting> waiting_;
};

}  // namespace korvo::snmp

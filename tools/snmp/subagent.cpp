// The subagent's life on Net-SNMP's agent library: AgentX role, one handler registration per
// component, the periodic re-reading of the component list, and the main loop that answers
// the master agent and sends the events the follower thread hands it as notifications. The
// library is used from the main thread only.
#include "snmp/subagent.h"

#include <signal.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <net-snmp/agent/agent_callbacks.h>

#include "management/component_catalog.h"
#include "snmp/component_tree.h"
#include "snmp/log.h"
#include "snmp/subagent_internal.h"

// The AgentX subagent's session with its master, which Net-SNMP's agent library keeps (and
// exports without declaring it): null while no master has answered.
extern "C" netsnmp_session* main_session;

namespace korvo::snmp {

bool masterConnected = false;

namespace {

constexpr const char* kAppName = "dmi-snmp";
// What an answer to the master agent keeps in hand for sending it before the master's timeout.
constexpr auto kAnswerMargin = std::chrono::milliseconds(250);
constexpr auto kShortestBudget = std::chrono::milliseconds(100);
// How long the library waits for the master's answer to its own requests on the AgentX
// session (the pings, registrations), at least, and how often it asks again: a loaded
// master that answers a ping within this keeps the session, rather than losing it and
// every registration ("failed to respond to ping").
constexpr int kLeastMasterPatienceSeconds = 5;
constexpr int kMasterRetries = 2;

volatile sig_atomic_t stopRequested = 0;
// Whether the AgentX session with the master agent was open once.
bool masterSeen = false;

void OnStopSignal(int) {
    stopRequested = 1;
}

int OnMasterSession(int, int minor, void*, void*) {
    const bool open = minor == SNMPD_CALLBACK_INDEX_START;
    if (open && masterSeen && !masterConnected) {
        Log("registered with the master agent again");
    } else if (!open && masterConnected) {
        Log("the master agent dropped the AgentX session; registering again as soon as it "
            "answers, and notifications wait until then");
    }
    masterSeen = masterSeen || open;
    masterConnected = open;
    return SNMPERR_SUCCESS;
}

}  // namespace

Subagent::Subagent(const SubagentOptions& options)
    : options_(options),
      provider_(options.managementSocket, options.replyTimeout),
      budget_(std::max<Clock::duration>(
          std::chrono::duration_cast<Clock::duration>(options.agentxTimeout) - kAnswerMargin,
          kShortestBudget)) {}

void Subagent::Refresh() {
    std::vector<ComponentTree> components;
    try {
        components = LoadComponents(provider_.Client());
    } catch (const std::exception& error) {
        provider_.Drop();
        if (reachable_) {
            Log(std::string("the service provider cannot be read: ") + error.what() +
                    "; its components stay registered and answer as unavailable",
                LogPriority::Warning);
            reachable_ = false;
        }
        return;
    }
    if (!reachable_) {
        Log("the service provider answers again");
        reachable_ = true;
    }
    std::map<uint32_t, ComponentTree> listed;
    for (ComponentTree& component : components) {
        listed.emplace(component.info.id, std::move(component));
    }
    for (auto it = registered_.begin(); it != registered_.end();) {
        if (listed.contains(it->first)) {
            ++it;
            continue;
        }
        Log("component " + std::to_string(it->first) + " is gone; its subtree unregistered");
        netsnmp_unregister_handler(it->second->registration);
        it = registered_.erase(it);
    }
    for (auto& [id, tree] : listed) {
        if (const auto found = registered_.find(id); found != registered_.end()) {
            found->second->tree = std::move(tree);
            continue;
        }
        auto entry = std::make_unique<Registered>();
        entry->owner = this;
        entry->tree = std::move(tree);
        const auto root = ToNetsnmp(ComponentOid(options_.prefix, id));
        const std::string name = "dmi-component-" + std::to_string(id);
        entry->registration = netsnmp_create_handler_registration(
            name.c_str(), &Subagent::Handle, root.data(), root.size(), HANDLER_CAN_RWRITE);
        entry->registration->my_reg_void = entry.get();
        if (netsnmp_register_handler(entry->registration) != MIB_REGISTERED_OK) {
            Log("cannot register " + FormatOid(ComponentOid(options_.prefix, id)),
                LogPriority::Warning);
            continue;
        }
        Log("component " + std::to_string(id) + " (" + entry->tree.info.name + ") at " +
            FormatOid(ComponentOid(options_.prefix, id)));
        registered_.emplace(id, std::move(entry));
    }
}

namespace {

Subagent* running = nullptr;

void OnRefreshAlarm(unsigned int, void*) {
    running->Refresh();
}

void OnEvents(int, void* follower) {
    running->SendEvents(*static_cast<EventFollower*>(follower));
}

// Sets the library up as an AgentX subagent of the master `options` name, told of the
// session's openings and losses.
void StartAgentLibrary(const SubagentOptions& options) {
    // Nothing from the machine's SNMP configuration, MIB files or persistent state: all that
    // this subagent needs is on its command line.
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    RouteNetsnmpLog();
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    if (!options.agentxSocket.empty()) {
        netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                              options.agentxSocket.c_str());
    }
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnMasterSession,
                           nullptr);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, OnMasterSession,
                           nullptr);
    // The AgentX session is opened with the library's default timeout and retries.
    netsnmp_ds_set_int(
        NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_TIMEOUT,
        std::max(static_cast<int>(options.agentxTimeout.count()), kLeastMasterPatienceSeconds));
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_RETRIES, kMasterRetries);
    init_agent(kAppName);
    // Also how a master that went away is found again: its registrations are sent anew. Set
    // after init_agent, which gives it its default.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       options.pingSeconds);
    init_snmp(kAppName);
}

}  // namespace

int RunSubagent(const SubagentOptions& options) {
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;  // no SA_RESTART: the main loop's wait ends at once
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    StartAgentLibrary(options);

    Subagent subagent(options);
    running = &subagent;
    subagent.Refresh();
    snmp_alarm_register(static_cast<unsigned>(options.refreshSeconds), SA_REPEAT, OnRefreshAlarm,
                        nullptr);
    {
        EventFollower events(options.managementSocket, options.replyTimeout);
        subagent.Follow(&events);
        register_readfd(events.readFd(), OnEvents, &events);
        if (main_session == nullptr) {
            // The library has said it could not connect; say what happens next.
            const char* master =
                netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
            Log("waiting for snmpd: no AgentX master answers on " +
                std::string(master != nullptr ? master : "its default socket") +
                "; trying again every " + std::to_string(options.pingSeconds) +
                " s, then serving under " + FormatOid(options.prefix));
        } else {
            Log("serving under " + FormatOid(options.prefix));
        }
        while (stopRequested == 0) {
            agent_check_and_process(1);
            subagent.SendWaiting();
        }
        unregister_readfd(events.readFd());
        subagent.Follow(nullptr);
    }
    running = nullptr;
    snmp_shutdown(kAppName);
    Log("stopped");
    return 0;
}

}  // namespace korvo::snmp

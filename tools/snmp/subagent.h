// The DMI-to-SNMP subagent: registers a subtree for every component the service provider
// lists with the master agent over AgentX, answers get, get-next, get-bulk and set from the
// service provider, and forwards the service provider's events as SNMPv2 notifications.
#pragma once

#include <chrono>
#include <string>

#include "korvo/socket_deadline.h"
#include "snmp/oid_mapping.h"

namespace korvo::snmp {

struct SubagentOptions {
    std::string agentxSocket;      // empty: the library's default (/var/agentx/master)
    std::string managementSocket;  // resolved as the console resolves it
    Oid prefix;
    int pingSeconds = 1;     // how often the master is checked, and reconnected
    int refreshSeconds = 5;  // how often the component list is read again
    std::chrono::milliseconds replyTimeout{korvo::kSocketDeadlineMs};
    // How long the master agent waits for an answer (snmpd's agentXTimeout): every answer is
    // sent within it, with an error for what could not be read in time, so that the master
    // never gives up on the session.
    std::chrono::seconds agentxTimeout{1};
};

// Runs until SIGTERM or SIGINT; returns the process's exit status.
int RunSubagent(const SubagentOptions& options);

}  // namespace korvo::snmp

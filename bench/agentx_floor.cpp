// The floor under dmi-snmp's walks: an AgentX subagent on the same Net-SNMP agent library that
// answers from a constant table of Counter32 values and does nothing else, so that scripts/bench
// can show what a walk through snmpd and AgentX costs before any value is looked up.
//
//   korvo-agentx-floor --agentx SOCKET --oid OID --values N
//
// Serves OID.1 .. OID.N (value: 7 times the index) until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "snmp/oid_mapping.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void OnStop(int) {
    stopRequested = 1;
}

std::vector<oid> root;
unsigned long values = 0;

// The index of the first instance after `name` (or at it, when `inclusive`); values + 1 when
// there is none.
unsigned long NextIndex(const netsnmp_variable_list* name, bool inclusive) {
    const size_t depth = root.size();
    const size_t common = std::min(name->name_length, depth);
    const int order = snmp_oid_compare(name->name, common, root.data(), common);
    if (order < 0 || (order == 0 && name->name_length <= depth)) {
        return 1;
    }
    if (order > 0) {
        return values + 1;
    }
    const unsigned long asked = name->name[depth];
    if (name->name_length > depth + 1) {
        return asked + 1;
    }
    return inclusive ? std::max(asked, 1ul) : asked + 1;
}

int Handle(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* info,
           netsnmp_request_info* requests) {
    for (netsnmp_request_info* request = requests; request != nullptr; request = request->next) {
        netsnmp_variable_list* variable = request->requestvb;
        unsigned long index = 0;
        if (info->mode == MODE_GETNEXT) {
            index = NextIndex(variable, request->inclusive != 0);
            if (index > values) {
                continue;  // past the end: the master moves on
            }
            std::vector<oid> name = root;
            name.push_back(index);
            snmp_set_var_objid(variable, name.data(), name.size());
        } else if (info->mode == MODE_GET) {
            const bool ours =
                variable->name_length == root.size() + 1 &&
                snmp_oid_compare(variable->name, root.size(), root.data(), root.size()) == 0;
            index = ours ? variable->name[root.size()] : 0;
            if (index < 1 || index > values) {
                netsnmp_set_request_error(info, request, SNMP_NOSUCHINSTANCE);
                continue;
            }
        } else {
            continue;
        }
        const u_long value = index * 7;
        snmp_set_var_typed_value(variable, ASN_COUNTER, &value, sizeof value);
    }
    return SNMP_ERR_NOERROR;
}

int Usage() {
    std::fprintf(stderr, "usage: korvo-agentx-floor --agentx SOCKET --oid OID --values N\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socket;
    std::string oidText;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--agentx") == 0) {
            socket = argv[i + 1];
        } else if (std::strcmp(argv[i], "--oid") == 0) {
            oidText = argv[i + 1];
        } else if (std::strcmp(argv[i], "--values") == 0) {
            values = std::strtoul(argv[i + 1], nullptr, 10);
        } else {
            return Usage();
        }
    }
    if (argc % 2 != 1 || socket.empty() || oidText.empty() || values == 0) {
        return Usage();
    }
    // Numeric only: ".1.3.6.1.4.1.32473.9" or "1.3.6.1.4.1.32473.9", with room for the index.
    const auto parsed = korvo::snmp::ParseOid(oidText);
    if (!parsed || parsed->size() >= MAX_OID_LEN) {
        std::fprintf(stderr, "korvo-agentx-floor: not a numeric object identifier: %s\n",
                     oidText.c_str());
        return 2;
    }
    root.assign(parsed->begin(), parsed->end());

    struct sigaction stop {};
    stop.sa_handler = OnStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket.c_str());
    init_agent("korvo-agentx-floor");
    init_snmp("korvo-agentx-floor");
    netsnmp_register_handler(netsnmp_create_handler_registration(
        "korvo-agentx-floor", Handle, root.data(), root.size(), HANDLER_CAN_RONLY));
    while (stopRequested == 0) {
        agent_check_and_process(1);
    }
    snmp_shutdown("korvo-agentx-floor");
    return 0;
}

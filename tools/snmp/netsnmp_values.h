// The subagent's values in Net-SNMP's terms: object names, varbinds' values both ways, and
// the exception or error a failed read answers.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "snmp/oid_mapping.h"

namespace korvo::snmp {

std::vector<oid> ToNetsnmp(const Oid& name);

Oid FromNetsnmp(const oid* name, size_t length);

void SetVarValue(netsnmp_variable_list* variable, const SnmpValue& value);

// The exception (or, for a failed read, the error) a read answers.
int ReadError(ReadFailure failure);

// What a manager offered in a set, or nothing for a type no DMI attribute maps to.
std::optional<SnmpValue> OfferedValue(const netsnmp_variable_list* variable);

}  // namespace korvo::snmp

// The SMIv2 module that describes one component's subtree as the subagent serves it: names
// from the MIF's names, DESCRIPTION clauses from its descriptions, a table with an INDEX of
// its keys for every group with keys, access from the MIF's access, and a NOTIFICATION-TYPE
// for every event-generation group; conformance groups and a compliance statement close it.
#pragma once

#include <stdexcept>
#include <string>

#include "snmp/component_tree.h"
#include "snmp/oid_mapping.h"

namespace korvo::snmp {

// The module cannot be written (a prefix outside enterprises, a module name SMIv2 refuses).
class MibError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// `moduleName` empty: the component's name in capitals, words joined by '-', and "-MIB".
// `prefix` must lie under enterprises (1.3.6.1.4.1).
std::string WriteMib(const ComponentTree& component, const Oid& prefix,
                     const std::string& moduleName);

// The module name WriteMib gives a component when none is asked for.
std::string DefaultModuleName(const ComponentTree& component);

}  // namespace korvo::snmp

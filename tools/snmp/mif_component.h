// A component read straight from its MIF file, as the SNMP tree the subagent would serve for
// it: what lets `dmi-snmp mib --mif` write the MIB at build time, with no service provider.
#pragma once

#include <cstdint>
#include <string>

#include "mif_parser.h"
#include "snmp/component_tree.h"

namespace korvo::snmp {

// The tree of `component` as the service provider lists it under component id `id`: the
// same names, classes, keys, types, access and enumerations.
ComponentTree ComponentFromMif(const mif::Component& component, uint32_t id);

// Reads and parses the MIF file at `path`; throws std::runtime_error naming the file and line
// of what it cannot read.
ComponentTree LoadMifComponent(const std::string& path, uint32_t id);

}  // namespace korvo::snmp

// How long our programs wait on one another over their sockets: connecting to a socket of ours,
// a device exchange, a control command's answer, a request's parts and a reply's writing. The
// host layer, the simulated adapter, the management client and dmi-snmp take it from here.
#pragma once

namespace korvo {

// 5 seconds: long for a peer that is alive, short for an administrator who waits.
inline constexpr int kSocketDeadlineMs = 5000;

}  // namespace korvo

// The DMI service provider's directory, $WIN32DMIPATH, and the files it keeps there: the
// management socket (korvo/management_protocol.h), or the loopback port the Windows build serves
// instead, its log and its event log. The provider, the console, dmi-snmp, the agent's help and
// the tests take these names from here.
#pragma once

#include <cstdlib>
#include <string>

namespace korvo::management {

inline constexpr char kSocketFileName[] = "dmi.sock";
// Where there are no Unix-domain sockets (the Windows build under Wine): the loopback port
// served instead, in decimal.
inline constexpr char kPortFileName[] = "dmi.port";
inline constexpr char kLogFileName[] = "sp.log";
inline constexpr char kEventLogFileName[] = "events.log";

// $WIN32DMIPATH with either separator as '/' and without trailing separators; empty when the
// variable is not set.
inline std::string ProviderDirectory() {
    const char* root = std::getenv("WIN32DMIPATH");
    std::string path = root != nullptr ? root : "";
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The file `name` in the provider's directory `directory`.
inline std::string ProviderFile(const std::string& directory, const char* name) {
    return directory + "/" + name;
}

}  // namespace korvo::management

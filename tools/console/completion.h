// dmicli's bash completion script, written from the command and option tables.
#pragma once

#include <string>

namespace korvo::console {

// The script: dmicli's commands and options from the tables; the installed components and
// the group names of the component typed before asked of dmicli itself, so that they follow
// the service provider that is running.
std::string BashCompletion();

}  // namespace korvo::console

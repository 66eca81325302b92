// dmi-snmp's messages: one line each on standard error (the journal's, under systemd, with
// the line's priority), filtered by the level --quiet and --verbose choose. Net-SNMP's own
// messages (the AgentX session's connects and losses among them) take the same way.
#pragma once

#include <string>

namespace korvo::snmp {

enum class LogLevel {
    Quiet,    // warnings and errors only
    Normal,   // and what changes: connects, losses, components registered and gone
    Verbose,  // and every notification sent, and Net-SNMP's informational messages
};

enum class LogPriority { Error, Warning, Notice, Info };

void SetLogLevel(LogLevel level);

// Writes `text` when the level lets a message of `priority` through.
void LogAt(LogPriority priority, const std::string& text);

// The subagent's shorthand for LogAt: a notice unless told otherwise.
inline void Log(const std::string& text, LogPriority priority = LogPriority::Notice) {
    LogAt(priority, text);
}

// Sends Net-SNMP's messages through LogAt instead of straight to standard error.
void RouteNetsnmpLog();

}  // namespace korvo::snmp

// dmi-snmp's messages and Net-SNMP's, by level (see log.h).
#include "snmp/log.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace korvo::snmp {

namespace {

std::atomic<LogLevel> currentLevel{LogLevel::Normal};

bool Lets(LogPriority priority) {
    switch (currentLevel.load()) {
        case LogLevel::Quiet:
            return priority <= LogPriority::Warning;
        case LogLevel::Normal:
            return priority <= LogPriority::Notice;
        case LogLevel::Verbose:
            return true;
    }
    return true;
}

int SyslogPriority(LogPriority priority) {
    switch (priority) {
        case LogPriority::Error:
            return LOG_ERR;
        case LogPriority::Warning:
            return LOG_WARNING;
        case LogPriority::Notice:
            return LOG_NOTICE;
        case LogPriority::Info:
            return LOG_INFO;
    }
    return LOG_INFO;
}

LogPriority FromSyslog(int priority) {
    if (priority <= LOG_ERR) {
        return LogPriority::Error;
    }
    if (priority == LOG_WARNING) {
        return LogPriority::Warning;
    }
    if (priority == LOG_NOTICE) {
        return LogPriority::Notice;
    }
    return LogPriority::Info;
}

// Net-SNMP says whether the AgentX session came up at the informational level; that, and
// its losses, are what an administrator looks for, so they count as notices here.
LogPriority NetsnmpPriority(int priority, std::string_view text) {
    if (text.find("AgentX") != std::string_view::npos && priority >= LOG_NOTICE) {
        return LogPriority::Notice;
    }
    return FromSyslog(priority);
}

// Net-SNMP may write one line in pieces; a line is complete at its newline.
int OnNetsnmpLog(int, int, void* message, void*) {
    static std::string pending;
    const auto* log = static_cast<const snmp_log_message*>(message);
    pending += log->msg != nullptr ? log->msg : "";
    if (pending.empty() || pending.back() != '\n') {
        return SNMPERR_SUCCESS;
    }
    std::string text = std::exchange(pending, {});
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    if (!text.empty()) {
        LogAt(NetsnmpPriority(log->priority, text), text);
    }
    return SNMPERR_SUCCESS;
}

}  // namespace

void SetLogLevel(LogLevel level) {
    currentLevel = level;
}

void LogAt(LogPriority priority, const std::string& text) {
    if (!Lets(priority)) {
        return;
    }
    // Under systemd standard error goes to the journal, which reads a "<N>" prefix as the
    // line's priority.
    if (std::getenv("JOURNAL_STREAM") != nullptr) {
        std::fprintf(stderr, "<%d>%s\n", SyslogPriority(priority), text.c_str());
    } else {
        std::fprintf(stderr, "dmi-snmp: %s\n", text.c_str());
    }
    std::fflush(stderr);
}

void RouteNetsnmpLog() {
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, OnNetsnmpLog, nullptr);
    snmp_enable_calllog();
}

}  // namespace korvo::snmp

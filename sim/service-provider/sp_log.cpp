// Logging to standard error and $WIN32DMIPATH/sp.log.
#include "sp_log.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include "korvo/provider_files.h"
#include "sp_platform.h"

namespace korvo::sp {

std::string DmiDateNow() {
    const os::LocalTime now = os::Now();
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%06ld%c%03ld", now.year, now.month,
                  now.day, now.hour, now.minute, now.second, now.microseconds,
                  now.offsetMinutes < 0 ? '-' : '+', std::labs(now.offsetMinutes) % 1000);
    return text;
}

namespace {

std::mutex& LogMutex() {
    static std::mutex mutex;
    return mutex;
}

void AppendToFile(const std::string& root, const std::string& message) {
    if (root.empty()) {
        return;
    }
    const std::string line = DmiDateNow() + " " + message + "\n";
    std::string ignored;
    const std::string log = management::ProviderFile(root, management::kLogFileName);
    if (!os::AppendWhole(log, line, &ignored) && os::EnsurePrivateDirectory(root)) {
        os::AppendWhole(log, line, &ignored);  // the first line in a new directory
    }
}

}  // namespace

void LogLine(const std::string& root, const std::string& message) {
    std::lock_guard lock(LogMutex());
    std::cerr << "Wcdmi: " << message << std::endl;
    AppendToFile(root, message);
}

void LogNote(const std::string& root, const std::string& message) {
    std::lock_guard lock(LogMutex());
    AppendToFile(root, message);
}

}  // namespace korvo::sp

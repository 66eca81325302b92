// Logging to standard error and $WIN32DMIPATH/sp.log.
#include "sp_log.h"

#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>

#include "korvo_host.h"

namespace korvo::sp {

std::string DmiDateNow() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const long offsetMinutes = local.tm_gmtoff / 60;
    char text[96];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%06ld%c%03ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(now.tv_usec), offsetMinutes < 0 ? '-' : '+',
                  std::labs(offsetMinutes) % 1000);
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
    std::ofstream log(root + "/sp.log", std::ios::app);
    if (!log && korvo::host::EnsurePrivateDirectory(root)) {
        log.open(root + "/sp.log", std::ios::app);  // the first line in a new directory
    }
    if (log) {
        log << DmiDateNow() << " " << message << "\n";
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

// The console's log command: the last lines of the service provider's log, sp.log beside its
// socket, and with --follow each line as it is written.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>

#include "console/console.h"
#include "console/console_commands.h"
#include "console/interrupt_catcher.h"
#include "korvo/provider_files.h"
#include "management/attribute_values.h"

namespace korvo::console {

using management::ConnectionError;
using management::IsoTimeOfDmiDate;
using nlohmann::json;

// The service provider's log: sp.log beside its socket.
std::string Console::LogPath() {
    if (!line_.socketPath.empty() && !line_.socketPath.starts_with("tcp:")) {
        const auto slash = line_.socketPath.rfind('/');
        return management::ProviderFile(
            slash == std::string::npos ? std::string(".") : line_.socketPath.substr(0, slash),
            management::kLogFileName);
    }
    const std::string directory = management::ProviderDirectory();
    if (directory.empty()) {
        throw ConnectionError(
            "WIN32DMIPATH is not set, so the service provider's log is unknown: set it to "
            "the directory the agent runs with (the log is $WIN32DMIPATH/sp.log), or give "
            "--socket PATH with the socket beside the log");
    }
    return management::ProviderFile(directory, management::kLogFileName);
}

// A line of sp.log, its time stamp as ISO 8601 like every time the console shows.
void Console::ShowLogLine(const std::string& path, const std::string& line) {
    constexpr size_t kStampLength = 25;  // yyyymmddHHMMSS.uuuuuu+ooo
    std::string time;
    std::string message = line;
    if (line.size() > kStampLength && line[kStampLength] == ' ') {
        const std::string stamp = line.substr(0, kStampLength);
        if (const std::string iso = IsoTimeOfDmiDate(stamp); iso != stamp) {
            time = iso;
            message = line.substr(kStampLength + 1);
        }
    }
    if (line_.json) {
        PrintJsonLine({{"log", path}, {"time", time}, {"message", message}});
    } else {
        text_.LogLine(time.empty() ? message : time + "  " + message);
    }
}

int Console::Log() {
    const std::string path = LogPath();
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw ConnectionError("cannot read the service provider's log " + path + ": " +
                              std::strerror(errno));
    }
    const uint64_t wanted = line_.lines.value_or(20);
    std::deque<std::string> last;
    std::string text;
    while (std::getline(file, text)) {
        last.push_back(text);
        if (last.size() > wanted) {
            last.pop_front();
        }
    }
    for (const std::string& shown : last) {
        ShowLogLine(path, shown);
    }
    out_.flush();
    if (!line_.follow) {
        return kExitSuccess;
    }
    return FollowLog(file, path);
}

// Shows each line written to the log after what was shown, until interrupted.
int Console::FollowLog(std::ifstream& file, const std::string& path) {
    InterruptCatcher catcher;
    file.clear();
    std::streamoff offset = file.tellg();
    std::string partial;
    while (InterruptCatcher::Sleep(std::chrono::milliseconds(200))) {
        std::ifstream again(path, std::ios::binary | std::ios::ate);
        const std::streamoff size = again ? static_cast<std::streamoff>(again.tellg()) : 0;
        if (size < offset) {
            offset = 0;  // the log was started again
            partial.clear();
        }
        if (!again || size == offset) {
            continue;
        }
        again.seekg(offset);
        std::string chunk(static_cast<size_t>(size - offset), '\0');
        again.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        offset = size;
        partial += chunk;
        for (size_t newline; (newline = partial.find('\n')) != std::string::npos;) {
            ShowLogLine(path, partial.substr(0, newline));
            partial.erase(0, newline + 1);
        }
        out_.flush();
    }
    return kExitSuccess;
}

}  // namespace korvo::console

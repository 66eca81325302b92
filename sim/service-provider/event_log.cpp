// The event log: an append-only file of JSON lines mirrored in memory.
#include "event_log.h"

#include <fstream>

#include "sp_platform.h"

namespace korvo::sp {

EventLog::EventLog(std::string path, std::vector<std::string>* warnings) : path_(std::move(path)) {
    std::ifstream file(path_);
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (line.empty()) {
            continue;
        }
        auto event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_object() || !event.contains("sequence") ||
            !event["sequence"].is_number_unsigned()) {
            warnings->push_back(path_ + ":" + std::to_string(number) + ": not an event, skipped");
            continue;
        }
        lastSequence_ = std::max(lastSequence_, event["sequence"].get<uint64_t>());
        events_.push_back(std::move(event));
    }
}

bool EventLog::Append(nlohmann::json event, const std::string& time, uint64_t* sequence,
                      std::string* error) {
    std::lock_guard lock(mutex_);
    event["sequence"] = lastSequence_ + 1;
    event["time"] = time;
    const std::string line =
        event.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
    // One write of the whole line to a file opened for appending: readers never see half an
    // event, and a crash leaves at worst a last line that the next start skips.
    if (!os::AppendWhole(path_, line, error)) {
        return false;
    }
    ++lastSequence_;
    *sequence = lastSequence_;
    events_.push_back(std::move(event));
    arrived_.notify_all();
    return true;
}

std::vector<nlohmann::json> EventLog::Since(uint64_t sequence) const {
    std::lock_guard lock(mutex_);
    std::vector<nlohmann::json> found;
    for (const auto& event : events_) {
        if (event["sequence"].get<uint64_t>() > sequence) {
            found.push_back(event);
        }
    }
    return found;
}

std::vector<nlohmann::json> EventLog::WaitSince(uint64_t sequence, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, wait, [&] { return lastSequence_ > sequence; });
    std::vector<nlohmann::json> found;
    for (const auto& event : events_) {
        if (event["sequence"].get<uint64_t>() > sequence) {
            found.push_back(event);
        }
    }
    return found;
}

}  // namespace korvo::sp

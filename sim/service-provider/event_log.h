// The events originated through the service provider: kept in order with a sequence number and
// a time in $WIN32DMIPATH/events.log (one JSON object per line, appended whole), and handed to
// whoever waits for the next one (the subscribers of the management socket).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvo::sp {

class EventLog {
  public:
    // Reads the events already in the file at `path`. Lines that are not events (a line cut
    // short by a crash) are skipped and described in `warnings`.
    EventLog(std::string path, std::vector<std::string>* warnings);

    // Gives `event` the next sequence number and `time`, appends it to the file and wakes the
    // waiters. False, with `error`, when the file cannot be written; nothing is kept then.
    bool Append(nlohmann::json event, const std::string& time, uint64_t* sequence,
                std::string* error);

    std::vector<nlohmann::json> Since(uint64_t sequence) const;

    // The events after `sequence`, waiting up to `wait` for one to come when there are none.
    std::vector<nlohmann::json> WaitSince(uint64_t sequence, std::chrono::milliseconds wait);

  private:
    std::string path_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<nlohmann::json> events_;
    uint64_t lastSequence_ = 0;
};

}  // namespace korvo::sp

// The events originated through the service provider: kept in order with a sequence number and
// a time in $WIN32DMIPATH/events.log (one JSON object per line, appended whole), and handed to
// whoever waits for the next one (the subscribers of the management socket). Only a window of
// the latest kKeptEvents is kept: in memory, each as its line of text (a tree of JSON values
// takes ten times the room), and in the file, which is cut back to them once it holds twice
// as many lines. The subscribers are also handed notices of successful sets, which
// are not events: numbered apart, kept in memory only, the latest kKeptNotices.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvo::sp {

class EventLog {
  public:
    static constexpr size_t kKeptEvents = 1000;
    static constexpr size_t kKeptNotices = 256;

    // Reads the latest events already in the file at `path`. Lines that are not events (a
    // line cut short by a crash) are skipped and described in `warnings`, as is a file that
    // cannot be read.
    EventLog(std::string path, std::vector<std::string>* warnings);

    // Gives `event` the next sequence number and `time`, appends it to the file and wakes the
    // waiters. False, with `error`, when the file cannot be written; nothing is kept then.
    bool Append(nlohmann::json event, const std::string& time, uint64_t* sequence,
                std::string* error);

    // The kept events after `sequence`, oldest first.
    std::vector<nlohmann::json> Since(uint64_t sequence) const;

    // The number of the latest notice of a set (0 before the first).
    uint64_t LastNotice() const;
    // Hands a notice of a set to the waiters.
    void NoticeSet(nlohmann::json notice);

    // The events after `sequence` and the notices after `*notice` (which becomes the last
    // one's number), waiting up to `wait` for either to come when there are none.
    std::vector<nlohmann::json> WaitSince(uint64_t sequence, uint64_t* notice,
                                          std::vector<nlohmann::json>* notices,
                                          std::chrono::milliseconds wait);

  private:
    struct KeptEvent {
        uint64_t sequence = 0;
        std::string line;  // as in the file, newline included
    };

    // The lines of the kept events after `sequence`, under mutex_; read them with Parsed.
    std::vector<std::string> LinesSince(uint64_t sequence) const;
    static std::vector<nlohmann::json> Parsed(const std::vector<std::string>& lines);
    // Adds the newest event to the window, dropping the oldest beyond kKeptEvents.
    void Keep(uint64_t sequence, std::string line);
    // Rewrites the file with the kept events once it holds twice as many lines.
    void CutBackFile();

    std::string path_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<KeptEvent> events_;  // ascending sequence numbers
    uint64_t lastSequence_ = 0;
    size_t linesInFile_ = 0;
    std::deque<nlohmann::json> notices_;  // the latest, the last numbered lastNotice_
    uint64_t lastNotice_ = 0;
};

}  // namespace korvo::sp

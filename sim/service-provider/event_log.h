// The events originated through the service provider: kept in order with a sequence number and
// a time in $WIN32DMIPATH/events.log (one JSON object per line, appended whole), and handed to
// whoever waits for the next one (the subscribers of the management socket). Only a window of
// the latest kKeptEvents is kept: in memory, each as its line of text (a tree of JSON values
// takes ten times the room), and in the file, which is cut back to them once it holds twice
// as many lines. An event the file does not take (no space left, a file too large) is held
// back in memory and handed out like any other; it is written, in order, before the next event
// or when events are next asked for. The subscribers are also handed notices of successful
// sets, which are not events: numbered apart, kept in memory only, the latest kKeptNotices.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
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
    // At most this many events are held back; beyond it the oldest are lost.
    static constexpr size_t kHeldBackEvents = kKeptEvents;

    // Appends one line to the file whole, as os::AppendWhole does.
    using Appender =
        std::function<bool(const std::string& path, const std::string& line, std::string* error)>;
    // Takes a line for the service provider's log: held-back events written, events lost.
    using Note = std::function<void(const std::string& line)>;

    struct Counts {
        uint64_t heldBack = 0;     // events now waiting for the file to take them
        uint64_t writtenLate = 0;  // events written after being held back
        uint64_t lost = 0;         // events held back and dropped, never written
    };

    // Reads the latest events already in the file at `path`. Lines that are not events (a
    // line cut short by a crash) are skipped and described in `warnings`, as is a file that
    // cannot be read.
    EventLog(std::string path, std::vector<std::string>* warnings, Note note = {},
             Appender append = {});
    // Writes what is held back, if the file takes it; what it does not is lost, and noted.
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Gives `event` the next sequence number and `time`, keeps it, wakes the waiters and
    // appends it to the file after the events held back. False, with `error`, when the file
    // does not take it: the event is held back, still kept and handed out.
    bool Append(nlohmann::json event, const std::string& time, uint64_t* sequence,
                std::string* error);

    // The kept events after `sequence`, oldest first (held-back ones are written first).
    std::vector<nlohmann::json> Since(uint64_t sequence);

    Counts Counted() const;

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

    // Appends the held-back events to the file, oldest first, until it refuses one (its
    // reason in `error`); true when none is left. Those written that were refused before
    // (all but `fresh`, the one just appended) are counted and noted. Under mutex_.
    bool WriteHeldBack(std::string* error, uint64_t fresh = 0);

    // The lines of the kept events after `sequence`, under mutex_; read them with Parsed.
    std::vector<std::string> LinesSince(uint64_t sequence) const;
    static std::vector<nlohmann::json> Parsed(const std::vector<std::string>& lines);
    // Adds the newest event to the window, dropping the oldest beyond kKeptEvents.
    void Keep(uint64_t sequence, std::string line);
    // Rewrites the file with the kept events once it holds twice as many lines.
    void CutBackFile();

    std::string path_;
    Note note_;
    Appender append_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<KeptEvent> events_;  // ascending sequence numbers
    uint64_t lastSequence_ = 0;
    size_t linesInFile_ = 0;
    std::deque<KeptEvent> heldBack_;  // not yet in the file, ascending sequence numbers
    bool tornLine_ = false;           // a refused append may have left part of a line
    uint64_t writtenLate_ = 0;
    uint64_t lost_ = 0;
    std::deque<nlohmann::json> notices_;  // the latest, the last numbered lastNotice_
    uint64_t lastNotice_ = 0;
};

}  // namespace korvo::sp

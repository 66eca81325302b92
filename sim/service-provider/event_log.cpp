// The event log: an append-only file of JSON lines mirrored in memory as the same lines, both
// cut back to a window of the latest events, and the events the file has not taken yet.
#include "event_log.h"

#include <algorithm>

#include "sp_platform.h"

namespace korvo::sp {
namespace {

uint64_t SequenceOf(const nlohmann::json& event) {
    return event["sequence"].get<uint64_t>();
}

std::string LineOf(const nlohmann::json& event) {
    return event.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
}

// "event 4" or "events 4 to 9".
std::string EventsText(uint64_t first, uint64_t last) {
    return first == last ? "event " + std::to_string(first)
                         : "events " + std::to_string(first) + " to " + std::to_string(last);
}

}  // namespace

EventLog::EventLog(std::string path, std::vector<std::string>* warnings, Note note, Appender append)
    : path_(std::move(path)),
      note_(note ? std::move(note) : [](const std::string&) {}),
      append_(append ? std::move(append) : Appender(os::AppendWhole)) {
    std::string text;
    std::string error;
    bool missing = false;
    if (!os::ReadWholeFile(path_, &text, &error, &missing)) {
        if (!missing) {
            warnings->push_back(error + "; the event log starts empty");
        }
        return;
    }
    size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        ++number;
        if (line.empty()) {
            continue;
        }
        ++linesInFile_;
        auto event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_object() || !event.contains("sequence") ||
            !event["sequence"].is_number_unsigned() || SequenceOf(event) <= lastSequence_) {
            warnings->push_back(path_ + ":" + std::to_string(number) + ": not an event, skipped");
            continue;
        }
        lastSequence_ = SequenceOf(event);
        Keep(lastSequence_, LineOf(event));
    }
}

EventLog::~EventLog() {
    std::lock_guard lock(mutex_);
    std::string error;
    if (!WriteHeldBack(&error)) {
        lost_ += heldBack_.size();
        note_(EventsText(heldBack_.front().sequence, heldBack_.back().sequence) +
              " held back and now lost: the service provider ends and " + error);
        heldBack_.clear();
    }
}

bool EventLog::Append(nlohmann::json event, const std::string& time, uint64_t* sequence,
                      std::string* error) {
    std::lock_guard lock(mutex_);
    event["sequence"] = ++lastSequence_;
    event["time"] = time;
    *sequence = lastSequence_;
    // One write of the whole line to a file opened for appending: readers never see half an
    // event, and a crash leaves at worst a last line that the next start skips. The events
    // held back go first, so that the file keeps the order of the numbers.
    std::string line = LineOf(event);
    heldBack_.push_back({lastSequence_, line});
    Keep(lastSequence_, std::move(line));
    arrived_.notify_all();
    if (!WriteHeldBack(error, lastSequence_)) {
        if (heldBack_.size() > kHeldBackEvents) {
            const uint64_t first = heldBack_.front().sequence;
            const size_t dropped = heldBack_.size() - kHeldBackEvents;
            heldBack_.erase(heldBack_.begin(), heldBack_.begin() + static_cast<ptrdiff_t>(dropped));
            lost_ += dropped;
            note_(EventsText(first, first + dropped - 1) + " lost: never written, " +
                  std::to_string(kHeldBackEvents) + " newer events are held back: " + *error);
        }
        return false;
    }
    if (linesInFile_ >= 2 * kKeptEvents) {
        CutBackFile();
    }
    return true;
}

bool EventLog::WriteHeldBack(std::string* error, uint64_t fresh) {
    uint64_t first = 0;
    uint64_t late = 0;
    bool whole = true;
    while (!heldBack_.empty()) {
        const KeptEvent& event = heldBack_.front();
        // A refused append may have left the start of a line: end it first, so that this event
        // is a line of its own (an empty line is skipped when the file is read).
        if (!append_(path_, tornLine_ ? "\n" + event.line : event.line, error)) {
            tornLine_ = true;
            whole = false;
            break;
        }
        tornLine_ = false;
        ++linesInFile_;
        if (event.sequence != fresh && late++ == 0) {
            first = event.sequence;
        }
        heldBack_.pop_front();
    }
    if (late > 0) {
        writtenLate_ += late;
        note_(EventsText(first, first + late - 1) +
              " held back, now written: the event log takes events again");
    }
    return whole;
}

EventLog::Counts EventLog::Counted() const {
    std::lock_guard lock(mutex_);
    return {heldBack_.size(), writtenLate_, lost_};
}

void EventLog::Keep(uint64_t sequence, std::string line) {
    events_.push_back({sequence, std::move(line)});
    if (events_.size() > kKeptEvents) {
        events_.pop_front();
    }
}

void EventLog::CutBackFile() {
    std::string contents;
    for (const KeptEvent& event : events_) {
        contents += event.line;
    }
    std::string ignored;  // the file keeps growing until a rewrite succeeds
    if (os::ReplaceFileContents(path_, contents, &ignored)) {
        linesInFile_ = events_.size();
    }
}

std::vector<std::string> EventLog::LinesSince(uint64_t sequence) const {
    const auto first = std::upper_bound(
        events_.begin(), events_.end(), sequence,
        [](uint64_t wanted, const KeptEvent& event) { return wanted < event.sequence; });
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(events_.end() - first));
    for (auto event = first; event != events_.end(); ++event) {
        lines.push_back(event->line);
    }
    return lines;
}

std::vector<nlohmann::json> EventLog::Parsed(const std::vector<std::string>& lines) {
    std::vector<nlohmann::json> events;
    events.reserve(lines.size());
    for (const std::string& line : lines) {
        events.push_back(nlohmann::json::parse(line));  // written by LineOf, so whole
    }
    return events;
}

std::vector<nlohmann::json> EventLog::Since(uint64_t sequence) {
    std::unique_lock lock(mutex_);
    std::string ignored;  // still held back: said when the event was refused
    WriteHeldBack(&ignored);
    const std::vector<std::string> lines = LinesSince(sequence);
    lock.unlock();
    return Parsed(lines);
}

uint64_t EventLog::LastNotice() const {
    std::lock_guard lock(mutex_);
    return lastNotice_;
}

void EventLog::NoticeSet(nlohmann::json notice) {
    std::lock_guard lock(mutex_);
    notices_.push_back(std::move(notice));
    if (notices_.size() > kKeptNotices) {
        notices_.pop_front();
    }
    ++lastNotice_;
    arrived_.notify_all();
}

std::vector<nlohmann::json> EventLog::WaitSince(uint64_t sequence, uint64_t* notice,
                                                std::vector<nlohmann::json>* notices,
                                                std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    std::string ignored;  // still held back: said when the event was refused
    WriteHeldBack(&ignored);
    arrived_.wait_for(lock, wait,
                      [&] { return lastSequence_ > sequence || lastNotice_ > *notice; });
    const uint64_t missing = std::min<uint64_t>(lastNotice_ - *notice, notices_.size());
    notices->assign(notices_.end() - static_cast<std::ptrdiff_t>(missing), notices_.end());
    *notice = lastNotice_;
    const std::vector<std::string> lines = LinesSince(sequence);
    lock.unlock();
    return Parsed(lines);
}

}  // namespace korvo::sp

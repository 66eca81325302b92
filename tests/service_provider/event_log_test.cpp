// The event log when its file refuses a line (no space left, a file too large): the event is
// still numbered and handed out, written in order once the file takes lines again, and lost
// only beyond the window of held-back events, counted and said.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "event_log.h"
#include "sp_platform.h"
#include "support/private_root.h"

namespace korvo::sp::test {
namespace {

// A file that refuses every line while `full`, as a full disk does: with the errno's text,
// after writing the start of the line when `torn` (a short write).
struct FullDisk {
    int error = ENOSPC;
    bool torn = false;
    bool full = false;
    int refused = 0;

    EventLog::Appender Appender() {
        return [this](const std::string& path, const std::string& line, std::string* message) {
            if (!full) {
                return os::AppendWhole(path, line, message);
            }
            ++refused;
            if (torn) {
                std::string ignored;
                os::AppendWhole(path, line.substr(0, line.size() / 2), &ignored);
            }
            *message = "cannot append to " + path + ": " + std::strerror(error);
            return false;
        };
    }
};

nlohmann::json Event(int n) {
    return {{"component", 1}, {"n", n}};
}

std::vector<uint64_t> SequencesOf(const std::vector<nlohmann::json>& events) {
    std::vector<uint64_t> sequences;
    for (const nlohmann::json& event : events) {
        sequences.push_back(event["sequence"].get<uint64_t>());
    }
    return sequences;
}

// The events the file holds, as the service provider reads them at its next start.
std::vector<uint64_t> SequencesInFile(const std::string& path) {
    std::vector<std::string> warnings;
    EventLog reread(path, &warnings);
    return SequencesOf(reread.Since(0));
}

class EventLogTest : public ::testing::Test {
  protected:
    korvo::test::PrivateRoot root_;
    std::string path_ = root_.path() + "/events.log";
    std::vector<std::string> notes_;
    EventLog::Note Notes() {
        return [this](const std::string& line) { notes_.push_back(line); };
    }
    bool Noted(const std::string& text) const {
        for (const std::string& note : notes_) {
            if (note.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(EventLogTest, HeldBackEventsAreHandedOutAndWrittenInOrderOnceTheFileTakesThem) {
    struct Case {
        const char* what;
        int error;
        bool torn;
        bool noticedByReader;  // space noticed by a reader of events, not by the next event
    };
    const Case cases[] = {
        {"no space left", ENOSPC, false, false},
        {"file too large, a line torn", EFBIG, true, false},
        {"no space left, a line torn, noticed by a reader", ENOSPC, true, true},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what);
        std::filesystem::remove(path_);
        notes_.clear();
        FullDisk disk{item.error, item.torn};
        std::vector<std::string> warnings;
        EventLog log(path_, &warnings, Notes(), disk.Appender());
        uint64_t sequence = 0;
        std::string error;
        ASSERT_TRUE(log.Append(Event(1), "t1", &sequence, &error)) << error;

        disk.full = true;
        for (int n = 2; n <= 3; ++n) {
            error.clear();
            EXPECT_FALSE(log.Append(Event(n), "t", &sequence, &error));
            EXPECT_EQ(sequence, static_cast<uint64_t>(n));
            EXPECT_NE(error.find(std::strerror(item.error)), std::string::npos) << error;
        }
        // Handed out as if written: to a reader and to a subscriber waiting for events.
        EXPECT_EQ(SequencesOf(log.Since(0)), (std::vector<uint64_t>{1, 2, 3}));
        uint64_t notice = log.LastNotice();
        std::vector<nlohmann::json> notices;
        EXPECT_EQ(SequencesOf(log.WaitSince(1, &notice, &notices, std::chrono::milliseconds(0))),
                  (std::vector<uint64_t>{2, 3}));
        EXPECT_EQ(log.Counted().heldBack, 2u);
        EXPECT_EQ(SequencesInFile(path_), (std::vector<uint64_t>{1}));

        disk.full = false;
        if (item.noticedByReader) {
            EXPECT_EQ(SequencesOf(log.Since(3)), std::vector<uint64_t>{});
            EXPECT_EQ(SequencesInFile(path_), (std::vector<uint64_t>{1, 2, 3}));
        }
        ASSERT_TRUE(log.Append(Event(4), "t4", &sequence, &error)) << error;
        EXPECT_EQ(SequencesInFile(path_), (std::vector<uint64_t>{1, 2, 3, 4}));
        const EventLog::Counts counts = log.Counted();
        EXPECT_EQ(counts.heldBack, 0u);
        EXPECT_EQ(counts.writtenLate, 2u);
        EXPECT_EQ(counts.lost, 0u);
        EXPECT_TRUE(Noted("events 2 to 3 held back, now written"))
            << ::testing::PrintToString(notes_);
    }
}

TEST_F(EventLogTest, BeyondTheWindowTheOldestHeldBackEventsAreLostCountedAndSaid) {
    FullDisk disk;
    disk.full = true;
    uint64_t sequence = 0;
    std::string error;
    {
        std::vector<std::string> warnings;
        EventLog log(path_, &warnings, Notes(), disk.Appender());
        const size_t appended = EventLog::kHeldBackEvents + 2;
        for (size_t n = 1; n <= appended; ++n) {
            EXPECT_FALSE(log.Append(Event(static_cast<int>(n)), "t", &sequence, &error));
        }
        EXPECT_EQ(log.Counted().lost, 2u);
        EXPECT_EQ(log.Counted().heldBack, EventLog::kHeldBackEvents);
        EXPECT_TRUE(Noted("event 1 lost") && Noted("event 2 lost"))
            << ::testing::PrintToString(notes_);
        EXPECT_TRUE(Noted("No space left on device"));
        // Still handed out: the window of the latest events.
        EXPECT_EQ(log.Since(0).size(), EventLog::kKeptEvents);
        EXPECT_EQ(log.Since(0).back()["sequence"], appended);
    }
    // Ending with the file still full loses the rest, and says so.
    EXPECT_TRUE(Noted("events 3 to 1002 held back and now lost")) << notes_.back();
}

}  // namespace
}  // namespace korvo::sp::test

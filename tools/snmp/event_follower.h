// The thread that follows the service provider's events and its notices of sets, for the
// subagent's main loop to send as notifications and to drop what sets made stale.
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvo::snmp {

// Follows the service provider's events on a thread of its own and hands them to the main
// loop through a queue and a pipe the loop watches.
class EventFollower {
  public:
    EventFollower(std::string socketPath, std::chrono::milliseconds timeout);
    ~EventFollower();
    EventFollower(const EventFollower&) = delete;
    EventFollower& operator=(const EventFollower&) = delete;

    int readFd() const { return pipe_[0]; }

    // How many notices of sets by any client have arrived; and whether lines wait unread on
    // the subscription or are being handled, any of which may be such a notice. Asked in
    // this order (LinesWaiting, then SetsNoticed), a notice the provider sent is seen: it is
    // on the socket, or the thread took it off while `handling_` holds, or it is counted.
    uint64_t SetsNoticed() const { return sets_; }
    bool LinesWaiting() const {
        pollfd waiting{subscription_.load(), POLLIN, 0};
        if (waiting.fd >= 0 && poll(&waiting, 1, 0) > 0) {
            return true;
        }
        return handling_.load();
    }

    // The groups that sets by any client wrote since the last call, or `all` when sets may
    // have gone unnoticed (while no subscription was open).
    struct Written {
        bool all = false;
        std::vector<std::pair<uint32_t, uint32_t>> groups;  // component, group
    };
    Written TakeWritten() {
        std::lock_guard lock(mutex_);
        return std::exchange(written_, {});
    }

    std::deque<nlohmann::json> Take();

  private:
    void Noticed(const std::function<void(Written&)>& note);
    void Handle(const std::optional<nlohmann::json>& line, uint64_t& since);
    void Follow();

    std::string socketPath_;
    std::chrono::milliseconds timeout_;
    int pipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> sets_{0};
    std::atomic<int> subscription_{-1};
    // Set before the thread reads the subscription's socket, cleared once nothing it read
    // waits to be handled.
    std::atomic<bool> handling_{false};
    std::mutex mutex_;
    std::deque<nlohmann::json> events_;
    Written written_;
    std::thread thread_;
};

}  // namespace korvo::snmp

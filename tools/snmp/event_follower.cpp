// Following the service provider's events on a thread of its own: subscribing from the
// latest event on, queueing what arrives, and subscribing again after a failure.
#include "snmp/event_follower.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "management/component_catalog.h"
#include "management/management_client.h"
#include "management/management_requests.h"
#include "dmi/dmi.h"
#include "snmp/log.h"

namespace korvo::snmp {

namespace {

constexpr auto kEventWait = std::chrono::milliseconds(500);
constexpr auto kEventRetry = std::chrono::seconds(1);

}  // namespace

using nlohmann::json;

EventFollower::EventFollower(std::string socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("cannot make a pipe for events");
    }
    thread_ = std::thread([this] { Follow(); });
}

EventFollower::~EventFollower() {
    stopping_ = true;
    thread_.join();
    close(pipe_[0]);
    close(pipe_[1]);
}

std::deque<json> EventFollower::Take() {
    char drain[64];
    while (read(pipe_[0], drain, sizeof drain) > 0) {
    }
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

void EventFollower::Noticed(const std::function<void(Written&)>& note) {
    {
        std::lock_guard lock(mutex_);
        note(written_);
    }
    ++sets_;
    const char wake = 1;
    (void)!write(pipe_[1], &wake, 1);
}

// One line of the subscription: a notice of a set, an event to queue, or nothing of ours.
void EventFollower::Handle(const std::optional<json>& line, uint64_t& since) {
    if (line && line->contains("set")) {
        const json& set = (*line)["set"];
        Noticed([&](Written& written) {
            written.groups.emplace_back(set.value("component", 0u), set.value("group", 0u));
        });
        return;
    }
    if (!line || !line->contains("event")) {
        return;
    }
    const json& event = (*line)["event"];
    since = std::max(since, event.value("sequence", uint64_t{0}));
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    const char wake = 1;
    (void)!write(pipe_[1], &wake, 1);
}

void EventFollower::Follow() {
    std::optional<uint64_t> since;
    bool connected = true;
    while (!stopping_) {
        try {
            management::ManagementClient client(management::ManagementSocketPath(socketPath_),
                                                timeout_);
            if (!since) {
                // Only what happens from now on: the log's earlier events are history.
                uint64_t last = 0;
                const json log = client.Request(management::request::Events());
                for (const json& event : log.value("events", json::array())) {
                    last = std::max(last, event.value("sequence", uint64_t{0}));
                }
                since = last;
            }
            // Lines read together with the answer wait in the client, unhandled.
            handling_ = true;
            const json answer = client.Request(management::request::Subscribe(*since));
            if (management::StatusOf(answer) != DMIERR_NO_ERROR) {
                throw management::ConnectionError("the service provider refused a subscription");
            }
            if (!connected) {
                Log("following the service provider's events again");
                connected = true;
            }
            subscription_ = client.descriptor();
            // Sets made while no subscription was open were not noticed.
            Noticed([](Written& written) { written.all = true; });
            handling_ = client.HasBuffered();
            while (!stopping_) {
                if (!client.HasBuffered()) {
                    pollfd readable{client.descriptor(), POLLIN, 0};
                    if (poll(&readable, 1, static_cast<int>(kEventWait.count())) <= 0) {
                        continue;
                    }
                }
                handling_ = true;
                Handle(client.Receive(kEventWait), *since);
                handling_ = client.HasBuffered();
            }
        } catch (const std::exception& error) {
            subscription_ = -1;
            handling_ = false;
            if (connected) {
                Log(std::string("events: ") + error.what() + "; trying again every second",
                    LogPriority::Warning);
                connected = false;
            }
            for (auto waited = std::chrono::milliseconds(0); !stopping_ && waited < kEventRetry;
                 waited += std::chrono::milliseconds(100)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }
}

}  // namespace korvo::snmp

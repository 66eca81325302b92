// The console's commands that follow the service provider as it goes: events (the log, or
// each new event with --follow) and watch (samples of attributes with counters' rates); both
// carry on when the service provider goes away and comes back.
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "console/console.h"
#include "console/console_commands.h"
#include "console/counter_rates.h"
#include "console/interrupt_catcher.h"
#include "dmi/dmi.h"
#include "management/attribute_reads.h"
#include "management/attribute_values.h"
#include "korvo/management_protocol.h"
#include "management/management_requests.h"

namespace korvo::console {

using management::AnnotateValue;
using management::AttributeInfo;
using management::ConnectionError;
using management::GroupInfo;
using management::HasValue;
using management::IdIn;
using management::IsoTimeOf;
using management::IsoTimeOfDmiDate;
using management::ManagementClient;
using management::ManagementSocketPath;
using management::ReadAttribute;
using management::Reading;
using management::ReadingJson;
using management::RequestOk;
using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

// The longest --timeout honoured; beyond it the deadline would overflow the clock.
constexpr double kLongestTimeoutSeconds = 1e8;
// How often a following command tries to reach a service provider that has gone away.
constexpr auto kReconnectPause = std::chrono::milliseconds(200);

std::vector<json> EventsOf(const json& response) {
    const auto events = response.find("events");
    return events != response.end() && events->is_array() ? events->get<std::vector<json>>()
                                                          : std::vector<json>{};
}

}  // namespace

// The event with the names of its groups and attributes and the displayed values added.
json Console::AnnotateEvent(const json& event) {
    json annotated = event;
    if (const auto time = annotated.find("time"); time != annotated.end() && time->is_string()) {
        *time = IsoTimeOfDmiDate(time->get<std::string>());
    }
    const uint32_t component = IdIn(event, "component");
    if (const auto rows = annotated.find("rows"); rows != annotated.end() && rows->is_array()) {
        for (json& row : *rows) {
            const uint32_t groupId = IdIn(row, "group");
            const GroupInfo* group = catalog_.FindGroup(component, groupId);
            row["groupName"] = group != nullptr ? group->name : "";
            for (const char* part : {"keys", "values"}) {
                const auto list = row.find(part);
                if (list == row.end() || !list->is_array()) {
                    continue;
                }
                for (json& value : *list) {
                    const AttributeInfo* info =
                        catalog_.FindAttribute(component, groupId, IdIn(value, "id"));
                    value = AnnotateValue(value, info);
                    value["name"] = info != nullptr ? info->name : "";
                }
            }
        }
    }
    return annotated;
}

int Console::Events() {
    return line_.follow ? FollowEvents() : LoggedEvents();
}

int Console::LoggedEvents() {
    const uint64_t since = line_.since.value_or(0);
    const json response =
        RequestOk(Client(), management::request::Events(since), "reading the event log");
    json list = json::array();
    for (const json& event : EventsOf(response)) {
        list.push_back(AnnotateEvent(event));
    }
    const json document{{"events", list}};
    Show(document, [&] { text_.Events(document, since); });
    return kExitSuccess;
}

// The sequence number of the last event in the service provider's log; 0 when there is none.
uint64_t Console::LastLoggedSequence() {
    uint64_t last = 0;
    const json response =
        RequestOk(Client(), management::request::Events(0), "reading the event log");
    for (const json& event : EventsOf(response)) {
        const auto sequence = event.find("sequence");
        if (sequence != event.end() && sequence->is_number_integer()) {
            last = std::max(last, sequence->get<uint64_t>());
        }
    }
    return last;
}

int Console::FollowEvents() {
    // Only what happens from now on, unless --since asks for more: start after the last
    // logged event.
    uint64_t since = line_.since ? *line_.since : LastLoggedSequence();
    // The subscription; empty while the service provider is away and being waited for.
    std::optional<ManagementClient> subscription;
    auto connect = [&] { subscription.emplace(ManagementSocketPath(line_.socketPath)); };
    auto subscribe = [&] {
        RequestOk(*subscription, management::request::Subscribe(since), "subscribing to events");
    };
    bool away = false;  // the connection was lost and has not come back yet
    // Nothing listening at all is an error at once; a provider that goes away once the
    // subscription is asked for, before it answers, is waited for as at any later time.
    connect();
    try {
        subscribe();
    } catch (const ConnectionError& lost) {
        SayReconnecting(away, lost);
        subscription.reset();
    }

    std::optional<Clock::time_point> deadline;
    if (line_.timeoutSeconds) {
        deadline = Clock::now() +
                   std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                       std::min(*line_.timeoutSeconds, kLongestTimeoutSeconds)));
    }
    uint64_t shown = 0;
    while (!line_.count || shown < *line_.count) {
        auto wait = std::chrono::milliseconds(std::chrono::hours(1));
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            wait = std::min(wait, left);
        }
        std::optional<json> message;
        json annotated;  // the event with its names, once it has come and been named
        try {
            if (!subscription) {
                std::this_thread::sleep_for(std::min<Clock::duration>(wait, kReconnectPause));
                connect();
                subscribe();  // the events after the last one shown, none lost or repeated
            }
            message = subscription->Receive(wait);
            const auto event = message ? message->find("event") : json::iterator();
            if (message && event != message->end() && event->is_object()) {
                // The names may be asked for now: an event whose names cannot be had for a
                // provider gone is not shown yet, but comes again once it is back.
                annotated = AnnotateEvent(*event);
            }
        } catch (const ConnectionError& lost) {
            SayReconnecting(away, lost);
            subscription.reset();
            client_.reset();
            continue;
        }
        away = false;
        if (annotated.is_null()) {
            continue;  // no message in time, or one that is not an event
        }
        if (const auto sequence = annotated.find("sequence");
            sequence != annotated.end() && sequence->is_number_unsigned()) {
            since = std::max(since, sequence->get<uint64_t>());
        }
        if (line_.json) {
            PrintJsonLine(annotated);
        } else {
            text_.Event(annotated);
        }
        out_.flush();
        ++shown;
    }
    if (line_.count && shown < *line_.count) {
        err_ << "dmicli: " << shown << " of " << *line_.count << " events arrived within "
             << *line_.timeoutSeconds << " s\n";
        return kExitDmiStatus;
    }
    return kExitSuccess;
}

// Says once per absence of the service provider that a following command waits for it to
// come back; `away` is set from then until the connection is back.
void Console::SayReconnecting(bool& away, const ConnectionError& lost) {
    if (!away) {
        err_ << "dmicli: " << lost.what() << "; reconnecting when it is back\n";
        err_.flush();
    }
    away = true;
}

int Console::Watch() {
    const auto [component, group, attributes, keyList] = ReadTarget();
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(line_.intervalSeconds.value_or(1.0)));
    // A sample's time: one reading of the clock, once its values are in, to the millisecond
    // that its stamp shows, so that each rate is its delta over the difference of the stamps.
    using SampleTime =
        std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;
    struct Previous {
        uint64_t value = 0;
        SampleTime at;
    };
    std::vector<std::optional<Previous>> previous(attributes.size());
    InterruptCatcher catcher;
    auto next = Clock::now();
    bool away = false;  // the connection was lost and has not come back yet
    uint64_t shown = 0;
    for (uint64_t sample = 0; !line_.count || shown < *line_.count; ++sample) {
        if (sample > 0 && !InterruptCatcher::Sleep(next - Clock::now())) {
            break;
        }
        next += interval;
        json document = Subject(component, group, 0, keyList);
        document.erase("attribute");
        document.erase("attributeName");
        document["readings"] = json::array();
        std::vector<Reading> readings;
        try {
            for (const DmiId attribute : attributes) {
                readings.push_back(
                    ReadAttribute(Client(), management::op::kGet, component, group, attribute,
                                  catalog_.FindAttribute(component, group, attribute), keyList));
            }
        } catch (const ConnectionError& lost) {
            // No sample this time: the next one is read from the service provider once it
            // is back.
            SayReconnecting(away, lost);
            client_.reset();
            continue;
        }
        away = false;
        ++shown;
        // Reads that took longer than the interval move the next sample on, a whole interval
        // from now, rather than let it follow at once: samples bunched together would show a
        // counter's rate over a few milliseconds.
        if (const auto now = Clock::now(); next <= now) {
            next = now + interval;
        }
        const auto at =
            std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
        document["time"] = IsoTimeOf(at);
        for (size_t i = 0; i < attributes.size(); ++i) {
            const Reading& reading = readings[i];
            json entry = ReadingJson(reading);
            const auto number = reading.value.find("integer");
            if (HasValue(reading.value) && number != reading.value.end() &&
                number->is_number_unsigned()) {
                const uint64_t value = number->get<uint64_t>();
                if (previous[i]) {
                    const auto change = ChangeOfCounter(
                        IdIn(reading.value, "type"), previous[i]->value, value,
                        std::chrono::duration<double>(at - previous[i]->at).count());
                    if (change) {
                        entry["delta"] = change->delta;
                        if (change->perSecond) {
                            entry["perSecond"] = *change->perSecond;
                        }
                        if (change->kind != CounterChange::Kind::Rate) {
                            entry["change"] = CounterChangeName(change->kind);
                        }
                    }
                }
                previous[i] = Previous{value, at};
            }
            document["readings"].push_back(std::move(entry));
        }
        if (line_.json) {
            PrintJsonLine(document);
        } else {
            text_.WatchSample(document);
        }
        out_.flush();
    }
    return kExitSuccess;
}

}  // namespace korvo::console

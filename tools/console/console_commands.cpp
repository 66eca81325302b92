// The console's commands over the management protocol and the window sockets: each builds its
// result as the document --json prints, which TextRenderer shows to people; and the one place
// where errors become exit statuses.
#include "console/console_commands.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/attribute_reads.h"
#include "console/attribute_values.h"
#include "console/command_line.h"
#include "console/component_catalog.h"
#include "console/component_walk.h"
#include "console/counter_rates.h"
#include "console/management_client.h"
#include "console/text_renderer.h"
#include "console/window_messages.h"
#include "dmi/dmi.h"
#include "korvo/management_protocol.h"

namespace korvo::console {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The longest --timeout honoured; beyond it the deadline would overflow the clock.
constexpr double kLongestTimeoutSeconds = 1e8;
// How often a following command tries to reach a service provider that has gone away.
constexpr auto kReconnectPause = std::chrono::milliseconds(200);

// A message number or parameter: decimal or 0x hex, a negative number as its two's
// complement in `bits` bits.
uint64_t ParseWord(const std::string& text, unsigned bits, const char* what) {
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) {
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    const uint64_t mask = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    const uint64_t largestNegative = uint64_t{1} << (bits - 1);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        (!negative && value > mask) || (negative && value > largestNegative)) {
        throw UsageError(std::string("bad ") + what + " \"" + text + "\": give a " +
                         std::to_string(bits) + "-bit number (decimal or 0x hexadecimal)");
    }
    return negative ? (~value + 1) & mask : value;
}

std::atomic<bool> interrupted{false};

void NoteInterrupt(int) {
    interrupted = true;
}

// While it lives, Ctrl-C ends the command's loop instead of the process, so that the command
// finishes its output and exits with its own status.
class InterruptCatcher {
  public:
    InterruptCatcher() {
        interrupted = false;
        struct sigaction action {};
        action.sa_handler = NoteInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptCatcher() { sigaction(SIGINT, &previous_, nullptr); }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

    // Sleeps for `duration` in short steps; false when interrupted meanwhile.
    static bool Sleep(Clock::duration duration) {
        const auto until = Clock::now() + duration;
        while (!interrupted && Clock::now() < until) {
            std::this_thread::sleep_for(
                std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(50)));
        }
        return !interrupted;
    }

  private:
    struct sigaction previous_ {};
};

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

class Console {
  public:
    Console(const CommandLine& line, std::ostream& out, std::ostream& err)
        : line_(line),
          out_(out),
          err_(err),
          catalog_([this]() -> ManagementClient& { return Client(); }),
          text_(out, catalog_) {
        text_.SetForm(line.valueOnly, line.numeric);
        text_.SetRowsShown(line.rows);
    }

    int Run() {
        switch (line_.id) {
            case Command::Components:
                return Components();
            case Command::Groups:
                return Groups();
            case Command::Attributes:
                return Attributes();
            case Command::Get:
                return Get("get");
            case Command::GetNext:
                return Get("get-next");
            case Command::Walk:
                return Walk();
            case Command::Set:
                return Set();
            case Command::Watch:
                return Watch();
            case Command::Events:
                return line_.follow ? FollowEvents() : Events();
            case Command::Log:
                return Log();
            case Command::Stats:
                return Stats();
            case Command::PostTimer:
                return PostTimer();
            case Command::PostMessage:
                return PostMessage();
            case Command::None:
            case Command::Help:
                break;
        }
        throw UsageError("no command given");
    }

  private:
    ManagementClient& Client() {
        if (!client_) {
            client_.emplace(ManagementSocketPath(line_.socketPath));
        }
        return *client_;
    }

    void PrintJson(const json& document) {
        out_ << document.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
    }

    // One line of JSON, for the commands that print as they go (an event, a sample, a log line)
    // so that a script can read each as it comes.
    void PrintJsonLine(const json& document) {
        out_ << document.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    }

    // With --json, the message of a get, get-next or set that failed (a DMI status, or the end
    // of a table) also goes to standard error, as every other failure's does; the text shown
    // to people already says it.
    void ReportFailure(const json& result) {
        if (!line_.json) {
            return;
        }
        const std::string subject = result.value("groupName", std::string()) + "." +
                                    result.value("attributeName", std::string()) + " (" +
                                    result.value("op", std::string()) + " " +
                                    std::to_string(result.value("component", 0u)) + " " +
                                    std::to_string(result.value("group", 0u)) + " " +
                                    std::to_string(result.value("attribute", 0u)) + ")";
        if (const auto end = result.find("end"); end != result.end()) {
            err_ << "dmicli: " << subject << ": " << end->value("description", std::string())
                 << '\n';
            return;
        }
        const uint32_t status = result.value("status", 0u);
        if (status == DMIERR_NO_ERROR) {
            return;
        }
        err_ << "dmicli: " << subject << ": " << dmi::DescribeStatus(status);
        if (const std::string error = result.value("error", std::string()); !error.empty()) {
            err_ << ": " << error;
        }
        err_ << '\n';
    }

    // A command's result: the document itself for --json, else its rendering for people.
    void Show(const json& document, void (TextRenderer::*render)(const json&)) {
        Show(document, [&] { (text_.*render)(document); });
    }
    template <typename RenderText>
    void Show(const json& document, RenderText renderText) {
        if (line_.json) {
            PrintJson(document);
        } else {
            renderText();
        }
    }

    int Components() {
        json list = json::array();
        for (const ComponentInfo& component : catalog_.Components()) {
            list.push_back({{"id", component.id},
                            {"name", component.name},
                            {"description", component.description}});
        }
        Show({{"components", list}}, &TextRenderer::Components);
        return kExitSuccess;
    }

    int Groups() {
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        json list = json::array();
        for (const GroupInfo& group : catalog_.Groups(component)) {
            list.push_back({{"id", group.id},
                            {"name", group.name},
                            {"class", group.className},
                            {"description", group.description},
                            {"keys", group.keys}});
        }
        Show({{"component", component}, {"groups", list}}, &TextRenderer::Groups);
        return kExitSuccess;
    }

    int Attributes() {
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const uint32_t groupId = catalog_.ResolveGroup(component, line_.arguments[1]);
        const auto& attributes = catalog_.Attributes(component, groupId);
        const GroupInfo* group = catalog_.FindGroup(component, groupId);
        json list = json::array();
        for (const AttributeInfo& attribute : attributes) {
            json names = json::object();
            for (const auto& [number, name] : attribute.enumNames) {
                names[std::to_string(number)] = name;
            }
            const bool isKey = group != nullptr && std::find(group->keys.begin(), group->keys.end(),
                                                             attribute.id) != group->keys.end();
            list.push_back({{"id", attribute.id},
                            {"name", attribute.name},
                            {"description", attribute.description},
                            {"type", attribute.type},
                            {"maxSize", attribute.maxSize},
                            {"access", attribute.access},
                            {"key", isKey},
                            {"enum", names}});
        }
        Show({{"component", component}, {"group", groupId}, {"attributes", list}},
             &TextRenderer::Attributes);
        return kExitSuccess;
    }

    // The keys with the ids of the group's key attributes, in order, where the MIF gives them.
    json KeysWithIds(uint32_t component, uint32_t groupId, const std::vector<json>& keys) {
        const GroupInfo* group = keys.empty() ? nullptr : catalog_.FindGroup(component, groupId);
        json list = json::array();
        for (size_t i = 0; i < keys.size(); ++i) {
            json key = keys[i];
            if (group != nullptr && i < group->keys.size()) {
                key["id"] = group->keys[i];
            }
            list.push_back(std::move(key));
        }
        return list;
    }

    // What a get, get-next or set names, with the names of its group and attribute.
    json Subject(uint32_t component, uint32_t groupId, uint32_t attribute, const json& keys) {
        const GroupInfo* group = catalog_.FindGroup(component, groupId);
        const AttributeInfo* info = catalog_.FindAttribute(component, groupId, attribute);
        return {{"component", component},
                {"group", groupId},
                {"groupName", group != nullptr ? group->name : ""},
                {"attribute", attribute},
                {"attributeName", info != nullptr ? info->name : ""},
                {"keys", keys}};
    }

    // What get, get-next and watch read: COMPONENT GROUP ATTRIBUTE[,ATTRIBUTE...] [KEY...].
    struct Target {
        uint32_t component;
        uint32_t group;
        std::vector<uint32_t> attributes;
        json keys;
    };
    Target ReadTarget() {
        std::vector<json> keys;
        for (size_t i = 3; i < line_.arguments.size(); ++i) {
            keys.push_back(ParseKey(line_.arguments[i]));
        }
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const uint32_t group = catalog_.ResolveGroup(component, line_.arguments[1]);
        std::vector<uint32_t> attributes;
        for (const std::string& part : SplitList(line_.arguments[2])) {
            attributes.push_back(catalog_.ResolveAttribute(component, group, part));
        }
        return {component, group, std::move(attributes), KeysWithIds(component, group, keys)};
    }

    // The keys of the row that `op` with `keys` reads (get-next: the row after them; get
    // without keys: the row the instrumentation chooses), as the table's key attributes
    // answer; or, when one of them answers without a value, null and the end of the table as
    // the document's "end".
    json RowKeys(const char* op, uint32_t component, uint32_t groupId, const json& keys,
                 json& end) {
        const GroupInfo* group = catalog_.FindGroup(component, groupId);
        json next = json::array();
        for (const uint32_t keyId : group != nullptr ? group->keys : std::vector<uint32_t>{}) {
            const AttributeInfo* info = catalog_.FindAttribute(component, groupId, keyId);
            const Reading key = ReadAttribute(Client(), op, component, groupId, keyId, info, keys);
            if (key.status != DMIERR_NO_ERROR || !HasValue(key.value)) {
                const std::string name = info != nullptr ? info->name : std::to_string(keyId);
                end = {{"reason", "end of table"},
                       {"keyAttribute", keyId},
                       {"description", "end of the table: no row follows (its key " + name +
                                           " answers " + dmi::DescribeStatus(key.status) + ")"}};
                PutStatus(end, key.status, key.error);
                return nullptr;
            }
            json value = key.value;
            value["id"] = keyId;
            next.push_back(AnnotateValue(value, info));
        }
        return next;
    }

    int Get(const char* op) {
        const auto [component, group, attributes, keyList] = ReadTarget();
        const bool next = op == std::string_view("get-next");
        const GroupInfo* groupInfo = catalog_.FindGroup(component, group);
        const bool table = groupInfo != nullptr && !groupInfo->keys.empty();
        json end;
        const json nextKeys =
            next && table ? RowKeys("get-next", component, group, keyList, end) : json();
        // A get of a table without keys reads the row the instrumentation takes for no key:
        // its keys name it.
        json unnamedEnd;
        const json chosenKeys = !next && table && keyList.empty()
                                    ? RowKeys("get", component, group, keyList, unnamedEnd)
                                    : json();
        // Key 0 of a table whose rows count from 1 names no row.
        const bool keyZero =
            !next && table && keyList.size() == 1 && keyList[0].value("integer", json()) == json(0);
        json results = json::array();
        bool allRead = true;
        for (const uint32_t attribute : attributes) {
            const AttributeInfo* info = catalog_.FindAttribute(component, group, attribute);
            const Reading reading =
                ReadAttribute(Client(), op, component, group, attribute, info, keyList);
            json document = Subject(component, group, attribute, keyList);
            document["op"] = op;
            PutReading(document, reading);
            if (next && !table && reading.status == DMIERR_ROW_NOT_FOUND) {
                document["end"] = {{"reason", "end of group"},
                                   {"description", "end of the group: it has one row"}};
            } else if (!end.is_null()) {
                document["end"] = end;
            } else if (next) {
                document["instance"] = {
                    {"group", group}, {"attribute", attribute}, {"keys", nextKeys}};
            } else if (chosenKeys.is_array()) {
                document["instance"] = {
                    {"group", group}, {"attribute", attribute}, {"keys", chosenKeys}};
                document["note"] = "no key given: the row the table answers for none";
            }
            if (keyZero && reading.status != DMIERR_NO_ERROR) {
                document["note"] = "key 0 names no row of this table: its rows are keyed from 1";
            }
            allRead = allRead && reading.status == DMIERR_NO_ERROR && !document.contains("end");
            results.push_back(std::move(document));
        }
        // One shape for scripts however many attributes were asked; people see one reading
        // as a line of its own.
        const json document{{"op", op}, {"results", results}};
        if (results.size() == 1) {
            Show(document, [&] { text_.Reading(results[0]); });
        } else {
            Show(document, &TextRenderer::Readings);
        }
        for (const json& result : results) {
            ReportFailure(result);
        }
        return allRead ? kExitSuccess : kExitDmiStatus;
    }

    int Walk() {
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const auto& groups = catalog_.Groups(component);
        std::vector<const GroupInfo*> selected;
        if (line_.arguments.size() == 2) {
            const uint32_t wanted = catalog_.ResolveGroup(component, line_.arguments[1]);
            const auto found = std::find_if(groups.begin(), groups.end(),
                                            [&](const GroupInfo& g) { return g.id == wanted; });
            if (found == groups.end()) {
                throw StatusError(DMIERR_GROUP_NOT_FOUND,
                                  "component " + std::to_string(component) + " has no group " +
                                      std::to_string(wanted) + "; \"dmicli groups " +
                                      std::to_string(component) + "\" lists them");
            }
            selected.push_back(&*found);
        } else {
            for (const GroupInfo& group : groups) {
                selected.push_back(&group);
            }
        }
        const ComponentInfo* info = catalog_.FindComponent(component);
        json document{{"component", component},
                      {"componentName", info != nullptr ? info->name : ""},
                      {"groups", json::array()}};
        if (!line_.json) {
            text_.WalkHeading(document);
        }
        GroupWalk walk([this]() -> ManagementClient& { return Client(); }, catalog_,
                       line_.json ? nullptr : &text_);
        bool cutShort = false;  // a table whose walk stopped at a failed read
        for (const GroupInfo* group : selected) {
            json walked = walk.Walk(component, *group);
            cutShort = cutShort || walked.value("end", json::object()).value("reason", "") ==
                                       management::kEndReadFailed;
            if (line_.rows) {
                ElideRows(walked, *line_.rows);
            }
            document["groups"].push_back(std::move(walked));
        }
        if (line_.json) {
            PrintJson(document);
        }
        return cutShort ? kExitDmiStatus : kExitSuccess;
    }

    int Set() {
        std::vector<json> keys;
        for (const std::string& key : line_.keys) {
            keys.push_back(ParseKey(key));
        }
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const uint32_t group = catalog_.ResolveGroup(component, line_.arguments[1]);
        const uint32_t attribute = catalog_.ResolveAttribute(component, group, line_.arguments[2]);
        const auto& attributes = catalog_.Attributes(component, group);
        const auto info = std::find_if(attributes.begin(), attributes.end(),
                                       [&](const AttributeInfo& a) { return a.id == attribute; });
        if (info == attributes.end()) {
            throw StatusError(
                DMIERR_ATTRIBUTE_NOT_FOUND,
                "group " + std::to_string(group) + " of component " + std::to_string(component) +
                    " has no attribute " + std::to_string(attribute) + "; \"dmicli attributes " +
                    std::to_string(component) + " " + std::to_string(group) + "\" lists them");
        }
        const GroupInfo* groupInfo = catalog_.FindGroup(component, group);
        if (groupInfo != nullptr && !groupInfo->keys.empty() && keys.empty()) {
            const AttributeInfo* key =
                catalog_.FindAttribute(component, group, groupInfo->keys.front());
            throw UsageError(
                "group " + std::to_string(group) + " (" + groupInfo->name +
                ") is a table: give the row to write with --key KEY (its key is " +
                (key != nullptr ? key->name : "attribute " + std::to_string(groupInfo->keys[0])) +
                "), such as: dmicli set " + std::to_string(component) + " " +
                std::to_string(group) + " " + std::to_string(attribute) + " --key 1 " +
                line_.arguments[3]);
        }
        AttributeInfo sent = *info;
        if (line_.valueType) {
            sent.type = *line_.valueType;
            sent.enumNames.clear();
        }
        const json value = ParseValue(line_.arguments[3], sent);
        const uint32_t declared = info->typeCode();
        const bool wideRead = declared == MIF_INTEGER64 || declared == MIF_COUNTER64;
        const auto number = value.find("integer");
        if (wideRead && sent.typeCode() == MIF_INTEGER && number != value.end() &&
            number->is_number_integer() && number->get<int64_t>() < 0) {
            // The instrumentation widens the 32 bits it is given: a negative number would come
            // back as a large positive one.
            throw UsageError("bad value \"" + line_.arguments[3] + "\" for " + info->name +
                             ": sent as a 32-bit integer into this " + info->type +
                             " attribute it reads back as " +
                             std::to_string(static_cast<uint32_t>(number->get<int32_t>())) +
                             "; give 0 to 2147483647");
        }
        const json keyList = KeysWithIds(component, group, keys);
        const json response = Client().Request({{"op", "set"},
                                                {"component", component},
                                                {"group", group},
                                                {"attribute", attribute},
                                                {"keys", keyList},
                                                {"value", value}});
        const uint32_t status = StatusOf(response);
        const std::string error = ErrorText(response);
        json document = Subject(component, group, attribute, keyList);
        document["op"] = "set";
        document["value"] = AnnotateValue(value, &*info);
        PutStatus(document, status, error);
        if (status == DMIERR_VALUE_EXCEEDS_MAXSIZE && !line_.valueType && wideRead &&
            number != value.end() && number->is_number_unsigned() &&
            number->get<uint64_t>() <= uint64_t{INT32_MAX}) {
            std::string command = "dmicli set " + std::to_string(component) + " " +
                                  std::to_string(group) + " " + std::to_string(attribute);
            for (const std::string& key : line_.keys) {
                command += " --key " + key;
            }
            document["hint"] =
                "the instrumentation takes no " + info->type +
                " here; it takes writes to this attribute as 32-bit integers: " + command +
                " --type integer " + line_.arguments[3];
        }
        Show(document, &TextRenderer::Written);
        ReportFailure(document);
        return status == DMIERR_NO_ERROR ? kExitSuccess : kExitDmiStatus;
    }

    static std::vector<json> EventsOf(const json& response) {
        const auto events = response.find("events");
        return events != response.end() && events->is_array() ? events->get<std::vector<json>>()
                                                              : std::vector<json>{};
    }

    // The event with the names of its groups and attributes and the displayed values added.
    json AnnotateEvent(const json& event) {
        json annotated = event;
        if (const auto time = annotated.find("time");
            time != annotated.end() && time->is_string()) {
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

    int Events() {
        const uint64_t since = line_.since.value_or(0);
        const json response =
            RequestOk(Client(), {{"op", "events"}, {"since", since}}, "reading the event log");
        json list = json::array();
        for (const json& event : EventsOf(response)) {
            list.push_back(AnnotateEvent(event));
        }
        const json document{{"events", list}};
        Show(document, [&] { text_.Events(document, since); });
        return kExitSuccess;
    }

    int FollowEvents() {
        uint64_t since = 0;
        if (line_.since) {
            since = *line_.since;
        } else {
            // Only what happens from now on: start after the last logged event.
            const json response =
                RequestOk(Client(), {{"op", "events"}, {"since", 0}}, "reading the event log");
            for (const json& event : EventsOf(response)) {
                const auto sequence = event.find("sequence");
                if (sequence != event.end() && sequence->is_number_integer()) {
                    since = std::max(since, sequence->get<uint64_t>());
                }
            }
        }
        // The subscription; empty while the service provider is away and being waited for.
        std::optional<ManagementClient> subscription;
        auto subscribe = [&] {
            subscription.emplace(ManagementSocketPath(line_.socketPath));
            RequestOk(*subscription, {{"op", "subscribe"}, {"since", since}},
                      "subscribing to events");
        };
        subscribe();
        bool away = false;  // the connection was lost and has not come back yet

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
            try {
                if (!subscription) {
                    std::this_thread::sleep_for(std::min<Clock::duration>(wait, kReconnectPause));
                    subscribe();  // the events after the last one shown, none lost or repeated
                }
                message = subscription->Receive(wait);
            } catch (const ConnectionError& lost) {
                SayReconnecting(away, lost);
                subscription.reset();
                continue;
            }
            away = false;
            if (!message) {
                continue;
            }
            const auto event = message->find("event");
            if (event == message->end() || !event->is_object()) {
                continue;
            }
            if (const auto sequence = event->find("sequence");
                sequence != event->end() && sequence->is_number_unsigned()) {
                since = std::max(since, sequence->get<uint64_t>());
            }
            const json annotated = AnnotateEvent(*event);
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
    void SayReconnecting(bool& away, const ConnectionError& lost) {
        if (!away) {
            err_ << "dmicli: " << lost.what() << "; reconnecting when it is back\n";
            err_.flush();
        }
        away = true;
    }

    int Watch() {
        const auto [component, group, attributes, keyList] = ReadTarget();
        const auto interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(line_.intervalSeconds.value_or(1.0)));
        struct Previous {
            uint64_t value = 0;
            Clock::time_point at;
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
            document["time"] = IsoTimeNow();
            document["readings"] = json::array();
            std::vector<Reading> readings;
            try {
                for (const DmiId attribute : attributes) {
                    readings.push_back(ReadAttribute(
                        Client(), "get", component, group, attribute,
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
            for (size_t i = 0; i < attributes.size(); ++i) {
                const Reading& reading = readings[i];
                const auto at = Clock::now();
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

    // The service provider's log: sp.log beside its socket.
    std::string LogPath() {
        if (!line_.socketPath.empty() && !line_.socketPath.starts_with("tcp:")) {
            const auto slash = line_.socketPath.rfind('/');
            return management::ProviderFile(
                slash == std::string::npos ? std::string(".") : line_.socketPath.substr(0, slash),
                management::kLogFileName);
        }
        const char* root = std::getenv("WIN32DMIPATH");
        if (root == nullptr || *root == '\0') {
            throw ConnectionError(
                "WIN32DMIPATH is not set, so the service provider's log is unknown: set it to "
                "the directory the agent runs with (the log is $WIN32DMIPATH/sp.log), or give "
                "--socket PATH with the socket beside the log");
        }
        return management::ProviderFile(root, management::kLogFileName);
    }

    // A line of sp.log, its time stamp as ISO 8601 like every time the console shows.
    void ShowLogLine(const std::string& path, const std::string& line) {
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

    int Log() {
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

    int Stats() {
        json response = RequestOk(Client(), {{"op", "stats"}},
                                  "reading the service provider's memory tracking");
        response.erase("status");
        response.erase("statusName");
        Show(response, &TextRenderer::Stats);
        return kExitSuccess;
    }

    int Post(const std::string& className, const WindowMessage& message, const char* name) {
        const std::string path = PostWindowMessage(className, message);
        const json document{{"class", className},
                            {"message", message.message},
                            {"wParam", message.wParam},
                            {"lParam", message.lParam},
                            {"socket", path}};
        Show(document, [&] { text_.Posted(document, name); });
        return kExitSuccess;
    }

    int PostTimer() {
        return Post(line_.windowClass.value_or(kAgentWindowClass), {kWmTimer, 0, 0}, "WM_TIMER");
    }

    int PostMessage() {
        const std::string& name = line_.arguments[1];
        WindowMessage message;
        const auto named = WindowMessageByName(name);
        if (!named && !name.empty() && (name[0] < '0' || name[0] > '9') && name[0] != '-') {
            throw UsageError("unknown message name \"" + name + "\": give one of " +
                             WindowMessageNames() + ", or a 32-bit number");
        }
        message.message = named ? *named : static_cast<uint32_t>(ParseWord(name, 32, "message"));
        if (line_.arguments.size() > 2) {
            message.wParam = ParseWord(line_.arguments[2], 64, "WPARAM");
        }
        if (line_.arguments.size() > 3) {
            message.lParam = ParseWord(line_.arguments[3], 64, "LPARAM");
        }
        return Post(line_.arguments[0], message, named ? name.c_str() : nullptr);
    }

    const CommandLine& line_;
    std::ostream& out_;
    std::ostream& err_;
    std::optional<ManagementClient> client_;
    ComponentCatalog catalog_;
    TextRenderer text_;
};

}  // namespace

namespace {

// With --json a failure is also a document on standard output, so that a script reading it
// sees one; the message goes to standard error either way.
int Failure(std::ostream& out, std::ostream& err, bool json, int exitStatus,
            const std::string& message, std::optional<uint32_t> status = std::nullopt) {
    err << "dmicli: " << message << '\n';
    if (json) {
        nlohmann::json document{{"error", message}, {"exitStatus", exitStatus}};
        if (status) {
            document["status"] = *status;
            document["statusName"] = dmi::StatusName(*status);
        }
        out << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
    return exitStatus;
}

}  // namespace

int RunConsole(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
    // Known before the command line is understood, for the failures that happen first.
    const auto endOfOptions = std::find(arguments.begin(), arguments.end(), "--");
    const bool json = std::find(arguments.begin(), endOfOptions, "--json") != endOfOptions;
    try {
        const CommandLine line = ParseCommandLine(arguments);
        if (line.version) {
            out << "dmicli " KORVO_VERSION "\n";
            return kExitSuccess;
        }
        if (line.help || line.id == Command::Help) {
            const std::string topic = line.id == Command::Help
                                          ? (line.arguments.empty() ? "" : line.arguments[0])
                                          : line.command;
            if (topic.empty()) {
                out << OverallHelp();
                return kExitSuccess;
            }
            const auto help = CommandHelp(topic);
            if (!help) {
                throw UsageError("unknown command \"" + topic + "\"");
            }
            out << *help;
            return kExitSuccess;
        }
        Console console(line, out, err);
        return console.Run();
    } catch (const UsageError& error) {
        return Failure(
            out, err, json, kExitUsage,
            std::string(error.what()) + "\nRun \"dmicli --help\" for the commands and options.");
    } catch (const StatusError& error) {
        return Failure(out, err, json, kExitDmiStatus, error.what(), error.status());
    } catch (const ConnectionError& error) {
        return Failure(out, err, json, kExitUnreachable, error.what());
    } catch (const nlohmann::json::exception& error) {
        return Failure(out, err, json, kExitUnreachable,
                       std::string("the service provider's answer does not fit the management "
                                   "protocol: ") +
                           error.what());
    }
}

}  // namespace korvo::console

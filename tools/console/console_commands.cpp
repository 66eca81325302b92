// The console's commands over the management protocol and the window sockets: each builds its
// result as the document --json prints, which TextRenderer shows to people; and the one place
// where errors become exit statuses.
#include "console/console_commands.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/attribute_reads.h"
#include "console/attribute_values.h"
#include "console/command_line.h"
#include "console/component_catalog.h"
#include "console/component_walk.h"
#include "console/management_client.h"
#include "console/text_renderer.h"
#include "console/window_messages.h"
#include "dmi/dmi.h"

namespace korvo::console {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The longest --timeout honoured; beyond it the deadline would overflow the clock.
constexpr double kLongestTimeoutSeconds = 1e8;

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

class Console {
  public:
    Console(const CommandLine& line, std::ostream& out, std::ostream& err)
        : line_(line),
          out_(out),
          err_(err),
          catalog_([this]() -> ManagementClient& { return Client(); }),
          text_(out, catalog_) {}

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
            case Command::Events:
                return line_.follow ? FollowEvents() : Events();
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

    int Get(const char* op) {
        std::vector<json> keys;
        for (size_t i = 3; i < line_.arguments.size(); ++i) {
            keys.push_back(ParseKey(line_.arguments[i]));
        }
        const uint32_t component = catalog_.ResolveComponent(line_.arguments[0]);
        const uint32_t group = catalog_.ResolveGroup(component, line_.arguments[1]);
        const uint32_t attribute = catalog_.ResolveAttribute(component, group, line_.arguments[2]);
        const json keyList = KeysWithIds(component, group, keys);
        const AttributeInfo* info = catalog_.FindAttribute(component, group, attribute);
        const Reading reading =
            ReadAttribute(Client(), op, component, group, attribute, info, keyList);
        json document = Subject(component, group, attribute, keyList);
        document["op"] = op;
        PutReading(document, reading);
        Show(document, &TextRenderer::Reading);
        return reading.status == DMIERR_NO_ERROR ? kExitSuccess : kExitDmiStatus;
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
        for (const GroupInfo* group : selected) {
            document["groups"].push_back(walk.Walk(component, *group));
        }
        if (line_.json) {
            PrintJson(document);
        }
        return kExitSuccess;
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
        AttributeInfo sent = *info;
        if (line_.valueType) {
            sent.type = *line_.valueType;
            sent.enumNames.clear();
        }
        const json value = ParseValue(line_.arguments[3], sent);
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
        Show(document, &TextRenderer::Written);
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
        ManagementClient subscription(ManagementSocketPath(line_.socketPath));
        RequestOk(subscription, {{"op", "subscribe"}, {"since", since}}, "subscribing to events");

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
            const auto message = subscription.Receive(wait);
            if (!message) {
                continue;
            }
            const auto event = message->find("event");
            if (event == message->end() || !event->is_object()) {
                continue;
            }
            const json annotated = AnnotateEvent(*event);
            if (line_.json) {
                // One line per event, so a script can read them as they come.
                out_ << annotated.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
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

int RunConsole(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
    try {
        const CommandLine line = ParseCommandLine(arguments);
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
        err << "dmicli: " << error.what() << "\nRun \"dmicli --help\" for the commands and "
            << "options.\n";
        return kExitUsage;
    } catch (const StatusError& error) {
        err << "dmicli: " << error.what() << '\n';
        return kExitDmiStatus;
    } catch (const ConnectionError& error) {
        err << "dmicli: " << error.what() << '\n';
        return kExitUnreachable;
    } catch (const nlohmann::json::exception& error) {
        err << "dmicli: the service provider's answer does not fit the management protocol: "
            << error.what() << '\n';
        return kExitUnreachable;
    }
}

}  // namespace korvo::console

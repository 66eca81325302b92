// The console's listings (components, groups, attributes, stats), its help and completion,
// what every command shares (the connection, printing JSON or text, failures of reads), and
// the one place where errors become exit statuses.
#include "console/console_commands.h"

#include <algorithm>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "console/command_line.h"
#include "console/completion.h"
#include "console/console.h"
#include "dmi/dmi.h"
#include "management/attribute_values.h"
#include "management/management_requests.h"

namespace korvo::console {

using management::AttributeInfo;
using management::ComponentInfo;
using management::ConnectionError;
using management::GroupInfo;
using management::ManagementClient;
using management::ManagementSocketPath;
using management::RequestOk;
using management::StatusError;
using management::UsageError;
using nlohmann::json;

namespace {

// The help of `topic`, a command's name; the overall help when it is empty.
int ShowHelp(const std::string& topic, std::ostream& out) {
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

Console::Console(const CommandLine& line, std::ostream& out, std::ostream& err)
    : line_(line),
      out_(out),
      err_(err),
      catalog_([this]() -> ManagementClient& { return Client(); }),
      text_(out, catalog_) {
    text_.SetForm(line.valueOnly, line.numeric);
    text_.SetRowsShown(line.rows);
}

int Console::Run() {
    if (line_.definition == nullptr) {
        throw UsageError("no command given");
    }
    return (this->*line_.definition->run)();
}

ManagementClient& Console::Client() {
    if (!client_) {
        client_.emplace(ManagementSocketPath(line_.socketPath));
    }
    return *client_;
}

void Console::PrintJson(const json& document) {
    out_ << document.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
}

// One line of JSON, for the commands that print as they go (an event, a sample, a log line)
// so that a script can read each as it comes.
void Console::PrintJsonLine(const json& document) {
    out_ << document.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

// With --json, the message of a get, get-next or set that failed (a DMI status, or the end
// of a table) also goes to standard error, as every other failure's does; the text shown
// to people already says it.
void Console::ReportFailure(const json& result) {
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
        err_ << "dmicli: " << subject << ": " << end->value("description", std::string()) << '\n';
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

void Console::Show(const json& document, void (TextRenderer::*render)(const json&)) {
    Show(document, [&] { (text_.*render)(document); });
}

int Console::Components() {
    json list = json::array();
    for (const ComponentInfo& component : catalog_.Components()) {
        list.push_back({{"id", component.id},
                        {"name", component.name},
                        {"description", component.description}});
    }
    Show({{"components", list}}, &TextRenderer::Components);
    return kExitSuccess;
}

int Console::Groups() {
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

int Console::Attributes() {
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

int Console::Stats() {
    json response = RequestOk(Client(), management::request::Stats(),
                              "reading the service provider's memory tracking");
    response.erase("status");
    response.erase("statusName");
    Show(response, &TextRenderer::Stats);
    return kExitSuccess;
}

int Console::Help() {
    return ShowHelp(line_.arguments.empty() ? "" : line_.arguments[0], out_);
}

int Console::Completion() {
    if (line_.arguments[0] != "bash") {
        throw UsageError("completion is written for bash only, not \"" + line_.arguments[0] + "\"");
    }
    out_ << BashCompletion();
    return kExitSuccess;
}

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
        if (line.help) {
            const bool helpCommand = line.command == "help";
            return ShowHelp(
                helpCommand ? (line.arguments.empty() ? "" : line.arguments[0]) : line.command,
                out);
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

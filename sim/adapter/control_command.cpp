// Parsing and carrying out the simulator's control commands.
#include "control_command.h"

#include <charconv>

namespace korvo::adapter {
namespace {

constexpr size_t kMaxLogLines = AdapterModel::kLogCapacity;

std::optional<size_t> ParseCount(const std::string& text) {
    size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value == 0 ||
        value > kMaxLogLines) {
        return std::nullopt;
    }
    return value;
}

// Each verb's words after the verb: the command, or nullopt with `error` saying why not.
using Words = std::span<const std::string>;

std::optional<ControlCommand> Usage(std::string& error, const char* usage) {
    error = "usage: " + std::string(usage);
    return std::nullopt;
}

std::optional<ControlCommand> ParseFailover(Words words, std::string& error) {
    if (words.size() != 2) {
        return Usage(error, "failover 1|2");
    }
    if (words[1] != "1" && words[1] != "2") {
        error = "failover: the adapter is 1 or 2, not '" + words[1] + "'";
        return std::nullopt;
    }
    ControlCommand command;
    command.verb = ControlVerb::FailOver;
    command.adapter = words[1][0] - '0';
    return command;
}

std::optional<ControlCommand> ParseFailOrHeal(Words words, std::string& error) {
    const std::string& verb = words[0];
    const bool fail = verb == "fail";
    if (words.size() != (fail ? 3u : 2u)) {
        return Usage(error,
                     fail ? "fail CODE|probe|all status|call|empty|silent" : "heal CODE|probe|all");
    }
    const auto target = ParseFaultTarget(words[1]);
    if (!target) {
        error = verb + ": '" + words[1] +
                "' is neither a request code the driver answers nor 'probe' nor 'all' "
                "(\"korvo-adapter "
                "log\" shows the codes requests use)";
        return std::nullopt;
    }
    ControlCommand command;
    command.verb = fail ? ControlVerb::Fail : ControlVerb::Heal;
    command.target = *target;
    if (fail) {
        const auto mode = ParseFaultMode(words[2]);
        if (!mode) {
            error = "fail: the mode is status, call, empty or silent, not '" + words[2] + "'";
            return std::nullopt;
        }
        command.mode = *mode;
    }
    return command;
}

std::optional<ControlCommand> ParseLog(Words words, std::string& error) {
    ControlCommand command;
    command.verb = ControlVerb::Log;
    command.count = kDefaultLogLines;
    if (words.size() > 2) {
        return Usage(error, "log [N]");
    }
    if (words.size() == 2) {
        const auto count = ParseCount(words[1]);
        if (!count) {
            error = "log: the number of lines is 1 to " + std::to_string(kMaxLogLines) + ", not '" +
                    words[1] + "'";
            return std::nullopt;
        }
        command.count = *count;
    }
    return command;
}

std::optional<ControlCommand> ParseSet(Words words, std::string& error) {
    std::string setting;
    for (size_t i = 1; i < words.size(); ++i) {
        setting += (i > 1 ? " " : "") + words[i];
    }
    if (setting.find('=') == std::string::npos) {
        return Usage(error, "set KEY=VALUE");
    }
    ControlCommand command;
    command.verb = ControlVerb::Set;
    command.setting = setting;
    return command;
}

}  // namespace

std::optional<ControlCommand> ParseControlCommand(Words words, std::string& error) {
    if (words.empty()) {
        error = "no command given";
        return std::nullopt;
    }
    const std::string& verb = words[0];
    const std::pair<const char*, std::optional<ControlCommand> (*)(Words, std::string&)> parsers[] =
        {{"failover", ParseFailover},
         {"fail", ParseFailOrHeal},
         {"heal", ParseFailOrHeal},
         {"log", ParseLog},
         {"set", ParseSet}};
    for (const auto& [name, parse] : parsers) {
        if (verb == name) {
            return parse(words, error);
        }
    }
    const std::pair<const char*, ControlVerb> bareVerbs[] = {{"stop", ControlVerb::Stop},
                                                             {"start", ControlVerb::Start},
                                                             {"status", ControlVerb::Status},
                                                             {"quit", ControlVerb::Quit}};
    for (const auto& [name, bare] : bareVerbs) {
        if (verb == name) {
            if (words.size() != 1) {
                error = verb + " takes no arguments";
                return std::nullopt;
            }
            ControlCommand command;
            command.verb = bare;
            return command;
        }
    }
    error = "unknown command '" + verb + "'";
    return std::nullopt;
}

std::string FormatControlCommand(const ControlCommand& command) {
    switch (command.verb) {
        case ControlVerb::FailOver:
            return "failover " + std::to_string(command.adapter);
        case ControlVerb::Fail:
            return "fail " + FaultTargetName(command.target) + " " +
                   std::string(FaultModeName(command.mode));
        case ControlVerb::Heal:
            return "heal " + FaultTargetName(command.target);
        case ControlVerb::Stop:
            return "stop";
        case ControlVerb::Start:
            return "start";
        case ControlVerb::Log:
            return "log " + std::to_string(command.count);
        case ControlVerb::Status:
            return "status";
        case ControlVerb::Set:
            return "set " + command.setting;
        case ControlVerb::Quit:
            return "quit";
    }
    return {};
}

ControlResult ExecuteControlCommand(AdapterModel& model, const ControlCommand& command) {
    ControlResult result;
    switch (command.verb) {
        case ControlVerb::FailOver: {
            const int previous = model.ActiveAdapter();
            model.FailOver(command.adapter);
            result.text = previous == command.adapter
                              ? "adapter " + std::to_string(command.adapter) + " was already active"
                              : "adapter " + std::to_string(command.adapter) + " is active (was " +
                                    std::to_string(previous) + ")";
            break;
        }
        case ControlVerb::Fail:
            model.SetFault(command.target, command.mode);
            result.text =
                (command.target == kFaultAll     ? std::string("every request")
                 : command.target == kFaultProbe ? std::string("the probe")
                                                 : "request " + std::to_string(command.target)) +
                " now fails: " + std::string(FaultModeName(command.mode));
            break;
        case ControlVerb::Heal:
            model.SetFault(command.target, FaultMode::Healthy);
            result.text = command.target == kFaultAll
                              ? std::string("every request answers normally")
                              : FaultTargetName(command.target) + " answers normally";
            break;
        case ControlVerb::Stop:
            model.SetAnswering(false);
            result.text = "stopped: each request is read and its connection closed unanswered";
            break;
        case ControlVerb::Start:
            model.SetAnswering(true);
            result.text = "answering requests";
            break;
        case ControlVerb::Log: {
            const auto requests = model.RecentRequests(command.count);
            if (requests.empty()) {
                result.text = "no requests served yet";
            }
            for (const ServedRequest& request : requests) {
                if (!result.text.empty()) {
                    result.text += '\n';
                }
                result.text += FormatServedRequest(request);
            }
            break;
        }
        case ControlVerb::Status:
            result.text = model.DescribeStatus();
            if (!result.text.empty() && result.text.back() == '\n') {
                result.text.pop_back();
            }
            break;
        case ControlVerb::Set: {
            const size_t equals = command.setting.find('=');
            const std::string error = model.ApplySetting(command.setting.substr(0, equals),
                                                         command.setting.substr(equals + 1));
            result.ok = error.empty();
            result.text = result.ok ? "set " + command.setting : error;
            break;
        }
        case ControlVerb::Quit:
            result.text = "quitting";
            result.quit = true;
            break;
    }
    return result;
}

}  // namespace korvo::adapter

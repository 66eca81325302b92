// The commands that change a running simulator (fail over, make requests fail, stop answering,
// show the request log): parsed the same way by the command line that sends them and by the
// simulator that carries them out on its model. Plain C++, like the model.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "adapter_model.h"

namespace korvo::adapter {

enum class ControlVerb { FailOver, Fail, Heal, Stop, Start, Log, Status, Set, Quit };

struct ControlCommand {
    ControlVerb verb = ControlVerb::Status;
    int adapter = 0;                      // failover
    int target = kFaultAll;               // fail, heal
    FaultMode mode = FaultMode::Healthy;  // fail
    size_t count = 20;                    // log
    std::string setting;                  // set: KEY=VALUE
};

inline constexpr size_t kDefaultLogLines = 20;

// Parses the words of one command, e.g. {"fail", "56", "silent"}. On failure returns nothing and
// `error` says what was wrong.
std::optional<ControlCommand> ParseControlCommand(std::span<const std::string> words,
                                                  std::string& error);

// The one line that carries a command to the simulator; ParseControlCommand reads it back.
std::string FormatControlCommand(const ControlCommand& command);

struct ControlResult {
    bool ok = true;
    std::string text;   // for people: the outcome, or what was wrong
    bool quit = false;  // the simulator is to end
};

ControlResult ExecuteControlCommand(AdapterModel& model, const ControlCommand& command);

}  // namespace korvo::adapter

// The command line's side of the control socket, and the WM_TIMER that `failover --notify`
// posts to the agent's window.
#pragma once

#include <optional>
#include <string>

namespace korvo::adapter {

struct ControlReply {
    bool ok = false;   // the simulator carried the command out
    std::string text;  // its answer, or what it refused
};

// Sends one command line to the simulator at `controlPath` and waits for its answer. Nothing
// comes back when no simulator answers there; `error` then says so.
std::optional<ControlReply> SendControlLine(const std::string& controlPath, const std::string& line,
                                            std::string& error);

// Posts WM_TIMER (wParam 0, lParam 0) to the window whose socket is `windowPath`, the way
// PostMessageA does across processes. False, with `error` set, when no window answers there.
bool PostTimerMessage(const std::string& windowPath, std::string& error);

}  // namespace korvo::adapter

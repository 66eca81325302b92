// Posting a window message to a top-level window of another process, the way the host layer
// carries PostMessageA across processes: the failover check is triggered this way from outside.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "korvo/window_protocol.h"

namespace korvo::console {

// The messages, the agent's class and the message on the wire are the window protocol's.
using WindowMessage = window::PostedMessage;
using window::kWmClose;
using window::kWmEndSession;
using window::kWmQuit;
using window::kWmTimer;
using window::kWmUser;
inline constexpr const char* kAgentWindowClass = window::kAgentClassName;

// WM_TIMER, WM_CLOSE, ... (without regard to case); nothing for another name.
std::optional<uint32_t> WindowMessageByName(std::string_view name);
// The names WindowMessageByName knows, separated by ", ".
std::string WindowMessageNames();

// Connects to the window socket of `className` under $KORVO_ROOT/windows, sends the message
// and closes. Returns the socket path used; throws ConnectionError when no such window
// accepts the connection, UsageError for a class name that cannot be a file name.
std::string PostWindowMessage(const std::string& className, const WindowMessage& message);

}  // namespace korvo::console

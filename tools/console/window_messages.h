// Posting a window message to a top-level window of another process, the way the host layer
// carries PostMessageA across processes: the failover check is triggered this way from outside.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvo::console {

// Window messages an administrator may want to post by name.
constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kWmQuit = 0x0012;
constexpr uint32_t kWmEndSession = 0x0016;
constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmUser = 0x0400;

// The class of the agent's window.
inline constexpr const char* kAgentWindowClass = "KORVO";

struct WindowMessage {
    uint32_t message = 0;
    uint64_t wParam = 0;
    uint64_t lParam = 0;
};

constexpr size_t kWindowMessageBytes = 24;

// u32 message, u32 zero, u64 wParam, u64 lParam, little-endian.
std::array<uint8_t, kWindowMessageBytes> EncodeWindowMessage(const WindowMessage& message);

// WM_TIMER, WM_CLOSE, ... (without regard to case); nothing for another name.
std::optional<uint32_t> WindowMessageByName(std::string_view name);
// The names WindowMessageByName knows, separated by ", ".
std::string WindowMessageNames();

// Connects to the window socket of `className` under $KORVO_ROOT/windows, sends the message
// and closes. Returns the socket path used; throws ConnectionError when no such window
// accepts the connection, UsageError for a class name that cannot be a file name.
std::string PostWindowMessage(const std::string& className, const WindowMessage& message);

}  // namespace korvo::console

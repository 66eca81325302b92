// A window message posted from one process to a top-level window of another on the host: the
// 24 bytes written to the window's socket ($KORVO_ROOT/windows/CLASS), the class of the agent's
// window, and the message numbers posted to it from outside. The host layer's PostMessageA and
// its window sockets, the simulated adapter, the console and the tests take these facts from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "korvo/byte_order.h"

namespace korvo::window {

// The class of the agent's top-level window: the failover check is triggered by posting
// WM_TIMER to it.
inline constexpr char kAgentClassName[] = "KORVO";

// The message numbers an administrator or a test posts from outside, as Windows numbers them.
inline constexpr uint32_t kWmClose = 0x0010;
inline constexpr uint32_t kWmQuit = 0x0012;
inline constexpr uint32_t kWmEndSession = 0x0016;
inline constexpr uint32_t kWmTimer = 0x0113;
inline constexpr uint32_t kWmUser = 0x0400;

// One posted message on the wire, least significant byte first: u32 message, u32 zero,
// u64 wParam, u64 lParam (a negative lParam as its two's complement).
inline constexpr size_t kMessageSize = 24;
inline constexpr size_t kMessageOffset = 0;
inline constexpr size_t kWParamOffset = 8;
inline constexpr size_t kLParamOffset = 16;

struct PostedMessage {
    uint32_t message = 0;
    uint64_t wParam = 0;
    uint64_t lParam = 0;
};

using WireMessage = std::array<uint8_t, kMessageSize>;

constexpr WireMessage EncodeMessage(const PostedMessage& posted) {
    WireMessage wire{};
    PutLittleEndian(wire.data() + kMessageOffset, posted.message, 4);
    PutLittleEndian(wire.data() + kWParamOffset, posted.wParam, 8);
    PutLittleEndian(wire.data() + kLParamOffset, posted.lParam, 8);
    return wire;
}

// The message in `wire`, which holds kMessageSize bytes; bytes 4 to 7 are not looked at.
constexpr PostedMessage DecodeMessage(const uint8_t* wire) {
    return {static_cast<uint32_t>(GetLittleEndian(wire + kMessageOffset, 4)),
            GetLittleEndian(wire + kWParamOffset, 8), GetLittleEndian(wire + kLParamOffset, 8)};
}

}  // namespace korvo::window

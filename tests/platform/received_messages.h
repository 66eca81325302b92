// The messages a recording window procedure has received, kept in order from any thread, what
// such a procedure answers, and the wait for a thread's next message. The host's window tests and
// the Win32 calls program (run on the host and on Windows) record their windows' messages this way.
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "platform.h"

namespace korvo::test {

struct Received {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// What a recording procedure returns for application messages (WM_USER and above), so that a
// test can see DispatchMessageA hand back the procedure's result.
inline constexpr LRESULT kRecordedResult = 77;

namespace received_detail {
struct Log {
    std::mutex lock;
    std::vector<Received> messages;
};
inline Log& TheLog() {
    static Log log;
    return log;
}
}  // namespace received_detail

inline void KeepReceived(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto& log = received_detail::TheLog();
    std::lock_guard lock(log.lock);
    log.messages.push_back(Received{window, message, wParam, lParam});
}

// Every message kept since the last ClearReceived, in order.
inline std::vector<Received> ReceivedMessages() {
    auto& log = received_detail::TheLog();
    std::lock_guard lock(log.lock);
    return log.messages;
}

inline void ClearReceived() {
    auto& log = received_detail::TheLog();
    std::lock_guard lock(log.lock);
    log.messages.clear();
}

// A recording procedure's answer once it has kept the message: kRecordedResult for application
// messages, default processing (WM_CLOSE destroys the window) for the others.
inline LRESULT AnswerRecorded(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) {
        return kRecordedResult;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The next message of this thread without dispatching it; none once `elapse` ms (a timer of
// the thread marks the limit) have passed.
inline std::optional<MSG> NextMessageWithin(UINT elapse) {
    const UINT_PTR limit = SetTimer(nullptr, 0, elapse, nullptr);
    MSG message{};
    GetMessageA(&message, nullptr, 0, 0);
    KillTimer(nullptr, limit);
    if (message.message == WM_TIMER && message.hwnd == nullptr && message.wParam == limit) {
        return std::nullopt;
    }
    return message;
}

}  // namespace korvo::test

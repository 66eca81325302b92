// The recording window and the bounded message wait the window tests share.
#include "window_test_support.h"

#include "host_tuning.h"

namespace korvo::test {

LRESULT RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    KeepReceived(window, message, wParam, lParam);
    return AnswerRecorded(window, message, wParam, lParam);
}

WindowTest::WindowTest() {
    ClearReceived();
}

WindowTest::~WindowTest() {
    for (HWND window : created_) {
        DestroyWindow(window);  // fails harmlessly for a window the test destroyed itself
    }
    // Whatever the test left in the queue must not reach the next test of this thread.
    while (NextMessage(std::chrono::milliseconds(0)).has_value()) {
    }
}

std::string WindowTest::ClassName() const {
    return std::string("Test") + testing::UnitTest::GetInstance()->current_test_info()->name();
}

HWND WindowTest::CreateRecordingWindow(const char* title) {
    const std::string name = ClassName();
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProcedure;
    windowClass.lpszClassName = name.c_str();
    RegisterClassA(&windowClass);  // already there for a second window of the test
    HWND window = CreateWindowExA(0, name.c_str(), title, WS_OVERLAPPEDWINDOW, 5, 5, 620, 460,
                                  nullptr, nullptr, nullptr, nullptr);
    if (window != nullptr) {
        created_.push_back(window);
    }
    return window;
}

std::optional<MSG> WindowTest::NextMessage(std::chrono::milliseconds timeout) {
    // The limit is unscaled so that a test which speeds timers up does not also shorten its
    // own patience.
    return NextMessageWithin(
        static_cast<UINT>(static_cast<double>(timeout.count()) / korvo::host::TimerScale()));
}

}  // namespace korvo::test

// The host layer's own side of windows and timers: the socket that makes a window reachable
// from other processes, timer messages forged from outside, and the timer scale. What the calls
// share with Windows is checked on both by the Win32 calls program (win32_calls/).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "host_tuning.h"
#include "window_test_support.h"

namespace korvo::test {
namespace {

using namespace std::chrono_literals;

bool SocketExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

LRESULT RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return message == WM_CREATE ? -1 : RecordingProcedure(window, message, wParam, lParam);
}

TEST_F(WindowTest, AWindowsSocketLivesAsLongAsTheWindow) {
    WNDCLASSA refusing{};
    refusing.lpfnWndProc = RefuseCreation;
    refusing.lpszClassName = "RefusedProbe";
    ASSERT_NE(RegisterClassA(&refusing), 0);
    EXPECT_EQ(
        CreateWindowExA(0, "RefusedProbe", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_FALSE(SocketExists(root.path() + "/windows/RefusedProbe"))
        << "a refused window leaves no socket";

    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    const std::string socketPath = root.path() + "/windows/" + ClassName();
    EXPECT_TRUE(SocketExists(socketPath));
    const MSG close{window, WM_CLOSE, 0, 0, 0, {0, 0}};
    DispatchMessageA(&close);
    EXPECT_FALSE(SocketExists(socketPath)) << "closing the window removes its socket";
}

// ---- timers ----

std::vector<Received> timerCalls;

void RecordingTimerProcedure(HWND window, UINT message, UINT_PTR id, DWORD /*time*/) {
    timerCalls.push_back(Received{window, message, id, 0});
}

void OtherTimerProcedure(HWND, UINT, UINT_PTR, DWORD) {}

// A WM_TIMER that no live timer of the window produced goes to the window procedure, whatever
// its lParam: only a timer's own procedure is ever called, never an address from a message.
TEST_F(WindowTest, AForgedTimerMessageNeverCallsItsLParam) {
    timerCalls.clear();
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(SetTimer(window, 2, USER_TIMER_MAXIMUM, RecordingTimerProcedure), 0u);
    ASSERT_TRUE(KillTimer(window, 2));
    ASSERT_NE(SetTimer(window, 3, USER_TIMER_MAXIMUM, RecordingTimerProcedure), 0u);
    const LPARAM timerProcedure = reinterpret_cast<LPARAM>(RecordingTimerProcedure);
    const struct {
        WPARAM id;
        LPARAM lParam;
        const char* what;
    } forged[] = {
        {2, timerProcedure, "a killed timer"},
        {3, reinterpret_cast<LPARAM>(OtherTimerProcedure), "not that timer's procedure"},
        {3, 0x1234, "an address from outside"},
    };
    for (const auto& message : forged) {
        SCOPED_TRACE(message.what);
        const MSG timer{window, WM_TIMER, message.id, message.lParam, 0, {0, 0}};
        DispatchMessageA(&timer);
        ASSERT_FALSE(ReceivedMessages().empty());
        EXPECT_EQ(ReceivedMessages().back().message, WM_TIMER);
        EXPECT_EQ(ReceivedMessages().back().lParam, message.lParam);
    }
    EXPECT_EQ(ReceivedMessages().size(), 1u + std::size(forged));
    EXPECT_TRUE(timerCalls.empty());
}

TEST_F(WindowTest, TheTimerScaleShortensEveryInterval) {
    struct RestoreScale {
        ~RestoreScale() { korvo::host::SetTimerScale(0); }
    } restore;
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);

    korvo::host::SetTimerScale(0.001);
    ASSERT_NE(SetTimer(window, 2, 30000, nullptr), 0u);  // the agent's retry interval
    // Unscaled it would come after 30 s: a wait of half that, however slow the machine,
    // tells the two apart.
    const std::optional<MSG> expiry = NextMessage(15s);
    ASSERT_TRUE(expiry.has_value()) << "the timer was not scaled";
    EXPECT_EQ(expiry->message, WM_TIMER);

    // With no factor set, the environment decides; what is not a positive number counts as 1.
    korvo::host::SetTimerScale(0);
    const struct {
        const char* value;
        double factor;
    } cases[] = {{"0.001", 0.001}, {"2", 2.0}, {"-1", 1.0}, {"fast", 1.0}, {nullptr, 1.0}};
    for (const auto& c : cases) {
        ScopedEnv scale("KORVO_TIMER_SCALE", c.value);
        EXPECT_DOUBLE_EQ(korvo::host::TimerScale(), c.factor) << (c.value ? c.value : "unset");
    }
    ScopedEnv scale("KORVO_TIMER_SCALE", "2");
    korvo::host::SetTimerScale(0.5);
    EXPECT_DOUBLE_EQ(korvo::host::TimerScale(), 0.5) << "a factor set in the process wins";
}

}  // namespace
}  // namespace korvo::test

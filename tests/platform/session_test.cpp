// How the host tells the agent that the session ends or that it should close (signals become
// window messages), and how a message box shows on a host without a screen.
#include <signal.h>

#include <set>

#include "host_tuning.h"
#include "window_test_support.h"

namespace korvo::test {
namespace {

using SessionTest = WindowTest;

TEST_F(SessionTest, SignalsBecomeMessagesToEveryWindow) {
    korvo::host::SetEndSessionGraceMs(-1);  // this process is not to be ended
    HWND first = CreateRecordingWindow("First");
    HWND second = CreateRecordingWindow("Second");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const struct {
        int signal;
        UINT message;
        WPARAM wParam;
    } cases[] = {{SIGTERM, WM_ENDSESSION, TRUE}, {SIGINT, WM_CLOSE, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        ASSERT_EQ(raise(c.signal), 0);
        std::set<HWND> reached;
        for (int i = 0; i < 2; ++i) {
            const std::optional<MSG> got = NextMessage();
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->message, c.message);
            EXPECT_EQ(got->wParam, c.wParam);
            reached.insert(got->hwnd);
        }
        EXPECT_EQ(reached, (std::set<HWND>{first, second}));
    }
}

TEST(MessageBoxTest, WritesOneLineToStandardErrorAndReturnsOk) {
    const struct {
        const char* text;
        const char* caption;
        const char* line;
    } cases[] = {
        {"DMI implementation corrupted", "ERROR", "ERROR: DMI implementation corrupted\n"},
        {"first\r\nsecond", "abort", "abort: first  second\n"},
        {"no caption", nullptr, "Error: no caption\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        const int answer = MessageBoxA(nullptr, c.text, c.caption, MB_OK);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(answer, IDOK);
    }
}

}  // namespace
}  // namespace korvo::test

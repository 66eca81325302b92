// Windows, classes, queues and timers within one process, as the agent's window and message
// loop use them.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "korvo_host.h"
#include "window_test_support.h"

namespace korvo::test {
namespace {

using namespace std::chrono_literals;

bool SocketExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// ---- creation ----

struct CreationSeen {
    int calls = 0;
    std::string title;
    std::string className;
    int x = 0, y = 0, width = 0, height = 0;
    LONG style = 0;
};
CreationSeen creationSeen;
LRESULT creationResult = 0;

LRESULT CaptureCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        creationSeen = CreationSeen{creationSeen.calls + 1,
                                    creation->lpszName,
                                    creation->lpszClass,
                                    creation->x,
                                    creation->y,
                                    creation->cx,
                                    creation->cy,
                                    creation->style};
        return creationResult;
    }
    return RecordingProcedure(window, message, wParam, lParam);
}

TEST_F(WindowTest, CreationSendsWmCreateBeforeItReturns) {
    creationSeen = {};
    creationResult = 0;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = CaptureCreation;
    windowClass.lpszClassName = "CreationProbe";
    ASSERT_NE(RegisterClassA(&windowClass), 0);

    HWND window = CreateWindowExA(0, "CreationProbe", "ZUL Component", WS_OVERLAPPEDWINDOW, 5, 5,
                                  620, 460, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(creationSeen.calls, 1);
    EXPECT_EQ(creationSeen.title, "ZUL Component");
    EXPECT_EQ(creationSeen.className, "CreationProbe");
    EXPECT_EQ(
        (std::vector<int>{creationSeen.x, creationSeen.y, creationSeen.width, creationSeen.height}),
        (std::vector<int>{5, 5, 620, 460}));
    EXPECT_EQ(static_cast<DWORD>(creationSeen.style), WS_OVERLAPPEDWINDOW);
    EXPECT_TRUE(DestroyWindow(window));

    // A procedure that answers WM_CREATE with -1 refuses the window: it is destroyed again
    // and leaves nothing behind.
    creationResult = -1;
    const size_t before = ReceivedMessages().size();
    EXPECT_EQ(CreateWindowExA(0, "CreationProbe", "Refused", 0, 0, 0, 0, 0, nullptr, nullptr,
                              nullptr, nullptr),
              nullptr);
    ASSERT_EQ(ReceivedMessages().size(), before + 1);
    EXPECT_EQ(ReceivedMessages().back().message, WM_DESTROY);
    EXPECT_EQ(FindWindowA("CreationProbe", nullptr), nullptr);
    EXPECT_FALSE(SocketExists(root.path() + "/windows/CreationProbe"));
}

TEST_F(WindowTest, ClassesAreRegisteredOnceAndFoundByNameOrAtom) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProcedure;
    windowClass.lpszClassName = "AtomProbe";
    const ATOM atom = RegisterClassA(&windowClass);
    ASSERT_NE(atom, 0);

    windowClass.lpszClassName = "ATOMPROBE";  // class names ignore case
    EXPECT_EQ(RegisterClassA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    HWND byAtom = CreateWindowExA(0, MAKEINTATOM(atom), "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(byAtom, nullptr);
    EXPECT_EQ(FindWindowA("atomprobe", nullptr), byAtom);
    EXPECT_TRUE(DestroyWindow(byAtom));

    EXPECT_EQ(
        CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

// ---- posting and the message loop ----

TEST_F(WindowTest, PostedMessagesArriveInOrderAndTheQuitRequestLast) {
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    PostQuitMessage(7);  // before the others, yet delivered after them
    ASSERT_TRUE(PostMessageA(window, WM_USER + 1, 1, -2));
    ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 2, 3, 4));  // to this thread, no window
    ASSERT_TRUE(PostMessageA(window, WM_USER + 3, 5, 6));

    std::vector<MSG> got;
    MSG message{};
    BOOL result;
    while ((result = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        ASSERT_EQ(result, TRUE);
        got.push_back(message);
    }
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.wParam, 7u);

    ASSERT_EQ(got.size(), 3u);
    const std::vector<Received> expected = {
        {window, WM_USER + 1, 1, -2}, {nullptr, WM_USER + 2, 3, 4}, {window, WM_USER + 3, 5, 6}};
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].hwnd, expected[i].window);
        EXPECT_EQ(got[i].message, expected[i].message);
        EXPECT_EQ(got[i].wParam, expected[i].wParam);
        EXPECT_EQ(got[i].lParam, expected[i].lParam);
    }

    // Dispatching hands back the window procedure's result; a message to the thread has no
    // procedure to go to.
    EXPECT_EQ(DispatchMessageA(&got[0]), kRecordedResult);
    EXPECT_EQ(DispatchMessageA(&got[1]), 0);
    ASSERT_EQ(ReceivedMessages().size(), 2u);  // WM_CREATE and the first message
    EXPECT_EQ(ReceivedMessages()[1].message, WM_USER + 1u);
}

TEST_F(WindowTest, PostingStopsAtTheQueueQuota) {
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(PostMessageA(window, WM_USER, static_cast<WPARAM>(i), 0)) << i;
    }
    EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
}

TEST_F(WindowTest, ClosingDestroysTheWindowAndEverythingItOwned) {
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    const std::string socketPath = root.path() + "/windows/" + ClassName();
    EXPECT_TRUE(SocketExists(socketPath));
    ASSERT_TRUE(PostMessageA(window, WM_USER + 1, 0, 0));
    ASSERT_NE(SetTimer(window, 1, 10, nullptr), 0u);

    // WM_CLOSE goes to default processing, which destroys the window: WM_DESTROY arrives
    // before DispatchMessageA returns.
    const MSG close{window, WM_CLOSE, 0, 0, 0, {0, 0}};
    DispatchMessageA(&close);
    const std::vector<Received> received = ReceivedMessages();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[1].message, WM_CLOSE);
    EXPECT_EQ(received[2].message, WM_DESTROY);
    EXPECT_EQ(received[2].window, window);

    EXPECT_FALSE(SocketExists(socketPath));
    EXPECT_EQ(FindWindowA(ClassName().c_str(), nullptr), nullptr);
    EXPECT_EQ(NextMessage(100ms), std::nullopt) << "its posted message and timer are gone";

    // The handle stays invalid for every call.
    EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(SetTimer(window, 1, 10, nullptr), 0u);
    EXPECT_FALSE(KillTimer(window, 1));
    EXPECT_FALSE(DestroyWindow(window));
    MSG message{};
    EXPECT_EQ(GetMessageA(&message, window, 0, 0), -1);
}

TEST_F(WindowTest, EachThreadHasItsOwnQueue) {
    HWND mine = CreateRecordingWindow("Mine");  // registers the class for the worker as well
    ASSERT_NE(mine, nullptr);
    std::promise<HWND> created;
    std::thread worker([&] {
        HWND window = CreateWindowExA(0, ClassName().c_str(), "Worker", 0, 0, 0, 0, 0, nullptr,
                                      nullptr, nullptr, nullptr);
        created.set_value(window);
        MSG message{};
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            DispatchMessageA(&message);
            if (message.message == WM_USER + 1) {
                DestroyWindow(window);
                PostQuitMessage(0);
            }
        }
    });
    HWND theirs = created.get_future().get();
    ASSERT_NE(theirs, nullptr);
    EXPECT_FALSE(DestroyWindow(theirs)) << "only the thread that created a window destroys it";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(PostMessageA(theirs, WM_USER + 1, 42, 0));
    worker.join();
    EXPECT_EQ(NextMessage(50ms), std::nullopt) << "the message went to the worker's queue";

    bool workerGotIt = false;
    for (const Received& received : ReceivedMessages()) {
        workerGotIt |=
            received.window == theirs && received.message == WM_USER + 1 && received.wParam == 42;
    }
    EXPECT_TRUE(workerGotIt);
}

// ---- timers ----

std::vector<Received> timerCalls;

void RecordingTimerProcedure(HWND window, UINT message, UINT_PTR id, DWORD /*time*/) {
    timerCalls.push_back(Received{window, message, id, 0});
}

void OtherTimerProcedure(HWND, UINT, UINT_PTR, DWORD) {}

TEST_F(WindowTest, ATimerProcedureGetsItsTimerAndNothingElse) {
    timerCalls.clear();
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(SetTimer(window, 2, 20, RecordingTimerProcedure), 0u);

    const std::optional<MSG> expiry = NextMessage();
    ASSERT_TRUE(expiry.has_value());
    EXPECT_EQ(expiry->hwnd, window);
    EXPECT_EQ(expiry->message, WM_TIMER);
    EXPECT_EQ(expiry->wParam, 2u);
    EXPECT_EQ(expiry->lParam, reinterpret_cast<LPARAM>(RecordingTimerProcedure));
    DispatchMessageA(&*expiry);
    ASSERT_EQ(timerCalls.size(), 1u);
    EXPECT_EQ(timerCalls[0].window, window);
    EXPECT_EQ(timerCalls[0].message, WM_TIMER);
    EXPECT_EQ(timerCalls[0].wParam, 2u);
    EXPECT_EQ(ReceivedMessages().size(), 1u) << "the window procedure saw only WM_CREATE";

    ASSERT_TRUE(KillTimer(window, 2));
    EXPECT_EQ(NextMessage(100ms), std::nullopt);

    // A WM_TIMER that no live timer of the window produced goes to the window procedure,
    // whatever its lParam: only a timer's own procedure is ever called.
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
        {9, 0, "no procedure"},
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
    EXPECT_EQ(timerCalls.size(), 1u);
}

TEST_F(WindowTest, AnExpiredTimerHasOneMessagePendingAndResettingReplacesIt) {
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(SetTimer(window, 1, 50, nullptr), 0u);
    std::this_thread::sleep_for(300ms);  // several intervals without a message loop

    MSG message{};
    ASSERT_EQ(GetMessageA(&message, window, WM_TIMER, WM_TIMER), TRUE);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(GetMessageA(&message, window, WM_TIMER, WM_TIMER), TRUE);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 25ms) << "missed expiries must not pile up";

    // Setting the same id again replaces the timer rather than adding a second one.
    ASSERT_NE(SetTimer(window, 1, USER_TIMER_MAXIMUM, nullptr), 0u);
    EXPECT_EQ(NextMessage(150ms), std::nullopt);
}

TEST_F(WindowTest, TheTimerScaleShortensEveryInterval) {
    struct RestoreScale {
        ~RestoreScale() { korvo::host::SetTimerScale(0); }
    } restore;
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);

    korvo::host::SetTimerScale(0.001);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NE(SetTimer(window, 2, 30000, nullptr), 0u);  // the agent's retry interval
    const std::optional<MSG> expiry = NextMessage(5s);
    ASSERT_TRUE(expiry.has_value());
    EXPECT_EQ(expiry->message, WM_TIMER);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

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

// ---- finding and the calls that draw nothing ----

TEST_F(WindowTest, FindWindowFindsThisProcessesWindowsByClassAndTitle) {
    HWND window = CreateRecordingWindow("ZUL Component");
    ASSERT_NE(window, nullptr);
    const std::string name = ClassName();
    std::string lower = name;
    for (char& c : lower) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    const struct {
        const char* className;
        const char* title;
        HWND expected;
    } cases[] = {
        {name.c_str(), nullptr, window},         {lower.c_str(), nullptr, window},
        {name.c_str(), "ZUL Component", window}, {nullptr, "ZUL Component", window},
        {name.c_str(), "Other", nullptr},        {"NoSuchClass", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.className ? c.className : "(null)") + " / " +
                     (c.title ? c.title : "(null)"));
        EXPECT_EQ(FindWindowA(c.className, c.title), c.expected);
    }
}

TEST_F(WindowTest, DrawingCallsSucceedWithoutDrawing) {
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(ShowWindow(window, SW_HIDE)) << "a new window is not visible";
    EXPECT_FALSE(ShowWindow(window, SW_SHOWNORMAL));
    EXPECT_TRUE(ShowWindow(window, SW_HIDE)) << "it was visible before this call";
    EXPECT_TRUE(UpdateWindow(window));

    HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
    HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    ASSERT_NE(wait, nullptr);
    ASSERT_NE(arrow, nullptr);
    EXPECT_NE(wait, arrow);
    SetCursor(arrow);
    EXPECT_EQ(SetCursor(wait), arrow) << "SetCursor hands back the cursor it replaces";
    EXPECT_EQ(SetCursor(arrow), wait);
    EXPECT_NE(LoadIconA(nullptr, MAKEINTRESOURCEA(102)), nullptr);
    EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
}

}  // namespace
}  // namespace korvo::test

// The Win32 window calls the agent makes, checked on the Linux host's stand-in and on 32-bit
// Windows (run under Wine): windows and classes, posted messages and the message loop, timers,
// and the drawing calls. Window procedures record only the messages the agent handles, since
// Windows sends many more during creation. The other calls are in system_calls.cpp.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "platform.h"
#include "platform/received_messages.h"
#include "test_machine.h"

namespace korvo::calls {
namespace {

using namespace std::chrono_literals;

// ---- A recording window ----------------------------------------------------------------------

using test::ClearReceived;
using test::kRecordedResult;
using test::NextMessageWithin;
using test::Received;
using test::ReceivedMessages;

bool Recorded(UINT message) {
    return message == WM_CREATE || message == WM_DESTROY || message == WM_CLOSE ||
           message == WM_TIMER || message >= WM_USER;
}

LRESULT CALLBACK RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (Recorded(message)) {
        test::KeepReceived(window, message, wParam, lParam);
    }
    return test::AnswerRecorded(window, message, wParam, lParam);
}

// Registers CLASS (once) with the recording procedure and makes a top-level window of it.
HWND CreateRecordingWindow(const char* className, const char* title = "Recorder") {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProcedure;
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW, 5, 5, 620, 460, nullptr,
                           nullptr, nullptr, nullptr);
}

// The next message of this thread without dispatching it; none once `timeout` passed.
std::optional<MSG> NextMessage(std::chrono::milliseconds timeout = 2s) {
    return NextMessageWithin(static_cast<UINT>(timeout.count()));
}

// Takes whatever is left in this thread's queue, so that the next case starts clean.
void DrainQueue() {
    while (NextMessage(0ms).has_value()) {
    }
}

// ---- Windows and classes ---------------------------------------------------------------------

struct CreationSeen {
    int calls = 0;
    std::string title, className;
    int x = 0, y = 0, width = 0, height = 0;
};
CreationSeen creationSeen;
LRESULT creationResult = 0;

LRESULT CALLBACK CaptureCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        creationSeen = CreationSeen{creationSeen.calls + 1,
                                    creation->lpszName,
                                    creation->lpszClass,
                                    creation->x,
                                    creation->y,
                                    creation->cx,
                                    creation->cy};
        return creationResult;
    }
    return RecordingProcedure(window, message, wParam, lParam);
}

CALLS_CASE(CreationSendsWmCreateBeforeItReturnsAndMinusOneRefusesTheWindow) {
    ClearReceived();
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = CaptureCreation;
    windowClass.lpszClassName = "CreationProbe";
    REQUIRE(RegisterClassA(&windowClass) != 0);

    HWND window = CreateWindowExA(0, "CreationProbe", "ZUL Component", WS_OVERLAPPEDWINDOW, 5, 5,
                                  620, 460, nullptr, nullptr, nullptr, nullptr);
    REQUIRE(window != nullptr);
    CHECK_EQ(creationSeen.calls, 1);
    CHECK_EQ(creationSeen.title, "ZUL Component");
    CHECK_EQ(creationSeen.className, "CreationProbe");
    CHECK(creationSeen.x == 5 && creationSeen.y == 5 && creationSeen.width == 620 &&
          creationSeen.height == 460);
    CHECK(DestroyWindow(window));

    // Answered with -1, WM_CREATE refuses the window: it is destroyed again, leaving nothing.
    creationResult = -1;
    ClearReceived();
    CHECK_EQ(CreateWindowExA(0, "CreationProbe", "Refused", 0, 0, 0, 0, 0, nullptr, nullptr,
                             nullptr, nullptr),
             nullptr);
    CHECK_EQ(FindWindowA("CreationProbe", nullptr), nullptr);
    if (!UnderWine()) {  // Wine frees the refused window without sending WM_DESTROY.
        const std::vector<Received> seen = ReceivedMessages();
        REQUIRE_EQ(seen.size(), 1u);
        CHECK_EQ(seen[0].message, WM_DESTROY);
    }
    creationResult = 0;
}

CALLS_CASE(ClassesAreRegisteredOnceAndFoundByNameOrAtom) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProcedure;
    windowClass.lpszClassName = "AtomProbe";
    const ATOM atom = RegisterClassA(&windowClass);
    REQUIRE(atom != 0);

    windowClass.lpszClassName = "ATOMPROBE";  // class names ignore case
    CHECK_EQ(RegisterClassA(&windowClass), 0);
    CHECK_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

    HWND byAtom = CreateWindowExA(0, MAKEINTATOM(atom), "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);
    REQUIRE(byAtom != nullptr);
    CHECK_EQ(FindWindowA("atomprobe", nullptr), byAtom);
    CHECK(DestroyWindow(byAtom));

    CHECK_EQ(
        CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    // Wine answers ERROR_CLASS_DOES_NOT_EXIST (1411), Windows ERROR_CANNOT_FIND_WND_CLASS.
    CHECK_EQ(GetLastError(), UnderWine() ? 1411 : ERROR_CANNOT_FIND_WND_CLASS);
}

CALLS_CASE(FindWindowFindsByClassAndTitle) {
    HWND window = CreateRecordingWindow("FindProbe", "ZUL Component");
    REQUIRE(window != nullptr);
    const struct {
        const char* className;
        const char* title;
        HWND expected;
    } cases[] = {
        {"FindProbe", nullptr, window},         {"findprobe", nullptr, window},
        {"FindProbe", "ZUL Component", window}, {nullptr, "ZUL Component", window},
        {"FindProbe", "Other", nullptr},        {"NoSuchClass", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        if (FindWindowA(c.className, c.title) != c.expected) {
            Fail(__FILE__, __LINE__,
                 std::string("FindWindowA(") + (c.className ? c.className : "NULL") + ", " +
                     (c.title ? c.title : "NULL") + ") is wrong");
        }
    }
    DestroyWindow(window);
}

// ---- Posted messages and the message loop ----------------------------------------------------

CALLS_CASE(PostedMessagesArriveInOrderAndTheQuitRequestLast) {
    ClearReceived();
    HWND window = CreateRecordingWindow("PostProbe");
    REQUIRE(window != nullptr);
    PostQuitMessage(7);  // before the others, yet delivered after them
    REQUIRE(PostMessageA(window, WM_USER + 1, 1, -2));
    REQUIRE(PostMessageA(nullptr, WM_USER + 2, 3, 4));  // to this thread, no window
    REQUIRE(PostMessageA(window, WM_USER + 3, 5, 6));

    std::vector<MSG> got;
    MSG message{};
    BOOL result;
    while ((result = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        REQUIRE_EQ(result, TRUE);
        if (Recorded(message.message)) {
            got.push_back(message);
        }
    }
    CHECK_EQ(message.message, WM_QUIT);
    CHECK_EQ(message.wParam, 7u);

    const Received expected[] = {
        {window, WM_USER + 1, 1, -2}, {nullptr, WM_USER + 2, 3, 4}, {window, WM_USER + 3, 5, 6}};
    REQUIRE_EQ(got.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        CHECK(got[i].hwnd == expected[i].window && got[i].message == expected[i].message &&
              got[i].wParam == expected[i].wParam && got[i].lParam == expected[i].lParam);
    }
    // Dispatching hands back the window procedure's result; a message to the thread has no
    // procedure to go to.
    CHECK_EQ(DispatchMessageA(&got[0]), kRecordedResult);
    CHECK_EQ(DispatchMessageA(&got[1]), 0);
    DestroyWindow(window);
}

CALLS_CASE(PostingStopsAtTheQueueQuota) {
    if (UnderWine()) {
        return;  // Wine keeps no per-queue quota; Windows stops at 10,000 messages.
    }
    HWND window = CreateRecordingWindow("QuotaProbe");
    REQUIRE(window != nullptr);
    for (int i = 0; i < 10000; ++i) {
        REQUIRE(PostMessageA(window, WM_USER, static_cast<WPARAM>(i), 0));
    }
    CHECK(!PostMessageA(window, WM_USER, 0, 0));
    CHECK_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    DestroyWindow(window);
    DrainQueue();
}

CALLS_CASE(ClosingDestroysTheWindowAndEverythingItOwned) {
    ClearReceived();
    HWND window = CreateRecordingWindow("CloseProbe");
    REQUIRE(window != nullptr);
    REQUIRE(PostMessageA(window, WM_USER + 1, 0, 0));
    REQUIRE(SetTimer(window, 1, 10, nullptr) != 0);

    // WM_CLOSE goes to default processing, which destroys the window: WM_DESTROY arrives
    // before DispatchMessageA returns.
    const MSG close{window, WM_CLOSE, 0, 0, 0, {0, 0}};
    DispatchMessageA(&close);
    const std::vector<Received> seen = ReceivedMessages();
    REQUIRE_EQ(seen.size(), 3u);
    CHECK_EQ(seen[1].message, WM_CLOSE);
    CHECK_EQ(seen[2].message, WM_DESTROY);
    CHECK_EQ(FindWindowA("CloseProbe", nullptr), nullptr);
    const std::optional<MSG> left = NextMessage(100ms);
    CHECK(!left.has_value() || left->hwnd != window);  // its posted message and timer are gone

    // The handle stays invalid for every call.
    CHECK(!PostMessageA(window, WM_USER, 0, 0));
    CHECK_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    CHECK_EQ(SetTimer(window, 1, 10, nullptr), 0u);
    CHECK(!KillTimer(window, 1));
    CHECK(!DestroyWindow(window));
    MSG message{};
    CHECK_EQ(GetMessageA(&message, window, 0, 0), -1);
    CHECK_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

CALLS_CASE(EachThreadHasItsOwnQueue) {
    ClearReceived();
    HWND mine = CreateRecordingWindow("ThreadProbe");  // registers the class for the worker
    REQUIRE(mine != nullptr);
    HWND theirs = nullptr;
    bool created = false;
    std::mutex lock;
    std::condition_variable ready;
    std::thread worker([&] {
        HWND window = CreateWindowExA(0, "ThreadProbe", "Worker", 0, 0, 0, 0, 0, nullptr, nullptr,
                                      nullptr, nullptr);
        {
            std::lock_guard guard(lock);
            theirs = window;
            created = true;
        }
        ready.notify_one();
        MSG message{};
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            DispatchMessageA(&message);
            if (message.message == WM_USER + 1) {
                DestroyWindow(window);
                PostQuitMessage(0);
            }
        }
    });
    {
        std::unique_lock guard(lock);
        ready.wait(guard, [&] { return created; });
    }
    if (!CHECK(theirs != nullptr)) {
        worker.detach();
        return;
    }
    CHECK(!DestroyWindow(theirs));  // only the thread that created a window destroys it
    CHECK_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    CHECK(PostMessageA(theirs, WM_USER + 1, 42, 0));
    worker.join();
    const std::optional<MSG> mineGot = NextMessage(50ms);
    CHECK(!mineGot.has_value() || mineGot->message != WM_USER + 1);  // it went to the worker

    bool workerGotIt = false;
    for (const Received& r : ReceivedMessages()) {
        workerGotIt |= r.window == theirs && r.message == WM_USER + 1 && r.wParam == 42;
    }
    CHECK(workerGotIt);
    DestroyWindow(mine);
}

// ---- Timers ----------------------------------------------------------------------------------

std::vector<Received> timerCalls;

void CALLBACK RecordingTimerProcedure(HWND window, UINT message, UINT_PTR id, DWORD /*time*/) {
    timerCalls.push_back(Received{window, message, id, 0});
}

CALLS_CASE(ATimerProcedureGetsItsTimerAndTheWindowProcedureTheRest) {
    timerCalls.clear();
    ClearReceived();
    HWND window = CreateRecordingWindow("TimerProbe");
    REQUIRE(window != nullptr);
    REQUIRE(SetTimer(window, 2, 20, RecordingTimerProcedure) != 0);

    const std::optional<MSG> expiry = NextMessage();
    REQUIRE(expiry.has_value());
    CHECK_EQ(expiry->hwnd, window);
    CHECK_EQ(expiry->message, WM_TIMER);
    CHECK_EQ(expiry->wParam, 2u);
    if (!UnderWine()) {  // Wine passes a handle of its own for the procedure.
        CHECK_EQ(expiry->lParam, reinterpret_cast<LPARAM>(RecordingTimerProcedure));
    }
    DispatchMessageA(&*expiry);
    REQUIRE_EQ(timerCalls.size(), 1u);
    CHECK(timerCalls[0].window == window && timerCalls[0].message == WM_TIMER &&
          timerCalls[0].wParam == 2u);
    CHECK_EQ(ReceivedMessages().size(), 1u);  // the window procedure saw only WM_CREATE

    REQUIRE(KillTimer(window, 2));
    CHECK(!NextMessage(100ms).has_value());

    // A WM_TIMER without a procedure, as another process posts it, goes to the window
    // procedure; so does the expiry of a timer set without one.
    const MSG posted{window, WM_TIMER, 9, 0, 0, {0, 0}};
    DispatchMessageA(&posted);
    REQUIRE(SetTimer(window, 3, 20, nullptr) != 0);
    const std::optional<MSG> plain = NextMessage();
    REQUIRE(plain.has_value());
    CHECK(plain->message == WM_TIMER && plain->wParam == 3u && plain->lParam == 0);
    DispatchMessageA(&*plain);
    KillTimer(window, 3);
    const std::vector<Received> seen = ReceivedMessages();
    REQUIRE_EQ(seen.size(), 3u);
    CHECK(seen[1].message == WM_TIMER && seen[1].wParam == 9u);
    CHECK(seen[2].message == WM_TIMER && seen[2].wParam == 3u);
    CHECK_EQ(timerCalls.size(), 1u);
    DestroyWindow(window);
    DrainQueue();
}

CALLS_CASE(AnExpiredTimerHasOneMessagePendingAndResettingReplacesIt) {
    HWND window = CreateRecordingWindow("ExpiryProbe");
    REQUIRE(window != nullptr);
    REQUIRE(SetTimer(window, 1, 50, nullptr) != 0);
    std::this_thread::sleep_for(300ms);  // several intervals without a message loop

    MSG message{};
    REQUIRE(GetMessageA(&message, window, WM_TIMER, WM_TIMER) == TRUE);
    const auto start = std::chrono::steady_clock::now();
    REQUIRE(GetMessageA(&message, window, WM_TIMER, WM_TIMER) == TRUE);
    CHECK(std::chrono::steady_clock::now() - start >= 25ms);  // missed expiries do not pile up

    // Setting the same id again replaces the timer rather than adding a second one.
    REQUIRE(SetTimer(window, 1, USER_TIMER_MAXIMUM, nullptr) != 0);
    CHECK(!NextMessage(150ms).has_value());
    DestroyWindow(window);
}

CALLS_CASE(AThreadTimerHasNoWindowAndGetMessageEndsAtWmQuit) {
    const UINT_PTR id = SetTimer(nullptr, 0, 20, nullptr);
    REQUIRE(id != 0);
    const std::optional<MSG> expiry = NextMessage();
    REQUIRE(expiry.has_value());
    CHECK(expiry->hwnd == nullptr && expiry->message == WM_TIMER && expiry->wParam == id);
    CHECK(KillTimer(nullptr, id));
    CHECK(!KillTimer(nullptr, id));

    PostQuitMessage(3);
    MSG message{};
    CHECK_EQ(GetMessageA(&message, nullptr, 0, 0), 0);
    CHECK(message.message == WM_QUIT && message.wParam == 3u);
}

// ---- The calls that draw nothing ------------------------------------------------------------

CALLS_CASE(DrawingCallsSucceed) {
    HWND window = CreateRecordingWindow("DrawProbe");
    REQUIRE(window != nullptr);
    CHECK(!ShowWindow(window, SW_HIDE));  // a new window is not visible
    CHECK(!ShowWindow(window, SW_SHOWNORMAL));
    CHECK(ShowWindow(window, SW_HIDE));  // it was visible before this call
    CHECK(UpdateWindow(window));

    HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
    HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    REQUIRE(wait != nullptr && arrow != nullptr);
    CHECK(wait != arrow);
    SetCursor(arrow);
    CHECK_EQ(SetCursor(wait), arrow);  // SetCursor hands back the cursor it replaces
    CHECK_EQ(SetCursor(arrow), wait);
    CHECK(GetStockObject(WHITE_BRUSH) != nullptr);
    DestroyWindow(window);
}

}  // namespace
}  // namespace korvo::calls

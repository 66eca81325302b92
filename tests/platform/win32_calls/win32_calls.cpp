// The Win32 calls the agent makes, stated once and checked on every machine the program is built
// for: the Linux host's stand-in and 32-bit Windows (run under Wine). Window procedures record
// only the messages the agent handles, since Windows sends many more during creation.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "korvo/driver_protocol.h"
#include "platform.h"
#include "test_machine.h"

namespace korvo::calls {
namespace {

using namespace std::chrono_literals;

// ---- A recording window ----------------------------------------------------------------------

struct Received {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

std::mutex receivedLock;
std::vector<Received> received;
constexpr LRESULT kRecordedResult = 77;

bool Recorded(UINT message) {
    return message == WM_CREATE || message == WM_DESTROY || message == WM_CLOSE ||
           message == WM_TIMER || message >= WM_USER;
}

LRESULT CALLBACK RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (Recorded(message)) {
        std::lock_guard lock(receivedLock);
        received.push_back(Received{window, message, wParam, lParam});
    }
    if (message >= WM_USER) {
        return kRecordedResult;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

std::vector<Received> ReceivedMessages() {
    std::lock_guard lock(receivedLock);
    return received;
}

void ClearReceived() {
    std::lock_guard lock(receivedLock);
    received.clear();
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
    const UINT_PTR limit = SetTimer(nullptr, 0, static_cast<UINT>(timeout.count()), nullptr);
    MSG message{};
    GetMessageA(&message, nullptr, 0, 0);
    KillTimer(nullptr, limit);
    if (message.message == WM_TIMER && message.hwnd == nullptr && message.wParam == limit) {
        return std::nullopt;
    }
    return message;
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

// ---- Files -----------------------------------------------------------------------------------

HANDLE OpenExisting(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

CALLS_CASE(FilesOpenByAnyCaseAndFailWithTheWin32Errors) {
    std::filesystem::create_directories("calls-files");
    std::ofstream("calls-files/Data.bin", std::ios::binary) << std::string(1234, 'x');

    for (const char* path : {"calls-files\\Data.bin", "CALLS-FILES\\data.BIN"}) {
        HANDLE file = OpenExisting(path);
        if (!CHECK(file != INVALID_HANDLE_VALUE)) {
            Fail(__FILE__, __LINE__, std::string("cannot open ") + path);
            continue;
        }
        DWORD high = 99;
        CHECK_EQ(GetFileSize(file, &high), 1234u);
        CHECK_EQ(high, 0u);
        CHECK(CloseHandle(file));
        CHECK(!CloseHandle(file));  // a handle closes once
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    const struct {
        const char* path;
        DWORD error;
    } failures[] = {
        {"calls-files\\missing.bin", ERROR_FILE_NOT_FOUND},
        {"no-such-directory\\Data.bin", ERROR_PATH_NOT_FOUND},
        {"calls-files", ERROR_ACCESS_DENIED},  // a directory is not opened as a file
    };
    for (const auto& f : failures) {
        SetLastError(0);
        if (!CHECK_EQ(OpenExisting(f.path), INVALID_HANDLE_VALUE) ||
            !CHECK_EQ(GetLastError(), f.error)) {
            Fail(__FILE__, __LINE__, std::string("for ") + f.path);
        }
    }
    CHECK_EQ(GetFileSize(INVALID_HANDLE_VALUE, nullptr), INVALID_FILE_SIZE);
    std::filesystem::remove_all("calls-files");
}

// ---- The control device ----------------------------------------------------------------------

HANDLE OpenDevice(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Exchange {
    BOOL result;
    DWORD error;
    DWORD bytesReturned;
    std::array<uint8_t, driver::kRecordSize> record;
};

// One exchange as the agent makes it: the control word in, the 24-byte record in and out.
Exchange Ask(HANDLE device, uint32_t controlCode, uint32_t controlWord, uint16_t requestCode,
             size_t recordSize = driver::kRecordSize) {
    Exchange exchange{};
    exchange.record.fill(0);
    exchange.record[driver::kCodeOffset] = static_cast<uint8_t>(requestCode);
    exchange.record[driver::kCodeOffset + 1] = static_cast<uint8_t>(requestCode >> 8);
    exchange.bytesReturned = 0xEEEE;
    SetLastError(0);
    exchange.result = DeviceIoControl(device, controlCode, &controlWord, sizeof controlWord,
                                      exchange.record.data(), static_cast<DWORD>(recordSize),
                                      &exchange.bytesReturned, nullptr);
    exchange.error = GetLastError();
    return exchange;
}

CALLS_CASE(TheControlDeviceAnswersAndFailsWithTheWin32Results) {
    SetLastError(0);
    CHECK_EQ(OpenDevice("\\\\.\\korvo-no-such-device"), INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE device = OpenDevice(kDevicePath);
    REQUIRE(device != INVALID_HANDLE_VALUE);
    // Request 1, the first adapter's address: the record comes back with the address in its
    // data bytes, and all 24 bytes are returned.
    const Exchange address =
        Ask(device, driver::kQueryGlobalStatsCode, driver::kRequestControlWord, 1);
    CHECK_EQ(address.result, TRUE);
    CHECK_EQ(address.bytesReturned, driver::kRecordSize);
    const uint8_t expected[] = {0x02, 0x4B, 0x4F, 0x52, 0x56, 0x01};
    CHECK(std::memcmp(address.record.data() + driver::kDataOffset, expected, sizeof expected) == 0);

    // A record of the wrong size fails the call: FALSE, ERROR_GEN_FAILURE, and the count of
    // bytes returned left as it was.
    const Exchange shortRecord =
        Ask(device, driver::kQueryGlobalStatsCode, driver::kRequestControlWord, 1, 8);
    CHECK_EQ(shortRecord.result, FALSE);
    CHECK_EQ(shortRecord.error, ERROR_GEN_FAILURE);
    CHECK_EQ(shortRecord.bytesReturned, 0xEEEEu);
    CHECK(CloseHandle(device));

    // A regular file is no device: it has no control codes.
    std::ofstream("calls-plain.bin") << "x";
    HANDLE file = OpenExisting("calls-plain.bin");
    REQUIRE(file != INVALID_HANDLE_VALUE);
    const Exchange onFile =
        Ask(file, driver::kQueryGlobalStatsCode, driver::kRequestControlWord, 1);
    CHECK_EQ(onFile.result, FALSE);
    CloseHandle(file);
    std::filesystem::remove("calls-plain.bin");
}

// ---- The registry ----------------------------------------------------------------------------

constexpr char kKey[] = "SOFTWARE\\KorvoCalls";
constexpr char kSlotsKey[] = "SOFTWARE\\KorvoCalls\\Slots";

LSTATUS OpenStatus(const char* path) {
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    return status;
}

CALLS_CASE(TheRegistryAnswersWithTheWin32Codes) {
    const std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o', 0};
    const RegistryValue values[] = {
        {kKey, "Text", REG_SZ, hello},
        {"SOFTWARE\\KorvoCalls\\Slots\\5", "Slot", REG_DWORD, {11, 0, 0, 0}},
        {"SOFTWARE\\KorvoCalls\\Slots\\6", "Slot", REG_DWORD, {12, 0, 0, 0}},
    };
    std::string error;
    if (!WriteRegistry(values, &error)) {
        Fail(__FILE__, __LINE__, error);
        return;
    }
    HKEY key = nullptr;
    REQUIRE_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\KORVOCALLS", 0, KEY_READ, &key),
               ERROR_SUCCESS);
    DWORD type = 0;
    uint8_t data[16] = {};
    DWORD size = sizeof data;
    CHECK_EQ(RegQueryValueExA(key, "TEXT", nullptr, &type, data, &size), ERROR_SUCCESS);
    CHECK_EQ(type, REG_SZ);
    CHECK_EQ(size, hello.size());
    CHECK(std::memcmp(data, hello.data(), hello.size()) == 0);
    size = 3;  // too small: the size it needs
    CHECK_EQ(RegQueryValueExA(key, "Text", nullptr, &type, data, &size), ERROR_MORE_DATA);
    CHECK_EQ(size, hello.size());
    size = 0;  // no buffer: the size alone
    CHECK_EQ(RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    CHECK_EQ(size, hello.size());
    size = sizeof data;
    CHECK_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
    CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    CHECK_EQ(OpenStatus("SOFTWARE\\KorvoCalls\\Missing"), ERROR_FILE_NOT_FOUND);
    HKEY none = nullptr;
    CHECK_EQ(RegOpenKeyExA(key, "Slots", 0, KEY_READ, &none), ERROR_INVALID_HANDLE);

    // Subkeys made in ascending order of name enumerate in that order, then stop.
    HKEY slots = nullptr;
    REQUIRE_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSlotsKey, 0, KEY_READ, &slots), ERROR_SUCCESS);
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[16];
        DWORD length = sizeof name;
        const LSTATUS status =
            RegEnumKeyExA(slots, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            CHECK_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        names.emplace_back(name, length);
    }
    CHECK(names == (std::vector<std::string>{"5", "6"}));
    char tiny[1];
    DWORD tinyLength = sizeof tiny;  // no room for the name's NUL
    CHECK_EQ(RegEnumKeyExA(slots, 0, tiny, &tinyLength, nullptr, nullptr, nullptr, nullptr),
             ERROR_MORE_DATA);

    HKEY six = nullptr;
    REQUIRE_EQ(RegOpenKeyExA(slots, "6", 0, KEY_READ, &six), ERROR_SUCCESS);
    DWORD slot = 0;
    size = sizeof slot;
    CHECK_EQ(RegQueryValueExA(six, "slot", nullptr, &type, reinterpret_cast<BYTE*>(&slot), &size),
             ERROR_SUCCESS);
    CHECK(type == REG_DWORD && size == 4u && slot == 12u);
    RegCloseKey(six);
    RegCloseKey(slots);
}

// ---- Critical sections and interlocked words -----------------------------------------------

CALLS_CASE(ACriticalSectionIsReenteredByItsOwnerAndKeepsOtherThreadsOut) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);  // the owner enters again without blocking
    LONG entered = 0;
    std::thread other([&] {
        EnterCriticalSection(&section);
        InterlockedExchange(&entered, 1);
        LeaveCriticalSection(&section);
    });
    std::this_thread::sleep_for(50ms);
    CHECK_EQ(InterlockedExchange(&entered, 0), 0);
    LeaveCriticalSection(&section);  // entered twice: still held
    std::this_thread::sleep_for(50ms);
    CHECK_EQ(InterlockedExchange(&entered, 0), 0);
    LeaveCriticalSection(&section);
    other.join();
    CHECK_EQ(InterlockedExchange(&entered, 0), 1);

    // Threads that change a plain record only inside the section lose none of the changes.
    uint32_t total = 0;
    std::vector<std::thread> adders;
    for (int t = 0; t < 4; ++t) {
        adders.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&section);
                total = total + 1;
                LeaveCriticalSection(&section);
            }
        });
    }
    for (std::thread& adder : adders) {
        adder.join();
    }
    CHECK_EQ(total, 80000u);
    DeleteCriticalSection(&section);
}

CALLS_CASE(InterlockedCallsChangeAWordWhole) {
    volatile LONG word = 5;
    const auto value = [&word] { return static_cast<LONG>(word); };
    CHECK_EQ(InterlockedExchange(&word, 9), 5);  // the previous value
    CHECK_EQ(value(), 9);
    // Windows 95 answers Increment and Decrement with the sign of the result only.
    word = -1;
    CHECK_EQ(InterlockedIncrement(&word), 0);
    CHECK(InterlockedIncrement(&word) > 0);
    CHECK_EQ(value(), 1);
    CHECK(InterlockedDecrement(&word) == 0);
    CHECK(InterlockedDecrement(&word) < 0);
    CHECK_EQ(value(), -1);

    word = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&word, up = t % 2 == 0] {
            for (int i = 0; i < 20000; ++i) {
                if (up) {
                    InterlockedIncrement(&word);
                    InterlockedIncrement(&word);
                } else {
                    InterlockedDecrement(&word);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    CHECK_EQ(value(), 40000);
}

// ---- Text ----------------------------------------------------------------------------------

CALLS_CASE(WsprintfFormatsIntegersAndStringsWithinItsLimit) {
    char text[32];
    CHECK_EQ(wsprintfA(text, "Adapter %d", static_cast<int>(-2147483647 - 1)), 19);
    CHECK_EQ(std::string(text), "Adapter -2147483648");
    CHECK_EQ(wsprintfA(text, "%s", "Adapter 2"), 9);
    CHECK_EQ(std::string(text), "Adapter 2");
    CHECK_EQ(wsprintfA(text, "%u|%lu|%x|%c|%%", 4000000000u, 7ul, 0xBEEFu, 'k'), 21);
    CHECK_EQ(std::string(text), "4000000000|7|beef|k|%");

    // Nothing is written past the 1024th byte, however long the result would be.
    const std::string along(2000, 'a');
    std::vector<char> wide(4096, '#');
    CHECK(wsprintfA(wide.data(), "%s", along.c_str()) <= 1024);
    CHECK(std::string(wide.data(), 1023) == along.substr(0, 1023));
    CHECK(wide[1024] == '#');
}

// ---- Libraries -------------------------------------------------------------------------------

// Where each copy of the probe library was put (see probe_library.c and the build).
constexpr int32_t kBesideTheProgram = 1;
constexpr int32_t kInTheCurrentDirectory = 2;

using ProbeWhere = int32_t (*)();

// ERROR_DLL_NOT_FOUND: what LoadLibraryA of a missing file leaves on Windows 95, 98 and ME.
constexpr DWORD kErrorDllNotFound9x = 1157;

std::optional<int32_t> LoadProbe(const char* name) {
    HMODULE module = LoadLibraryA(name);
    if (module == nullptr) {
        return std::nullopt;
    }
    const auto where = reinterpret_cast<ProbeWhere>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "KorvoProbeWhere")));
    return where == nullptr ? -1 : where();
}

CALLS_CASE(LoadLibrarySearchesTheProgramsDirectoryThenTheCurrentOne) {
    // The program runs from its own directory; its probe-cwd subdirectory holds the copies
    // that the current directory offers.
    char before[MAX_PATH] = {};
    REQUIRE(GetCurrentDirectoryA(sizeof before, before) != 0);
    REQUIRE(SetCurrentDirectoryA("probe-cwd"));
    CHECK(LoadProbe("KorvoProbe.dll") == kBesideTheProgram);
    CHECK(LoadProbe("korvocwdonly.DLL") == kInTheCurrentDirectory);

    SetLastError(0);
    CHECK_EQ(LoadLibraryA("KorvoNoSuchLibrary.dll"), nullptr);
    // Windows 95, 98 and ME say the same thing with their own code.
    const DWORD notFound = GetLastError();
    CHECK(notFound == ERROR_MOD_NOT_FOUND || notFound == kErrorDllNotFound9x);
    HMODULE module = LoadLibraryA("KorvoProbe.dll");
    REQUIRE(module != nullptr);
    CHECK(GetProcAddress(module, "KorvoNoSuchFunction") == nullptr);
    CHECK_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    CHECK(SetCurrentDirectoryA(before));
}

}  // namespace
}  // namespace korvo::calls

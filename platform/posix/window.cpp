// Window classes, top-level windows, the message queue of each thread and timers, with their
// Win32 meaning inside the process. Nothing is drawn: a window is a procedure, a queue that
// belongs to the thread that created it, and (through window_socket.cpp) a socket by which
// other processes find it and post to it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_tuning.h"
#include "korvo/ascii.h"
#include "platform.h"
#include "window_internal.h"

namespace {

using Clock = std::chrono::steady_clock;

// Win32 refuses further posts to a queue that holds this many messages.
constexpr size_t kPostedMessageQuota = 10000;
// Handles and atoms are handed out from these and never reused, so a stale handle stays
// invalid instead of naming a newer window.
constexpr uintptr_t kFirstWindowHandle = 0x10010;
constexpr uintptr_t kWindowHandleStep = 4;
constexpr ATOM kFirstClassAtom = 0xC000;
// A message filter of (HWND)-1 retrieves only messages posted to the thread itself.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

struct Timer {
    HWND window;  // null for a timer of the thread
    UINT_PTR id;
    Clock::duration interval;
    TIMERPROC procedure;
    Clock::time_point due;
};

// The message queue of one thread. Timers live here too: like Win32, an expired timer is not
// a queued message but a flag that GetMessageA turns into a WM_TIMER when nothing is posted,
// so a timer never has more than one WM_TIMER pending.
struct Queue {
    std::condition_variable wake;
    std::deque<MSG> posted;
    bool quitRequested = false;
    int quitCode = 0;
    std::vector<Timer> timers;
};

struct WindowClass {
    std::string name;
    ATOM atom;
    WNDPROC procedure;
};

struct Window {
    std::string className;
    std::string title;
    WNDPROC procedure;
    std::shared_ptr<Queue> queue;  // of the thread that created the window
    bool visible = false;
    bool destroying = false;
    bool hasSocket = false;
};

// One lock guards every table and every queue: the calls are few and short, and a single lock
// cannot be taken in the wrong order. It is never held while a window or timer procedure runs.
struct State {
    std::mutex lock;
    std::vector<WindowClass> classes;
    std::map<uintptr_t, Window> windows;             // by handle: creation order
    std::map<uintptr_t, std::string> remoteWindows;  // handle → socket path, from FindWindowA
    uintptr_t nextHandle = kFirstWindowHandle;
    ATOM nextAtom = kFirstClassAtom;
    UINT_PTR nextThreadTimerId = 1;
};

// Never destroyed: the socket and signal threads may still post while the process exits.
State& Shared() {
    static State* const state = new State;
    return *state;
}

thread_local std::shared_ptr<Queue> threadQueue;

std::shared_ptr<Queue> CurrentQueue() {
    if (!threadQueue) {
        threadQueue = std::make_shared<Queue>();
    }
    return threadQueue;
}

uintptr_t Key(HWND window) {
    return reinterpret_cast<uintptr_t>(window);
}

DWORD TickCount() {
    const auto sinceStart =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
    return static_cast<DWORD>(sinceStart.count());
}

bool SameName(const std::string& a, const char* b) {
    return korvo::AsciiEqualFold(a, b);
}

// The registered class named by a string or by its atom (MAKEINTATOM); null when none is.
const WindowClass* FindClass(State& state, LPCSTR className) {
    for (const WindowClass& windowClass : state.classes) {
        if (IS_INTRESOURCE(className)
                ? windowClass.atom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(className))
                : SameName(windowClass.name, className)) {
            return &windowClass;
        }
    }
    return nullptr;
}

Window* LookUpWindow(State& state, HWND window) {
    const auto found = state.windows.find(Key(window));
    return found == state.windows.end() ? nullptr : &found->second;
}

std::vector<Timer>::iterator FindTimer(Queue& queue, HWND window, UINT_PTR id) {
    return std::find_if(queue.timers.begin(), queue.timers.end(), [&](const Timer& timer) {
        return timer.window == window && timer.id == id;
    });
}

bool Enqueue(Queue& queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (queue.posted.size() >= kPostedMessageQuota) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    queue.posted.push_back(MSG{window, message, wParam, lParam, TickCount(), POINT{0, 0}});
    queue.wake.notify_all();
    return true;
}

bool PassesFilter(HWND window, UINT message, HWND filterWindow, UINT filterMin, UINT filterMax) {
    if (filterWindow == kThreadMessagesOnly ? window != nullptr
                                            : filterWindow != nullptr && window != filterWindow) {
        return false;
    }
    if (message == WM_QUIT || (filterMin == 0 && filterMax == 0)) {
        return true;
    }
    return message >= filterMin && message <= filterMax;
}

Clock::duration ScaledInterval(UINT elapse) {
    const UINT clamped = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    const double milliseconds = std::clamp(clamped * korvo::host::TimerScale(), 1.0,
                                           static_cast<double>(USER_TIMER_MAXIMUM));
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(milliseconds));
}

// Set by SetTimerScale; 0 while the environment decides.
std::atomic<double> chosenTimerScale{0.0};

}  // namespace

namespace korvo::host {

double TimerScale() {
    if (const double chosen = chosenTimerScale.load(); chosen > 0) {
        return chosen;
    }
    const char* text = getenv("KORVO_TIMER_SCALE");
    if (text == nullptr || text[0] == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    const double factor = strtod(text, &end);
    return *end == '\0' && std::isfinite(factor) && factor > 0 ? factor : 1.0;
}

void SetTimerScale(double factor) {
    chosenTimerScale.store(std::isfinite(factor) && factor > 0 ? factor : 0.0);
}

void PostToEveryWindow(UINT message, WPARAM wParam, LPARAM lParam) {
    State& state = Shared();
    std::lock_guard lock(state.lock);
    for (auto& [handle, window] : state.windows) {
        Enqueue(*window.queue, reinterpret_cast<HWND>(handle), message, wParam, lParam);
    }
}

}  // namespace korvo::host

extern "C" {

ATOM RegisterClassA(const WNDCLASSA* windowClass) {
    if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
        windowClass->lpszClassName == nullptr || IS_INTRESOURCE(windowClass->lpszClassName) ||
        windowClass->lpszClassName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    State& state = Shared();
    std::lock_guard lock(state.lock);
    if (FindClass(state, windowClass->lpszClassName) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (state.nextAtom == 0) {  // every string atom is taken
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const ATOM atom = state.nextAtom++;
    state.classes.push_back(
        WindowClass{windowClass->lpszClassName, atom, windowClass->lpfnWndProc});
    return atom;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    if (className == nullptr || (style & WS_CHILD) != 0) {
        // The layer has top-level windows only: nothing would ever draw a child.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    State& state = Shared();
    HWND handle;
    std::string registeredName;
    WNDPROC procedure;
    {
        std::lock_guard lock(state.lock);
        const WindowClass* windowClass = FindClass(state, className);
        if (windowClass == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        registeredName = windowClass->name;
        procedure = windowClass->procedure;
        handle = reinterpret_cast<HWND>(state.nextHandle);
        state.nextHandle += kWindowHandleStep;
        state.windows.emplace(
            Key(handle), Window{registeredName, windowName != nullptr ? windowName : "", procedure,
                                CurrentQueue()});
    }
    // Reachable from other processes from now on, as a Win32 window is during its WM_CREATE.
    // When another process's window of this class holds the socket, this window still exists
    // but only this process can find it.
    const bool hasSocket = korvo::host::OpenWindowSocket(handle, registeredName);
    {
        std::lock_guard lock(state.lock);
        LookUpWindow(state, handle)->hasSocket = hasSocket;
    }
    korvo::host::InstallSessionSignals();

    CREATESTRUCTA creation{
        param,      instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
        windowName, className, exStyle};
    if (procedure(handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&creation)) == -1) {
        DestroyWindow(handle);
        return nullptr;
    }
    return handle;
}

BOOL DestroyWindow(HWND window) {
    State& state = Shared();
    WNDPROC procedure;
    bool hasSocket;
    {
        std::lock_guard lock(state.lock);
        Window* found = LookUpWindow(state, window);
        if (found == nullptr) {
            SetLastError(state.remoteWindows.count(Key(window)) != 0 ? ERROR_ACCESS_DENIED
                                                                     : ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (found->queue != threadQueue) {  // as in Win32: only the owner thread destroys
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (found->destroying) {  // called again from its own WM_DESTROY
            return TRUE;
        }
        found->destroying = true;
        procedure = found->procedure;
        hasSocket = found->hasSocket;
    }
    procedure(window, WM_DESTROY, 0, 0);
    if (hasSocket) {
        korvo::host::CloseWindowSocket(window);
    }
    std::lock_guard lock(state.lock);
    Window* found = LookUpWindow(state, window);
    Queue& queue = *found->queue;
    std::erase_if(queue.timers, [&](const Timer& timer) { return timer.window == window; });
    std::erase_if(queue.posted, [&](const MSG& message) { return message.hwnd == window; });
    state.windows.erase(Key(window));
    return TRUE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    if (message == WM_CLOSE) {
        DestroyWindow(window);
    }
    return 0;
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
    State& state = Shared();
    std::string remoteClass;
    {
        std::lock_guard lock(state.lock);
        const WindowClass* byAtom = nullptr;
        if (className != nullptr && IS_INTRESOURCE(className)) {
            byAtom = FindClass(state, className);
            if (byAtom == nullptr) {
                return nullptr;
            }
        }
        for (const auto& [handle, window] : state.windows) {
            const bool classMatches =
                className == nullptr || (byAtom != nullptr ? window.className == byAtom->name
                                                           : SameName(window.className, className));
            if (classMatches && (windowName == nullptr || SameName(window.title, windowName))) {
                return reinterpret_cast<HWND>(handle);
            }
        }
        if (className == nullptr) {
            return nullptr;  // other processes' windows are known by class only
        }
        remoteClass = byAtom != nullptr ? byAtom->name : className;
        for (const auto& [handle, window] : state.windows) {
            if (window.hasSocket && SameName(window.className, remoteClass.c_str())) {
                return nullptr;  // the class's socket is our own window's, whose title differs
            }
        }
    }
    // Another process's window: its socket carries no title, so only the class is checked.
    const std::string path = korvo::host::FindWindowSocket(remoteClass);
    if (path.empty()) {
        return nullptr;
    }
    std::lock_guard lock(state.lock);
    for (const auto& [handle, knownPath] : state.remoteWindows) {
        if (knownPath == path) {
            return reinterpret_cast<HWND>(handle);
        }
    }
    const uintptr_t handle = state.nextHandle;
    state.nextHandle += kWindowHandleStep;
    state.remoteWindows.emplace(handle, path);
    return reinterpret_cast<HWND>(handle);
}

BOOL ShowWindow(HWND window, int showCommand) {
    State& state = Shared();
    std::lock_guard lock(state.lock);
    Window* found = LookUpWindow(state, window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const bool wasVisible = found->visible;
    found->visible = showCommand != SW_HIDE;
    return wasVisible ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND window) {
    State& state = Shared();
    std::lock_guard lock(state.lock);
    if (LookUpWindow(state, window) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    State& state = Shared();
    std::string remotePath;
    {
        std::lock_guard lock(state.lock);
        if (window == nullptr) {  // a message to the calling thread, as PostThreadMessage
            return Enqueue(*CurrentQueue(), nullptr, message, wParam, lParam) ? TRUE : FALSE;
        }
        if (Window* found = LookUpWindow(state, window)) {
            return Enqueue(*found->queue, window, message, wParam, lParam) ? TRUE : FALSE;
        }
        const auto remote = state.remoteWindows.find(Key(window));
        if (remote == state.remoteWindows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        remotePath = remote->second;
    }
    if (!korvo::host::PostToWindowSocket(remotePath, message, wParam, lParam)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // that window is gone
        return FALSE;
    }
    return TRUE;
}

void PostQuitMessage(int exitCode) {
    const std::shared_ptr<Queue> queue = CurrentQueue();
    std::lock_guard lock(Shared().lock);
    queue->quitRequested = true;
    queue->quitCode = exitCode;
    queue->wake.notify_all();
}

BOOL GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
    if (message == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const std::shared_ptr<Queue> queue = CurrentQueue();
    State& state = Shared();
    std::unique_lock lock(state.lock);
    if (window != nullptr && window != kThreadMessagesOnly &&
        LookUpWindow(state, window) == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    const bool timersPass = PassesFilter(nullptr, WM_TIMER, nullptr, filterMin, filterMax);
    for (;;) {
        // Win32's order: posted messages, then the quit request, then expired timers.
        const auto posted =
            std::find_if(queue->posted.begin(), queue->posted.end(), [&](const MSG& candidate) {
                return PassesFilter(candidate.hwnd, candidate.message, window, filterMin,
                                    filterMax);
            });
        if (posted != queue->posted.end()) {
            *message = *posted;
            queue->posted.erase(posted);
            return message->message == WM_QUIT ? FALSE : TRUE;
        }
        if (queue->quitRequested) {
            queue->quitRequested = false;
            *message = MSG{nullptr, WM_QUIT,     static_cast<WPARAM>(queue->quitCode),
                           0,       TickCount(), POINT{0, 0}};
            return FALSE;
        }
        Timer* next = nullptr;
        for (Timer& timer : queue->timers) {
            const bool passes = window == nullptr || timer.window == window ||
                                (window == kThreadMessagesOnly && timer.window == nullptr);
            if (timersPass && passes && (next == nullptr || timer.due < next->due)) {
                next = &timer;
            }
        }
        const Clock::time_point now = Clock::now();
        if (next != nullptr && next->due <= now) {
            next->due = now + next->interval;
            *message =
                MSG{next->window, WM_TIMER,   next->id, reinterpret_cast<LPARAM>(next->procedure),
                    TickCount(),  POINT{0, 0}};
            return TRUE;
        }
        if (next != nullptr) {
            queue->wake.wait_until(lock, next->due);
        } else {
            queue->wake.wait(lock);
        }
    }
}

BOOL TranslateMessage(const MSG* /*message*/) {
    return FALSE;  // there is no keyboard, so never a character message to make
}

LRESULT DispatchMessageA(const MSG* message) {
    if (message == nullptr) {
        return 0;
    }
    State& state = Shared();
    TIMERPROC timerProcedure = nullptr;
    WNDPROC procedure = nullptr;
    {
        std::lock_guard lock(state.lock);
        // A WM_TIMER goes to a timer procedure only when a live timer of that window and id
        // names it: a WM_TIMER that came from outside carries an lParam nobody may call.
        if (message->message == WM_TIMER && message->lParam != 0) {
            const Window* owner = LookUpWindow(state, message->hwnd);
            const std::shared_ptr<Queue> queue =
                owner != nullptr ? owner->queue
                                 : (message->hwnd == nullptr ? CurrentQueue() : nullptr);
            if (queue) {
                const auto timer = FindTimer(*queue, message->hwnd, message->wParam);
                if (timer != queue->timers.end() &&
                    reinterpret_cast<LPARAM>(timer->procedure) == message->lParam) {
                    timerProcedure = timer->procedure;
                }
            }
        }
        if (timerProcedure == nullptr && message->hwnd != nullptr) {
            const Window* found = LookUpWindow(state, message->hwnd);
            if (found == nullptr) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            procedure = found->procedure;
        }
    }
    if (timerProcedure != nullptr) {
        timerProcedure(message->hwnd, WM_TIMER, message->wParam, TickCount());
        return 0;
    }
    if (procedure == nullptr) {
        return 0;  // a message to the thread has no window procedure
    }
    return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc) {
    const Clock::duration interval = ScaledInterval(elapse);
    State& state = Shared();
    std::shared_ptr<Queue> queue;
    if (window == nullptr) {
        queue = CurrentQueue();
    }
    std::lock_guard lock(state.lock);
    if (window != nullptr) {
        Window* found = LookUpWindow(state, window);
        if (found == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        queue = found->queue;
    }
    auto timer = FindTimer(*queue, window, id);
    if (window == nullptr && (id == 0 || timer == queue->timers.end())) {
        // A timer of the thread gets an id of its own unless it replaces one.
        id = state.nextThreadTimerId++;
        timer = queue->timers.end();
    }
    const Clock::time_point due = Clock::now() + interval;
    if (timer != queue->timers.end()) {
        timer->interval = interval;
        timer->procedure = timerProc;
        timer->due = due;
    } else {
        queue->timers.push_back(Timer{window, id, interval, timerProc, due});
    }
    queue->wake.notify_all();
    return window != nullptr ? 1 : id;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    State& state = Shared();
    std::shared_ptr<Queue> queue;
    if (window == nullptr) {
        queue = CurrentQueue();
    }
    std::lock_guard lock(state.lock);
    if (window != nullptr) {
        Window* found = LookUpWindow(state, window);
        if (found == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        queue = found->queue;
    }
    const auto timer = FindTimer(*queue, window, id);
    if (timer == queue->timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    queue->timers.erase(timer);
    return TRUE;
}

}  // extern "C"

// WinMain and the hidden window: the single-instance guard, the class and window, the message
// loop, and the window procedure that turns messages into start-up, retries, failover checks
// and shutdown.
#include "host/win_main.h"

#include "failover/failover.h"
#include "host/startup.h"
#include "state/service_state.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previousInstance*/, LPSTR /*commandLine*/,
                   int showCommand) {
    if (FindWindowA(MainClassName, nullptr) != nullptr) {
        // Another instance runs: no box for the user, a line for whoever watches (a debugger
        // on Windows, standard error on the host).
        OutputDebugStringA("another instance is already running; this one ends\n");
        return 0;
    }
    if (RegisterMainClass(instance) == 0 || CreateMainWindow(instance, showCommand) == 0) {
        return 0;
    }
    // Started before anyone logs on, the agent must outlive each log-off.
    (void)RegisterAsServiceProcess();
    MSG message{};
    // GetMessageA answers -1 on an error; the loop ends then instead of spinning on it.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

int RegisterMainClass(HINSTANCE instance) {
    WNDCLASSA windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(MainIconId));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = MainClassName;
    return RegisterClassA(&windowClass) != 0 ? 1 : 0;
}

int CreateMainWindow(HINSTANCE instance, int /*showCommand*/) {
    const HCURSOR previous = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    serviceState.instance = instance;
    serviceState.mainWindow =
        CreateWindowExA(0, MainClassName, MainWindowTitle, WS_OVERLAPPEDWINDOW, 5, 5, 620, 460,
                        nullptr, nullptr, instance, nullptr);
    if (serviceState.mainWindow == nullptr) {
        return 0;
    }
    // The window only carries the message loop: it is never shown.
    ShowWindow(serviceState.mainWindow, SW_HIDE);
    UpdateWindow(serviceState.mainWindow);
    SetCursor(previous);
    PostMessageA(serviceState.mainWindow, WM_CI_START, 0, 0);
    return 1;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ENDSESSION:
            if (SessionEndEndsAgent(lParam) == 0) {
                return 0;  // a log-off that the agent outlives
            }
            [[fallthrough]];
        case WM_DESTROY:
            RunShutdown();
            PostQuitMessage(0);
            return 0;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_TIMER:
            // Only timer messages from outside arrive here: the retry timer has a procedure.
            RunFailoverCheck();
            break;
        case WM_CI_START:
            if (RunStartup() == 0) {
                serviceState.timerWindow = window;
                if (SetTimer(window, RETRY_TIMER_ID, RetryIntervalMs, RetryTimerProc) == 0) {
                    return 0;
                }
                AnnounceStartupWait(RetryIntervalMs);
            }
            break;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void CALLBACK RetryTimerProc(HWND /*window*/, UINT /*message*/, UINT_PTR /*timerId*/,
                             DWORD /*time*/) {
    if (RunStartup() == 1) {
        KillTimer(serviceState.timerWindow, RETRY_TIMER_ID);
    } else {
        AnnounceStartupWait(RetryIntervalMs);
    }
}

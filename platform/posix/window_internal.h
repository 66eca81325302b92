// How the host layer's window calls meet its cross-process window sockets and its session
// signals. Internal to platform/posix: the window table lives in window.cpp, the sockets in
// window_socket.cpp, the signal handling in signals.cpp.
#pragma once

#include <string>

#include "platform.h"

namespace korvo::host {

// ---- window.cpp ----
// Posts a message to every top-level window of this process (how a session signal arrives).
void PostToEveryWindow(UINT message, WPARAM wParam, LPARAM lParam);

// ---- window_socket.cpp ----
// Binds $KORVO_ROOT/windows/CLASS for a new window and starts serving it; false when the name
// cannot be a socket file or another process's live window of that class holds the socket.
bool OpenWindowSocket(HWND window, const std::string& className);
// Removes the socket of a window being destroyed; messages in flight to it are dropped.
void CloseWindowSocket(HWND window);
// The socket path of a live window of that class in some process, or "" when there is none.
// A socket file that refuses connections is stale and is removed.
std::string FindWindowSocket(const std::string& className);
// Delivers one posted message through a window's socket; false when nobody accepts it.
bool PostToWindowSocket(const std::string& path, UINT message, WPARAM wParam, LPARAM lParam);
// Removes this process's window socket files (at exit, or when the process is ended).
void RemoveWindowSockets();

// ---- signals.cpp ----
// Turns SIGTERM into WM_ENDSESSION and SIGINT into WM_CLOSE for every window; idempotent.
// After SIGTERM the process gets kEndSessionGraceMs to end by itself, as a Windows session
// gives its programs a limited time, and is then ended.
void InstallSessionSignals();
inline constexpr int kEndSessionGraceMs = 800;

}  // namespace korvo::host

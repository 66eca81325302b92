// The agent's process: a single instance with one hidden window whose message loop runs
// start-up, the start-up retry timer, the failover check and shutdown.
#pragma once

#include "korvo/window_protocol.h"
#include "platform.h"

inline constexpr const char* MainClassName = korvo::window::kAgentClassName;
inline constexpr char MainWindowTitle[] = "ZUL Component";
inline constexpr UINT WM_CI_START = WM_USER + 0x32;  // 0x432
inline constexpr UINT_PTR RETRY_TIMER_ID = 2;
inline constexpr UINT RetryIntervalMs = 30000;
inline constexpr WORD MainIconId = 102;

int RegisterMainClass(HINSTANCE instance);
int CreateMainWindow(HINSTANCE instance, int showCommand);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void CALLBACK RetryTimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD time);

// The start-up sequence that takes the agent from a bare process to a registered component
// instrumentation of the local DMI service provider, and the shutdown that undoes the
// registration in force. Both run on the window's thread.
#pragma once

#include "dmi/dmi.h"
#include "platform.h"

// 1 when the CI registration is in force at the end of the attempt, else 0.
int RunStartup();
void RunShutdown();

// What a failed start-up attempt waits for, kept in serviceState.startupWait: the DMI library
// (not found where it is looked for), the adapter's driver (its control device missing or its
// probe failing), or another step (the service provider refused one; a box may have said so).
enum StartupWait : uint32_t { WaitsForLibrary = 1, WaitsForDriver = 2, WaitsForOtherStep = 4 };

// Tells whoever watches (OutputDebugStringA) what start-up waits for and that it tries again
// every `retryIntervalMs`, once for each thing it waits for in the life of the process.
void AnnounceStartupWait(UINT retryIntervalMs);

// Registers the process as a service process where KERNEL32 offers the call (Windows 95, 98 and
// ME, which end every other process at log-off; NT-based Windows lacks it). 1 when it is one,
// else 0; kept in serviceState.serviceProcess.
int RegisterAsServiceProcess();
// 1 when WM_ENDSESSION with this lParam ends the agent, whatever its wParam: every end of a
// session does, and so does one that is called off (wParam FALSE), as the agent has always
// ended on it. 0 only for a log-off (ENDSESSION_LOGOFF) when the agent is a service process,
// which Windows 95, 98 and ME let outlive the log-off.
int SessionEndEndsAgent(LPARAM how);

// The steps; each returns 1 for success and 0 for failure, but for UnregisterCi, which
// returns the library's status.
int ConnectToServiceProvider();
int FindOrInstallComponent(const char* classText);
int BuildMifPath(char* buffer);
int UnregisterManagement();
int RegisterCi();
DmiErrorStatus UnregisterCi();

inline constexpr char ComponentClass[] = "ZUL|CSR|";
inline constexpr char MifFileSuffix[] = "\\system\\korvo.mif";
inline constexpr int ProbeAttempts = 4;
inline constexpr int RegisterRetries = 5;
inline constexpr DWORD RegisterRetryPauseMs = 1000;
inline constexpr DWORD RspSimpleService = 1;  // RegisterServiceProcess: register

// The pause between DmiRegister attempts; tests replace it so they need not wait.
using SleepFunction = void(WINAPI*)(DWORD);
extern SleepFunction startupSleep;

// The library-binding step; tests put a fake library's table in place instead.
using LoadLibraryStep = int (*)();
extern LoadLibraryStep startupLoadLibrary;

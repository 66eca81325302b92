// The start-up sequence that takes the agent from a bare process to a registered component
// instrumentation of the local DMI service provider, and the shutdown that undoes the
// registration in force. Both run on the window's thread.
#pragma once

#include "dmi/dmi.h"
#include "platform.h"

// 1 when the CI registration is in force at the end of the attempt, else 0.
int RunStartup();
void RunShutdown();

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

// The pause between DmiRegister attempts; tests replace it so they need not wait.
using SleepFunction = void(WINAPI*)(DWORD);
extern SleepFunction startupSleep;

// The library-binding step; tests put a fake library's table in place instead.
using LoadLibraryStep = int (*)();
extern LoadLibraryStep startupLoadLibrary;

// Binding the DMI client library at run time.
#pragma once

// The DMI client library's file name, looked for in the current directory among others.
inline constexpr char DmiLibraryName[] = "Wcdmi.dll";

// Loads Wcdmi.dll once per process (from $WIN32DMIPATH\bin, made the current directory first)
// and resolves its 57 entry points into DmiApi. 1 when this call loaded the library; 0 when
// it could not be loaded or was loaded before.
int LoadDmiLibrary();

// 1 when every entry point the agent calls was resolved.
int DmiApiIsComplete();

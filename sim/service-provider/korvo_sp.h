// What Wcdmi.dll exports, for code that links it rather than loading it by name: the 57 DMI
// entry points as functions, and the library's own controls that tests and hardening runs use
// to see its memory account and to steer it.
#pragma once

#include <stddef.h>

#include "dmi/dmi.h"

// KORVO_SP_API, what marks a function for export on this platform, comes from the build.

extern "C" {

#define KORVO_SP_DECLARE_ENTRY_POINT(name, result, params) KORVO_SP_API result name params;
KORVO_DMI_ENTRY_POINTS(KORVO_SP_DECLARE_ENTRY_POINT)
#undef KORVO_SP_DECLARE_ENTRY_POINT

// Blocks handed out by New, Alloc and List calls that are not freed yet.
KORVO_SP_API unsigned KorvoSpOutstandingBlocks(void);

// Frees of blocks never handed out, second frees, and records freed by the wrong call, since
// the library was loaded.
KORVO_SP_API unsigned KorvoSpBadFrees(void);

// Writes a text report (the counts, one line per outstanding block, the latest bad frees) into
// `buffer` as far as `capacity` allows, always terminated when capacity > 0. Returns the
// report's full length, so a caller can size a second try.
KORVO_SP_API size_t KorvoSpReport(char* buffer, size_t capacity);

// Makes the Nth allocating call from now fail with status 0x204 (out of memory) and a null
// result; 0 turns the injection off. KORVO_SP_FAIL_ALLOCATION=N does the same at load.
KORVO_SP_API void KorvoSpFailAllocation(unsigned n);

// Stops the management socket, forgets every registration and the open database, and lets the
// next call read WIN32DMIPATH afresh. Memory accounting goes on. Call it when no other thread
// is inside the library.
KORVO_SP_API void KorvoSpShutdown(void);

}  // extern "C"

/* The kernel services behind the model's C++ runtime: memory from the non-paged pool and the bug
 * check that stops the system when the runtime cannot go on. */
#include <ddk/wdm.h>
#include <stdarg.h>
#include <stdio.h>

#include "model_bridge.h"

#define POOL_TAG 0x646D764Bu /* "Kvmd" in a pool dump */

/* A custom bug check code (bit 29 set: not one of the system's). */
#define KORVO_BUG_CHECK 0xE0DA0001u

void* KorvoAllocate(size_t size) {
    return ExAllocatePoolWithTag(NonPagedPool, size == 0 ? 1 : size, POOL_TAG);
}

void KorvoFree(void* memory) {
    if (memory != NULL) {
        ExFreePoolWithTag(memory, POOL_TAG);
    }
}

void KorvoStop(uintptr_t reason, const char* what) {
    DbgPrint("korvodmi: fatal: %s\n", what);
    KeBugCheckEx(KORVO_BUG_CHECK, reason, (ULONG_PTR)what, 0, 0);
}

/* The C++ library's snprintf, on the kernel's _vsnprintf: the model formats only short
 * hexadecimal numbers into buffers large enough for them, so the two agree; the text is
 * terminated even when cut. */
int __mingw_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
    if (size == 0) {
        return 0;
    }
    const int written = _vsnprintf(buffer, size, format, arguments);
    buffer[size - 1] = '\0';
    return written;
}

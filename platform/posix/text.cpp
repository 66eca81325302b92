// wsprintfA on the host: the C library's formatting, held to USER32's 1024-byte limit.
#include <stdarg.h>
#include <stdio.h>

#include "platform.h"

extern "C" {

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    constexpr int Limit = 1024;  // bytes USER32 writes at most, the terminator included
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(buffer, Limit, format, arguments);
    va_end(arguments);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return length < Limit ? length : Limit - 1;
}

}  // extern "C"

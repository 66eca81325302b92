// MessageBoxA on a host with nobody to show a box to: the box becomes one line on standard
// error, "CAPTION: TEXT", and the call returns at once as if OK had been pressed. Likewise
// OutputDebugStringA, with no debugger to listen: "PROGRAM: TEXT".
#include <errno.h>  // program_invocation_short_name
#include <stdio.h>

#include <string>

#include "platform.h"

extern "C" {

namespace {

// Writes "WHO: TEXT" as one line of standard error: readers of the log rely on it.
void SayOnOneLine(const char* who, LPCSTR text) {
    std::string line = who;
    line += ": ";
    line += text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    line += '\n';
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

}  // namespace

int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT /*type*/) {
    SayOnOneLine(caption != nullptr ? caption : "Error", text);  // Win32's default caption
    return IDOK;
}

void OutputDebugStringA(LPCSTR text) {
    SayOnOneLine(program_invocation_short_name, text);
}

}  // extern "C"

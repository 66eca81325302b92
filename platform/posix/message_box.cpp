// MessageBoxA on a host with nobody to show a box to: the box becomes one line on standard
// error, "CAPTION: TEXT", and the call returns at once as if OK had been pressed.
#include <stdio.h>

#include <string>

#include "platform.h"

extern "C" {

int MessageBoxA(HWND /*owner*/, LPCSTR text, LPCSTR caption, UINT /*type*/) {
    std::string line = caption != nullptr ? caption : "Error";  // Win32's default caption
    line += ": ";
    line += text != nullptr ? text : "";
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';  // one box, one line: readers of the log rely on it
        }
    }
    line += '\n';
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
    return IDOK;
}

}  // extern "C"

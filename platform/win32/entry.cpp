// The agent's process entry on Windows, in place of a C runtime's start-up code: runs the
// program's static constructors, hands control to WinMain with what Windows gives a program (the
// module, the command line after the program's name, the start-up show state) and ends the
// process with WinMain's result. The agent links no C runtime: the first Windows 95 releases
// carry no msvcrt.dll, and mingw-w64's start-up code needs a Pentium Pro.
#include <cstddef>

#include "platform.h"

extern "C" {
// The linker's list of static constructors: -1, the constructors' addresses, 0.
extern void (*__CTOR_LIST__[])();
void AgentEntry();  // never returns: it ends the process
}

namespace {

// In the reverse order of the list, as the compiler's own start-up code calls them.
void RunConstructors() {
    std::size_t count = 0;
    while (__CTOR_LIST__[count + 1] != nullptr) {
        ++count;
    }
    for (; count > 0; --count) {
        __CTOR_LIST__[count]();
    }
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The command line after the program's name, which may be quoted and hold blanks.
LPSTR ArgumentsOf(LPSTR line) {
    bool quoted = false;
    while (*line != '\0' && (quoted || !IsBlank(*line))) {
        if (*line == '"') {
            quoted = !quoted;
        }
        ++line;
    }
    while (IsBlank(*line)) {
        ++line;
    }
    return line;
}

}  // namespace

// Windows enters with the stack aligned to 4 bytes only.
__attribute__((force_align_arg_pointer)) void AgentEntry() {
    RunConstructors();
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int showCommand =
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess(static_cast<UINT>(
        WinMain(GetModuleHandleA(nullptr), nullptr, ArgumentsOf(GetCommandLineA()), showCommand)));
}

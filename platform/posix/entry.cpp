// The process entry of a program built on the host layer: main() hands control to WinMain the
// way the Windows runtime does, with the module's instance handle and the start-up show state.
#include <string>

#include "platform.h"

namespace {
char moduleToken;  // its address stands for the module instance handle
}

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            commandLine += ' ';
        }
        commandLine += argv[i];
    }
    return WinMain(reinterpret_cast<HINSTANCE>(&moduleToken), nullptr, commandLine.data(),
                   SW_SHOWDEFAULT);
}

// The process entry of a program built on the host layer: answers --help and --version the
// way a Linux program does, refuses any other argument with a usage line (exit 2), else hands
// control to WinMain as the Windows runtime does, with the module's instance handle and the
// start-up show state.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

char moduleToken;  // its address stands for the module instance handle

constexpr char kUsage[] = "usage: korvoci [--help | --version]\n";

// What --help prints after the usage line.
constexpr char kHelp[] =
    "\n"
    "The DMI component instrumentation agent of the KORVO Ethernet adapters. It registers\n"
    "the adapter component with the DMI service provider, answers the service provider's\n"
    "reads and writes of its attributes through the adapter driver's control device, and\n"
    "originates an event when the failover pair changes its active adapter. It runs in the\n"
    "background with a hidden window (class KORVO) until its session ends; a second\n"
    "instance ends at once.\n"
    "\n"
    "It takes no arguments; the machine it runs on comes from the environment:\n"
    "  KORVO_ROOT    the machine's root: the control device, window sockets, registry.reg\n"
    "  WIN32DMIPATH  the DMI service provider's directory (bin/Wcdmi.dll, dmi.sock)\n"
    "  windir        the Windows directory (system/korvo.mif, the installed driver files)\n"
    "\n"
    "It ends on SIGTERM or SIGINT (the session ending), or on WM_CLOSE, or WM_ENDSESSION\n"
    "with wParam TRUE that is not a log-off, posted to its window (dmicli post-message\n"
    "KORVO WM_CLOSE). A log-off (lParam ENDSESSION_LOGOFF) does not end it.\n"
    "\n"
    "Options:\n"
    "  -h, --help  this help\n"
    "  --version   the version\n"
    "\n"
    "Exit status: 0 after a normal end, also when another instance runs; 2 for an argument\n"
    "it does not know (it then starts nothing).\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("korvoci " KORVO_VERSION);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "korvoci: unknown %s '%s'\n%s",
                     argv[1][0] == '-' ? "option" : "argument", argv[1], kUsage);
        return 2;
    }
    char commandLine[] = "";
    return WinMain(reinterpret_cast<HINSTANCE>(&moduleToken), nullptr, commandLine, SW_SHOWDEFAULT);
}

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
    "It takes no arguments; the machine it runs on comes from the environment. It ends on\n"
    "SIGTERM or SIGINT (the session ending), or on WM_CLOSE or WM_ENDSESSION posted to its\n"
    "window (dmicli post-message KORVO WM_CLOSE). A log-off (WM_ENDSESSION with lParam\n"
    "ENDSESSION_LOGOFF) does not end it once it is a service process.\n"
    "\n"
    "Options:\n"
    "  -h, --help    this help\n"
    "  --version     the version\n"
    "\n"
    "Environment:\n"
    "  KORVO_ROOT    the machine's root: the control device, window sockets, registry.reg\n"
    "                (default $XDG_RUNTIME_DIR/korvo, else /tmp/korvo-UID)\n"
    "  WIN32DMIPATH  the DMI service provider's directory (bin/Wcdmi.dll, dmi.sock)\n"
    "  windir        the Windows directory (system/korvo.mif, the installed driver files)\n"
    "\n"
    "Files:\n"
    "  $KORVO_ROOT/devices/korvodmi.vxd\n"
    "                the adapter driver's control device\n"
    "  $KORVO_ROOT/registry.reg\n"
    "                the registry: the PCI slot table\n"
    "  $WIN32DMIPATH/bin/Wcdmi.dll\n"
    "                the DMI service provider's library it loads\n"
    "  $windir/system/korvo.mif\n"
    "                the component's MIF file it installs\n"
    "\n"
    "Examples:\n"
    "  A machine laid out by scripts/lay-out-machine, its adapter, the agent, its end:\n"
    "    $ eval \"$(scripts/lay-out-machine /tmp/korvo build/host-debug)\"\n"
    "    $ korvo-adapter serve --quiet --background\n"
    "    $ korvoci &\n"
    "    $ dmicli post-message KORVO WM_CLOSE\n"
    "\n"
    "Exit status: 0 after a normal end, also when another instance runs; 2 for an argument\n"
    "it does not know (it then starts nothing).\n"
    "\n"
    "See also:\n"
    "  korvo-adapter(1), dmicli(1), dmi-snmp(1)\n";

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

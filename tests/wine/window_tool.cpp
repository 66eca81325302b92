// korvo-wine-window: what the tests under Wine do to the agent's windows from another Windows
// process, as a person or another program would on Windows: wait for a window class, post a
// message to it, and find and dismiss a message box (a modal dialog of class #32770, which
// blocks its process until someone presses OK); measure the memory of a window's process as
// Windows counts it; and say which Windows version Wine gives a program of its file name (a
// copy of this tool named korvoci.exe shows the agent's).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr char kDialogClass[] = "#32770";
constexpr DWORD kPollIntervalMs = 50;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;

void Usage() {
    std::fprintf(stderr,
                 "usage: korvo-wine-window wait CLASS SECONDS     a window of CLASS exists\n"
                 "       korvo-wine-window gone CLASS SECONDS     no window of CLASS exists\n"
                 "       korvo-wine-window post CLASS MESSAGE WPARAM [LPARAM]\n"
                 "       korvo-wine-window dismiss-box SECONDS    prints \"CAPTION: TEXT\", "
                 "presses OK\n"
                 "       korvo-wine-window memory CLASS           committed KiB of the window's "
                 "process\n"
                 "       korvo-wine-window version                \"MAJOR.MINOR 9x|nt\" as this "
                 "program sees it\n");
}

std::optional<unsigned long long> ParseNumber(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

// Polls `found` until it holds or `seconds` pass.
template <typename Condition>
bool WaitFor(Condition found, unsigned long long seconds) {
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000;
    while (!found()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(kPollIntervalMs);
    }
    return true;
}

std::string StaticText(HWND dialog) {
    std::string text;
    for (HWND child = FindWindowExA(dialog, nullptr, "Static", nullptr); child != nullptr;
         child = FindWindowExA(dialog, child, "Static", nullptr)) {
        char part[512] = {};
        GetWindowTextA(child, part, sizeof part);
        if (part[0] != '\0') {
            text += text.empty() ? "" : " ";
            text += part;
        }
    }
    return text;
}

int DismissBox(unsigned long long seconds) {
    HWND box = nullptr;
    // A box is found from the moment its window exists, but its caption and text are set while
    // it initialises, before it is shown: only a visible box is read.
    const auto shown = [&box] {
        box = FindWindowA(kDialogClass, nullptr);
        return box != nullptr && IsWindowVisible(box);
    };
    if (!WaitFor(shown, seconds)) {
        std::fprintf(stderr, "korvo-wine-window: no message box within %llu s\n", seconds);
        return kExitNotFound;
    }
    char caption[256] = {};
    GetWindowTextA(box, caption, sizeof caption);
    std::printf("%s: %s\n", caption, StaticText(box).c_str());
    std::fflush(stdout);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

// The committed memory of the process that owns the window of `windowClass`, walked region by
// region: "private" is what the process allocated for itself (heaps, stacks, the C runtime's
// data), which counts against the machine's memory and swap file; "image" is its mapped
// executable and DLLs, shared with every other process that maps the same file but for the
// pages it wrote.
int Memory(const char* windowClass) {
    HWND window = FindWindowA(windowClass, nullptr);
    DWORD processId = 0;
    if (window == nullptr || GetWindowThreadProcessId(window, &processId) == 0) {
        std::fprintf(stderr, "korvo-wine-window: no window of class %s\n", windowClass);
        return kExitNotFound;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        std::fprintf(stderr, "korvo-wine-window: OpenProcess failed: error %lu\n", GetLastError());
        return kExitNotFound;
    }
    unsigned long long privateBytes = 0;
    unsigned long long imageBytes = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* address = nullptr;
         VirtualQueryEx(process, address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State != MEM_COMMIT) {
            continue;
        }
        if (region.Type == MEM_PRIVATE) {
            privateBytes += region.RegionSize;
        } else if (region.Type == MEM_IMAGE) {
            imageBytes += region.RegionSize;
        }
    }
    CloseHandle(process);
    std::printf("private_kib=%llu image_kib=%llu\n", privateBytes / 1024, imageBytes / 1024);
    return 0;
}

int Version() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        std::fprintf(stderr, "korvo-wine-window: GetVersionExA failed: error %lu\n",
                     GetLastError());
        return kExitNotFound;
    }
    std::printf("%lu.%lu %s\n", version.dwMajorVersion, version.dwMinorVersion,
                version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? "9x" : "nt");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return kExitUsage;
    }
    const std::string_view verb = argv[1];
    if (verb == "version" && argc == 2) {
        return Version();
    }
    if (verb == "memory" && argc == 3) {
        return Memory(argv[2]);
    }
    if ((verb == "wait" || verb == "gone") && argc == 4) {
        const auto seconds = ParseNumber(argv[3]);
        if (!seconds) {
            Usage();
            return kExitUsage;
        }
        const char* windowClass = argv[2];
        const bool wanted = verb == "wait";
        if (WaitFor([&] { return (FindWindowA(windowClass, nullptr) != nullptr) == wanted; },
                    *seconds)) {
            return 0;
        }
        std::fprintf(stderr, "korvo-wine-window: a window of class %s %s after %llu s\n",
                     windowClass, wanted ? "is still missing" : "is still there", *seconds);
        return kExitNotFound;
    }
    if (verb == "post" && (argc == 5 || argc == 6)) {
        const auto message = ParseNumber(argv[3]);
        const auto wParam = ParseNumber(argv[4]);
        const auto lParam = argc == 6 ? ParseNumber(argv[5]) : std::optional(0ull);
        if (!message || !wParam || !lParam) {
            Usage();
            return kExitUsage;
        }
        HWND window = FindWindowA(argv[2], nullptr);
        if (window == nullptr) {
            std::fprintf(stderr, "korvo-wine-window: no window of class %s\n", argv[2]);
            return kExitNotFound;
        }
        if (!PostMessageA(window, static_cast<UINT>(*message), static_cast<WPARAM>(*wParam),
                          static_cast<LPARAM>(*lParam))) {
            std::fprintf(stderr, "korvo-wine-window: PostMessageA failed: error %lu\n",
                         GetLastError());
            return kExitNotFound;
        }
        return 0;
    }
    if (verb == "dismiss-box" && argc == 3) {
        const auto seconds = ParseNumber(argv[2]);
        if (!seconds) {
            Usage();
            return kExitUsage;
        }
        return DismissBox(*seconds);
    }
    Usage();
    return kExitUsage;
}

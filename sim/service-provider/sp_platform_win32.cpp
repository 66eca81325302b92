// The service provider's operating system on Windows, for the tests that run the Windows build
// under Wine: Wine has no Unix-domain sockets, so the management endpoint is a TCP socket on
// 127.0.0.1 whose port is written to dmi.port; files are Win32 files locked with LockFileEx.
// See sp_platform.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "korvo/provider_files.h"
#include "korvo/temporary_file.h"
#include "sp_platform.h"

namespace korvo::sp::os {
namespace {

using korvo::management::kPortFileName;
constexpr unsigned long kLoopbackNetwork = 0x7F000000;  // 127.0.0.0/8
constexpr unsigned long kLoopbackMask = 0xFF000000;

SOCKET Native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

std::string Win32ErrorText(DWORD code) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(code) : message;
}

std::string LastError() {
    return Win32ErrorText(GetLastError());
}

std::string LastSocketError() {
    return Win32ErrorText(static_cast<DWORD>(WSAGetLastError()));
}

bool StartWinsock(std::string* error) {
    static std::once_flag once;
    static int started = -1;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (started != 0) {
        *error = "cannot start Winsock: " + Win32ErrorText(static_cast<DWORD>(started));
        return false;
    }
    return true;
}

SOCKET NewSocket(int type, int protocol) {
    return WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

unsigned short BoundPort(SOCKET socket) {
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

std::string PortFileOf(const std::string& socketPath) {
    const auto slash = socketPath.find_last_of("/\\");
    return (slash == std::string::npos ? std::string() : socketPath.substr(0, slash + 1)) +
           kPortFileName;
}

// The port a port file names; 0 when it is missing or holds something else.
unsigned short PortIn(const std::string& portFile) {
    std::ifstream file(portFile);
    unsigned long port = 0;
    if (!(file >> port) || port == 0 || port > 0xFFFF) {
        return 0;
    }
    return static_cast<unsigned short>(port);
}

// True when something accepts connections on the loopback port.
bool SomeoneListens(unsigned short port) {
    const SOCKET probe = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) {
        return false;
    }
    const sockaddr_in address = Loopback(port);
    const bool listens =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    closesocket(probe);
    return listens;
}

void CloseIfOpen(Socket* socket) {
    if (*socket != kNoSocket) {
        closesocket(Native(*socket));
        *socket = kNoSocket;
    }
}

HANDLE OpenShared(const std::string& path, DWORD access, DWORD disposition) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAll(HANDLE file, const std::string& bytes, size_t* written) {
    *written = 0;
    while (*written < bytes.size()) {
        DWORD put = 0;
        const size_t left = bytes.size() - *written;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        if (!WriteFile(file, bytes.data() + *written, chunk, &put, nullptr) || put == 0) {
            return false;
        }
        *written += put;
    }
    return true;
}

}  // namespace

bool OpenEndpoint(const std::string& socketPath, Endpoint* endpoint, std::string* error) {
    if (!StartWinsock(error)) {
        return false;
    }
    const std::string portFile = PortFileOf(socketPath);
    if (const unsigned short port = PortIn(portFile); port != 0 && SomeoneListens(port)) {
        *error = "cannot serve the management port named in " + portFile +
                 ": another service provider serves it";
        return false;
    }
    Endpoint made;
    made.file = portFile;
    const auto fail = [&](const std::string& what) {
        *error = "cannot serve the management port: " + what;
        CloseIfOpen(&made.listener);
        CloseIfOpen(&made.wakeReceiver);
        CloseIfOpen(&made.wakeSender);
        return false;
    };
    const SOCKET listener = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        return fail("cannot make a socket: " + LastSocketError());
    }
    made.listener = static_cast<Socket>(listener);
    // Loopback only, and no other socket may take the port over while it is ours.
    const BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    const sockaddr_in any = Loopback(0);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        return fail("cannot listen on 127.0.0.1: " + LastSocketError());
    }
    const unsigned short port = BoundPort(listener);
    // The accept loop's wake-up: a datagram from one loopback socket to another.
    const SOCKET receiver = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    const SOCKET sender = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    made.wakeReceiver = receiver == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(receiver);
    made.wakeSender = sender == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(sender);
    if (receiver == INVALID_SOCKET || sender == INVALID_SOCKET ||
        bind(receiver, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        return fail("cannot make the server's wake-up socket: " + LastSocketError());
    }
    const sockaddr_in wakeAddress = Loopback(BoundPort(receiver));
    if (port == 0 || wakeAddress.sin_port == 0 ||
        connect(sender, reinterpret_cast<const sockaddr*>(&wakeAddress), sizeof wakeAddress) != 0) {
        return fail("cannot address the server's sockets: " + LastSocketError());
    }
    std::string written;
    if (!ReplaceFileContents(portFile, std::to_string(port) + "\n", &written)) {
        return fail(written);
    }
    made.fileIdentity = port;
    *endpoint = std::move(made);
    return true;
}

// How long accepting rests when no socket is left, as on POSIX.
constexpr DWORD kAcceptBackoffMs = 100;

AcceptResult AcceptNext(Endpoint& endpoint, Socket* connection) {
    WSAPOLLFD waiting[2] = {};
    waiting[0].fd = Native(endpoint.listener);
    waiting[0].events = POLLRDNORM;
    waiting[1].fd = Native(endpoint.wakeReceiver);
    waiting[1].events = POLLRDNORM;
    if (WSAPoll(waiting, 2, -1) == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEINTR ? AcceptResult::nothing : AcceptResult::woken;
    }
    if (waiting[1].revents != 0) {
        return AcceptResult::woken;
    }
    if ((waiting[0].revents & POLLRDNORM) == 0) {
        return AcceptResult::nothing;
    }
    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET accepted =
        accept(Native(endpoint.listener), reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted == INVALID_SOCKET) {
        if (WSAGetLastError() == WSAEMFILE || WSAGetLastError() == WSAENOBUFS) {
            Sleep(kAcceptBackoffMs);  // out of sockets: let the waiting ones wait
        }
        return AcceptResult::nothing;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    if (peer.sin_family != AF_INET ||
        (ntohl(peer.sin_addr.s_addr) & kLoopbackMask) != kLoopbackNetwork) {
        closesocket(accepted);  // listening on loopback alone, so never expected
        return AcceptResult::nothing;
    }
    *connection = static_cast<Socket>(accepted);
    return AcceptResult::connection;
}

void WakeEndpoint(Endpoint& endpoint) {
    send(Native(endpoint.wakeSender), "x", 1, 0);
}

void CloseEndpoint(Endpoint& endpoint) {
    CloseIfOpen(&endpoint.listener);
    CloseIfOpen(&endpoint.wakeReceiver);
    CloseIfOpen(&endpoint.wakeSender);
    // Remove the port file only when it still names our port.
    if (endpoint.fileIdentity != 0 && PortIn(endpoint.file) == endpoint.fileIdentity) {
        DeleteFileA(endpoint.file.c_str());
    }
}

long ReceiveSome(Socket socket, char* buffer, size_t size) {
    const int capacity = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    for (;;) {
        const int got = recv(Native(socket), buffer, capacity, 0);
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) {
            continue;
        }
        return got == SOCKET_ERROR ? -1 : got;
    }
}

bool SendAll(Socket socket, const void* data, size_t size, int timeoutMs) {
    const char* bytes = static_cast<const char*>(data);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    while (size > 0) {
        // A blocking send waits for room; the send timeout bounds each wait by what is left.
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        const DWORD left = static_cast<DWORD>(deadline - now);
        setsockopt(Native(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&left),
                   sizeof left);
        const int chunk = size > 0x10000000 ? 0x10000000 : static_cast<int>(size);
        const int put = send(Native(socket), bytes, chunk, 0);
        if (put == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool WaitReadable(Socket socket, int timeoutMs) {
    WSAPOLLFD waiting{};
    waiting.fd = Native(socket);
    waiting.events = POLLRDNORM;
    return WSAPoll(&waiting, 1, timeoutMs) > 0;
}

bool PeerGone(Socket socket) {
    WSAPOLLFD waiting{};
    waiting.fd = Native(socket);
    waiting.events = POLLRDNORM;
    if (WSAPoll(&waiting, 1, 0) <= 0) {
        return false;
    }
    if ((waiting.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return true;
    }
    char ignored[256];
    const int got = recv(Native(socket), ignored, sizeof ignored, 0);  // readable: no wait
    return got == 0 || (got == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK &&
                        WSAGetLastError() != WSAEINTR);
}

void ShutdownSocket(Socket socket) {
    shutdown(Native(socket), SD_BOTH);
}

void CloseSocket(Socket socket) {
    closesocket(Native(socket));
}

bool EnsurePrivateDirectory(const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    std::error_code failure;
    std::filesystem::create_directories(path, failure);
    if (std::filesystem::is_directory(path)) {
        return true;
    }
    errno = failure ? ENOENT : ENOTDIR;
    return false;
}

void RequirePrivateDirectory(const std::string& /*path*/) {}

bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error,
                   bool* missing) {
    if (missing != nullptr) {
        *missing = false;
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        if (missing != nullptr) {
            *missing = GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
        }
        *error = "cannot read " + path + ": " + LastError();
        return false;
    }
    const auto size = static_cast<long long>(file.tellg());
    if (size < 0 || size > static_cast<long long>(kMaxFileBytes)) {
        *error = "cannot read " + path + ": it is larger than " + std::to_string(kMaxFileBytes) +
                 " bytes";
        return false;
    }
    contents->assign(static_cast<size_t>(size), '\0');
    file.seekg(0);
    if (!file.read(contents->data(), size)) {
        *error = "cannot read " + path;
        return false;
    }
    return true;
}

std::string ResolvePath(const std::string& windowsPath) {
    return windowsPath;  // Windows opens its own paths, in any case
}

FileStamp StampOf(const std::string& path) {
    FileStamp stamp;
    const HANDLE file = OpenShared(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        return stamp;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info)) {
        stamp.device = info.dwVolumeSerialNumber;
        stamp.identity = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        stamp.size = static_cast<long long>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                            info.nFileSizeLow);
        const uint64_t written =
            (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
            info.ftLastWriteTime.dwLowDateTime;
        stamp.modifiedNs = static_cast<long long>(written) * 100;  // 100 ns units
    }
    CloseHandle(file);
    return stamp;
}

bool ReplaceFileContents(const std::string& path, const std::string& contents, std::string* error) {
    // A name of this write's own, created new: nothing planted under a name known in advance
    // is in the way.
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE && attempt < kTemporaryFileAttempts;
         ++attempt) {
        temporary = TemporaryFileFor(path, GetCurrentProcessId());
        file = OpenShared(temporary, GENERIC_WRITE, CREATE_NEW);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot create " + temporary + ": " + LastError();
        return false;
    }
    size_t written = 0;
    if (!WriteAll(file, contents, &written) || !FlushFileBuffers(file)) {
        *error = "cannot write " + temporary + ": " + LastError();
        CloseHandle(file);
        DeleteFileA(temporary.c_str());
        return false;
    }
    CloseHandle(file);
    if (!MoveFileExA(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = "cannot rename " + temporary + " to " + path + ": " + LastError();
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

bool AppendWhole(const std::string& path, const std::string& line, std::string* error) {
    // Opened for appending only, so that every write goes to the end of the file.
    const HANDLE file = OpenShared(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + path + ": " + LastError();
        return false;
    }
    size_t written = 0;
    const bool whole = WriteAll(file, line, &written);
    const std::string failure = whole ? std::string() : LastError();
    if (!whole && written > 0) {
        size_t ended = 0;
        WriteAll(file, "\n", &ended);  // the next line starts a line of its own
    }
    CloseHandle(file);
    if (!whole) {
        *error = "cannot append to " + path + ": " + failure;
    }
    return whole;
}

void RemoveFile(const std::string& path) {
    DeleteFileA(path.c_str());
}

FileLock::~FileLock() {
    if (handle_ != -1) {
        const HANDLE file = reinterpret_cast<HANDLE>(handle_);
        OVERLAPPED whole{};
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
        CloseHandle(file);
    }
}

bool FileLock::Acquire(const std::string& path, std::string* error) {
    const HANDLE file = OpenShared(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot lock " + path + ": " + LastError();
        return false;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        *error = "cannot lock " + path + ": " + LastError();
        CloseHandle(file);
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

LocalTime Now() {
    constexpr uint64_t kTicksPerMicrosecond = 10;
    constexpr int64_t kTicksPerMinute = 600000000;
    FILETIME utcTicks{};
    GetSystemTimeAsFileTime(&utcTicks);
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    FileTimeToSystemTime(&utcTicks, &utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        local = utc;
    }
    FILETIME localTicks{};
    SystemTimeToFileTime(&local, &localTicks);
    const auto ticks = [](const FILETIME& time) {
        return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                    time.dwLowDateTime);
    };
    const int64_t utcWhole = ticks(utcTicks);
    LocalTime time;
    time.year = local.wYear;
    time.month = local.wMonth;
    time.day = local.wDay;
    time.hour = local.wHour;
    time.minute = local.wMinute;
    time.second = local.wSecond;
    time.microseconds =
        static_cast<long>((static_cast<uint64_t>(utcWhole) / kTicksPerMicrosecond) % 1000000);
    // The SYSTEMTIMEs keep milliseconds only: compare them at whole milliseconds.
    const int64_t utcMilliseconds = utcWhole - utcWhole % 10000;
    time.offsetMinutes = static_cast<long>((ticks(localTicks) - utcMilliseconds) / kTicksPerMinute);
    return time;
}

namespace {
bool processEnding = false;
}  // namespace

bool ProcessEnding() {
    return processEnding;
}

}  // namespace korvo::sp::os

// The library's entry: a detach with `reserved` set is the process ending (ExitProcess), not a
// FreeLibrary. The runtime calls it before the library's static destructors.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        korvo::sp::os::processEnding = true;
    }
    return TRUE;
}

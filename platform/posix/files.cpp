// Handles on the host: CreateFileA opens a file (by a Windows path) or connects to a control
// device \\.\NAME; DeviceIoControl makes one exchange with the device over its socket, or over
// the transport put in its place (device_transport.h); GetFileSize and CloseHandle work on
// either. Errors are reported the Win32 way, through GetLastError. Nothing here waits without a
// deadline: only regular files are opened, and a device exchange or connection gives up after
// 5 seconds, or at once when the session ends.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "device_transport.h"
#include "host_tuning.h"
#include "korvo/driver_protocol.h"
#include "platform.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;
std::atomic<int> deviceReplyTimeoutMs{korvo::host::kSocketDeadlineMs};

constexpr char kDevicePrefix[] = "\\\\.\\";

struct HostHandle {
    enum class Kind { File, Device } kind;
    int fd;  // a file's descriptor, or the device connection of `transport`
    const korvo::host::DeviceTransport* transport = nullptr;
    bool broken = false;  // a device connection whose last exchange failed part-way
};

// The handles CreateFileA gave out and CloseHandle has not taken back: any other value, a
// closed handle among them, is refused with ERROR_INVALID_HANDLE rather than dereferenced.
std::mutex liveHandlesLock;
std::unordered_set<const void*> liveHandles;

HANDLE AddHandle(HostHandle::Kind kind, int fd,
                 const korvo::host::DeviceTransport* transport = nullptr) {
    auto* handle = new HostHandle{kind, fd, transport};
    std::lock_guard lock(liveHandlesLock);
    liveHandles.insert(handle);
    return handle;
}

HostHandle* FromHandle(HANDLE handle) {
    std::lock_guard lock(liveHandlesLock);
    return liveHandles.contains(handle) ? static_cast<HostHandle*>(handle) : nullptr;
}

// Takes the handle out of the live set; null when it was not in it.
HostHandle* TakeHandle(HANDLE handle) {
    std::lock_guard lock(liveHandlesLock);
    return liveHandles.erase(handle) == 1 ? static_cast<HostHandle*>(handle) : nullptr;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case ENXIO:  // a FIFO without a reader, a socket, a device without its driver
        case ENODEV:
        case ELOOP:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

using korvo::driver::kReplyHeaderSize;
using korvo::driver::kRequestHeaderSize;

// Exchanges up to this size (the agent's are 40 bytes out, 32 back) go through a buffer on the
// stack; larger ones through the heap.
constexpr size_t kStackExchangeSize = 256;

// Moves `size` bytes to (`sending`) or from the device before `deadline`; false when the
// connection breaks, the deadline passes or the session ends first. A request goes out at
// once, as the socket nearly always has room for it; a reply is waited for first.
bool Transfer(int fd, unsigned char* bytes, size_t size, bool sending, long long deadline) {
    const int ending = korvo::host::SessionEndingFd();
    size_t done = 0;
    if (sending && !korvo::host::SessionEnding()) {
        const ssize_t moved = send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (moved < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        done = moved > 0 ? static_cast<size_t>(moved) : 0;
    }
    while (done < size) {
        pollfd waiting[2] = {{fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0},
                             {ending, POLLIN, 0}};
        const int ready =
            poll(waiting, ending >= 0 ? 2 : 1, korvo::host::MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || korvo::host::SessionEnding()) {
            return false;
        }
        const ssize_t moved = sending
                                  ? send(fd, bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                                  : recv(fd, bytes + done, size - done, MSG_DONTWAIT);
        if (moved < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        done += static_cast<size_t>(moved);
    }
    return true;
}

int OpenDeviceSocket(const char* name) {
    return korvo::host::ConnectUnix(korvo::host::DevicePath(name),
                                    korvo::host::DeviceReplyTimeoutMs());
}

korvo::host::DeviceCall ExchangeOverSocket(int fd, uint32_t controlCode, const void* input,
                                           uint32_t inputSize, void* output, uint32_t outputSize,
                                           uint32_t* bytesReturned) {
    // One buffer serves the request and then the reply, which is never the larger.
    const size_t requestSize = kRequestHeaderSize + size_t{inputSize} + outputSize;
    const size_t replySize = kReplyHeaderSize + size_t{outputSize};
    unsigned char stackBuffer[kStackExchangeSize];
    std::unique_ptr<unsigned char[]> heapBuffer;
    unsigned char* buffer = stackBuffer;
    if (requestSize > sizeof stackBuffer) {
        heapBuffer = std::make_unique_for_overwrite<unsigned char[]>(requestSize);
        buffer = heapBuffer.get();
    }
    korvo::driver::EncodeRequestHeader({controlCode, inputSize, outputSize}, buffer);
    unsigned char* end = buffer + kRequestHeaderSize;
    if (inputSize != 0) {
        std::memcpy(end, input, inputSize);
        end += inputSize;
    }
    if (outputSize != 0) {
        std::memcpy(end, output, outputSize);
    }
    unsigned char* reply = buffer;
    // One deadline for the whole exchange, however slowly the device takes or gives the bytes.
    const long long deadline = korvo::host::SteadyNowMs() + korvo::host::DeviceReplyTimeoutMs();
    if (!Transfer(fd, buffer, requestSize, true, deadline) ||
        !Transfer(fd, reply, replySize, false, deadline)) {
        // Broken connection, short reply or no reply in time.
        return korvo::host::DeviceCall::Broken;
    }
    if (outputSize != 0) {
        std::memcpy(output, reply + kReplyHeaderSize, outputSize);
    }
    const korvo::driver::ReplyHeader header = korvo::driver::DecodeReplyHeader(reply);
    *bytesReturned = header.bytesReturned;
    return header.success != 0 ? korvo::host::DeviceCall::Succeeded
                               : korvo::host::DeviceCall::Failed;
}

void CloseDeviceSocket(int fd) {
    close(fd);
}

constexpr korvo::host::DeviceTransport kDeviceSockets{OpenDeviceSocket, ExchangeOverSocket,
                                                      CloseDeviceSocket};
std::atomic<const korvo::host::DeviceTransport*> deviceTransport{&kDeviceSockets};

}  // namespace

namespace korvo::host {
void SetDeviceTransport(const DeviceTransport* transport) {
    deviceTransport.store(transport != nullptr ? transport : &kDeviceSockets);
}

int DeviceReplyTimeoutMs() {
    return deviceReplyTimeoutMs.load();
}
void SetDeviceReplyTimeoutMs(int milliseconds) {
    deviceReplyTimeoutMs.store(milliseconds);
}
}  // namespace korvo::host

extern "C" {

DWORD GetLastError(void) {
    return lastError;
}
void SetLastError(DWORD error) {
    lastError = error;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                   LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    if (fileName == nullptr || fileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (std::strncmp(fileName, kDevicePrefix, sizeof kDevicePrefix - 1) == 0) {
        const korvo::host::DeviceTransport* transport = deviceTransport.load();
        const int connection = transport->open(fileName + sizeof kDevicePrefix - 1);
        if (connection < 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        SetLastError(ERROR_SUCCESS);
        return AddHandle(HostHandle::Kind::Device, connection, transport);
    }
    if (creationDisposition != OPEN_EXISTING) {
        // The agent only ever opens what exists; creating files is not part of the layer.
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool writing = (desiredAccess & GENERIC_WRITE) != 0;
    const std::string path = korvo::host::ResolvePath(fileName);
    // O_NONBLOCK keeps a FIFO from holding the open; anything but a regular file is refused.
    const int fd =
        open(path.c_str(), (writing ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int openError = errno;
        SetLastError(ErrorFromErrno(openError));
        // As on Windows, a missing file in a missing directory is a missing path.
        const size_t slash = path.find_last_of('/');
        struct stat parent {};
        if (openError == ENOENT && slash != std::string::npos && slash != 0 &&
            stat(path.substr(0, slash).c_str(), &parent) != 0) {
            SetLastError(ERROR_PATH_NOT_FOUND);
        }
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return AddHandle(HostHandle::Kind::File, fd);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED /*overlapped*/) {
    HostHandle* handle = FromHandle(device);
    if (handle == nullptr || handle->kind != HostHandle::Kind::Device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((inBuffer == nullptr && inBufferSize != 0) ||
        (outBuffer == nullptr && outBufferSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (handle->broken) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    uint32_t count = 0;
    const korvo::host::DeviceCall call = handle->transport->exchange(
        handle->fd, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize, &count);
    if (call == korvo::host::DeviceCall::Broken) {
        // The buffer stays as it was, and the connection, now out of step, serves no further
        // exchange.
        handle->broken = true;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const BOOL success = call == korvo::host::DeviceCall::Succeeded ? TRUE : FALSE;
    // As on Windows, a failed call leaves the count where it was.
    if (bytesReturned != nullptr && success) {
        *bytesReturned = count;
    }
    SetLastError(success ? ERROR_SUCCESS : ERROR_GEN_FAILURE);
    return success;
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
    HostHandle* handle = FromHandle(file);
    struct stat info {};
    if (handle == nullptr || handle->kind != HostHandle::Kind::File ||
        fstat(handle->fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    if (fileSizeHigh != nullptr) {
        *fileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL CloseHandle(HANDLE object) {
    HostHandle* handle = TakeHandle(object);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (handle->kind == HostHandle::Kind::Device) {
        handle->transport->close(handle->fd);
    } else {
        close(handle->fd);
    }
    delete handle;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // extern "C"

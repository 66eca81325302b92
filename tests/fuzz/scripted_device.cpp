// The platform's file calls for the fuzz builds: CreateFileA, DeviceIoControl, GetFileSize and
// CloseHandle with the control device answered in the process by the scripted device, and other
// paths opened as real files the way the host layer opens them. A call on a handle that is not
// open (closed twice, used after closing, never given out) aborts, so the fuzzer reports it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "korvo/driver_protocol.h"
#include "host_tuning.h"
#include "platform.h"
#include "scripted_device.h"

namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";

struct ScriptedHandle {
    enum class Kind { File, Device } kind;
    int fd = -1;
};

thread_local DWORD lastError = ERROR_SUCCESS;
korvo::fuzz::DeviceScript script;
std::vector<korvo::fuzz::DeviceExchange> exchanges;
std::set<ScriptedHandle*> liveHandles;

[[noreturn]] void Misuse(const char* what) {
    std::fprintf(stderr, "scripted device: %s\n", what);
    std::abort();
}

ScriptedHandle* LiveHandle(HANDLE handle, const char* call) {
    auto* scripted = static_cast<ScriptedHandle*>(handle);
    if (liveHandles.count(scripted) == 0) {
        std::fprintf(stderr, "scripted device: %s on a handle that is not open\n", call);
        std::abort();
    }
    return scripted;
}

}  // namespace

namespace korvo::fuzz {

void SetDeviceScript(DeviceScript replacement) {
    script = std::move(replacement);
    exchanges.clear();
}

const std::vector<DeviceExchange>& DeviceExchanges() {
    return exchanges;
}

size_t OpenHandleCount() {
    return liveHandles.size();
}

}  // namespace korvo::fuzz

namespace korvo::host {
int DeviceReplyTimeoutMs() {
    return 0;
}
void SetDeviceReplyTimeoutMs(int) {}
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
        if (std::strcmp(fileName + sizeof kDevicePrefix - 1, korvo::driver::kDeviceName) != 0 ||
            !script.open()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        auto* handle = new ScriptedHandle{ScriptedHandle::Kind::Device};
        liveHandles.insert(handle);
        SetLastError(ERROR_SUCCESS);
        return handle;
    }
    if (creationDisposition != OPEN_EXISTING || (desiredAccess & GENERIC_WRITE) != 0) {
        Misuse("the agent only opens existing files for reading");
    }
    const std::string path = korvo::host::ResolvePath(fileName);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto* handle = new ScriptedHandle{ScriptedHandle::Kind::File, fd};
    liveHandles.insert(handle);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED /*overlapped*/) {
    ScriptedHandle* handle = LiveHandle(device, "DeviceIoControl");
    if (handle->kind != ScriptedHandle::Kind::Device) {
        Misuse("DeviceIoControl on a file handle");
    }
    if ((inBuffer == nullptr && inBufferSize != 0) ||
        (outBuffer == nullptr && outBufferSize != 0)) {
        Misuse("DeviceIoControl with a null buffer of non-zero size");
    }
    korvo::fuzz::DeviceExchange exchange;
    exchange.controlCode = ioControlCode;
    const auto* in = static_cast<const uint8_t*>(inBuffer);
    exchange.input.assign(in, in + inBufferSize);
    exchange.outputSize = outBufferSize;
    std::memcpy(exchange.record.data(), outBuffer,
                std::min<size_t>(outBufferSize, exchange.record.size()));
    exchanges.push_back(exchange);

    const korvo::fuzz::DeviceAnswer answer =
        script.answer(exchange, static_cast<uint8_t*>(outBuffer), outBufferSize);
    if (bytesReturned != nullptr) {
        *bytesReturned = answer.bytesReturned;
    }
    SetLastError(answer.success ? ERROR_SUCCESS : ERROR_GEN_FAILURE);
    return answer.success ? TRUE : FALSE;
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
    ScriptedHandle* handle = LiveHandle(file, "GetFileSize");
    struct stat info {};
    if (handle->kind != ScriptedHandle::Kind::File || fstat(handle->fd, &info) != 0) {
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
    ScriptedHandle* handle = LiveHandle(object, "CloseHandle");
    liveHandles.erase(handle);
    if (handle->fd >= 0) {
        close(handle->fd);
    }
    delete handle;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // extern "C"

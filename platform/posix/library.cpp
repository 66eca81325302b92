// Run-time libraries, the current directory, the environment and sleeping on the host.
// GetModuleHandleA knows KERNEL32, which stands for the host layer's own calls that a program
// looks up by name (RegisterServiceProcess), and the modules LoadLibraryA loaded.
// LoadLibraryA looks for the named file where the target's Windows would: the executable's
// directory, the current directory, then the dynamic linker's own search. The file is an ELF
// shared object, opened with dlopen and never unloaded. A file that another user could have
// put there or changed (not ours or root's, or writable by group or others, or in a directory
// that is) is not loaded: one line on standard error says so, once for as long as the file is
// refused for the same reason, and the search goes on.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "korvo/ascii.h"
#include "korvo_host.h"
#include "platform.h"

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Why code at `path` cannot be trusted, or "" when only we or root could have placed it.
std::string UntrustedBecause(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const struct {
        const std::string& path;
        const char* what;
    } checked[] = {{path, "the file"}, {directory, "its directory"}};
    for (const auto& item : checked) {
        struct stat info {};
        if (stat(item.path.c_str(), &info) != 0) {
            return std::string(item.what) + " cannot be examined";
        }
        if (info.st_uid != getuid() && info.st_uid != 0) {
            return std::string(item.what) + " belongs to user " + std::to_string(info.st_uid);
        }
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return std::string(item.what) + " is writable by group or others";
        }
    }
    return {};
}

// The refusals said already, by path: a caller that tries again every so often is told once,
// not at every attempt.
std::mutex saidRefusalsLock;
std::map<std::string, std::string> saidRefusals;

// Says why `path` is refused, unless it was said already; an empty reason forgets it, so that
// a file refused again later is reported again.
void SayRefusal(const std::string& path, const std::string& reason) {
    std::lock_guard lock(saidRefusalsLock);
    if (reason.empty()) {
        saidRefusals.erase(path);
        return;
    }
    std::string& said = saidRefusals[path];
    if (said == reason) {
        return;
    }
    said = reason;
    std::fprintf(stderr, "LoadLibraryA: not loading %s: %s\n", path.c_str(), reason.c_str());
}

// Opens `path` when it is a regular file we may trust.
HMODULE OpenTrusted(const std::string& path) {
    if (!IsRegularFile(path)) {
        return nullptr;
    }
    const std::string reason = UntrustedBecause(path);
    SayRefusal(path, reason);
    if (!reason.empty()) {
        return nullptr;
    }
    return static_cast<HMODULE>(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
}

std::string ExecutableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    std::string path(buffer, static_cast<size_t>(length));
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

HMODULE Open(const std::string& path) {
    return static_cast<HMODULE>(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
}

// The module name Windows compares: the file name without its directory, in lower case, with
// ".dll" when it has no extension.
std::string ModuleName(const std::string& name) {
    std::string base = name.substr(name.find_last_of("/\\") + 1);
    for (char& c : base) {
        c = korvo::AsciiLower(c);
    }
    return base.find('.') == std::string::npos ? base + ".dll" : base;
}

// The modules LoadLibraryA loaded, by module name.
std::mutex loadedLock;
std::map<std::string, HMODULE> loadedModules;

// KERNEL32's handle, and the calls found on it by name.
char kernelToken;
HMODULE KernelModule() {
    return reinterpret_cast<HMODULE>(&kernelToken);
}
const struct {
    const char* name;
    FARPROC call;
} kernelCalls[] = {
    {"RegisterServiceProcess",
     reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&RegisterServiceProcess))},
};

}  // namespace

extern "C" {

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (fileName == nullptr || fileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string name = fileName;
    HMODULE module = nullptr;
    if (name.find_first_of("/\\") != std::string::npos) {
        module = OpenTrusted(korvo::host::ResolvePath(name));
    } else {
        char cwd[PATH_MAX];
        const std::string directories[] = {
            ExecutableDirectory(),
            getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string(),
        };
        for (const std::string& directory : directories) {
            if (directory.empty()) {
                continue;
            }
            module = OpenTrusted(korvo::host::ResolvePath(directory + "/" + name));
            if (module != nullptr) {
                break;
            }
        }
        if (module == nullptr) {
            module = Open(name);
        }
    }
    if (module != nullptr) {
        const std::lock_guard<std::mutex> hold(loadedLock);
        loadedModules.emplace(ModuleName(name), module);
    }
    SetLastError(module != nullptr ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND);
    return module;
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    HMODULE module = nullptr;
    if (moduleName != nullptr) {
        const std::string name = ModuleName(moduleName);
        if (name == "kernel32.dll") {
            module = KernelModule();
        } else {
            const std::lock_guard<std::mutex> hold(loadedLock);
            const auto found = loadedModules.find(name);
            module = found != loadedModules.end() ? found->second : nullptr;
        }
    }
    SetLastError(module != nullptr ? ERROR_SUCCESS : ERROR_MOD_NOT_FOUND);
    return module;
}

// The host has no log-off to outlive: registering only answers as Windows 95 does.
DWORD WINAPI RegisterServiceProcess(DWORD processId, DWORD type) {
    return (processId == 0 || processId == static_cast<DWORD>(getpid())) && type <= 1 ? 1 : 0;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    if (module == nullptr || procName == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (module == KernelModule()) {
        for (const auto& call : kernelCalls) {
            if (std::strcmp(call.name, procName) == 0) {
                SetLastError(ERROR_SUCCESS);
                return call.call;
            }
        }
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = dlsym(module, procName);
    SetLastError(symbol != nullptr ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL SetCurrentDirectoryA(LPCSTR pathName) {
    if (pathName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string path = korvo::host::ResolvePath(pathName);
    if (chdir(path.c_str()) != 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        SetLastError(ERROR_GEN_FAILURE);
        return 0;
    }
    const auto length = static_cast<DWORD>(std::strlen(cwd));
    if (buffer == nullptr || bufferLength <= length) {
        return length + 1;  // the size needed, terminator included
    }
    std::memcpy(buffer, cwd, length + 1);
    return length;
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    const char* value = name != nullptr ? getenv(name) : nullptr;
    if (value == nullptr) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const size_t length = std::strlen(value);
    if (buffer == nullptr || size <= length) {
        return static_cast<DWORD>(length + 1);  // the size needed, terminator included
    }
    std::memcpy(buffer, value, length + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(length);
}

void Sleep(DWORD milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

}  // extern "C"

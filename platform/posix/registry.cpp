// The registry calls on the host: HKEY_LOCAL_MACHINE is a REGEDIT4 text file
// ($KORVO_ROOT/registry.reg, or the file KORVO_REGISTRY names). A parse is kept while the
// file's identity, size and modification time stay the same, so an edit takes effect at the
// next lookup without every lookup reading the file; an open key keeps the snapshot it was
// opened on. Only a regular file of at most 16 MiB is read. Results are the Win32 ones. Open keys
// are heap objects in a table guarded by a mutex, so lookups may run on several threads at once.
#include <errno.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "korvo_host.h"
#include "platform.h"
#include "host_registry.h"

namespace {

using korvo::host::RegistryKey;
using korvo::host::RegistryValue;

// Not among the platform's names: a subkey path with an empty component.
constexpr LSTATUS ErrorBadPathname = 161;

// An open key: the snapshot of the file it was opened on, the key in it, and its path from
// HKEY_LOCAL_MACHINE for opens relative to it.
struct OpenKey {
    std::shared_ptr<const RegistryKey> snapshot;
    const RegistryKey* key = nullptr;
    std::vector<std::string> path;
};

struct OpenKeyTable {
    std::mutex mutex;
    std::unordered_map<const void*, std::shared_ptr<const OpenKey>> keys;
};

OpenKeyTable& OpenKeys() {
    static OpenKeyTable table;
    return table;
}

bool IsLocalMachine(HKEY key) {
    return key == HKEY_LOCAL_MACHINE;
}

// The open key behind a handle; null for HKEY_LOCAL_MACHINE and for handles we never gave out
// or that are closed.
std::shared_ptr<const OpenKey> FindOpenKey(HKEY key) {
    OpenKeyTable& table = OpenKeys();
    std::lock_guard lock(table.mutex);
    const auto found = table.keys.find(key);
    return found == table.keys.end() ? nullptr : found->second;
}

std::string RegistryFilePath() {
    const char* chosen = getenv("KORVO_REGISTRY");
    if (chosen != nullptr && chosen[0] != '\0') {
        return chosen;
    }
    return korvo::host::RootPath() + "/registry.reg";
}

// The largest registry file read; a larger one is refused as a bad database.
constexpr size_t MaxRegistryFileBytes = 16 * 1024 * 1024;
constexpr time_t RecentModificationSeconds = 2;

// What tells one version of the file from the next.
struct FileStamp {
    dev_t device = 0;
    ino_t identity = 0;
    off_t size = -1;
    timespec modified{};

    bool operator==(const FileStamp& other) const {
        return device == other.device && identity == other.identity && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

// The last parse, kept while the file's path, identity, size and modification time stay.
struct ParseCache {
    std::mutex mutex;
    std::string path;
    FileStamp stamp;
    std::shared_ptr<const RegistryKey> root;
    // Held while a file is read and parsed: one parse at a time, however many threads look
    // something up while the file changes.
    std::mutex parsing;
};

ParseCache& TheParseCache() {
    static ParseCache cache;
    return cache;
}

// The file as it stands now. A missing file is an empty registry.
LSTATUS LoadRegistry(std::shared_ptr<const RegistryKey>& root) {
    const std::string path = RegistryFilePath();
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            root = std::make_shared<const RegistryKey>();
            return ERROR_SUCCESS;
        }
        return errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_BADDB;
    }
    const FileStamp stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    ParseCache& cache = TheParseCache();
    auto cached = [&] {
        std::lock_guard lock(cache.mutex);
        if (cache.root != nullptr && cache.path == path && cache.stamp == stamp) {
            root = cache.root;
            return true;
        }
        return false;
    };
    if (cached()) {
        return ERROR_SUCCESS;
    }
    std::lock_guard parsing(cache.parsing);
    if (cached()) {
        return ERROR_SUCCESS;  // parsed by the thread that held the lock before us
    }
    std::string text;
    std::string problem;
    bool missing = false;
    if (!korvo::host::ReadRegularFile(path, MaxRegistryFileBytes, &text, &problem, &missing)) {
        if (missing) {
            root = std::make_shared<const RegistryKey>();
            return ERROR_SUCCESS;
        }
        return access(path.c_str(), R_OK) != 0 && errno == EACCES ? ERROR_ACCESS_DENIED
                                                                  : ERROR_BADDB;
    }
    auto parsed = korvo::host::ParseRegistryText(text);
    std::string().swap(text);
    if (!parsed.root) {
        return ERROR_BADDB;
    }
    root = std::shared_ptr<const RegistryKey>(std::move(parsed.root));
    // A file modified within the file system's clock granularity of now could change again
    // without its time changing: such a parse is not kept.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec - info.st_mtim.tv_sec < RecentModificationSeconds) {
        return ERROR_SUCCESS;
    }
    std::shared_ptr<const RegistryKey> stale;
    {
        std::lock_guard lock(cache.mutex);
        cache.path = path;
        cache.stamp = stamp;
        stale = std::exchange(cache.root, root);
    }
    if (stale != nullptr && stale.use_count() == 1) {
        // The last holder of the previous parse: its memory goes back to the system, not only
        // to the allocator, so that a registry that shrank takes less again.
        stale.reset();
        malloc_trim(0);
    }
    return ERROR_SUCCESS;
}

// Appends the components of a subkey path; a single trailing backslash is allowed.
LSTATUS AppendSubkeyPath(const char* subKey, std::vector<std::string>& path) {
    if (subKey == nullptr || subKey[0] == '\0') {
        return ERROR_SUCCESS;
    }
    std::string_view rest(subKey);
    if (rest.back() == '\\') {
        rest.remove_suffix(1);
    }
    while (true) {
        const size_t separator = rest.find('\\');
        const std::string_view name = rest.substr(0, separator);
        if (name.empty()) {
            return ErrorBadPathname;
        }
        path.emplace_back(name);
        if (separator == std::string_view::npos) {
            return ERROR_SUCCESS;
        }
        rest.remove_prefix(separator + 1);
    }
}

}  // namespace

size_t korvo::host::OpenRegistryKeyCount() {
    OpenKeyTable& table = OpenKeys();
    std::lock_guard lock(table.mutex);
    return table.keys.size();
}

extern "C" {

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM /*desired*/,
                      PHKEY result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    std::vector<std::string> path;
    if (!IsLocalMachine(key)) {
        const auto parent = FindOpenKey(key);
        if (parent == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        path = parent->path;
    }
    if (const LSTATUS status = AppendSubkeyPath(subKey, path); status != ERROR_SUCCESS) {
        return status;
    }

    auto opened = std::make_shared<OpenKey>();
    if (const LSTATUS status = LoadRegistry(opened->snapshot); status != ERROR_SUCCESS) {
        return status;
    }
    opened->key = opened->snapshot.get();
    for (const std::string& name : path) {
        opened->key = opened->key->FindSubkey(name);
        if (opened->key == nullptr) {
            return ERROR_FILE_NOT_FOUND;
        }
    }
    opened->path = std::move(path);

    OpenKeyTable& table = OpenKeys();
    std::lock_guard lock(table.mutex);
    HKEY handle = reinterpret_cast<HKEY>(opened.get());
    table.keys.emplace(handle, std::move(opened));
    *result = handle;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD /*reserved*/,
                      LPSTR className, LPDWORD classLength, PFILETIME /*lastWriteTime*/) {
    std::shared_ptr<const OpenKey> open;
    std::shared_ptr<const RegistryKey> snapshot;
    const RegistryKey* parent = nullptr;
    if (IsLocalMachine(key)) {
        if (const LSTATUS status = LoadRegistry(snapshot); status != ERROR_SUCCESS) {
            return status;
        }
        parent = snapshot.get();
    } else {
        open = FindOpenKey(key);
        if (open == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        parent = open->key;
    }
    if (name == nullptr || nameLength == nullptr ||
        (className != nullptr && classLength == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (index >= parent->subkeys.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const std::string& found = parent->subkeys[index]->name;
    // Sizes count the terminating NUL; the length stored on success does not.
    const DWORD needed = static_cast<DWORD>(found.size() + 1);
    if (needed > *nameLength || (className != nullptr && *classLength < 1)) {
        if (needed > *nameLength) {
            *nameLength = needed;
        }
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, found.c_str(), needed);
    *nameLength = needed - 1;
    if (className != nullptr) {  // our keys have no class
        className[0] = '\0';
        *classLength = 0;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD /*reserved*/, LPDWORD type,
                         LPBYTE data, LPDWORD dataLength) {
    std::shared_ptr<const OpenKey> open;
    std::shared_ptr<const RegistryKey> snapshot;
    const RegistryKey* holder = nullptr;
    if (IsLocalMachine(key)) {
        if (const LSTATUS status = LoadRegistry(snapshot); status != ERROR_SUCCESS) {
            return status;
        }
        holder = snapshot.get();
    } else {
        open = FindOpenKey(key);
        if (open == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        holder = open->key;
    }
    if (data != nullptr && dataLength == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const RegistryValue* value = holder->FindValue(valueName == nullptr ? "" : valueName);
    if (value == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    const auto size = static_cast<DWORD>(value->data.size());
    if (data != nullptr && size > *dataLength) {
        *dataLength = size;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && size != 0) {
        std::memcpy(data, value->data.data(), size);
    }
    if (dataLength != nullptr) {
        *dataLength = size;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
    if (IsLocalMachine(key)) {
        return ERROR_SUCCESS;
    }
    std::shared_ptr<const OpenKey> closing;  // released after the lock
    OpenKeyTable& table = OpenKeys();
    std::lock_guard lock(table.mutex);
    const auto found = table.keys.find(key);
    if (found == table.keys.end()) {
        return ERROR_INVALID_HANDLE;
    }
    closing = std::move(found->second);
    table.keys.erase(found);
    return ERROR_SUCCESS;
}

}  // extern "C"

// Windows path names on a Linux file system: either separator, and names that match without
// regard to the case of ASCII letters when the exact name does not exist.
#include "korvo_host.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "korvo/ascii.h"

namespace korvo::host {
namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// The entry of `directory` whose name equals `name` ignoring ASCII case, first in
// directory order; `name` itself when none does.
std::string MatchComponent(const std::string& directory, const std::string& name) {
    DIR* listing = opendir(directory.empty() ? "/" : directory.c_str());
    if (listing == nullptr) {
        return name;
    }
    std::string found = name;
    while (const dirent* entry = readdir(listing)) {
        if (AsciiEqualFold(entry->d_name, name)) {
            found = entry->d_name;
            break;
        }
    }
    closedir(listing);
    return found;
}

}  // namespace

std::string ResolvePath(const std::string& windowsPath) {
    std::string path = windowsPath;
    for (char& c : path) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (path.empty() || Exists(path)) {
        return path;
    }
    const bool absolute = path[0] == '/';
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = path.find('/', start);
        const std::string part =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty()) {
            components.push_back(part);
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    std::string resolved = absolute ? "" : ".";
    for (const std::string& part : components) {
        std::string candidate = resolved + "/" + part;
        if (part != "." && part != ".." && !Exists(candidate)) {
            candidate = resolved + "/" + MatchComponent(resolved, part);
        }
        resolved = candidate;
    }
    if (!absolute) {
        resolved.erase(0, 2);  // the "./" we started from
    }
    return resolved.empty() ? "/" : resolved;
}

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string* contents,
                     std::string* problem, bool* missing) {
    if (missing != nullptr) {
        *missing = false;
    }
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (missing != nullptr) {
            *missing = errno == ENOENT || errno == ENOTDIR;
        }
        *problem = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *problem = "it is not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(info.st_size) > maxBytes) {
        close(fd);
        *problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    contents->clear();
    contents->reserve(static_cast<size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *problem = std::strerror(errno);
            close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        if (contents->size() + static_cast<size_t>(got) > maxBytes) {  // it grew as we read
            *problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
            close(fd);
            return false;
        }
        contents->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

}  // namespace korvo::host

// Windows path names on a Linux file system: either separator, and names that match without
// regard to the case of ASCII letters when the exact name does not exist.
#include "korvo_host.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace korvo::host {
namespace {

bool Exists(const std::string& path) {
    struct stat info{};
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
        if (strcasecmp(entry->d_name, name.c_str()) == 0) {
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

}  // namespace korvo::host

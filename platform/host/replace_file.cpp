// Replacing a file's contents whole: a new temporary file beside it, flushed, and renamed over
// it, so that readers see the old contents or the new and no symbolic link is written through.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "korvo/temporary_file.h"
#include "korvo_host.h"

namespace korvo::host {
namespace {

bool SyncDirectory(const std::string& directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

bool ReplaceFile(const std::string& path, const std::string& contents, unsigned mode,
                 std::string* error) {
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
        !S_ISLNK(existing.st_mode)) {
        *error = "cannot replace " + path + ": it is not a regular file";  // a device, a FIFO
        return false;
    }
    // A name of this write's own, created new: whatever lies under another name (planted, or
    // left by a crash) is neither followed, nor removed, nor in the way.
    constexpr int kNewFile = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    std::string temporary;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < kTemporaryFileAttempts; ++attempt) {
        temporary = TemporaryFileFor(path, static_cast<unsigned long>(getpid()));
        fd = open(temporary.c_str(), kNewFile, static_cast<mode_t>(mode));
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        *error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    size_t written = 0;
    while (written < contents.size()) {
        const ssize_t put = write(fd, contents.data() + written, contents.size() - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            *error = "cannot write " + temporary + ": " + std::strerror(errno);
            close(fd);
            unlink(temporary.c_str());
            return false;
        }
        written += static_cast<size_t>(put);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    // The rename replaces whatever `path` names, a link included, and never what a link names.
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    const auto slash = path.find_last_of('/');
    SyncDirectory(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash));
    return true;
}

}  // namespace korvo::host

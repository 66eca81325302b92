// Where the simulated machine lives and how our Unix-domain sockets are made, found and
// guarded: the common ground of the control device, the window sockets and the stand-ins.
#include "korvo_host.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>

namespace korvo::host {
namespace {

std::string PlainRootPath() {
    if (const char* root = getenv("KORVO_ROOT"); root != nullptr && root[0] != '\0') {
        return root;
    }
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] != '\0') {
        return std::string(runtime) + "/korvo";
    }
    return "/tmp/korvo-" + std::to_string(getuid());
}

// Makes `path` and its missing parents; parents that exist are taken as they are (/tmp is
// everyone's), only the last component must be private.
bool MakeDirectories(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) {
        return false;
    }
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

std::atomic<bool> sessionEnding{false};
std::once_flag endingPipeMade;
int endingPipe[2] = {-1, -1};

}  // namespace

std::string RootPath() {
    std::string root = PlainRootPath();
    RequirePrivateDirectory(root, "KORVO_ROOT");
    return root;
}

std::string PrivateDirectoryProblem(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? std::string() : std::string(std::strerror(errno));
    }
    if (S_ISLNK(info.st_mode)) {
        return "it is a symbolic link";
    }
    if (!S_ISDIR(info.st_mode)) {
        return "it is not a directory";
    }
    if (info.st_uid != getuid()) {
        return "it belongs to user " + std::to_string(info.st_uid) + ", not to this user (" +
               std::to_string(getuid()) + ")";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return std::string("group or others may write to it (mode ") + mode + ")";
    }
    return {};
}

void RequirePrivateDirectory(const std::string& path, const char* variable) {
    static std::mutex mutex;
    static std::set<std::string> verified;
    std::lock_guard lock(mutex);
    if (verified.contains(path)) {
        return;
    }
    const std::string problem = PrivateDirectoryProblem(path);
    if (!problem.empty()) {
        std::fprintf(stderr,
                     "%s: refusing %s directory %s: %s; remove it or name a private directory "
                     "(mode 0700, ours)\n",
                     program_invocation_short_name, variable, path.c_str(), problem.c_str());
        std::fflush(stderr);
        _exit(1);  // before anything is opened there; other threads may be running
    }
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        verified.insert(path);  // a missing directory is looked at again once it exists
    }
}

bool EnsurePrivateDirectory(const std::string& path) {
    if (path.empty() || !MakeDirectories(path)) {
        return false;
    }
    if (!PrivateDirectoryProblem(path).empty()) {
        errno = EACCES;
        return false;
    }
    return true;
}

long long SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int MillisecondsLeft(long long deadlineMs) {
    const long long left = deadlineMs - SteadyNowMs();
    return left <= 0 ? 0 : static_cast<int>(left);
}

int SessionEndingFd() {
    std::call_once(endingPipeMade, [] {
        if (pipe2(endingPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            endingPipe[0] = endingPipe[1] = -1;
        }
    });
    return endingPipe[0];
}

bool SessionEnding() {
    return sessionEnding.load();
}

void MarkSessionEnding() {
    SessionEndingFd();
    if (!sessionEnding.exchange(true) && endingPipe[1] >= 0) {
        [[maybe_unused]] const ssize_t put = write(endingPipe[1], "x", 1);  // never drained
    }
}

std::string DevicePath(const std::string& name) {
    return RootPath() + "/devices/" + name;
}

std::string WindowPath(const std::string& className) {
    return RootPath() + "/windows/" + className;
}

bool PeerIsSameUser(int fd) {
    struct ucred credentials {};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return false;
    }
    return credentials.uid == getuid();
}

static bool FillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

static int FailClosing(int fd, int error) {
    close(fd);
    errno = error;
    return -1;
}

int ConnectUnix(const std::string& path, int timeoutMs) {
    sockaddr_un address;
    if (!FillAddress(path, &address)) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // A Unix-domain connect waits while the server's backlog is full, for as long as the
    // socket's send timeout allows: that timeout carries the deadline.
    const long long deadline = SteadyNowMs() + timeoutMs;
    for (;;) {
        const int left = MillisecondsLeft(deadline);
        if (left <= 0 || SessionEnding()) {
            return FailClosing(fd, ETIMEDOUT);
        }
        const timeval wait{left / 1000, (left % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            break;
        }
        if (errno == EAGAIN || errno == EINPROGRESS) {
            return FailClosing(fd, ETIMEDOUT);
        }
        if (errno != EINTR) {
            return FailClosing(fd, errno);
        }
    }
    const timeval forever{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &forever, sizeof forever);
    if (!PeerIsSameUser(fd)) {
        return FailClosing(fd, EACCES);  // someone else's server: nothing it says is believed
    }
    return fd;
}

int ListenUnix(const std::string& path, int backlog) {
    sockaddr_un address;
    if (!FillAddress(path, &address)) {
        return -1;
    }
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && !EnsurePrivateDirectory(path.substr(0, slash))) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EADDRINUSE) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        // Someone's socket file is there: live server or leftover of a dead one?
        const int probe = ConnectUnix(path);
        if (probe >= 0) {
            close(probe);
            close(fd);
            errno = EADDRINUSE;
            return -1;
        }
        unlink(path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
    }
    chmod(path.c_str(), 0600);
    if (listen(fd, backlog) != 0) {
        const int saved = errno;
        close(fd);
        unlink(path.c_str());
        errno = saved;
        return -1;
    }
    return fd;
}

// Waits until `fd` is ready for `events` or the deadline passes; true when ready.
static bool WaitReady(int fd, short events, long long deadline) {
    for (;;) {
        pollfd waiting{fd, events, 0};
        const int ready = poll(&waiting, 1, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            errno = ETIMEDOUT;
        }
        return ready > 0;
    }
}

bool ReadFull(int fd, void* buffer, size_t size, int timeoutMs) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    const long long deadline = SteadyNowMs() + timeoutMs;
    size_t done = 0;
    while (done < size) {
        if (timeoutMs > 0 && !WaitReady(fd, POLLIN, deadline)) {
            return false;
        }
        const ssize_t got = read(fd, bytes + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool WriteFull(int fd, const void* buffer, size_t size, int timeoutMs) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const long long deadline = SteadyNowMs() + timeoutMs;
    size_t done = 0;
    while (done < size) {
        const int flags = timeoutMs > 0 ? MSG_NOSIGNAL | MSG_DONTWAIT : MSG_NOSIGNAL;
        const ssize_t put = send(fd, bytes + done, size - done, flags);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && timeoutMs > 0) {
            if (!WaitReady(fd, POLLOUT, deadline)) {
                return false;
            }
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace korvo::host

// The service provider's operating system on Linux: its management socket is a Unix-domain
// socket served to same-user peers, its files are POSIX files locked with flock, and Windows
// paths are resolved by the host layer; see sp_platform.h.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "korvo_host.h"
#include "sp_platform.h"

namespace korvo::sp::os {
namespace {

int Fd(Socket socket) {
    return static_cast<int>(socket);
}

}  // namespace

bool OpenEndpoint(const std::string& socketPath, Endpoint* endpoint, std::string* error) {
    const int listenFd = korvo::host::ListenUnix(socketPath);
    if (listenFd < 0) {
        *error = "cannot serve the management socket " + socketPath + ": " +
                 (errno == EADDRINUSE ? std::string("another service provider serves it")
                                      : std::string(std::strerror(errno)));
        return false;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot make the server's wake-up pipe: ") + std::strerror(errno);
        close(listenFd);
        unlink(socketPath.c_str());
        return false;
    }
    endpoint->listener = listenFd;
    endpoint->wakeReceiver = wake[0];
    endpoint->wakeSender = wake[1];
    endpoint->file = socketPath;
    struct stat info {};
    if (stat(socketPath.c_str(), &info) == 0) {
        endpoint->fileIdentity = info.st_ino;
    }
    return true;
}

AcceptResult AcceptNext(Endpoint& endpoint, Socket* connection) {
    pollfd waiting[2] = {{Fd(endpoint.listener), POLLIN, 0},
                         {Fd(endpoint.wakeReceiver), POLLIN, 0}};
    if (poll(waiting, 2, -1) < 0) {
        return errno == EINTR ? AcceptResult::nothing : AcceptResult::woken;
    }
    if ((waiting[1].revents & POLLIN) != 0) {
        return AcceptResult::woken;
    }
    if ((waiting[0].revents & POLLIN) == 0) {
        return AcceptResult::nothing;
    }
    const int fd = accept4(Fd(endpoint.listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Out of descriptors: rest (still woken by a stop) instead of spinning on a
            // listener that stays readable.
            pollfd wake{Fd(endpoint.wakeReceiver), POLLIN, 0};
            poll(&wake, 1, korvo::host::kAcceptBackoffMs);
        }
        return AcceptResult::nothing;
    }
    if (!korvo::host::PeerIsSameUser(fd)) {
        close(fd);  // another user's process: no answer at all
        return AcceptResult::nothing;
    }
    *connection = fd;
    return AcceptResult::connection;
}

void WakeEndpoint(Endpoint& endpoint) {
    [[maybe_unused]] const ssize_t woken = write(Fd(endpoint.wakeSender), "x", 1);
}

void CloseEndpoint(Endpoint& endpoint) {
    close(Fd(endpoint.listener));
    close(Fd(endpoint.wakeReceiver));
    close(Fd(endpoint.wakeSender));
    endpoint.listener = endpoint.wakeReceiver = endpoint.wakeSender = kNoSocket;
    // Remove the socket file only when it is still ours.
    struct stat info {};
    if (stat(endpoint.file.c_str(), &info) == 0 && info.st_ino == endpoint.fileIdentity) {
        unlink(endpoint.file.c_str());
    }
}

long ReceiveSome(Socket socket, char* buffer, size_t size) {
    for (;;) {
        const ssize_t got = read(Fd(socket), buffer, size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got < 0 ? -1 : static_cast<long>(got);
    }
}

bool SendAll(Socket socket, const void* data, size_t size, int timeoutMs) {
    return korvo::host::WriteFull(Fd(socket), data, size, timeoutMs > 0 ? timeoutMs : 1);
}

bool WaitReadable(Socket socket, int timeoutMs) {
    pollfd waiting{Fd(socket), POLLIN, 0};
    int ready;
    do {
        ready = poll(&waiting, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool PeerGone(Socket socket) {
    const int fd = Fd(socket);
    pollfd waiting{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&waiting, 1, 0) <= 0) {
        return false;
    }
    if ((waiting.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) != 0) {
        return true;
    }
    char ignored[256];
    const ssize_t got = recv(fd, ignored, sizeof ignored, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
}

void ShutdownSocket(Socket socket) {
    shutdown(Fd(socket), SHUT_RDWR);
}

void CloseSocket(Socket socket) {
    close(Fd(socket));
}

bool EnsurePrivateDirectory(const std::string& path) {
    return korvo::host::EnsurePrivateDirectory(path);
}

void RequirePrivateDirectory(const std::string& path) {
    korvo::host::RequirePrivateDirectory(path, "WIN32DMIPATH");
}

bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error,
                   bool* missing) {
    std::string problem;
    if (!korvo::host::ReadRegularFile(path, kMaxFileBytes, contents, &problem, missing)) {
        *error = "cannot read " + path + ": " + problem;
        return false;
    }
    return true;
}

std::string ResolvePath(const std::string& windowsPath) {
    return korvo::host::ResolvePath(windowsPath);
}

FileStamp StampOf(const std::string& path) {
    struct stat info {};
    FileStamp stamp;
    if (stat(path.c_str(), &info) == 0) {
        stamp.device = info.st_dev;
        stamp.identity = info.st_ino;
        stamp.size = info.st_size;
        stamp.modifiedNs = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
    }
    return stamp;
}

bool ReplaceFileContents(const std::string& path, const std::string& contents, std::string* error) {
    return korvo::host::ReplaceFile(path, contents, 0600, error);
}

bool AppendWhole(const std::string& path, const std::string& line, std::string* error) {
    // One write of the whole line to a file opened for appending; a FIFO never holds the open.
    const int fd = open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *error = "cannot append to " + path + ": it is not a regular file";
        return false;
    }
    // A short write (the file reached its size limit, the disk filled) is followed by a write
    // of the rest, whose failure names the cause.
    size_t done = 0;
    ssize_t put = 0;
    while (done < line.size()) {
        put = write(fd, line.data() + done, line.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            break;
        }
        done += static_cast<size_t>(put);
    }
    const int saved = errno;
    close(fd);
    if (done != line.size()) {
        if (done > 0) {
            // End the torn line so that the next one starts a line of its own.
            const int again = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
            if (again >= 0) {
                [[maybe_unused]] const ssize_t ended = write(again, "\n", 1);
                close(again);
            }
        }
        *error =
            "cannot append to " + path + ": " + (put < 0 ? std::strerror(saved) : "short write");
        return false;
    }
    return true;
}

void RemoveFile(const std::string& path) {
    unlink(path.c_str());
}

FileLock::~FileLock() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));  // releases the lock
    }
}

bool FileLock::Acquire(const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        *error = "cannot lock " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    handle_ = fd;
    return true;
}

LocalTime Now() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    LocalTime time;
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    time.microseconds = static_cast<long>(now.tv_usec);
    time.offsetMinutes = local.tm_gmtoff / 60;
    return time;
}

// A POSIX process runs the library's destructors in exit(), with its threads still running.
bool ProcessEnding() {
    return false;
}

}  // namespace korvo::sp::os

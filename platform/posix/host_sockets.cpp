// Where the simulated machine lives and how our Unix-domain sockets are made, found and
// guarded: the common ground of the control device, the window sockets and the stand-ins.
#include "korvo_host.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace korvo::host {

std::string RootPath() {
    if (const char* root = getenv("KORVO_ROOT"); root != nullptr && root[0] != '\0') {
        return root;
    }
    if (const char* runtime = getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] != '\0') {
        return std::string(runtime) + "/korvo";
    }
    return "/tmp/korvo-" + std::to_string(getuid());
}

bool EnsurePrivateDirectory(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    struct stat info{};
    if (stat(path.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode);
    }
    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !EnsurePrivateDirectory(path.substr(0, slash))) {
        return false;
    }
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    return true;
}

std::string DevicePath(const std::string& name) { return RootPath() + "/devices/" + name; }

std::string WindowPath(const std::string& className) {
    return RootPath() + "/windows/" + className;
}

bool PeerIsSameUser(int fd) {
    struct ucred credentials{};
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

int ConnectUnix(const std::string& path) {
    sockaddr_un address;
    if (!FillAddress(path, &address)) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int result;
    do {
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
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

bool ReadFull(int fd, void* buffer, size_t size, int timeoutMs) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < size) {
        if (timeoutMs > 0) {
            pollfd waiting{fd, POLLIN, 0};
            const int ready = poll(&waiting, 1, timeoutMs);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready <= 0) {
                return false;
            }
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

bool WriteFull(int fd, const void* buffer, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = send(fd, bytes + done, size - done, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) {
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

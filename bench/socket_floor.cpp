// A bare client and server on a Unix-domain socket: blocking calls, one connection at a time.
#include "socket_floor.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace korvo::bench {
namespace {

sockaddr_un AddressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Accepts one connection after the other: reads the request, writes the reply, and closes
// once the client has.
[[noreturn]] void Serve(int listener) {
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        char request[SocketFloor::kRequestSize];
        size_t got = 0;
        while (got < sizeof request) {
            const ssize_t n = read(fd, request + got, sizeof request - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        char reply[SocketFloor::kReplySize] = {1};
        if (got == sizeof request) {
            [[maybe_unused]] const ssize_t sent = write(fd, reply, sizeof reply);
            [[maybe_unused]] const ssize_t end = read(fd, request, 1);  // the client's close
        }
        close(fd);
    }
}

}  // namespace

SocketFloor::SocketFloor(const std::string& directory) : path_(directory + "/floor.sock") {
    const sockaddr_un address = AddressOf(path_);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path_.c_str());
    if (listener < 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        throw std::runtime_error("cannot listen on " + path_ + ": " + std::strerror(errno));
    }
    pid_ = fork();
    if (pid_ == 0) {
        Serve(listener);
    }
    close(listener);
    if (pid_ < 0) {
        throw std::runtime_error(std::string("cannot start the floor server: ") +
                                 std::strerror(errno));
    }
}

SocketFloor::~SocketFloor() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(path_.c_str());
}

bool SocketFloor::Exchange(const std::string& path) {
    const sockaddr_un address = AddressOf(path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool answered = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        char request[kRequestSize] = {};
        char reply[kReplySize];
        size_t got = 0;
        if (write(fd, request, sizeof request) == static_cast<ssize_t>(sizeof request)) {
            for (ssize_t n = 0; got < sizeof reply; got += static_cast<size_t>(n)) {
                n = read(fd, reply + got, sizeof reply - got);
                if (n <= 0) {
                    break;
                }
            }
        }
        answered = got == sizeof reply;
    }
    close(fd);
    return answered;
}

}  // namespace korvo::bench

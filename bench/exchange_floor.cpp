// korvo-exchange-floor: the floor under a walk through the agent, as a whole process: as many
// bare control-device exchanges as the walk reads values (connect, a 40-byte request, a
// 32-byte reply, close), made as many at once as the service provider reads, against a
// one-thread event-loop server that serves connections side by side as the simulated adapter
// does, with no framing, deadlines, checks, DMI, JSON or output around them. What a walk that
// makes one exchange per value cannot go below on the machine it runs on.
//
//   korvo-exchange-floor serve SOCKET       the floor's server, until it is killed
//   korvo-exchange-floor walk SOCKET N K    N exchanges, K at once
//
// Exit status 0 when every exchange was answered, 1 when one was not (or the server cannot
// listen), 2 for a usage error.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "socket_floor.h"

namespace {

using korvo::bench::SocketFloor;

// Serves `path` until killed: accepts every waiting connection, answers each request as soon
// as it has come whole, and closes a connection when its client has.
int Serve(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "korvo-exchange-floor: socket path too long: %s\n", path.c_str());
        return 1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    if (listener < 0 || poller < 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0 || epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event) != 0) {
        std::fprintf(stderr, "korvo-exchange-floor: cannot serve %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // Answers what `fd` has sent; false once the client has closed.
    auto serve = [](int fd) {
        char request[SocketFloor::kRequestSize];
        const ssize_t got = recv(fd, request, sizeof request, MSG_DONTWAIT);
        if (got == static_cast<ssize_t>(sizeof request)) {
            const char reply[SocketFloor::kReplySize] = {1};
            return send(fd, reply, sizeof reply, MSG_NOSIGNAL) == sizeof reply;
        }
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    };
    epoll_event ready[64];
    for (;;) {
        const int count = epoll_wait(poller, ready, 64, -1);
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd != listener) {
                if (!serve(fd)) {
                    close(fd);  // leaves the epoll set with its last descriptor
                }
                continue;
            }
            for (int client; (client = accept4(listener, nullptr, nullptr,
                                               SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
                epoll_event watch{};
                watch.events = EPOLLIN;
                watch.data.fd = client;
                if (!serve(client) || epoll_ctl(poller, EPOLL_CTL_ADD, client, &watch) != 0) {
                    close(client);
                }
            }
        }
    }
}

int Usage() {
    std::fprintf(stderr,
                 "usage: korvo-exchange-floor serve SOCKET\n"
                 "       korvo-exchange-floor walk SOCKET EXCHANGES AT-ONCE\n");
    return 2;
}

// A positive number, or 0 when `text` is not one.
unsigned long Count(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0' && text[0] != '-' ? value : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "serve") == 0) {
        return Serve(argv[2]);
    }
    if (argc != 5 || std::strcmp(argv[1], "walk") != 0) {
        return Usage();
    }
    const std::string path = argv[2];
    const unsigned long exchanges = Count(argv[3]);
    const unsigned long atOnce = Count(argv[4]);
    if (exchanges == 0 || atOnce == 0 || atOnce > 64) {
        return Usage();
    }
    std::atomic<long> left{static_cast<long>(exchanges)};
    std::atomic<bool> allAnswered{true};
    std::vector<std::thread> clients;
    // The calling thread is one of them, as the thread serving a request is in the provider.
    auto exchange = [&] {
        while (left.fetch_sub(1) > 0) {
            if (!SocketFloor::Exchange(path)) {
                allAnswered = false;
            }
        }
    };
    for (unsigned long i = 1; i < atOnce; ++i) {
        clients.emplace_back(exchange);
    }
    exchange();
    for (std::thread& client : clients) {
        client.join();
    }
    if (!allAnswered) {
        std::fprintf(stderr, "korvo-exchange-floor: an exchange on %s was not answered\n",
                     path.c_str());
        return 1;
    }
    return 0;
}

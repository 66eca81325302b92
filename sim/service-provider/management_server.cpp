// The management socket's threads and line framing; see management_server.h.
#include "management_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dmi_status.h"
#include "korvo_host.h"

namespace korvo::sp {
namespace {

constexpr auto kSubscriberPoll = std::chrono::milliseconds(200);

bool SendLine(int fd, const nlohmann::json& message) {
    const std::string line =
        message.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
    return korvo::host::WriteFull(fd, line.data(), line.size());
}

// True when the peer has closed its end (or the connection broke).
bool PeerGone(int fd) {
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

}  // namespace

std::unique_ptr<ManagementServer> ManagementServer::Start(const std::string& socketPath,
                                                          ManagementBackend& backend,
                                                          std::string* error) {
    const int listenFd = korvo::host::ListenUnix(socketPath);
    if (listenFd < 0) {
        *error = "cannot serve the management socket " + socketPath + ": " +
                 (errno == EADDRINUSE ? std::string("another service provider serves it")
                                      : std::string(std::strerror(errno)));
        return nullptr;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot make the server's wake-up pipe: ") + std::strerror(errno);
        close(listenFd);
        unlink(socketPath.c_str());
        return nullptr;
    }
    return std::make_unique<ManagementServer>(socketPath, backend, listenFd, wake[0], wake[1]);
}

ManagementServer::ManagementServer(const std::string& socketPath, ManagementBackend& backend,
                                   int listenFd, int wakeRead, int wakeWrite)
    : socketPath_(socketPath),
      backend_(backend),
      listenFd_(listenFd),
      wakeRead_(wakeRead),
      wakeWrite_(wakeWrite) {
    struct stat info {};
    if (stat(socketPath_.c_str(), &info) == 0) {
        socketInode_ = info.st_ino;
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ManagementServer::~ManagementServer() {
    Stop();
}

void ManagementServer::Stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    [[maybe_unused]] const ssize_t woken = write(wakeWrite_, "x", 1);
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard lock(connectionsMutex_);
        connections.swap(connections_);
    }
    for (auto& connection : connections) {
        shutdown(connection->fd, SHUT_RDWR);
    }
    for (auto& connection : connections) {
        connection->thread.join();
        close(connection->fd);
    }
    close(listenFd_);
    close(wakeRead_);
    close(wakeWrite_);
    // Remove the socket file only when it is still ours.
    struct stat info {};
    if (stat(socketPath_.c_str(), &info) == 0 && info.st_ino == socketInode_) {
        unlink(socketPath_.c_str());
    }
}

void ManagementServer::ReapFinished() {
    std::lock_guard lock(connectionsMutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            close((*it)->fd);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void ManagementServer::AcceptLoop() {
    while (!stopping_) {
        pollfd waiting[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(waiting, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (stopping_ || (waiting[1].revents & POLLIN) != 0) {
            return;
        }
        if ((waiting[0].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        if (!korvo::host::PeerIsSameUser(fd)) {
            close(fd);  // another user's process: no answer at all
            continue;
        }
        ReapFinished();
        std::lock_guard lock(connectionsMutex_);
        if (connections_.size() >= kMaxConnections) {
            SendLine(fd, Answer(DMIERR_BUFFER_FULL, "too many management connections are open"));
            close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection& served = *connection;
        connections_.push_back(std::move(connection));
        served.thread = std::thread([this, &served] {
            Serve(served);
            served.done = true;
        });
    }
}

void ManagementServer::Serve(Connection& connection) {
    const int fd = connection.fd;
    std::string line;
    bool skippingLongLine = false;
    char chunk[4096];
    while (!stopping_) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;  // the peer left; a request it did not finish is dropped
        }
        size_t start = 0;
        const auto size = static_cast<size_t>(got);
        while (start < size) {
            const void* newline = std::memchr(chunk + start, '\n', size - start);
            const size_t end = newline != nullptr
                                   ? static_cast<size_t>(static_cast<const char*>(newline) - chunk)
                                   : size;
            if (!skippingLongLine) {
                line.append(chunk + start, end - start);
                if (line.size() > kMaxLineBytes) {
                    skippingLongLine = true;
                    line.clear();
                }
            }
            if (newline == nullptr) {
                break;
            }
            start = end + 1;
            if (skippingLongLine) {
                skippingLongLine = false;
                if (!SendLine(fd, Answer(DMIERR_ILL_FORMED_COMMAND,
                                         "a request line is longer than " +
                                             std::to_string(kMaxLineBytes) + " bytes"))) {
                    return;
                }
                continue;
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const bool goOn = HandleLine(fd, line);
            line.clear();
            if (!goOn) {
                return;
            }
        }
    }
}

bool ManagementServer::HandleLine(int fd, const std::string& line) {
    nlohmann::json answer;
    try {
        const auto request = nlohmann::json::parse(line, nullptr, false);
        if (!request.is_object()) {
            return SendLine(
                fd, Answer(DMIERR_ILL_FORMED_COMMAND, "a request is one JSON object on one line"));
        }
        const auto op = request.find("op");
        if (op != request.end() && op->is_string() && op->get<std::string>() == "subscribe") {
            uint64_t since = 0;
            if (const auto given = request.find("since"); given != request.end()) {
                if (!given->is_number_unsigned()) {
                    return SendLine(fd, Answer(DMIERR_ILL_FORMED_COMMAND,
                                               "\"since\" must be an event sequence number"));
                }
                since = given->get<uint64_t>();
            }
            if (SendLine(fd, Answer(DMIERR_NO_ERROR))) {
                ServeSubscription(fd, since);
            }
            return false;
        }
        answer = backend_.Handle(request);
    } catch (const std::bad_alloc&) {
        answer = Answer(DMIERR_OUT_OF_MEMORY, "the service provider ran out of memory");
    } catch (const std::exception& failure) {
        answer = Answer(DMIERR_ILL_FORMED_COMMAND, failure.what());
    }
    return SendLine(fd, answer);
}

void ManagementServer::ServeSubscription(int fd, uint64_t since) {
    uint64_t last = since;
    while (!stopping_) {
        for (const auto& event : backend_.EventsAfter(last, kSubscriberPoll)) {
            if (!SendLine(fd, {{"event", event}})) {
                return;
            }
            last = event["sequence"].get<uint64_t>();
        }
        if (PeerGone(fd)) {
            return;
        }
    }
}

}  // namespace korvo::sp

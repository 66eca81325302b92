// The fake management server of the management client's and the console's tests.
#include "management/fake_management_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "korvo_host.h"

namespace korvo::test {

FakeManagementServer::FakeManagementServer(std::string socketPath, Handler handler)
    : socketPath_(std::move(socketPath)), handler_(std::move(handler)) {
    listenFd_ = korvo::host::ListenUnix(socketPath_);
    if (listenFd_ < 0 || pipe(stopPipe_) != 0) {
        throw std::runtime_error("cannot listen on " + socketPath_);
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakeManagementServer::~FakeManagementServer() {
    const char stop = 'x';
    (void)!write(stopPipe_[1], &stop, 1);
    acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (const int fd : connectionFds_) {
            shutdown(fd, SHUT_RDWR);
        }
    }
    for (std::thread& connection : connections_) {
        connection.join();
    }
    for (const int fd : connectionFds_) {
        close(fd);
    }
    close(listenFd_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
    unlink(socketPath_.c_str());
}

std::vector<nlohmann::json> FakeManagementServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<nlohmann::json> FakeManagementServer::Requests(const std::string& op) const {
    std::vector<nlohmann::json> matching;
    for (const nlohmann::json& request : Requests()) {
        if (request.is_object() && request.value("op", std::string()) == op) {
            matching.push_back(request);
        }
    }
    return matching;
}

size_t FakeManagementServer::Answered(const std::string& op) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count(answeredOps_.begin(), answeredOps_.end(), op));
}

void FakeManagementServer::AcceptLoop() {
    for (;;) {
        pollfd waiting[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(waiting, 2, -1) < 0 || (waiting[1].revents & POLLIN) != 0) {
            return;
        }
        const int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(mutex_);
        connectionFds_.push_back(fd);
        connections_.emplace_back([this, fd] { Serve(fd); });
    }
}

void FakeManagementServer::Serve(int fd) {
    std::string buffered;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return;
        }
        buffered.append(chunk, static_cast<size_t>(got));
        for (auto newline = buffered.find('\n'); newline != std::string::npos;
             newline = buffered.find('\n')) {
            const nlohmann::json request =
                nlohmann::json::parse(buffered.substr(0, newline), nullptr, false);
            buffered.erase(0, newline + 1);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            for (const std::string& line : handler_(request)) {
                if (line == kHangUp) {
                    shutdown(fd, SHUT_RDWR);
                    return;
                }
                const std::string framed = line + "\n";
                if (!korvo::host::WriteFull(fd, framed.data(), framed.size())) {
                    return;
                }
            }
            std::lock_guard lock(mutex_);
            answeredOps_.push_back(request.is_object() ? request.value("op", std::string()) : "");
        }
    }
}

}  // namespace korvo::test

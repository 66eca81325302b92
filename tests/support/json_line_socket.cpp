// The tests' line connection to the management socket.
#include "support/json_line_socket.h"

#include <poll.h>
#include <unistd.h>

#include "korvo/management_protocol.h"
#include "korvo_host.h"

namespace korvo::test {

JsonLineSocket::JsonLineSocket() : JsonLineSocket(host::ConnectUnix(management::SocketPath())) {}

JsonLineSocket::JsonLineSocket(int fd) : fd_(fd) {}

JsonLineSocket::~JsonLineSocket() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool JsonLineSocket::Send(const std::string& bytes) {
    return fd_ >= 0 && host::WriteFull(fd_, bytes.data(), bytes.size());
}

std::optional<std::string> JsonLineSocket::ReadLine(int timeoutMs) {
    const long long deadline = host::SteadyNowMs() + timeoutMs;
    for (;;) {
        if (const auto newline = pending_.find('\n', scanned_); newline != std::string::npos) {
            std::string line(pending_, 0, newline);
            pending_.erase(0, newline + 1);
            scanned_ = 0;
            return line;
        }
        scanned_ = pending_.size();
        pollfd waiting{fd_, POLLIN, 0};
        if (fd_ < 0 || closed_ || poll(&waiting, 1, host::MillisecondsLeft(deadline)) <= 0) {
            return std::nullopt;
        }
        char chunk[65536];
        const ssize_t got = read(fd_, chunk, sizeof chunk);
        if (got <= 0) {
            closed_ = true;
            return std::nullopt;
        }
        pending_.append(chunk, static_cast<size_t>(got));
    }
}

nlohmann::json JsonLineSocket::Read(int timeoutMs) {
    const auto line = ReadLine(timeoutMs);
    return line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
}

nlohmann::json JsonLineSocket::Ask(const nlohmann::json& request, int timeoutMs) {
    return Send(request.dump() + "\n") ? Read(timeoutMs) : nlohmann::json();
}

bool JsonLineSocket::ClosedByPeer(int timeoutMs) {
    const long long deadline = host::SteadyNowMs() + timeoutMs;
    while (!closed_) {
        pollfd waiting{fd_, POLLIN, 0};
        if (fd_ < 0 || poll(&waiting, 1, host::MillisecondsLeft(deadline)) <= 0) {
            return false;
        }
        char chunk[65536];
        if (read(fd_, chunk, sizeof chunk) <= 0) {
            closed_ = true;
        }
    }
    pending_.clear();
    scanned_ = 0;
    return true;
}

}  // namespace korvo::test

// Talking to a running simulator over its control socket, and posting a window message the way
// the host layer's PostMessageA does.
#include "control_client.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "korvo/socket_deadline.h"
#include "korvo/window_protocol.h"
#include "korvo_host.h"

namespace korvo::adapter {
namespace {

constexpr size_t kMaxReplySize = 1 << 20;

}  // namespace

std::optional<ControlReply> SendControlLine(const std::string& controlPath, const std::string& line,
                                            std::string& error) {
    const int fd = host::ConnectUnix(controlPath);
    if (fd < 0) {
        error = "no simulator answers at " + controlPath + " (" + std::strerror(errno) +
                "); start one with `korvo-adapter serve`";
        return std::nullopt;
    }
    const std::string request = line + "\n";
    std::string reply;
    bool complete = host::WriteFull(fd, request.data(), request.size());
    char chunk[4096];
    while (complete && reply.size() < kMaxReplySize) {
        // ReadFull cannot tell the end of the reply from a failure, so read chunk by chunk.
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, kSocketDeadlineMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            complete = false;
            break;
        }
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            complete = got == 0;
            break;
        }
        reply.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    const size_t newline = reply.find('\n');
    if (!complete || newline == std::string::npos) {
        error = "the simulator at " + controlPath + " broke off its answer";
        return std::nullopt;
    }
    ControlReply answer;
    answer.ok = reply.compare(0, newline, "ok") == 0;
    answer.text = reply.substr(newline + 1);
    while (!answer.text.empty() && answer.text.back() == '\n') {
        answer.text.pop_back();
    }
    return answer;
}

bool PostTimerMessage(const std::string& windowPath, std::string& error) {
    const int fd = host::ConnectUnix(windowPath);
    if (fd < 0) {
        error = "no agent window answers at " + windowPath + " (" + std::strerror(errno) + ")";
        return false;
    }
    const window::WireMessage message = window::EncodeMessage({window::kWmTimer, 0, 0});
    const bool sent = host::WriteFull(fd, message.data(), message.size());
    close(fd);
    if (!sent) {
        error = "the agent window at " + windowPath + " closed before the message was sent";
    }
    return sent;
}

}  // namespace korvo::adapter

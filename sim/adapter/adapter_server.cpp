// The event loop around the adapter model: accepts same-user peers only, reads each exchange
// of the host layer's device protocol, hands it to the model and writes the answer the model
// chose (or none); control connections carry one command line each. Every socket is
// non-blocking and watched by one epoll instance, so no connection costs a thread.
#include "adapter_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <span>

#include <cstring>
#include <sstream>
#include <vector>

#include "control_command.h"
#include "korvo_host.h"

namespace korvo::adapter {
namespace {

constexpr int kControlReadTimeoutMs = 2000;
// How long a reply may take to leave when the client reads none of it.
constexpr int kReplyWriteTimeoutMs = kSocketDeadlineMs;
constexpr size_t kReadChunk = 4096;

std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

}  // namespace

ServerPaths DefaultServerPaths() {
    return {host::DevicePath(kDeviceName), host::RootPath() + "/" + kControlSocketName};
}

AdapterServer::AdapterServer(AdapterModel& model, ServerPaths paths, Echo echo)
    : model_(model),
      paths_(std::move(paths)),
      echo_(std::move(echo)),
      started_(std::chrono::steady_clock::now()) {
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakePipe_[0] = wakePipe_[1] = -1;
    }
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
}

AdapterServer::~AdapterServer() {
    CloseListeners();
    for (const auto& [fd, connection] : connections_) {
        close(fd);
    }
    if (epollFd_ >= 0) {
        close(epollFd_);
    }
    for (const int fd : wakePipe_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::string AdapterServer::Open() {
    if (wakePipe_[0] < 0 || epollFd_ < 0) {
        return std::string("cannot create the wake-up pipe or the event queue: ") +
               std::strerror(errno);
    }
    auto listenOn = [](const std::string& path, const char* what) -> std::pair<int, std::string> {
        const int fd = host::ListenUnix(path);
        if (fd >= 0) {
            return {fd, {}};
        }
        if (errno == EADDRINUSE) {
            return {-1, path +
                            " is already served by a running simulator; end it with "
                            "`korvo-adapter quit`, or give this one another KORVO_ROOT"};
        }
        return {-1, std::string("cannot listen on the ") + what + " socket " + path + ": " +
                        std::strerror(errno)};
    };
    auto [controlFd, controlError] = listenOn(paths_.control, "control");
    if (controlFd < 0) {
        return controlError;
    }
    controlFd_ = controlFd;
    auto [deviceFd, deviceError] = listenOn(paths_.device, "control device");
    if (deviceFd < 0) {
        CloseListeners();
        return deviceError;
    }
    deviceFd_ = deviceFd;
    for (const int fd : {deviceFd_, controlFd_}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = wakePipe_[0];
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakePipe_[0], &wake) != 0) {
        const std::string error =
            std::string("cannot watch the wake-up pipe: ") + std::strerror(errno);
        CloseListeners();
        return error;
    }
    WatchListeners(true);
    return {};
}

void AdapterServer::CloseListeners() {
    WatchListeners(false);
    if (deviceFd_ >= 0) {
        close(deviceFd_);
        unlink(paths_.device.c_str());
        deviceFd_ = -1;
    }
    if (controlFd_ >= 0) {
        close(controlFd_);
        unlink(paths_.control.c_str());
        controlFd_ = -1;
    }
}

void AdapterServer::RequestStop() {
    stopRequested_.store(true);
    if (wakePipe_[1] >= 0) {
        const char wake = 1;
        [[maybe_unused]] const ssize_t ignored = write(wakePipe_[1], &wake, 1);
    }
}

void AdapterServer::WatchListeners(bool watching) {
    listening_ = watching;
    for (const int fd : {deviceFd_, controlFd_}) {
        if (fd < 0 || epollFd_ < 0) {
            continue;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(epollFd_, watching ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, fd, &event);
    }
}

// Listens while a connection may be taken: not while kMaxConnections are open (the next
// clients wait in the listener's backlog, and their connect within its deadline, until one
// closes), nor while accepting rests for want of descriptors.
void AdapterServer::UpdateListening() {
    const bool room = acceptPausedUntil_ == 0 && connections_.size() < kMaxConnections;
    if (room != listening_) {
        WatchListeners(room);
    }
}

void AdapterServer::Run() {
    epoll_event events[64];
    while (!stopRequested_.load()) {
        int timeout = NextWakeMs();
        if (acceptPausedUntil_ != 0) {
            const int untilAccepting =
                static_cast<int>(std::max(0LL, acceptPausedUntil_ - host::SteadyNowMs()));
            timeout = timeout < 0 ? untilAccepting : std::min(timeout, untilAccepting);
        }
        const int ready = epoll_wait(epollFd_, events, 64, timeout);
        if (ready < 0 && errno != EINTR) {
            Say(std::string("epoll_wait failed: ") + std::strerror(errno));
            break;
        }
        if (acceptPausedUntil_ != 0 && host::SteadyNowMs() >= acceptPausedUntil_) {
            acceptPausedUntil_ = 0;
        }
        bool descriptorsLeft = true;
        for (int i = 0; i < ready && !stopRequested_.load(); ++i) {
            const int fd = events[i].data.fd;
            if (fd == wakePipe_[0]) {
                char drain[64];
                while (read(wakePipe_[0], drain, sizeof drain) > 0) {
                }
            } else if (fd == deviceFd_ || fd == controlFd_) {
                if (acceptPausedUntil_ == 0) {
                    descriptorsLeft = Accept(fd, fd == deviceFd_ ? Kind::Device : Kind::Control) &&
                                      descriptorsLeft;
                }
            } else if (const auto found = connections_.find(fd); found != connections_.end()) {
                Connection& connection = found->second;
                bool open = true;
                if ((events[i].events & EPOLLOUT) != 0) {
                    open = OnWritable(connection);
                }
                if (open && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                    open = OnReadable(connection);
                }
                if (!open) {
                    Close(fd);
                }
            }
        }
        if (!descriptorsLeft && acceptPausedUntil_ == 0) {
            acceptPausedUntil_ = host::SteadyNowMs() + host::kAcceptBackoffMs;
        }
        CloseExpired();
        UpdateListening();
    }
    CloseListeners();
    while (!connections_.empty()) {
        Close(connections_.begin()->first);
    }
}

// Accepts the connections waiting on `listenFd`, at most kAcceptsPerWake of them and only while
// fewer than kMaxConnections are open, and serves at once what has already arrived. The rest
// wait in the backlog for the next turn of the loop, which first closes the connections whose
// clients have hung up: a client that connects for each exchange comes back at once, and an
// accept loop that never let go would count every one it served as still open.
bool AdapterServer::Accept(int listenFd, Kind kind) {
    for (size_t accepted = 0; accepted < kAcceptsPerWake; ++accepted) {
        if (connections_.size() >= kMaxConnections) {
            CloseHungUp();
        }
        if (connections_.size() >= kMaxConnections) {
            return true;  // the next one waits for a connection to close
        }
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
        }
        if (!host::PeerIsSameUser(fd)) {
            close(fd);
            Say("closed a connection from another user");
            continue;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            close(fd);
            continue;
        }
        Connection& connection = connections_[fd];
        connection.fd = fd;
        connection.kind = kind;
        connection.deadline =
            host::SteadyNowMs() + (kind == Kind::Device ? idleLimitMs_ : kControlReadTimeoutMs);
        // A client writes its request right after connecting: it is often here already.
        if (!OnReadable(connection)) {
            Close(fd);
        }
    }
    return true;
}

// Serves what the connections have sent, as their turn in the loop would, and closes those
// whose clients have hung up in the meantime.
void AdapterServer::CloseHungUp() {
    std::vector<int> ready;
    for (const auto& [fd, connection] : connections_) {
        pollfd waiting{fd, POLLIN | POLLRDHUP, 0};
        if (!connection.watchingOutput && poll(&waiting, 1, 0) == 1) {
            ready.push_back(fd);
        }
    }
    for (const int fd : ready) {
        if (!OnReadable(connections_.at(fd))) {
            Close(fd);
        }
    }
}

void AdapterServer::Close(int fd) {
    if (epollFd_ >= 0) {
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    }
    close(fd);
    connections_.erase(fd);
}

int AdapterServer::NextWakeMs() const {
    if (connections_.empty()) {
        return -1;
    }
    long long soonest = LLONG_MAX;
    for (const auto& [fd, connection] : connections_) {
        soonest = std::min(soonest, connection.deadline);
    }
    return static_cast<int>(
        std::clamp(soonest - host::SteadyNowMs(), 0LL, static_cast<long long>(INT_MAX)));
}

// Closes the connections whose deadline has passed: an idle device connection, a request or
// a control line that stopped halfway, a reply nobody reads. A control line cut short is
// still answered, with the error that it did not arrive whole; a silent one is not.
void AdapterServer::CloseExpired() {
    const long long now = host::SteadyNowMs();
    std::vector<int> expired;
    for (auto& [fd, connection] : connections_) {
        if (connection.deadline <= now) {
            expired.push_back(fd);
        }
    }
    for (const int fd : expired) {
        Connection& connection = connections_.at(fd);
        if (connection.kind == Kind::Control && connection.output.empty() &&
            !connection.input.empty()) {
            ServeControlLine(connection, true);
            if (OnWritable(connection) && !connection.output.empty()) {
                continue;  // the answer leaves when the client reads; the new deadline holds
            }
        }
        Close(fd);
    }
}

bool AdapterServer::OnReadable(Connection& connection) {
    bool ended = false;
    for (;;) {
        if (connection.kind == Kind::Control && connection.input.size() >= kMaxControlLine) {
            break;
        }
        uint8_t chunk[kReadChunk];
        const ssize_t got = recv(connection.fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            connection.input.insert(connection.input.end(), chunk, chunk + got);
            if (static_cast<size_t>(got) < kReadChunk) {
                break;  // all there is for now
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        ended = true;  // the client hung up, or the connection broke
        break;
    }
    if (connection.kind == Kind::Control) {
        if (!connection.output.empty()) {
            return !ended;  // answered already; whatever follows the line is not read
        }
        const bool whole = std::find(connection.input.begin(), connection.input.end(), '\n') !=
                           connection.input.end();
        if (!whole && !ended && connection.input.size() < kMaxControlLine) {
            return true;  // the rest of the line is still to come
        }
        if (ended && connection.input.empty()) {
            return false;  // connected and left without a word, as a liveness check does
        }
        ServeControlLine(connection, false);
        return OnWritable(connection) && !ended;
    }
    // Once the client has hung up, a request it left whole is still served (the model logs
    // it), and a request cut off is dropped.
    return ServeDeviceRequests(connection) && OnWritable(connection) && !ended;
}

// Serves each whole request in the input, one after the other, while no reply is waiting to
// leave; false when the connection must close.
bool AdapterServer::ServeDeviceRequests(Connection& connection) {
    size_t used = 0;
    while (connection.output.empty()) {
        const size_t left = connection.input.size() - used;
        if (left < kRequestHeaderSize) {
            break;
        }
        const uint8_t* header = connection.input.data() + used;
        const auto [controlCode, inputLength, outputLength] = DecodeRequestHeader(header);
        if (inputLength > kMaxBufferLength || outputLength > kMaxBufferLength) {
            Say("closed a connection whose request announced " + std::to_string(inputLength) +
                " input and " + std::to_string(outputLength) + " output bytes");
            return false;
        }
        const size_t requestSize = kRequestHeaderSize + size_t{inputLength} + outputLength;
        if (left < requestSize) {
            break;
        }
        const std::span<const uint8_t> input(header + kRequestHeaderSize, inputLength);
        const std::span<const uint8_t> outputIn(header + kRequestHeaderSize + inputLength,
                                                outputLength);
        used += requestSize;
        SyncTraffic();
        const Answer answer = model_.Serve(controlCode, input, outputIn);
        if (echo_) {
            Say(FormatServedRequest(answer.served));
        }
        if (answer.action == Action::Close) {
            return false;
        }
        if (answer.action == Action::NoReply) {
            continue;
        }
        connection.output.resize(kReplyHeaderSize);
        EncodeReplyHeader({answer.success, answer.bytesReturned}, connection.output.data());
        connection.output.insert(connection.output.end(), answer.output.begin(),
                                 answer.output.end());
        connection.written = 0;
    }
    connection.input.erase(connection.input.begin(),
                           connection.input.begin() + static_cast<std::ptrdiff_t>(used));
    // Nothing begun: the idle limit; a request begun: its next part is due within the part
    // limit. A reply waiting to leave keeps the deadline of its write.
    if (connection.output.empty()) {
        connection.deadline =
            host::SteadyNowMs() + (connection.input.empty() ? idleLimitMs_ : kRequestPartTimeoutMs);
    }
    return true;
}

// Writes what is left of the reply, then serves and writes the requests that came in while it
// waited; false when the connection must close.
bool AdapterServer::OnWritable(Connection& connection) {
    while (!connection.output.empty()) {
        const ssize_t sent = send(connection.fd, connection.output.data() + connection.written,
                                  connection.output.size() - connection.written, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!connection.watchingOutput) {
                epoll_event event{};
                event.events = EPOLLOUT;  // no more requests read until this reply leaves
                event.data.fd = connection.fd;
                epoll_ctl(epollFd_, EPOLL_CTL_MOD, connection.fd, &event);
                connection.watchingOutput = true;
                connection.deadline = host::SteadyNowMs() + kReplyWriteTimeoutMs;
            }
            return true;
        }
        if (sent <= 0) {
            return false;
        }
        connection.written += static_cast<size_t>(sent);
        if (connection.written < connection.output.size()) {
            continue;
        }
        connection.output.clear();
        connection.written = 0;
        if (connection.closeAfterWrite) {
            if (connection.quit) {
                RequestStop();
            }
            return false;
        }
        if (connection.kind == Kind::Device && !ServeDeviceRequests(connection)) {
            return false;
        }
    }
    if (connection.watchingOutput) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = connection.fd;
        epoll_ctl(epollFd_, EPOLL_CTL_MOD, connection.fd, &event);
        connection.watchingOutput = false;
    }
    return true;
}

void AdapterServer::SyncTraffic() {
    const auto elapsed = std::chrono::steady_clock::now() - started_;
    const auto tick = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() /
                      (1000 / kTicksPerSecond);
    model_.AdvanceTrafficTo(static_cast<uint64_t>(tick));
}

void AdapterServer::Say(const std::string& line) {
    if (echo_) {
        echo_(line);
    }
}

// One control connection's command line, in the input up to its newline: "ok" or "error" and
// a text go out, then the connection closes. `expired`: the line's time ran out first.
void AdapterServer::ServeControlLine(Connection& connection, bool expired) {
    const auto newline = std::find(connection.input.begin(), connection.input.end(), '\n');
    const bool whole = newline != connection.input.end();
    const std::string line(connection.input.begin(), newline);
    ControlResult result;
    std::string error;
    if (!whole || expired) {
        result = {false, "the command line did not arrive whole", false};
    } else if (const auto command = ParseControlCommand(SplitWords(line), error)) {
        SyncTraffic();
        result = ExecuteControlCommand(model_, *command);
        Say("control: " + FormatControlCommand(*command) + (result.ok ? "" : " (refused)"));
    } else {
        result = {false, error, false};
    }
    const std::string reply = (result.ok ? "ok\n" : "error\n") + result.text + "\n";
    connection.output.assign(reply.begin(), reply.end());
    connection.written = 0;
    connection.closeAfterWrite = true;
    connection.quit = result.quit;
    connection.deadline = host::SteadyNowMs() + kReplyWriteTimeoutMs;
}

}  // namespace korvo::adapter

// Sockets and threads around the adapter model: accepts same-user peers only, reads each
// exchange of the host layer's device protocol, hands it to the model and writes the answer
// the model chose (or none); control connections carry one command line each.
#include "adapter_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "control_command.h"
#include "korvo_host.h"

namespace korvo::adapter {
namespace {

constexpr int kReapIntervalMs = 200;
constexpr int kControlReadTimeoutMs = 2000;

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
}

AdapterServer::~AdapterServer() {
    CloseListeners();
    for (const int fd : wakePipe_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::string AdapterServer::Open() {
    if (wakePipe_[0] < 0) {
        return std::string("cannot create the wake-up pipe: ") + std::strerror(errno);
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
    return {};
}

void AdapterServer::CloseListeners() {
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

void AdapterServer::Run() {
    auto acceptPausedUntil = std::chrono::steady_clock::time_point{};
    while (!stopRequested_.load()) {
        // Out of descriptors, the listeners rest a while instead of waking poll in a spin.
        const bool accepting = std::chrono::steady_clock::now() >= acceptPausedUntil;
        pollfd waiting[] = {{accepting ? deviceFd_ : -1, POLLIN, 0},
                            {accepting ? controlFd_ : -1, POLLIN, 0},
                            {wakePipe_[0], POLLIN, 0}};
        const int ready = poll(waiting, 3, kReapIntervalMs);
        if (ready < 0 && errno != EINTR) {
            Say(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if (ready > 0 && (waiting[2].revents & POLLIN) != 0) {
            char drain[64];
            while (read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        if (stopRequested_.load()) {
            break;
        }
        ReapFinished();
        bool descriptorsLeft = true;
        if (ready > 0 && (waiting[0].revents & POLLIN) != 0) {
            descriptorsLeft = Accept(deviceFd_, &AdapterServer::ServeDevice);
        }
        if (ready > 0 && (waiting[1].revents & POLLIN) != 0) {
            descriptorsLeft = Accept(controlFd_, &AdapterServer::ServeControl) && descriptorsLeft;
        }
        if (!descriptorsLeft) {
            acceptPausedUntil = std::chrono::steady_clock::now() +
                                std::chrono::milliseconds(host::kAcceptBackoffMs);
        }
    }
    CloseListeners();
    for (const auto& connection : connections_) {
        shutdown(connection->fd, SHUT_RDWR);  // wakes a thread blocked in read
    }
    for (const auto& connection : connections_) {
        connection->thread.join();
        close(connection->fd);
    }
    connections_.clear();
}

bool AdapterServer::Accept(int listenFd, void (AdapterServer::*serve)(int)) {
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
    }
    if (!host::PeerIsSameUser(fd)) {
        close(fd);
        Say("closed a connection from another user");
        return true;
    }
    if (connections_.size() >= kMaxConnections) {
        close(fd);
        Say("closed a connection: " + std::to_string(kMaxConnections) + " are open already");
        return true;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    Connection* raw = connection.get();
    connection->thread = std::thread([this, raw, serve] {
        (this->*serve)(raw->fd);
        // The peer sees the end at once; the descriptor is closed when the thread is reaped.
        shutdown(raw->fd, SHUT_RDWR);
        raw->finished.store(true);
    });
    connections_.push_back(std::move(connection));
    return true;
}

void AdapterServer::ReapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->finished.load()) {
            (*it)->thread.join();
            close((*it)->fd);
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void AdapterServer::SyncTraffic() {
    const auto elapsed = std::chrono::steady_clock::now() - started_;
    const auto tick = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() /
                      (1000 / kTicksPerSecond);
    model_.AdvanceTrafficTo(static_cast<uint64_t>(tick));
}

void AdapterServer::Say(const std::string& line) {
    if (echo_) {
        std::lock_guard lock(echoMutex_);
        echo_(line);
    }
}

// One connection of the control device: any number of exchanges until the client hangs up.
void AdapterServer::ServeDevice(int fd) {
    for (;;) {
        uint8_t header[kRequestHeaderSize];
        if (!host::ReadFull(fd, header, sizeof header, idleLimitMs_)) {
            return;  // the client closed the handle, broke off mid-header, or stayed silent
        }
        const auto [controlCode, inputLength, outputLength] = DecodeRequestHeader(header);
        if (inputLength > kMaxBufferLength || outputLength > kMaxBufferLength) {
            Say("closed a connection whose request announced " + std::to_string(inputLength) +
                " input and " + std::to_string(outputLength) + " output bytes");
            return;
        }
        std::vector<uint8_t> input(inputLength);
        std::vector<uint8_t> output(outputLength);
        if (!host::ReadFull(fd, input.data(), input.size(), kRequestPartTimeoutMs) ||
            !host::ReadFull(fd, output.data(), output.size(), kRequestPartTimeoutMs)) {
            return;  // hung up or stalled mid-request
        }
        SyncTraffic();
        const Answer answer = model_.Serve(controlCode, input, output);
        Say(FormatServedRequest(answer.served));
        if (answer.action == Action::Close) {
            return;
        }
        if (answer.action == Action::NoReply) {
            continue;
        }
        std::vector<uint8_t> reply(kReplyHeaderSize);
        EncodeReplyHeader({answer.success, answer.bytesReturned}, reply.data());
        reply.insert(reply.end(), answer.output.begin(), answer.output.end());
        if (!host::WriteFull(fd, reply.data(), reply.size())) {
            return;
        }
    }
}

// One control connection: one command line in, "ok" or "error" and a text out.
void AdapterServer::ServeControl(int fd) {
    std::string line;
    char c = 0;
    while (line.size() < kMaxControlLine && host::ReadFull(fd, &c, 1, kControlReadTimeoutMs) &&
           c != '\n') {
        line += c;
    }
    if (line.empty() && c != '\n') {
        return;  // connected and left without a word, as a liveness check does
    }
    std::string error;
    const std::vector<std::string> words = SplitWords(line);
    ControlResult result;
    if (c != '\n') {
        result = {false, "the command line did not arrive whole", false};
    } else if (const auto command = ParseControlCommand(words, error)) {
        SyncTraffic();
        result = ExecuteControlCommand(model_, *command);
        Say("control: " + FormatControlCommand(*command) + (result.ok ? "" : " (refused)"));
    } else {
        result = {false, error, false};
    }
    const std::string reply = (result.ok ? "ok\n" : "error\n") + result.text + "\n";
    host::WriteFull(fd, reply.data(), reply.size());
    if (result.quit) {
        RequestStop();
    }
}

}  // namespace korvo::adapter

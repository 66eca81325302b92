// The client's end of the management protocol (see korvo/management_protocol.h): a blocking
// Unix-domain connection with a deadline on every wait, and errors that tell an administrator
// what to start or set.
#include "management/management_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "korvo/management_protocol.h"
#include "korvo/socket_deadline.h"
#include "korvo_host.h"

namespace korvo::management {

namespace {

std::string SocketDirectory(const std::string& socketPath) {
    const auto slash = socketPath.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : socketPath.substr(0, slash);
}

// The Windows build of the service provider, run under Wine, serves a loopback TCP port (Wine
// has no Unix-domain sockets) and names it in dmi.port beside where dmi.sock would be; the
// console reaches it as "tcp:PORT" or "tcp:127.0.0.1:PORT". Loopback only: the protocol has
// no authentication of its own.
constexpr std::string_view kTcpPrefix = "tcp:";
constexpr std::string_view kLoopbackHost = "127.0.0.1:";
// A provider that takes no request bytes for this long is as good as gone.
constexpr int kSendTimeoutMs = korvo::kSocketDeadlineMs;

// The port of a "tcp:" endpoint; 0 when `endpoint` is not one or names no valid port.
unsigned short TcpPort(std::string_view endpoint) {
    if (!endpoint.starts_with(kTcpPrefix)) {
        return 0;
    }
    endpoint.remove_prefix(kTcpPrefix.size());
    if (endpoint.starts_with(kLoopbackHost)) {
        endpoint.remove_prefix(kLoopbackHost.size());
    }
    unsigned long port = 0;
    for (const char c : endpoint) {
        if (c < '0' || c > '9' || port > 0xFFFF) {
            return 0;
        }
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    return port > 0 && port <= 0xFFFF ? static_cast<unsigned short>(port) : 0;
}

int ConnectLoopback(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

std::string Seconds(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    if (ms % 1000 == 0) {
        return std::to_string(ms / 1000) + " s";
    }
    return std::to_string(ms) + " ms";
}

}  // namespace

std::string ManagementSocketPath(const std::string& overridePath) {
    if (!overridePath.empty()) {
        return overridePath;
    }
    const std::string directory = korvo::management::ProviderDirectory();
    if (directory.empty()) {
        throw ConnectionError(
            "WIN32DMIPATH is not set, so the service provider's management socket is unknown: "
            "set WIN32DMIPATH to the directory the agent runs with (its socket is "
            "$WIN32DMIPATH/dmi.sock), or give --socket PATH");
    }
    const std::string socketPath =
        korvo::management::ProviderFile(directory, korvo::management::kSocketFileName);
    // A provider that serves a port instead says so in dmi.port beside the socket's place.
    if (access(socketPath.c_str(), F_OK) != 0) {
        std::ifstream portFile(
            korvo::management::ProviderFile(directory, korvo::management::kPortFileName));
        std::string port;
        if (portFile >> port && TcpPort(std::string(kTcpPrefix) + port) != 0) {
            return std::string(kTcpPrefix) + std::string(kLoopbackHost) + port;
        }
    }
    return socketPath;
}

int ConnectManagementEndpoint(const std::string& endpoint) {
    if (!endpoint.starts_with(kTcpPrefix)) {
        return korvo::host::ConnectUnix(endpoint);
    }
    const unsigned short port = TcpPort(endpoint);
    if (port == 0) {
        errno = EINVAL;
        return -1;
    }
    return ConnectLoopback(port);
}

ManagementClient::ManagementClient(std::string socketPath, std::chrono::milliseconds replyTimeout)
    : socketPath_(std::move(socketPath)), replyTimeout_(replyTimeout) {
    if (socketPath_.starts_with(kTcpPrefix)) {
        const unsigned short port = TcpPort(socketPath_);
        if (port == 0) {
            throw ConnectionError("\"" + socketPath_ +
                                  "\" is not a loopback endpoint: give tcp:PORT or "
                                  "tcp:127.0.0.1:PORT");
        }
        fd_ = ConnectLoopback(port);
        if (fd_ < 0) {
            const int error = errno;
            throw ConnectionError("cannot reach the DMI service provider: nothing listens on " +
                                  socketPath_ + " (" + std::strerror(error) + ")");
        }
        return;
    }
    fd_ = korvo::host::ConnectUnix(socketPath_);
    if (fd_ < 0) {
        const int error = errno;
        std::string what = "cannot reach the DMI service provider: nothing listens on " +
                           socketPath_ + " (" + std::strerror(error) + "). ";
        if (socketPath_.ends_with(std::string("/") + korvo::management::kSocketFileName)) {
            what += "The agent must be running with WIN32DMIPATH=" + SocketDirectory(socketPath_) +
                    " (the service provider it loads serves that socket), or give --socket PATH";
        } else {
            what +=
                "The service provider serves $WIN32DMIPATH/dmi.sock while the agent runs: "
                "give --socket that path";
        }
        throw ConnectionError(what);
    }
}

ManagementClient::~ManagementClient() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

nlohmann::json ManagementClient::Request(const nlohmann::json& request) {
    return Request(request, replyTimeout_);
}

nlohmann::json ManagementClient::Request(const nlohmann::json& request,
                                         std::chrono::milliseconds timeout) {
    CatchUp();
    SendLine(request);
    return ParseMessage(AwaitAnswer(request, timeout), true);
}

std::string ManagementClient::AwaitAnswer(const nlohmann::json& request,
                                          std::chrono::milliseconds timeout) {
    auto line = ReadLine(std::chrono::steady_clock::now() + timeout);
    if (!line) {
        throw ReplyTimeout("the service provider on " + socketPath_ + " did not answer \"" +
                           request.value("op", std::string()) + "\" within " + Seconds(timeout));
    }
    return std::move(*line);
}

void ManagementClient::CatchUp() {
    for (; unread_ > 0; --unread_) {
        readAhead_.push_back(AwaitAnswer(nlohmann::json::object(), replyTimeout_));
    }
    for (; abandoned_ > 0; --abandoned_) {
        AwaitAnswer(nlohmann::json::object(), replyTimeout_);
    }
}

void ManagementClient::Pipeline(std::span<const nlohmann::json> requests,
                                const std::function<void(size_t, nlohmann::json)>& answer) {
    if (pipelining_) {
        throw std::logic_error("a management pipeline was started inside another");
    }
    if (requests.empty()) {
        return;
    }
    CatchUp();
    std::string lines;
    for (const nlohmann::json& request : requests) {
        lines += request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    SendText(lines);
    pipelining_ = true;
    unread_ = requests.size();
    struct Ended {
        ManagementClient& client;
        ~Ended() {
            client.abandoned_ += client.unread_;
            client.unread_ = 0;
            client.readAhead_.clear();
            client.pipelining_ = false;
        }
    } ended{*this};
    for (size_t i = 0; i < requests.size(); ++i) {
        std::string line;
        if (!readAhead_.empty()) {
            line = std::move(readAhead_.front());
            readAhead_.pop_front();
        } else {
            line = AwaitAnswer(requests[i], replyTimeout_);
            --unread_;
        }
        answer(i, ParseMessage(line, true));
    }
}

std::optional<nlohmann::json> ManagementClient::Receive(std::chrono::milliseconds wait) {
    const auto line = ReadLine(std::chrono::steady_clock::now() + wait);
    if (!line) {
        return std::nullopt;
    }
    return ParseMessage(*line, false);
}

void ManagementClient::SendLine(const nlohmann::json& message) {
    // Replacing invalid UTF-8 keeps a stray byte in a user's text from aborting the dump.
    SendText(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void ManagementClient::SendText(const std::string& lines) {
    if (!korvo::host::WriteFull(fd_, lines.data(), lines.size(), kSendTimeoutMs)) {
        const int error = errno;
        // A provider that turns a connection away (too many are open) says why before it
        // closes: that line, already here, is the answer to give.
        try {
            if (const auto refusal =
                    ReadLine(std::chrono::steady_clock::now() + std::chrono::seconds(1))) {
                buffered_.insert(0, *refusal + "\n");
                searched_ = 0;
                return;
            }
        } catch (const ConnectionError&) {
        }
        throw ConnectionError("the service provider on " + socketPath_ +
                              " closed the connection before taking the request (" +
                              std::strerror(error) + ")" + WhyClosedUnanswered());
    }
}

std::optional<std::string> ManagementClient::ReadLine(
    std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        // Only what arrived since the last look is searched: a long answer comes in parts.
        if (const auto newline = buffered_.find('\n', searched_); newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            searched_ = 0;
            answered_ = true;
            return line;
        }
        searched_ = buffered_.size();
        if (buffered_.size() > kMaxLineBytes) {
            throw ConnectionError("the service provider on " + socketPath_ +
                                  " sent a line longer than " + std::to_string(kMaxLineBytes) +
                                  " bytes");
        }
        // Rounded up, so a wait never ends before its deadline.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd waiting{fd_, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            throw ConnectionError("waiting for the service provider on " + socketPath_ +
                                  " failed: " + std::strerror(errno));
        }
        if (ready == 0) {
            return std::nullopt;
        }
        char chunk[65536];
        const ssize_t got = read(fd_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            std::string message =
                "the service provider on " + socketPath_ + " closed the connection";
            if (!answered_) {
                message += " without an answer" + WhyClosedUnanswered();
            }
            throw ConnectionError(message);
        }
        buffered_.append(chunk, static_cast<size_t>(got));
    }
}

std::string ManagementClient::WhyClosedUnanswered() const {
    if (socketPath_.starts_with(kTcpPrefix)) {
        return std::string();
    }
    // The credentials of the process that listens on the socket.
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool known = getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    if (known && peer.uid != getuid()) {
        return " (it runs as user " + std::to_string(peer.uid) +
               " and serves only peers that run as its own user)";
    }
    // A process that is ending closes its connections just before its socket: a moment's grace.
    constexpr int kChecks = 5;
    constexpr auto kCheckInterval = std::chrono::milliseconds(20);
    for (int check = 0; check < kChecks; ++check) {
        const int probe = korvo::host::ConnectUnix(socketPath_, kSendTimeoutMs);
        if (probe < 0) {
            return ": it has gone, nothing listens there any more (has the agent that loads it "
                   "ended?)";
        }
        close(probe);
        std::this_thread::sleep_for(kCheckInterval);
    }
    return std::string();
}

nlohmann::json ManagementClient::ParseMessage(const std::string& line, bool isResponse) const {
    nlohmann::json response = nlohmann::json::parse(line, nullptr, false);
    const bool hasStatus = response.is_object() && response.contains("status") &&
                           response["status"].is_number_integer();
    if (response.is_discarded() || !response.is_object() || (isResponse && !hasStatus)) {
        std::string shown = line.substr(0, 200);
        throw ConnectionError("the service provider on " + socketPath_ +
                              " answered with something that is not a protocol response: " + shown);
    }
    if (const auto closing = response.find(korvo::management::kClosingMember);
        closing != response.end() && closing->is_boolean() && closing->get<bool>()) {
        const auto error = response.find("error");
        throw ConnectionError(
            "the service provider on " + socketPath_ + " closed the connection: " +
            (error != response.end() && error->is_string() ? error->get<std::string>()
                                                           : std::string("it gave no reason")));
    }
    return response;
}

}  // namespace korvo::management

// A management tool's connection to the DMI service provider's management socket: one JSON request
// line out, one JSON response line back, each wait bounded so a stuck server cannot hang a
// script. Subscriptions read further lines from the same connection.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace korvo::management {

// The service provider (or a window) cannot be reached, or answered outside the protocol.
class ConnectionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// No answer came in time. Its answer may still come: the connection is out of step and must
// carry no other request.
class ReplyTimeout : public ConnectionError {
  public:
    using ConnectionError::ConnectionError;
};

// The management socket: `overridePath` when not empty, else $WIN32DMIPATH/dmi.sock, or, when
// that does not exist and $WIN32DMIPATH/dmi.port names a port, "tcp:127.0.0.1:PORT" (the
// Windows build of the service provider). Throws ConnectionError saying what to set when
// WIN32DMIPATH is not set either.
std::string ManagementSocketPath(const std::string& overridePath);

// Connects to an endpoint as ManagementSocketPath gives it, a Unix-domain socket path or
// "tcp:[127.0.0.1:]PORT": the connected descriptor, or -1 with errno set (EINVAL for a tcp
// endpoint that names no port), for a client that does its own reading and writing.
int ConnectManagementEndpoint(const std::string& endpoint);

class ManagementClient {
  public:
    // A read through the agent costs at most one driver exchange, which gives up after 5 s.
    static constexpr std::chrono::milliseconds kDefaultReplyTimeout{15000};
    // A response line longer than this is a broken server, not data.
    static constexpr size_t kMaxLineBytes = 64u << 20;

    // Connects at once to a Unix-domain socket path or to "tcp:[127.0.0.1:]PORT"; throws
    // ConnectionError naming the endpoint when nothing listens there.
    explicit ManagementClient(std::string socketPath,
                              std::chrono::milliseconds replyTimeout = kDefaultReplyTimeout);
    ~ManagementClient();
    ManagementClient(const ManagementClient&) = delete;
    ManagementClient& operator=(const ManagementClient&) = delete;

    const std::string& socketPath() const { return socketPath_; }

    // Sends one request and returns its response: a JSON object with a numeric "status".
    nlohmann::json Request(const nlohmann::json& request);
    // The same, waiting at most `timeout` for this one response.
    nlohmann::json Request(const nlohmann::json& request, std::chrono::milliseconds timeout);

    // The socket, for a caller that only polls it to see whether lines wait unread.
    int descriptor() const { return fd_; }

    // The next line of a subscription (a JSON object: the first response, then {"event":...}
    // lines), or nothing when none arrived within `wait`.
    std::optional<nlohmann::json> Receive(std::chrono::milliseconds wait);

  private:
    void SendLine(const nlohmann::json& message);
    std::optional<std::string> ReadLine(std::chrono::steady_clock::time_point deadline);
    // Why the provider closed the connection before answering anything, as the end of a
    // message: it has gone, or it serves only peers of its own user; empty when neither shows.
    std::string WhyClosedUnanswered() const;
    // A response must carry a numeric "status"; the later lines of a subscription need not.
    nlohmann::json ParseMessage(const std::string& line, bool isResponse) const;

    std::string socketPath_;
    std::chrono::milliseconds replyTimeout_;
    int fd_ = -1;
    std::string buffered_;
    bool answered_ = false;
};

}  // namespace korvo::management

// A management tool's connection to the DMI service provider's management socket: one JSON request
// line out, one JSON response line back, each wait bounded so a stuck server cannot hang a
// script. Subscriptions read further lines from the same connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <span>
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

    // Sends every request at once, then hands each answer (as Request returns it) to `answer`
    // in order as it arrives, so that the caller's work on one answer overlaps the provider's
    // work on the next. `answer` may make requests of its own: the answers still to come are
    // read ahead first. For requests of modest size (they are all written before any answer
    // is read); each answer is awaited at most the reply timeout. Answers left unread when
    // `answer` throws are read and dropped before the next request.
    void Pipeline(std::span<const nlohmann::json> requests,
                  const std::function<void(size_t, nlohmann::json)>& answer);

    // The socket, for a caller that only polls it to see whether lines wait unread.
    int descriptor() const { return fd_; }
    // Whether bytes already read from the socket wait here for Receive: a caller that polls
    // the socket must look here too.
    bool HasBuffered() const { return !buffered_.empty(); }

    // The next line of a subscription (a JSON object: the first response, then {"event":...}
    // lines), or nothing when none arrived within `wait`.
    std::optional<nlohmann::json> Receive(std::chrono::milliseconds wait);

  private:
    void SendLine(const nlohmann::json& message);
    void SendText(const std::string& lines);
    // The next answer line, awaited at most `timeout`; ReplyTimeout names `request`'s op.
    std::string AwaitAnswer(const nlohmann::json& request, std::chrono::milliseconds timeout);
    // Reads the answers of a pipeline still on their way: kept for the pipeline while it
    // runs, dropped once it has ended.
    void CatchUp();
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
    size_t searched_ = 0;  // bytes of buffered_ known to hold no newline
    bool answered_ = false;
    size_t unread_ = 0;                  // a running pipeline's answers not yet read
    std::deque<std::string> readAhead_;  // and those read ahead of their turn
    size_t abandoned_ = 0;               // answers of an ended pipeline, still to be dropped
    bool pipelining_ = false;
};

}  // namespace korvo::management

// The management socket of the service provider: a Unix-domain stream socket (mode 0600,
// same-user peers only; a loopback TCP port on Windows, see sp_platform.h) on which management
// applications send one JSON request per line and get one JSON answer per line. This class
// owns the socket and its threads (one per connection, at most kMaxConnections; one more is
// told so and closed) and the framing; what a request means is the backend's business. A
// connection that sends no whole request for the idle limit is closed, and so is one that does
// not take an answer within the write limit; either is closed as soon as its thread ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "sp_platform.h"

namespace korvo::sp {

class ManagementBackend {
  public:
    virtual ~ManagementBackend() = default;
    // Answers one request object of any op but the streams (subscribe): the answer's one line of
    // JSON (AnswerText), without its newline.
    virtual std::string Handle(const nlohmann::json& request) = 0;
    // The number of the latest notice of a set: a subscription takes it before it is
    // answered, so that no set after the answer goes unnoticed.
    virtual uint64_t LastNotice() = 0;
    // The events after `since` and the notices of sets after `*notice` (which becomes the
    // last one's number), waiting up to `wait` for either when there are none yet.
    virtual std::vector<nlohmann::json> EventsAfter(uint64_t since, uint64_t* notice,
                                                    std::vector<nlohmann::json>* notices,
                                                    std::chrono::milliseconds wait) = 0;
};

class ManagementServer {
  public:
    // A request line longer than this is refused (and the rest of it skipped).
    static constexpr size_t kMaxLineBytes = 64 * 1024;
    static constexpr size_t kMaxConnections = 64;
    // How long a connection may go without sending a whole request line (10 s; the
    // environment's KORVO_SP_IDLE_LIMIT_MS shortens it for tests). Subscriptions are exempt.
    static constexpr int kIdleLimitMs = 10000;

    // Listens on `socketPath` and serves it until Stop(). Null, with `error`, when the
    // socket cannot be made (another live server on it, a path too long, no directory).
    static std::unique_ptr<ManagementServer> Start(const std::string& socketPath,
                                                   ManagementBackend& backend, std::string* error);

    ManagementServer(ManagementBackend& backend, os::Endpoint endpoint, int idleLimitMs);
    ~ManagementServer();
    ManagementServer(const ManagementServer&) = delete;
    ManagementServer& operator=(const ManagementServer&) = delete;

    // Closes the socket, ends every connection and joins every thread.
    void Stop();

  private:
    struct Connection {
        os::Socket fd = os::kNoSocket;  // kNoSocket once its thread has closed it
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void Serve(Connection& connection);
    // False when the connection is to end (a write failed, or it became a subscription).
    bool HandleLine(os::Socket fd, const std::string& line);
    void ServeSubscription(os::Socket fd, uint64_t since, uint64_t notice);
    void ReapFinished();

    ManagementBackend& backend_;
    os::Endpoint endpoint_;
    const int idleLimitMs_;
    // An answer or an event must leave within this (kSocketDeadlineMs, or the idle limit when
    // that is shorter); a peer that does not take it is dropped.
    const int writeLimitMs_;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex connectionsMutex_;
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace korvo::sp

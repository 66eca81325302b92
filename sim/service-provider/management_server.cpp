// The management socket's threads and line framing; see management_server.h.
#include "management_server.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "event_log.h"
#include "korvo/socket_deadline.h"
#include "korvo/management_protocol.h"
#include "management_answer.h"

namespace korvo::sp {
namespace {

constexpr auto kSubscriberPoll = std::chrono::milliseconds(200);

int IdleLimitMs() {
    const char* setting = std::getenv("KORVO_SP_IDLE_LIMIT_MS");
    const long chosen = setting != nullptr ? std::strtol(setting, nullptr, 10) : 0;
    return chosen > 0 && chosen <= ManagementServer::kIdleLimitMs ? static_cast<int>(chosen)
                                                                  : ManagementServer::kIdleLimitMs;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A line goes out within `limitMs` or the connection is given up: a peer that does not take
// its answers holds a place no longer than an idle one.
bool SendLine(os::Socket fd, std::string line, int limitMs) {
    line += '\n';
    return os::SendAll(fd, line.data(), line.size(), limitMs);
}

bool SendLine(os::Socket fd, const nlohmann::json& message, int limitMs) {
    return SendLine(fd, AnswerText(message), limitMs);
}

// The last answer on a connection the server closes: it says so, and why.
void SendClosing(os::Socket fd, DmiErrorStatus status, const std::string& error, int limitMs) {
    nlohmann::json answer = Answer(status, error);
    answer[korvo::management::kClosingMember] = true;
    SendLine(fd, answer, limitMs);
}

}  // namespace

std::unique_ptr<ManagementServer> ManagementServer::Start(const std::string& socketPath,
                                                          ManagementBackend& backend,
                                                          std::string* error) {
    os::Endpoint endpoint;
    if (!os::OpenEndpoint(socketPath, &endpoint, error)) {
        return nullptr;
    }
    return std::make_unique<ManagementServer>(backend, std::move(endpoint), IdleLimitMs());
}

ManagementServer::ManagementServer(ManagementBackend& backend, os::Endpoint endpoint,
                                   int idleLimitMs)
    : backend_(backend),
      endpoint_(std::move(endpoint)),
      idleLimitMs_(idleLimitMs),
      writeLimitMs_(std::min(idleLimitMs, kSocketDeadlineMs)) {
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ManagementServer::~ManagementServer() {
    Stop();
}

void ManagementServer::Stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    os::WakeEndpoint(endpoint_);
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    std::list<std::unique_ptr<Connection>> connections;
    {
        // Under the lock, so that no connection closes its socket meanwhile.
        std::lock_guard lock(connectionsMutex_);
        for (auto& connection : connections_) {
            if (connection->fd != os::kNoSocket) {
                os::ShutdownSocket(connection->fd);
            }
        }
        connections.swap(connections_);
    }
    for (auto& connection : connections) {
        connection->thread.join();
        if (connection->fd != os::kNoSocket) {
            os::CloseSocket(connection->fd);
        }
    }
    os::CloseEndpoint(endpoint_);
}

void ManagementServer::ReapFinished() {
    std::lock_guard lock(connectionsMutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();  // its socket is closed already
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void ManagementServer::AcceptLoop() {
    while (!stopping_) {
        os::Socket fd = os::kNoSocket;
        const os::AcceptResult result = os::AcceptNext(endpoint_, &fd);
        if (result == os::AcceptResult::woken) {
            return;
        }
        if (result != os::AcceptResult::connection) {
            continue;
        }
        if (stopping_) {
            os::CloseSocket(fd);
            return;
        }
        ReapFinished();
        std::unique_lock lock(connectionsMutex_);
        if (connections_.size() >= kMaxConnections) {
            lock.unlock();
            SendClosing(fd, DMIERR_BUFFER_FULL,
                        "too many management connections are open (" +
                            std::to_string(kMaxConnections) + ")",
                        writeLimitMs_);
            os::CloseSocket(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection& served = *connection;
        connections_.push_back(std::move(connection));
        served.thread = std::thread([this, &served] {
            Serve(served);
            // Closed at once, so that the peer sees the end now rather than at the next accept.
            std::lock_guard closing(connectionsMutex_);
            os::CloseSocket(served.fd);
            served.fd = os::kNoSocket;
            served.done = true;
        });
    }
}

void ManagementServer::Serve(Connection& connection) {
    const os::Socket fd = connection.fd;
    std::string line;
    bool skippingLongLine = false;
    char chunk[4096];
    auto idleDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(idleLimitMs_);
    while (!stopping_) {
        if (!os::WaitReadable(fd, MillisecondsUntil(idleDeadline))) {
            // No whole request within the idle limit: the place goes to someone else.
            SendClosing(fd, DMIERR_ILL_FORMED_COMMAND,
                        "the connection sent no whole request for " + std::to_string(idleLimitMs_) +
                            " ms and is closed",
                        writeLimitMs_);
            return;
        }
        const long got = os::ReceiveSome(fd, chunk, sizeof chunk);
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
                if (!SendLine(fd,
                              Answer(DMIERR_ILL_FORMED_COMMAND, "a request line is longer than " +
                                                                    std::to_string(kMaxLineBytes) +
                                                                    " bytes"),
                              writeLimitMs_)) {
                    return;
                }
                continue;
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const bool goOn = HandleLine(fd, line);
            line.clear();
            idleDeadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(idleLimitMs_);
            if (!goOn) {
                return;
            }
        }
    }
}

bool ManagementServer::HandleLine(os::Socket fd, const std::string& line) {
    std::string answer;
    try {
        const auto request = nlohmann::json::parse(line, nullptr, false);
        if (!request.is_object()) {
            return SendLine(
                fd, Answer(DMIERR_ILL_FORMED_COMMAND, "a request is one JSON object on one line"),
                writeLimitMs_);
        }
        const auto op = request.find("op");
        const management::OpEntry* entry = op != request.end() && op->is_string()
                                               ? management::FindOp(op->get<std::string>())
                                               : nullptr;
        if (entry != nullptr && entry->answer == management::AnswerKind::kStream) {
            uint64_t since = 0;
            if (nlohmann::json refusal; !SinceMember(request, &since, &refusal)) {
                return SendLine(fd, refusal, writeLimitMs_);
            }
            const uint64_t notice = backend_.LastNotice();
            if (SendLine(fd, Answer(DMIERR_NO_ERROR), writeLimitMs_)) {
                ServeSubscription(fd, since, notice);
            }
            return false;
        }
        answer = backend_.Handle(request);
    } catch (const std::bad_alloc&) {
        answer = AnswerText(Answer(DMIERR_OUT_OF_MEMORY, "the service provider ran out of memory"));
    } catch (const std::exception& failure) {
        answer = AnswerText(Answer(DMIERR_ILL_FORMED_COMMAND, failure.what()));
    }
    return SendLine(fd, answer, writeLimitMs_);
}

void ManagementServer::ServeSubscription(os::Socket fd, uint64_t since, uint64_t notice) {
    uint64_t last = since;
    std::vector<nlohmann::json> sets;
    while (!stopping_) {
        for (const auto& event : backend_.EventsAfter(last, &notice, &sets, kSubscriberPoll)) {
            if (!SendLine(fd, {{"event", event}}, writeLimitMs_)) {
                return;
            }
            last = event["sequence"].get<uint64_t>();
        }
        for (const auto& set : sets) {
            if (!SendLine(fd, {{"set", set}}, writeLimitMs_)) {
                return;
            }
        }
        if (os::PeerGone(fd)) {
            return;
        }
    }
}

}  // namespace korvo::sp

// A stand-in for the service provider's management socket: a thread that accepts connections
// on a Unix-domain socket, records every request line, and answers each with the lines a
// test's handler gives (none, to leave a request unanswered).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvo::test {

class FakeManagementServer {
  public:
    // The lines to send back for one request line (`request` is discarded JSON when the line
    // was not JSON). A line equal to kHangUp closes the connection instead.
    using Handler = std::function<std::vector<std::string>(const nlohmann::json& request)>;
    static constexpr const char* kHangUp = "<hang up>";

    FakeManagementServer(std::string socketPath, Handler handler);
    ~FakeManagementServer();
    FakeManagementServer(const FakeManagementServer&) = delete;
    FakeManagementServer& operator=(const FakeManagementServer&) = delete;

    const std::string& socketPath() const { return socketPath_; }

    // Every request received so far, in order of arrival.
    std::vector<nlohmann::json> Requests() const;
    // Those whose "op" is `op`.
    std::vector<nlohmann::json> Requests(const std::string& op) const;
    // How many requests whose "op" is `op` have had every line of their answer written.
    size_t Answered(const std::string& op) const;

  private:
    void AcceptLoop();
    void Serve(int fd);

    std::string socketPath_;
    Handler handler_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<nlohmann::json> requests_;
    std::vector<std::string> answeredOps_;  // the "op" of each request answered in full
    std::vector<std::thread> connections_;
    std::vector<int> connectionFds_;
};

}  // namespace korvo::test

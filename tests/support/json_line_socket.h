// A test's or a load tool's connection to the management socket, below the real client: bytes
// out exactly as given (broken protocol included), one line (a JSON object) back at a time,
// and whether the provider has closed the connection.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace korvo::test {

class JsonLineSocket {
  public:
    static constexpr int kAnswerTimeoutMs = 10000;

    JsonLineSocket();                 // connects to $WIN32DMIPATH/dmi.sock
    explicit JsonLineSocket(int fd);  // takes a connected descriptor (or -1) over
    ~JsonLineSocket();
    JsonLineSocket(const JsonLineSocket&) = delete;
    JsonLineSocket& operator=(const JsonLineSocket&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // True once the provider has closed the connection (a read found its end).
    bool closed() const { return closed_; }

    // Writes all of `bytes`; false when not connected or the write failed.
    bool Send(const std::string& bytes);
    // The next line without its newline; none when nothing whole came within `timeoutMs` or
    // the connection ended.
    std::optional<std::string> ReadLine(int timeoutMs = kAnswerTimeoutMs);
    // The next line as JSON (a discarded value when it is not JSON); null when none came.
    nlohmann::json Read(int timeoutMs = kAnswerTimeoutMs);
    // Sends `request` as one line and reads the next line.
    nlohmann::json Ask(const nlohmann::json& request, int timeoutMs = kAnswerTimeoutMs);
    // True when the provider closes the connection within `timeoutMs`; what it still sends
    // first is read and dropped.
    bool ClosedByPeer(int timeoutMs);

  private:
    int fd_ = -1;
    bool closed_ = false;
    std::string pending_;
    size_t scanned_ = 0;  // bytes of pending_ known to hold no newline
};

}  // namespace korvo::test

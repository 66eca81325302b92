// The simulated driver's control device on Linux: serves an AdapterModel on the control device
// socket the host layer connects to, and takes control commands on a socket of its own. One
// thread serves every connection from an event loop, so a slow or silent exchange holds up no
// other client; at most kMaxConnections at once (the next clients wait to be accepted until
// one closes), each closed after kIdleLimitMs without a request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "adapter_model.h"
#include "korvo/socket_deadline.h"

namespace korvo::adapter {

inline constexpr char kControlSocketName[] = "adapter.ctl";

struct ServerPaths {
    std::string device;   // $KORVO_ROOT/devices/korvodmi.vxd
    std::string control;  // $KORVO_ROOT/adapter.ctl
};
ServerPaths DefaultServerPaths();

class AdapterServer {
  public:
    // `echo` receives one line per request served and per notable event; it may be empty.
    using Echo = std::function<void(const std::string&)>;

    AdapterServer(AdapterModel& model, ServerPaths paths, Echo echo = {});
    ~AdapterServer();
    AdapterServer(const AdapterServer&) = delete;
    AdapterServer& operator=(const AdapterServer&) = delete;

    // Binds both sockets. Returns an empty string on success, otherwise what was wrong and what
    // to do; nothing is left bound then.
    std::string Open();

    // Serves until RequestStop() or a `quit` command, then closes every connection and removes
    // both socket files.
    void Run();

    // Ends Run() soon. Safe to call from a signal handler and from any thread.
    void RequestStop();

    // A request's input and output buffers are refused beyond this size: the connection is
    // closed, since nothing sensible can be read into them.
    static constexpr uint32_t kMaxBufferLength = 4096;
    // Once a request has begun, each further part of it must arrive within this time.
    static constexpr int kRequestPartTimeoutMs = kSocketDeadlineMs;
    static constexpr size_t kMaxControlLine = 4096;
    // Connections served at once; one more waits in the listener's backlog (its client within
    // its connect and exchange deadline) until one closes. Connections whose clients have hung
    // up do not count, even before the loop has come to them.
    static constexpr size_t kMaxConnections = 64;
    // Connections accepted at one turn of the loop; the rest are accepted at the next.
    static constexpr size_t kAcceptsPerWake = 16;
    // A device connection that starts no request for this long is closed.
    static constexpr int kIdleLimitMs = 10000;

    // Shortens the idle limit (tests); call before Run().
    void SetIdleLimitMs(int milliseconds) { idleLimitMs_ = milliseconds; }

  private:
    enum class Kind { Device, Control };
    // One accepted connection: the bytes read and not yet used, the reply not yet written,
    // and when it is closed unless something happens first.
    struct Connection {
        int fd = -1;
        Kind kind = Kind::Device;
        std::vector<uint8_t> input;
        std::vector<uint8_t> output;
        size_t written = 0;
        long long deadline = 0;
        bool closeAfterWrite = false;
        bool quit = false;  // the answer is to `quit`: the server stops once it has left
        bool watchingOutput = false;
    };

    // False when the process is out of descriptors.
    bool Accept(int listenFd, Kind kind);
    void CloseHungUp();
    // Reads what is there and serves what is whole; false when the connection is done with.
    bool OnReadable(Connection& connection);
    bool OnWritable(Connection& connection);
    bool ServeDeviceRequests(Connection& connection);
    void ServeControlLine(Connection& connection, bool expired);
    void Close(int fd);
    void CloseExpired();
    int NextWakeMs() const;
    void WatchListeners(bool watching);
    void UpdateListening();
    void SyncTraffic();
    void Say(const std::string& line);
    void CloseListeners();

    AdapterModel& model_;
    ServerPaths paths_;
    Echo echo_;
    std::chrono::steady_clock::time_point started_;
    int deviceFd_ = -1;
    int controlFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    int epollFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    int idleLimitMs_ = kIdleLimitMs;
    bool listening_ = false;                 // the listeners are watched for connections
    long long acceptPausedUntil_ = 0;        // accepting rests until then (out of descriptors)
    std::map<int, Connection> connections_;  // by descriptor; touched by Run()'s thread only
};

}  // namespace korvo::adapter

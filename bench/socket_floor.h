// The floor under the control-device exchange: a plain Unix-socket client and a one-thread
// server written for nothing else, doing what an exchange does (connect, a 40-byte request,
// a 32-byte reply, close) with no framing, deadlines, checks or event loop around it.
#pragma once

#include <sys/types.h>

#include <string>

namespace korvo::bench {

class SocketFloor {
  public:
    // The server runs in a child process of its own, as the simulated adapter does, on a
    // socket in `directory`. Throws std::runtime_error when it cannot start.
    explicit SocketFloor(const std::string& directory);
    ~SocketFloor();
    SocketFloor(const SocketFloor&) = delete;
    SocketFloor& operator=(const SocketFloor&) = delete;

    // One connect, request, reply and close; true when the whole reply came.
    bool Exchange() const { return Exchange(path_); }
    // The same with any server listening on `path` that answers as this one does.
    static bool Exchange(const std::string& path);

    static constexpr size_t kRequestSize = 40;
    static constexpr size_t kReplySize = 32;

  private:
    std::string path_;
    pid_t pid_ = -1;
};

}  // namespace korvo::bench

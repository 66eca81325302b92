// The socket by which other processes find a top-level window of this process and post to
// it: $KORVO_ROOT/windows/CLASS. One thread of the process accepts on every window's socket
// and turns each whole message it reads (korvo/window_protocol.h) into a posted message of
// that window. It holds at most kMaxConnections at once (a new one pushes out the oldest),
// drops a connection that has been quiet for kIdleLimitMs, and pauses accepting when
// descriptors run out.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvo/ascii.h"
#include "korvo/window_protocol.h"
#include "korvo_host.h"
#include "platform.h"
#include "window_internal.h"

namespace {

using korvo::window::kMessageSize;
static_assert(WM_TIMER == korvo::window::kWmTimer);

// A poster connects, sends its message at once and closes: a connection quiet for longer is
// dropped, and no more than this many are held.
constexpr size_t kMaxConnections = 64;
constexpr long long kIdleLimitMs = 2000;

struct Listener {
    HWND window;
    int fd;
    std::string path;
    bool closing;  // socket file removed; the serving thread closes the descriptor
};

struct Server {
    std::mutex lock;
    std::vector<Listener> listeners;
    int wakeRead = -1;
    int wakeWrite = -1;
};

// Never destroyed: the serving thread keeps using it while the process exits.
Server& TheServer() {
    static Server* const server = new Server;
    return *server;
}

// The process whose thread serves the sockets. A forked child inherits the table but not the
// thread: it must neither serve nor remove its parent's sockets.
std::atomic<pid_t> serverProcess{0};

// A class name becomes one file name in the windows directory, never a path elsewhere.
bool UsableAsFileName(const std::string& className) {
    return !className.empty() && className != "." && className != ".." &&
           className.find('/') == std::string::npos;
}

void Wake(Server& server) {
    const unsigned char byte = 0;
    if (write(server.wakeWrite, &byte, 1) < 0) {
        // Full pipe: the thread has a wake-up pending already.
    }
}

struct Connection {
    int fd;
    HWND window;
    uint8_t pending[kMessageSize];
    size_t pendingSize;
    long long lastHeardMs;  // when it connected or last delivered a whole message
};

// Reads what the peer sent; false once it has closed (a partial message is then dropped).
bool ReadMessages(Connection& connection) {
    unsigned char buffer[4096];
    const ssize_t got = read(connection.fd, buffer, sizeof buffer);
    if (got < 0) {
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (got == 0) {
        return false;
    }
    for (ssize_t i = 0; i < got; ++i) {
        connection.pending[connection.pendingSize++] = buffer[i];
        if (connection.pendingSize == kMessageSize) {
            const korvo::window::PostedMessage posted =
                korvo::window::DecodeMessage(connection.pending);
            PostMessageA(connection.window, posted.message, static_cast<WPARAM>(posted.wParam),
                         static_cast<LPARAM>(static_cast<int64_t>(posted.lParam)));
            connection.pendingSize = 0;
            connection.lastHeardMs = korvo::host::SteadyNowMs();
        }
    }
    return true;
}

// Closes the oldest connection, which has had longest to say its piece.
void DropOldest(std::vector<Connection>& connections) {
    close(connections.front().fd);
    connections.erase(connections.begin());
}

// Accepts one connection on `listener`; false when the process is out of descriptors.
bool AcceptOne(const Listener& listener, std::vector<Connection>& connections) {
    const int fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM;
    }
    if (!korvo::host::PeerIsSameUser(fd)) {
        close(fd);
        return true;
    }
    if (connections.size() >= kMaxConnections) {
        DropOldest(connections);
    }
    connections.push_back(Connection{fd, listener.window, {}, 0, korvo::host::SteadyNowMs()});
    return true;
}

[[noreturn]] void Serve() {
    Server& server = TheServer();
    std::vector<Connection> connections;
    long long acceptPausedUntil = 0;
    for (;;) {
        std::vector<Listener> listening;
        {
            std::lock_guard lock(server.lock);
            std::erase_if(server.listeners, [](const Listener& listener) {
                if (listener.closing) {
                    close(listener.fd);
                }
                return listener.closing;
            });
            listening = server.listeners;
        }
        const bool accepting = korvo::host::SteadyNowMs() >= acceptPausedUntil;
        std::vector<pollfd> waiting;
        waiting.push_back(pollfd{server.wakeRead, POLLIN, 0});
        for (const Listener& listener : listening) {
            waiting.push_back(pollfd{accepting ? listener.fd : -1, POLLIN, 0});
        }
        long long nextDeadline = accepting ? -1 : acceptPausedUntil;
        for (const Connection& connection : connections) {
            waiting.push_back(pollfd{connection.fd, POLLIN, 0});
            const long long idleAt = connection.lastHeardMs + kIdleLimitMs;
            nextDeadline = nextDeadline < 0 ? idleAt : std::min(nextDeadline, idleAt);
        }
        const int timeout = nextDeadline < 0 ? -1 : korvo::host::MillisecondsLeft(nextDeadline) + 1;
        if (poll(waiting.data(), waiting.size(), timeout) < 0) {
            continue;  // EINTR
        }
        if (waiting[0].revents != 0) {
            unsigned char drain[64];
            while (read(server.wakeRead, drain, sizeof drain) > 0) {
            }
        }
        const long long now = korvo::host::SteadyNowMs();
        const size_t firstConnection = 1 + listening.size();
        std::vector<Connection> stillOpen;
        for (size_t i = 0; i < connections.size(); ++i) {
            Connection& connection = connections[i];
            // A peer that trickles bytes without completing messages counts as quiet.
            const bool heard = waiting[firstConnection + i].revents != 0;
            if ((heard && !ReadMessages(connection)) ||
                now - connection.lastHeardMs >= kIdleLimitMs) {
                close(connection.fd);
                continue;
            }
            stillOpen.push_back(connection);
        }
        connections = std::move(stillOpen);
        for (size_t i = 0; i < listening.size(); ++i) {
            if (waiting[1 + i].revents != 0 && !AcceptOne(listening[i], connections)) {
                // Out of descriptors: make room and let the backlog wait instead of spinning
                // on a listener that stays readable.
                if (!connections.empty()) {
                    DropOldest(connections);
                }
                acceptPausedUntil = now + korvo::host::kAcceptBackoffMs;
            }
        }
    }
}

// The socket file of `className` in the windows directory: the exact name when it exists,
// otherwise an entry whose name matches without regard to ASCII case, as class names do.
std::string SocketPathOf(const std::string& className) {
    const std::string exact = korvo::host::WindowPath(className);
    struct stat info {};
    if (lstat(exact.c_str(), &info) == 0) {
        return exact;
    }
    const std::string directory = exact.substr(0, exact.find_last_of('/'));
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return exact;
    }
    std::string found = exact;
    while (const dirent* entry = readdir(listing)) {
        if (korvo::AsciiEqualFold(entry->d_name, className)) {
            found = directory + "/" + entry->d_name;
            break;
        }
    }
    closedir(listing);
    return found;
}

}  // namespace

namespace korvo::host {

bool OpenWindowSocket(HWND window, const std::string& className) {
    if (!UsableAsFileName(className)) {
        return false;
    }
    const std::string path = WindowPath(className);
    const int fd = ListenUnix(path);
    if (fd < 0) {
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Server& server = TheServer();
    std::lock_guard lock(server.lock);
    if (serverProcess.load() != getpid()) {
        int wake[2];
        if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
            close(fd);
            unlink(path.c_str());
            return false;
        }
        if (serverProcess.load() == 0) {
            atexit(RemoveWindowSockets);
        } else {  // a forked child: the inherited sockets are the parent's
            for (const Listener& inherited : server.listeners) {
                close(inherited.fd);
            }
            server.listeners.clear();
            close(server.wakeRead);
            close(server.wakeWrite);
        }
        server.wakeRead = wake[0];
        server.wakeWrite = wake[1];
        serverProcess.store(getpid());
        std::thread(Serve).detach();
    }
    server.listeners.push_back(Listener{window, fd, path, false});
    Wake(server);
    return true;
}

void RemoveWindowSockets() {
    if (serverProcess.load() != getpid()) {
        return;
    }
    Server& server = TheServer();
    std::lock_guard lock(server.lock);
    for (const Listener& listener : server.listeners) {
        if (!listener.closing) {
            unlink(listener.path.c_str());
        }
    }
}

void CloseWindowSocket(HWND window) {
    if (serverProcess.load() != getpid()) {
        return;  // the parent's window, inherited by a fork: its socket is not ours
    }
    Server& server = TheServer();
    std::lock_guard lock(server.lock);
    for (Listener& listener : server.listeners) {
        if (listener.window == window && !listener.closing) {
            unlink(listener.path.c_str());
            listener.closing = true;
        }
    }
    Wake(server);
}

std::string FindWindowSocket(const std::string& className) {
    if (!UsableAsFileName(className)) {
        return {};
    }
    const std::string path = SocketPathOf(className);
    const int fd = ConnectUnix(path);
    if (fd < 0) {
        if (errno == ECONNREFUSED) {
            unlink(path.c_str());  // left behind by a process that ended without removing it
        }
        return {};
    }
    const bool ours = PeerIsSameUser(fd);
    close(fd);
    return ours ? path : std::string();
}

bool PostToWindowSocket(const std::string& path, UINT message, WPARAM wParam, LPARAM lParam) {
    const korvo::window::WireMessage wire = korvo::window::EncodeMessage(
        {message, wParam, static_cast<uint64_t>(static_cast<int64_t>(lParam))});
    const int fd = ConnectUnix(path);
    if (fd < 0) {
        return false;
    }
    const bool sent = PeerIsSameUser(fd) && WriteFull(fd, wire.data(), wire.size());
    close(fd);
    return sent;
}

}  // namespace korvo::host

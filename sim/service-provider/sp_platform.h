// What the service provider asks of its operating system, kept to one place so that the same
// provider builds both as the Linux stand-in (sp_platform_posix.cpp: a Unix-domain socket,
// flock, the host layer's Windows-path resolution) and as a Windows DLL for the tests under
// Wine (sp_platform_win32.cpp: a loopback TCP socket, LockFileEx, the system's own paths).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvo::sp::os {

// ---- The management endpoint ----------------------------------------------------------------

// A listening or connected socket: a file descriptor on POSIX, a SOCKET on Windows.
using Socket = intptr_t;
inline constexpr Socket kNoSocket = -1;

// Where management applications reach the provider, and how its accept loop is woken to stop.
// On POSIX the endpoint is the Unix-domain socket at the socket path (same-user peers only);
// on Windows, where Wine has no Unix-domain sockets, it is a TCP socket on 127.0.0.1 at a port
// the system picks, written in decimal to the file "dmi.port" beside the socket path.
struct Endpoint {
    Socket listener = kNoSocket;
    Socket wakeReceiver = kNoSocket;
    Socket wakeSender = kNoSocket;
    std::string file;           // the socket file, or the port file
    uint64_t fileIdentity = 0;  // the socket file's inode, or the port: removed only when ours
};

// Listens on the endpoint of `socketPath`. False, with `error`, when it cannot be made: another
// live provider serves it, the directory is missing, the path is too long.
bool OpenEndpoint(const std::string& socketPath, Endpoint* endpoint, std::string* error);

enum class AcceptResult { connection, nothing, woken };

// Waits for the next connection or for WakeEndpoint. A connection from a peer that may not
// use the provider is closed here and reported as `nothing`; out of descriptors, it rests a
// tenth of a second first.
AcceptResult AcceptNext(Endpoint& endpoint, Socket* connection);

// Makes AcceptNext, now or next time, return `woken`. Safe from any thread.
void WakeEndpoint(Endpoint& endpoint);

// Closes the endpoint's sockets and removes its file when it is still the one it made.
void CloseEndpoint(Endpoint& endpoint);

// Reads what has arrived, waiting for something: the byte count, 0 when the peer has left, -1
// on an error. Interrupted reads are retried.
long ReceiveSome(Socket socket, char* buffer, size_t size);
// Writes all of `data` within `timeoutMs` (one deadline for the whole, however slowly the peer
// takes it); false when the peer has left, the connection broke or the time ran out, and the
// connection is then of no further use.
bool SendAll(Socket socket, const void* data, size_t size, int timeoutMs);
// True when something (data, or the peer's leaving) can be read within `timeoutMs`.
bool WaitReadable(Socket socket, int timeoutMs);
// True when the peer has closed its end (or the connection broke); never waits.
bool PeerGone(Socket socket);
// Ends both directions, so that a thread reading the socket returns.
void ShutdownSocket(Socket socket);
void CloseSocket(Socket socket);

// ---- The process ----------------------------------------------------------------------------

// True while the library is unloaded because its process is ending. Windows has then already
// ended every other thread of the process, wherever it was, so nothing may wait for them.
bool ProcessEnding();

// ---- Files ----------------------------------------------------------------------------------

// Makes the directory and its missing parents (mode 0700 on POSIX). False, with errno set,
// when it cannot be made or the path names something that is not a directory.
bool EnsurePrivateDirectory(const std::string& path);

// Ends the process with one line on standard error when the service provider's directory
// exists but is not private to this user (another user owns it, or group or others may write
// to it), before anything is opened there. Windows keeps its own access control: nothing then.
void RequirePrivateDirectory(const std::string& path);

// The largest file the provider reads: a MIF file, its database index, the event log.
inline constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;

// Reads a whole regular file of at most kMaxFileBytes, never waiting on the open (a FIFO or a
// device is refused). False with `error`; `missing` when the file does not exist.
bool ReadWholeFile(const std::string& path, std::string* contents, std::string* error,
                   bool* missing = nullptr);

// A Windows path (either separator) as this system opens it.
std::string ResolvePath(const std::string& windowsPath);

// What tells one version of a file from the next; size -1 when the file does not exist.
struct FileStamp {
    uint64_t device = 0;
    uint64_t identity = 0;
    long long size = -1;
    long long modifiedNs = 0;
};
FileStamp StampOf(const std::string& path);

// Writes `contents` to `path` through a temporary file in the same directory, flushed to disk,
// and a rename over the old file: readers see the old contents or the new, never a mixture.
// The temporary file is always a new one: whatever lay under its name (a link) is removed.
bool ReplaceFileContents(const std::string& path, const std::string& contents, std::string* error);

// Appends `line` to `path` (created when missing) in one write, so that concurrent readers and
// writers never see half of it. After a short write the rest is written; when that fails (no
// space left, a file past its size limit) the torn line is ended with a newline if it can be,
// and `error` names the cause.
// Only a regular file is appended to, never through a symbolic link.
bool AppendWhole(const std::string& path, const std::string& line, std::string* error);

// Removes a file; a missing file is not an error.
void RemoveFile(const std::string& path);

// An exclusive lock on a lock file shared by every process using the same directory, held for
// the object's life.
class FileLock {
  public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Creates `path` when missing and waits for the lock. False, with `error`, when it fails.
    bool Acquire(const std::string& path, std::string* error);

  private:
    intptr_t handle_ = -1;
};

// ---- Time -----------------------------------------------------------------------------------

struct LocalTime {
    int year = 0;
    int month = 0;  // 1 to 12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    long microseconds = 0;
    long offsetMinutes = 0;  // east of UTC
};
LocalTime Now();

}  // namespace korvo::sp::os

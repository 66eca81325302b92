// The host library every Linux program of ours uses (the Win32 stand-in, the simulated adapter,
// the service provider stand-in, the console, dmi-snmp): where the simulated machine lives, the
// rules every one of our sockets follows (private 0700 directories, same-user peers only),
// deadlines, Windows paths on this file system and files replaced whole.
#pragma once

#include <string>

#include "korvo/socket_deadline.h"

namespace korvo::host {

// $KORVO_ROOT, else $XDG_RUNTIME_DIR/korvo, else /tmp/korvo-<uid>. Not created. When it
// already exists it must be private (see RequirePrivateDirectory); otherwise the process ends.
std::string RootPath();

// Empty when `path` is missing or is a private directory: a directory, not a symbolic link,
// owned by our user and not writable by group or others. Otherwise what is wrong with it.
std::string PrivateDirectoryProblem(const std::string& path);

// Ends the process with status 1 and one line on standard error naming `variable`, the path
// and what is wrong with it, unless PrivateDirectoryProblem(path) is empty. A path found
// private once is not looked at again.
void RequirePrivateDirectory(const std::string& path, const char* variable);

// Creates `path` and every missing directory above it with mode 0700. False on failure, and
// when `path` itself exists but is not private.
bool EnsurePrivateDirectory(const std::string& path);

// The socket path of the control device \\.\NAME and of the window of class CLASS.
std::string DevicePath(const std::string& name);
std::string WindowPath(const std::string& className);

// True when the peer of a connected Unix-domain socket runs under our own user id.
bool PeerIsSameUser(int fd);

// How long connecting to one of our sockets may take, and a device exchange.
using korvo::kSocketDeadlineMs;
// How long a server of ours rests from accepting when the process has no descriptor left,
// instead of spinning on a listener that stays readable.
inline constexpr int kAcceptBackoffMs = 100;

// Connects to a Unix-domain stream socket within `timeoutMs` (a server whose backlog stays full
// makes it fail with ETIMEDOUT) and keeps the connection only when the server runs under our
// own user id (EACCES otherwise); -1 (errno set) on failure.
int ConnectUnix(const std::string& path, int timeoutMs = kSocketDeadlineMs);

// Binds and listens on a Unix-domain stream socket, creating its directory with mode 0700.
// A socket file that nobody accepts on is stale and replaced; one that a live server
// accepts on is left alone and -1 comes back with errno EADDRINUSE.
int ListenUnix(const std::string& path, int backlog = 16);

// Reads or writes exactly `size` bytes, retrying on EINTR; false on error or end of stream.
// A positive `timeoutMs` is one deadline for the whole read or write, however the bytes
// trickle; a write past it fails with ETIMEDOUT.
bool ReadFull(int fd, void* buffer, size_t size, int timeoutMs = 0);
bool WriteFull(int fd, const void* buffer, size_t size, int timeoutMs = 0);

// Milliseconds left until `deadline` (a steady-clock time in ms), at least 0.
int MillisecondsLeft(long long deadlineMs);
long long SteadyNowMs();

// Set once the session ends (SIGTERM): device exchanges and connections in progress give up
// at once, so that the window thread reaches its WM_ENDSESSION. The descriptor becomes
// readable then; it is -1 before anything asked for it.
bool SessionEnding();
int SessionEndingFd();
void MarkSessionEnding();

// Reads the whole of `path` when it is a regular file of at most `maxBytes`, without ever
// blocking on the open (a FIFO or a device is refused, not waited for). False with `problem`
// saying why; `missing` tells a file that does not exist from one that cannot be used.
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string* contents,
                     std::string* problem, bool* missing = nullptr);

// Writes `contents` to `path` through a temporary file beside it of this write's own name
// (korvo/temporary_file.h; created new with `mode`, as the umask allows), flushed to disk, and
// a rename over the old file: readers see the old contents or the new, never a mixture,
// and a symbolic link at `path` is replaced, never written through. Anything else at `path`
// that is not a regular file (a device, a FIFO, a directory) is left alone. False with `error`.
bool ReplaceFile(const std::string& path, const std::string& contents, unsigned mode,
                 std::string* error);

// A Windows path (either separator) resolved on this file system: exact when it exists,
// otherwise component by component without regard to ASCII case, first match in directory
// order. A component with no match is kept as written.
std::string ResolvePath(const std::string& windowsPath);

}  // namespace korvo::host

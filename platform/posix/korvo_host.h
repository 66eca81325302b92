// What the host layer shares with the other host programs (the simulated adapter, the service
// provider stand-in, the console): where the simulated machine lives, and the rules every one
// of our sockets follows (private 0700 directories, same-user peers only).
#pragma once

#include <string>

namespace korvo::host {

// $KORVO_ROOT, else $XDG_RUNTIME_DIR/korvo, else /tmp/korvo-<uid>. Not created.
std::string RootPath();

// Creates `path` and every missing directory above it with mode 0700. False on failure.
bool EnsurePrivateDirectory(const std::string& path);

// The socket path of the control device \\.\NAME and of the window of class CLASS.
std::string DevicePath(const std::string& name);
std::string WindowPath(const std::string& className);

// True when the peer of a connected Unix-domain socket runs under our own user id.
bool PeerIsSameUser(int fd);

// Connects to a Unix-domain stream socket; -1 (errno set) on failure.
int ConnectUnix(const std::string& path);

// Binds and listens on a Unix-domain stream socket, creating its directory with mode 0700.
// A socket file that nobody accepts on is stale and replaced; one that a live server
// accepts on is left alone and -1 comes back with errno EADDRINUSE.
int ListenUnix(const std::string& path, int backlog = 16);

// Reads or writes exactly `size` bytes, retrying on EINTR; false on error or end of stream.
// A positive `timeoutMs` bounds the wait for each chunk of a read.
bool ReadFull(int fd, void* buffer, size_t size, int timeoutMs = 0);
bool WriteFull(int fd, const void* buffer, size_t size);

// A Windows path (either separator) resolved on this file system: exact when it exists,
// otherwise component by component without regard to ASCII case, first match in directory
// order. A component with no match is kept as written.
std::string ResolvePath(const std::string& windowsPath);

}  // namespace korvo::host

namespace korvo::host {

// How long DeviceIoControl waits for the device's reply: 5000 ms, as the contract says. Tests
// of a device that never answers shorten it.
int DeviceReplyTimeoutMs();
void SetDeviceReplyTimeoutMs(int milliseconds);

}  // namespace korvo::host

namespace korvo::host {

// Every SetTimer interval is multiplied by this factor before it is armed, so that a test can
// run the agent's 30-second retry timer in milliseconds: SetTimerScale(0.001) in a test, or
// KORVO_TIMER_SCALE=0.001 in the environment of an agent started by an end-to-end test. The
// factor set by SetTimerScale wins; when none is set (or it was set to a value that is not a
// positive number), KORVO_TIMER_SCALE decides at each SetTimer if it holds a positive number,
// and otherwise the factor is 1. A scaled interval is at least one millisecond; timers already
// armed keep their interval until they are set again.
double TimerScale();
void SetTimerScale(double factor);

}  // namespace korvo::host

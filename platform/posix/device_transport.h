// The seam between the stand-in's control-device calls and what answers them: the device's
// Unix-domain socket, unless a program that answers the device in its own process (a fuzz
// target) puts its own transport in place. CreateFileA, DeviceIoControl and CloseHandle keep
// their handles, checks and Win32 errors whichever transport serves them.
#pragma once

#include <cstdint>

namespace korvo::host {

enum class DeviceCall {
    Succeeded,
    Failed,  // the driver failed the call; the output is as the device left it
    Broken,  // no whole answer: the output is untouched and the connection serves no more calls
};

struct DeviceTransport {
    // Connects to the control device NAME (what follows \\.\): a connection number of 0 or
    // more, or -1 when nothing answers there.
    int (*open)(const char* name);
    // One DeviceIoControl on an open connection: `output` carries its `outputSize` bytes to the
    // device and takes the device's; `bytesReturned` gets the device's count.
    DeviceCall (*exchange)(int connection, uint32_t controlCode, const void* input,
                           uint32_t inputSize, void* output, uint32_t outputSize,
                           uint32_t* bytesReturned);
    void (*close)(int connection);
};

// Serves the connections opened from now on through `transport` (which must outlive them);
// nullptr puts the device sockets back.
void SetDeviceTransport(const DeviceTransport* transport);

}  // namespace korvo::host

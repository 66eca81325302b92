// Cross-process PostMessageA for the console: one connection to the window's socket, one
// message as korvo/window_protocol.h lays it out, close.
#include "console/window_messages.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "management/attribute_values.h"
#include "management/management_client.h"
#include "korvo/ascii.h"
#include "korvo_host.h"

namespace korvo::console {

namespace {

struct NamedMessage {
    const char* name;
    uint32_t message;
};

constexpr NamedMessage kNamedMessages[] = {
    {"WM_CLOSE", kWmClose}, {"WM_QUIT", kWmQuit}, {"WM_ENDSESSION", kWmEndSession},
    {"WM_TIMER", kWmTimer}, {"WM_USER", kWmUser},
};

}  // namespace

std::optional<uint32_t> WindowMessageByName(std::string_view name) {
    for (const auto& [known, message] : kNamedMessages) {
        if (AsciiEqualFold(name, known)) {
            return message;
        }
    }
    return std::nullopt;
}

std::string WindowMessageNames() {
    std::string names;
    for (const auto& [name, message] : kNamedMessages) {
        names += (names.empty() ? "" : ", ") + std::string(name);
    }
    return names;
}

std::string PostWindowMessage(const std::string& className, const WindowMessage& message) {
    if (className.empty() || className.find('/') != std::string::npos ||
        className.find('\\') != std::string::npos || className == "." || className == "..") {
        throw management::UsageError("\"" + className + "\" cannot be a window class name");
    }
    // Class names compare without regard to case, as on Windows.
    const std::string path = korvo::host::ResolvePath(korvo::host::WindowPath(className));
    const int fd = korvo::host::ConnectUnix(path);
    if (fd < 0) {
        const int error = errno;
        throw management::ConnectionError(
            "no window of class " + className + ": nothing accepts " + "connections on " + path +
            " (" + std::strerror(error) +
            "). The agent must be running with the same KORVO_ROOT (" + korvo::host::RootPath() +
            ")");
    }
    const window::WireMessage bytes = window::EncodeMessage(message);
    const bool sent = korvo::host::WriteFull(fd, bytes.data(), bytes.size());
    const int error = errno;
    close(fd);
    if (!sent) {
        throw management::ConnectionError("the window of class " + className + " on " + path +
                                          " closed the connection before taking the message (" +
                                          std::strerror(error) + ")");
    }
    return path;
}

}  // namespace korvo::console

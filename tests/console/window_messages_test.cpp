// Posting window messages to another process's window socket: the 24 bytes on the wire, and
// what the console says when no such window exists.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <sstream>
#include <thread>
#include <vector>

#include "console/console_commands.h"
#include "korvo_host.h"
#include "support/private_root.h"

namespace korvo::console {
namespace {

// A window of class CLASS as another process shows it: a socket under $KORVO_ROOT/windows
// that collects what each connection sends until the sender closes.
class FakeWindow {
  public:
    explicit FakeWindow(const std::string& className)
        : fd_(korvo::host::ListenUnix(korvo::host::WindowPath(className))) {
        EXPECT_GE(fd_, 0);
    }
    ~FakeWindow() { close(fd_); }

    // The bytes of the next connection, read until the peer closes.
    std::vector<uint8_t> NextConnection() {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, 2000) != 1) {
            ADD_FAILURE() << "nobody connected";
            return {};
        }
        const int connection = accept(fd_, nullptr, nullptr);
        std::vector<uint8_t> bytes;
        uint8_t chunk[64];
        ssize_t got;
        while ((got = read(connection, chunk, sizeof chunk)) > 0) {
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        close(connection);
        return bytes;
    }

  private:
    int fd_;
};

struct Outcome {
    int exit;
    std::string out;
    std::string err;
};

Outcome RunConsoleLine(const std::vector<std::string>& arguments) {
    std::ostringstream out;
    std::ostringstream err;
    const int exit = RunConsole(arguments, out, err);
    return {exit, out.str(), err.str()};
}

TEST(PostWindowMessage, PostTimerSendsOneWmTimerWithZeroParameters) {
    test::PrivateRoot root;
    FakeWindow window("KORVO");
    const Outcome posted = RunConsoleLine({"post-timer"});
    EXPECT_EQ(posted.exit, 0) << posted.err;
    EXPECT_NE(posted.out.find("Posted WM_TIMER (0x0113) to the window of class KORVO"),
              std::string::npos)
        << posted.out;
    const std::vector<uint8_t> expected = {0x13, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(window.NextConnection(), expected);
}

TEST(PostWindowMessage, PostMessageSendsTheParametersLittleEndian) {
    test::PrivateRoot root;
    FakeWindow window("KORVO");
    // Class names compare without regard to case, as on Windows.
    const Outcome posted =
        RunConsoleLine({"post-message", "korvo", "WM_CLOSE", "1", "0x1122334455667788"});
    EXPECT_EQ(posted.exit, 0) << posted.err;
    const std::vector<uint8_t> expected = {0x10, 0,    0,    0,    0,    0,    0,    0,
                                           1,    0,    0,    0,    0,    0,    0,    0,
                                           0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(window.NextConnection(), expected);

    EXPECT_EQ(RunConsoleLine({"post-message", "KORVO", "0x0400", "-1"}).exit, 0);
    const std::vector<uint8_t> user = window.NextConnection();
    ASSERT_EQ(user.size(), 24u);
    EXPECT_EQ(user[1], 0x04);
    EXPECT_EQ(std::vector<uint8_t>(user.begin() + 8, user.begin() + 16),
              std::vector<uint8_t>(8, 0xFF));
}

TEST(PostWindowMessage, NoSuchWindowIsAClearErrorWithExitThree) {
    test::PrivateRoot root;
    const Outcome missing = RunConsoleLine({"post-timer", "--class", "NOTHERE"});
    EXPECT_EQ(missing.exit, 3);
    EXPECT_NE(missing.err.find("no window of class NOTHERE: nothing accepts connections on " +
                               root.path() + "/windows/NOTHERE"),
              std::string::npos)
        << missing.err;
    EXPECT_EQ(RunConsoleLine({"post-message", "../devices/x", "WM_TIMER"}).exit, 2);
}

}  // namespace
}  // namespace korvo::console

// Every socket of ours refuses a peer of another user: the control device and the control
// socket of the simulated adapter, a window's socket, and the service provider's management
// socket. They sit in directories of mode 0700 and are themselves 0600; with both opened up, a
// process of another user that connects is still closed without an answer. Needs root, to
// become that other user (nobody) in a child process.
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "dmi/dmi_api.h"
#include "hardening_support.h"
#include "korvo/driver_protocol.h"
#include "korvo/management_protocol.h"
#include "korvo/window_protocol.h"
#include "korvo_host.h"
#include "platform.h"

namespace korvo::hardening {
namespace {

using korvo::test::ScopedEnv;

constexpr uid_t Nobody = 65534;
constexpr char WindowClass[] = "HardeningWindow";
constexpr UINT ForeignMessage = WM_USER + 7;
constexpr UINT OwnMessage = WM_USER + 8;

// What became of one connection attempt, as the child's exit status tells it.
enum Outcome : int {
    Refused = 10,  // connect failed for want of permission
    Unreachable = 11,
    NoWord = 20,  // connected, but nothing came back, nor did the socket close
    Answered = 30,
    ClosedUnanswered = 40,
    ChildFailed = 90,
};

// Connects to `path` in a child process (as nobody when `foreign`), sends `request` and waits
// up to two seconds for a word back.
Outcome Attempt(const std::string& path, const std::string& request, bool foreign) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const pid_t child = fork();
    if (child == 0) {
        // Only system calls from here on: the parent has other threads.
        if (foreign && (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0)) {
            _exit(ChildFailed);
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            _exit(errno == EACCES ? Refused : Unreachable);
        }
        (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 2000) <= 0) {
            _exit(NoWord);
        }
        char byte = 0;
        _exit(read(fd, &byte, 1) > 0 ? Answered : ClosedUnanswered);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? static_cast<Outcome>(WEXITSTATUS(status)) : ChildFailed;
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

LRESULT CALLBACK QuietWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

std::string Wire(UINT message) {
    const window::WireMessage wire = window::EncodeMessage({message, 0, 0});
    return std::string(wire.begin(), wire.end());
}

TEST(HardeningSecurity, SocketsRefuseAnotherUsersProcess) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run a child process as another user";
    }
    AgentMachine machine;  // binds the service provider library
    ASSERT_EQ(chmod(machine.root().c_str(), 0711), 0);
    // Everything below is made by our own code, from directories that do not exist yet.
    const std::string machineRoot = machine.root() + "/own-machine";
    const std::string dmiRoot = machine.root() + "/private-dmi";
    ScopedEnv korvoRoot("KORVO_ROOT", machineRoot.c_str());
    ScopedEnv dmiPath("WIN32DMIPATH", dmiRoot.c_str());
    machine.ForgetServiceProvider(false);

    InProcessAdapter adapter;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = QuietWindowProc;
    windowClass.lpszClassName = WindowClass;
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    const HWND window =
        CreateWindowExA(0, WindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    DmiHandle handle = 0;
    ASSERT_EQ(DmiApi.DmiRegister(&handle), DMIERR_NO_ERROR);  // opens the management socket

    // The driver's probe as the host layer frames it: the header, the control word, the record.
    const std::string probe = [] {
        uint8_t bytes[driver::kRequestHeaderSize + driver::kControlWordSize + driver::kRecordSize] =
            {};
        driver::EncodeRequestHeader(
            {driver::kQueryGlobalStatsCode, driver::kControlWordSize, driver::kRecordSize}, bytes);
        driver::PutU32(bytes + driver::kRequestHeaderSize, driver::kProbeControlWord);
        return std::string(bytes, bytes + sizeof bytes);
    }();
    struct Socket {
        std::string path;
        std::string request;
        bool answers;  // a window's socket never answers anyone
    } sockets[] = {
        {korvo::host::DevicePath(adapter::kDeviceName), probe, true},
        {machineRoot + "/" + adapter::kControlSocketName, "status\n", true},
        {korvo::host::WindowPath(WindowClass), Wire(ForeignMessage), false},
        {korvo::management::SocketPath(), "{\"op\":\"stats\"}\n", true},
    };

    for (const std::string& directory :
         {machineRoot, machineRoot + "/devices", machineRoot + "/windows", dmiRoot}) {
        EXPECT_EQ(ModeOf(directory), 0700u) << directory;
    }
    for (const Socket& socket : sockets) {
        SCOPED_TRACE(socket.path);
        EXPECT_EQ(ModeOf(socket.path), 0600u);
        EXPECT_EQ(Attempt(socket.path, socket.request, true), Refused) << "as laid out";
        if (socket.answers) {
            EXPECT_EQ(Attempt(socket.path, socket.request, false), Answered) << "as ourselves";
        }
    }

    // With the modes opened up only the peer check stands between nobody and our sockets.
    for (const std::string& directory :
         {machineRoot, machineRoot + "/devices", machineRoot + "/windows", dmiRoot}) {
        ASSERT_EQ(chmod(directory.c_str(), 0711), 0);
    }
    for (const Socket& socket : sockets) {
        SCOPED_TRACE(socket.path);
        ASSERT_EQ(chmod(socket.path.c_str(), 0666), 0);
        EXPECT_EQ(Attempt(socket.path, socket.request, true), ClosedUnanswered);
    }

    // The foreign message never reached the window: the first one queued is our own, posted
    // after the foreign connection had been closed. A timer keeps a lost message from hanging
    // the test.
    const int own = korvo::host::ConnectUnix(korvo::host::WindowPath(WindowClass));
    ASSERT_GE(own, 0);
    const std::string wire = Wire(OwnMessage);
    ASSERT_TRUE(korvo::host::WriteFull(own, wire.data(), wire.size()));
    close(own);
    ASSERT_NE(SetTimer(window, 1, 3000, nullptr), 0u);
    MSG message{};
    ASSERT_GT(GetMessageA(&message, nullptr, 0, 0), 0);
    EXPECT_EQ(message.message, OwnMessage);
    KillTimer(window, 1);
    DestroyWindow(window);
    EXPECT_EQ(DmiApi.DmiUnregister(handle), DMIERR_NO_ERROR);
}

}  // namespace
}  // namespace korvo::hardening

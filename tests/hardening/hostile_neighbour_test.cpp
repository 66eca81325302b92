// What a careless administrator or another user on the same machine can put in the agent's way:
// directories others may write to, servers of another user, untrusted libraries, files that
// are no regular files, devices that trickle or stall, and floods of idle connections. Nothing
// may hang, and nothing another user planted may be believed.
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "korvo/driver_protocol.h"
#include "host_tuning.h"
#include "platform.h"
#include "support/private_root.h"

namespace korvo::hardening {
namespace {

using korvo::test::PrivateRoot;
using korvo::test::ScopedEnv;

constexpr uid_t Nobody = 65534;

// A root or DMI directory is used only when it is ours and no one else may write to it;
// otherwise the process says which and why, and ends with status 1 before it opens anything.
TEST(HostileNeighbour, DirectoriesOthersCouldPlantInAreRefused) {
    PrivateRoot scratch;
    std::string place;  // a new one per case: a directory found private is not looked at again
    const struct {
        const char* what;
        std::function<void()> make;
        const char* reason;  // empty: accepted
        bool needsRoot;
    } cases[] = {
        {"ours, 0700", [&] { mkdir(place.c_str(), 0700); }, "", false},
        {"ours, 0755", [&] { mkdir(place.c_str(), 0755); }, "", false},
        {"writable by all", [&] { mkdir(place.c_str(), 0700), chmod(place.c_str(), 0777); },
         "group or others may write to it \\(mode 0777\\)", false},
        {"writable by the group", [&] { mkdir(place.c_str(), 0700), chmod(place.c_str(), 0770); },
         "group or others may write to it", false},
        {"another user's",
         [&] { mkdir(place.c_str(), 0700), chown(place.c_str(), Nobody, Nobody); },
         "it belongs to user 65534", true},
        {"a link to a private directory",
         [&] {
             mkdir((place + "-real").c_str(), 0700),
                 symlink((place + "-real").c_str(), place.c_str());
         },
         "it is a symbolic link", false},
        {"a file", [&] { std::ofstream(place) << "x"; }, "it is not a directory", false},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) {
            continue;
        }
        place = scratch.path() + "/root" + std::to_string(++number);
        c.make();
        ScopedEnv root("KORVO_ROOT", place.c_str());
        if (c.reason[0] == '\0') {
            EXPECT_EQ(korvo::host::RootPath(), place);
        } else {
            EXPECT_EXIT(korvo::host::RootPath(), testing::ExitedWithCode(1),
                        std::string("refusing KORVO_ROOT directory ") + place + ": " + c.reason);
        }
        std::filesystem::remove_all(place);
        std::filesystem::remove_all(place + "-real");
    }
}

// A control device or window socket that another user's process serves is not believed, even
// where the directory would let it be planted.
TEST(HostileNeighbour, ServersOfAnotherUserAreNotBelieved) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to serve a socket as another user";
    }
    PrivateRoot scratch;
    ASSERT_EQ(chmod(scratch.path().c_str(), 0777), 0);
    const std::string path = scratch.path() + "/planted.sock";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0) {
            _exit(2);
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            chmod(path.c_str(), 0666) != 0 || listen(fd, 8) != 0) {
            _exit(3);
        }
        (void)!write(ready[1], "r", 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    errno = 0;
    EXPECT_EQ(korvo::host::ConnectUnix(path), -1);
    EXPECT_EQ(errno, EACCES);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

// Wcdmi.dll is loaded only from a file and a directory that no one but us or root could have
// written.
TEST(HostileNeighbour, LibrariesOthersCouldHaveWrittenAreNotLoaded) {
    PrivateRoot scratch;
    const std::string directory = scratch.path() + "/bin";
    const std::string library = directory + "/Wcdmi.dll";
    const struct {
        mode_t file;
        mode_t directory;
        const char* refusal;  // empty: loaded
    } cases[] = {
        {0755, 0700, ""},
        {0666, 0700, "the file is writable by group or others"},
        {0755, 0777, "its directory is writable by group or others"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        std::filesystem::create_directories(directory);
        std::filesystem::copy_file(KORVO_SP_LIBRARY, library,
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_EQ(chmod(library.c_str(), c.file), 0);
        ASSERT_EQ(chmod(directory.c_str(), c.directory), 0);
        testing::internal::CaptureStderr();
        const HMODULE module = LoadLibraryA(library.c_str());
        const std::string said = testing::internal::GetCapturedStderr();
        if (c.refusal[0] == '\0') {
            EXPECT_NE(module, nullptr);
        } else {
            EXPECT_EQ(module, nullptr);
            EXPECT_NE(said.find(std::string("not loading ") + library + ": " + c.refusal),
                      std::string::npos)
                << said;
        }
        std::filesystem::remove_all(directory);
    }
}

// The agent's start-up looks for the library again every 30 seconds: a library refused for
// the same reason is reported once, and again only once it was trusted in between.
TEST(HostileNeighbour, ARefusedLibraryIsReportedOnceNotAtEveryRetry) {
    PrivateRoot scratch;
    const std::string directory = scratch.path() + "/bin";
    const std::string library = directory + "/Wcdmi.dll";
    std::filesystem::create_directories(directory);
    ASSERT_EQ(chmod(directory.c_str(), 0700), 0);
    std::filesystem::copy_file(KORVO_SP_LIBRARY, library);
    // Another user's file where we may change its owner; one others may write to elsewhere.
    const bool root = geteuid() == 0;
    const std::string reason =
        root ? "the file belongs to user 65534" : "the file is writable by group or others";
    auto refuse = [&] {
        ASSERT_EQ(root ? chown(library.c_str(), Nobody, Nobody) : chmod(library.c_str(), 0666), 0);
    };
    auto attempts = [&](int count) {
        testing::internal::CaptureStderr();
        for (int attempt = 0; attempt < count; ++attempt) {
            EXPECT_EQ(LoadLibraryA(library.c_str()), nullptr);
        }
        const std::string said = testing::internal::GetCapturedStderr();
        size_t lines = 0;
        for (size_t at = said.find("not loading " + library + ": " + reason);
             at != std::string::npos; at = said.find("not loading", at + 1)) {
            ++lines;
        }
        return lines;
    };
    refuse();
    EXPECT_EQ(attempts(3), 1u);
    EXPECT_EQ(attempts(2), 0u);

    ASSERT_EQ(root ? chown(library.c_str(), getuid(), getgid()) : chmod(library.c_str(), 0755), 0);
    EXPECT_NE(LoadLibraryA(library.c_str()), nullptr);
    refuse();
    EXPECT_EQ(attempts(2), 1u) << "refused again after it was trusted";
}

// CreateFileA opens nothing but a regular file, and never waits on the open: an open of the
// FIFO that waited for a writer would never return, and the test would not finish.
TEST(HostileNeighbour, OnlyRegularFilesOpenAndNothingBlocks) {
    PrivateRoot scratch;
    const std::string fifo = scratch.path() + "/driver.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = scratch.path() + "/driver.sock";
    const int listening = korvo::host::ListenUnix(socketPath);
    ASSERT_GE(listening, 0);
    for (const std::string& path : {fifo, socketPath, std::string("/dev/zero"), scratch.path()}) {
        for (const DWORD access : {GENERIC_READ, GENERIC_READ | GENERIC_WRITE}) {
            SCOPED_TRACE(path + (access == GENERIC_READ ? " read" : " read/write"));
            const HANDLE handle =
                CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
    }
    close(listening);
}

// A device that trickles its reply a byte at a time, or takes the request a byte at a time,
// or never accepts: the exchange, and the connecting, each end by one deadline.
TEST(HostileNeighbour, EveryExchangeAndConnectionHasOneDeadline) {
    PrivateRoot root;  // KORVO_ROOT
    const std::string device = korvo::host::DevicePath("trickle.vxd");
    const int listening = korvo::host::ListenUnix(device);
    ASSERT_GE(listening, 0);
    // The whole reply (header and 8 bytes of output), a byte every 0.7 s: a deadline renewed
    // by every byte would take it all; the agent's dropping the connection ends the trickle.
    constexpr int kTrickled = driver::kReplyHeaderSize + 8;
    int sent = 0;
    std::thread trickler([&] {
        const int fd = accept(listening, nullptr, nullptr);
        unsigned char request[driver::kRequestHeaderSize + 8];  // no input, 8 bytes of output
        if (!korvo::host::ReadFull(fd, request, sizeof request, 5000)) {
            close(fd);
            return;
        }
        for (; sent < kTrickled; ++sent) {
            if (!korvo::host::WriteFull(fd, "\x01", 1)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
        }
        close(fd);
    });
    korvo::host::SetDeviceReplyTimeoutMs(1500);
    const HANDLE handle =
        CreateFileA("\\\\.\\trickle.vxd", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    unsigned char buffer[8] = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(handle, 1, nullptr, 0, buffer, sizeof buffer, &returned, nullptr));
    CloseHandle(handle);
    trickler.join();
    close(listening);
    // The exchange waited past the first bytes (a short read is no failure by itself) and
    // was cut off by its one deadline of 1.5 s, long before the reply was complete.
    EXPECT_GE(sent, 2) << "the exchange gave up at the first byte";
    EXPECT_LT(sent, kTrickled / 2) << "the deadline is per exchange, not per byte";

    // A server that never accepts: once its backlog is full, connecting waits only so long (a
    // connection that waited for an accept would never return, and the test would not finish).
    const std::string full = korvo::host::DevicePath("full.vxd");
    const int neverAccepting = korvo::host::ListenUnix(full, 1);
    ASSERT_GE(neverAccepting, 0);
    std::vector<int> waiting;
    for (int i = 0; i < 8; ++i) {
        const int fd = korvo::host::ConnectUnix(full, 300);
        if (fd < 0) {
            break;
        }
        waiting.push_back(fd);
    }
    ASSERT_LT(waiting.size(), 8u) << "the backlog never filled";
    EXPECT_EQ(CreateFileA("\\\\.\\full.vxd", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    for (const int fd : waiting) {
        close(fd);
    }
    close(neverAccepting);
    korvo::host::SetDeviceReplyTimeoutMs(korvo::host::kSocketDeadlineMs);
}

}  // namespace
}  // namespace korvo::hardening

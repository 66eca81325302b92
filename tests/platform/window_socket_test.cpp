// A window as other processes see it: the socket $KORVO_ROOT/windows/CLASS, found by
// FindWindowA and posted to with 24-byte messages. The other process is played here by raw
// socket calls, so that every byte on the wire is the test's own.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "korvo_host.h"
#include "window_test_support.h"

namespace korvo::test {
namespace {

using namespace std::chrono_literals;
using Wire = std::array<unsigned char, 24>;

Wire Encode(uint32_t message, uint64_t wParam, int64_t lParam) {
    Wire wire{};
    const uint64_t fields[] = {message, wParam, static_cast<uint64_t>(lParam)};
    const size_t offsets[] = {0, 8, 16};
    for (size_t f = 0; f < 3; ++f) {
        for (size_t i = 0; i < 8; ++i) {
            wire[offsets[f] + i] = static_cast<unsigned char>(fields[f] >> (8 * i));
        }
    }
    return wire;  // bytes 4 to 7 stay zero: the message field is 32 bits
}

// Connects to `path`, sends `bytes`, and closes, as a process posting from outside does.
void SendFromOutside(const std::string& path, const std::vector<unsigned char>& bytes) {
    const int fd = korvo::host::ConnectUnix(path);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    ASSERT_TRUE(korvo::host::WriteFull(fd, bytes.data(), bytes.size()));
    close(fd);
}

std::vector<unsigned char> Join(std::initializer_list<Wire> messages, size_t trailing = 0) {
    std::vector<unsigned char> bytes;
    for (const Wire& wire : messages) {
        bytes.insert(bytes.end(), wire.begin(), wire.end());
    }
    bytes.insert(bytes.end(), trailing, 0xAB);
    return bytes;
}

bool IsSocket(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

using WindowSocketTest = WindowTest;

TEST_F(WindowSocketTest, MessagesFromOutsideArriveWholeAndInOrder) {
    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    const std::string path = root.path() + "/windows/" + ClassName();
    ASSERT_TRUE(IsSocket(path));
    struct stat directory {};
    ASSERT_EQ(stat((root.path() + "/windows").c_str(), &directory), 0);
    EXPECT_EQ(directory.st_mode & 0777, 0700u);

    // Two whole messages and the start of a third, which is dropped when the peer closes;
    // then a second connection whose message must not be mixed with those 10 bytes.
    SendFromOutside(
        path,
        Join({Encode(WM_USER + 1, 0x1122334455667788u, -5), Encode(WM_TIMER, 0, 0x1234)}, 10));
    SendFromOutside(path, Join({Encode(WM_USER + 2, 1, 2)}));

    const std::vector<Received> expected = {{window, WM_USER + 1, 0x1122334455667788u, -5},
                                            {window, WM_TIMER, 0, 0x1234},
                                            {window, WM_USER + 2, 1, 2}};
    for (const Received& want : expected) {
        const std::optional<MSG> got = NextMessage();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->hwnd, want.window);
        EXPECT_EQ(got->message, want.message);
        EXPECT_EQ(got->wParam, want.wParam);
        EXPECT_EQ(got->lParam, want.lParam);
        DispatchMessageA(&*got);
    }
    EXPECT_EQ(NextMessage(100ms), std::nullopt);

    // The outside WM_TIMER named no timer procedure of ours: the window procedure got it.
    const std::vector<Received> received = ReceivedMessages();
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[2].message, WM_TIMER);
}

TEST_F(WindowSocketTest, FindWindowAndPostMessageReachAnotherProcessesWindow) {
    // The other process's window: a socket that accepts, and nothing else.
    const std::string name = ClassName();
    const std::string path = korvo::host::WindowPath(name);
    const int listener = korvo::host::ListenUnix(path);
    ASSERT_GE(listener, 0);

    HWND found = FindWindowA(name.c_str(), nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(FindWindowA(name.c_str(), nullptr), found) << "the same window, the same handle";

    // FindWindowA connected and closed without a word.
    int probe = accept(listener, nullptr, nullptr);
    ASSERT_GE(probe, 0);
    unsigned char byte;
    EXPECT_EQ(read(probe, &byte, 1), 0);
    close(probe);
    close(accept(listener, nullptr, nullptr));  // the second lookup's probe

    ASSERT_TRUE(PostMessageA(found, WM_TIMER, 0xAABBCCDDEEFF0011u, -1));
    const int poster = accept(listener, nullptr, nullptr);
    ASSERT_GE(poster, 0);
    Wire wire{};
    ASSERT_TRUE(korvo::host::ReadFull(poster, wire.data(), wire.size(), 2000));
    EXPECT_EQ(wire, Encode(WM_TIMER, 0xAABBCCDDEEFF0011u, -1));
    EXPECT_EQ(read(poster, &byte, 1), 0) << "one message per connection";
    close(poster);

    // The process ends without removing its socket: the file now refuses connections. Posting
    // fails, and the next lookup removes the stale file and finds no window.
    close(listener);
    ASSERT_TRUE(IsSocket(path));
    EXPECT_FALSE(PostMessageA(found, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(FindWindowA(name.c_str(), nullptr), nullptr);
    EXPECT_FALSE(IsSocket(path));
}

TEST_F(WindowSocketTest, AClassWhoseSocketAnotherProcessHoldsStillGetsAWindow) {
    const std::string path = korvo::host::WindowPath(ClassName());
    const int otherProcess = korvo::host::ListenUnix(path);
    ASSERT_GE(otherProcess, 0);

    HWND window = CreateRecordingWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(FindWindowA(ClassName().c_str(), nullptr), window) << "our own window first";
    ASSERT_TRUE(DestroyWindow(window));

    const int stillThere = korvo::host::ConnectUnix(path);
    EXPECT_GE(stillThere, 0) << "destroying our window left the other's socket alone";
    close(stillThere);
    close(otherProcess);
}

TEST_F(WindowSocketTest, ClassNamesNeverNameAFileOutsideTheWindowsDirectory) {
    for (const char* name : {"../Escape", "a/b", ".."}) {
        SCOPED_TRACE(name);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = RecordingProcedure;
        windowClass.lpszClassName = name;
        RegisterClassA(&windowClass);
        HWND window =
            CreateWindowExA(0, name, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr) << "the window exists, only other processes cannot see it";
        EXPECT_FALSE(IsSocket(root.path() + "/Escape"));
        EXPECT_FALSE(IsSocket(root.path() + "/windows/a/b"));
        EXPECT_TRUE(DestroyWindow(window));
    }
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Hundreds of idle connections: the window holds only so many (the oldest give way), drops the
// quiet ones, and a poster still gets through at once.
TEST_F(WindowSocketTest, IdleConnectionFloodsLockNoPosterOut) {
    ASSERT_NE(CreateRecordingWindow(), nullptr);
    const std::string path = root.path() + "/windows/" + ClassName();
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) {
        const int fd = korvo::host::ConnectUnix(path, 3000);
        ASSERT_GE(fd, 0) << "connection " << i;
        idle.push_back(fd);
    }
    // A message begun, never ended.
    ASSERT_TRUE(korvo::host::WriteFull(idle.back(), "\x13\0\0", 3));
    SendFromOutside(path, Join({Encode(WM_USER + 3, 7, 8)}));
    const std::optional<MSG> got = NextMessage(5s);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->message, static_cast<UINT>(WM_USER + 3));
    for (const int fd : {idle.front(), idle.back()}) {  // pushed out, or quiet too long
        pollfd waiting{fd, POLLIN, 0};
        ASSERT_EQ(poll(&waiting, 1, 6000), 1);
        char byte = 0;
        EXPECT_EQ(read(fd, &byte, 1), 0);
    }
    for (const int fd : idle) {
        close(fd);
    }
}

// With no descriptor left for the connections waiting, the serving thread rests instead of
// spinning on accept, and serves again once descriptors are back.
TEST_F(WindowSocketTest, RunningOutOfDescriptorsDoesNotSpin) {
    ASSERT_NE(CreateRecordingWindow(), nullptr);
    const std::string path = root.path() + "/windows/" + ClassName();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(highest + 40);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> clients;
    for (int i = 0; i < 200; ++i) {
        const int fd = korvo::host::ConnectUnix(path, 200);
        if (fd < 0) {
            break;
        }
        clients.push_back(fd);
    }
    const double before = CpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuSeconds() - before, 0.5) << "the serving thread spun on a failing accept";
    for (const int fd : clients) {
        close(fd);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    SendFromOutside(path, Join({Encode(WM_USER + 4, 1, 2)}));
    const std::optional<MSG> got = NextMessage(5s);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->message, static_cast<UINT>(WM_USER + 4));
}

}  // namespace
}  // namespace korvo::test

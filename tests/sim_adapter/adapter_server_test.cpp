// The simulator's sockets served in-process on a private KORVO_ROOT: the host layer's own device
// calls, several connections at once, clients that misbehave or hang up, the control commands,
// and peers of another user.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "adapter_model.h"
#include "adapter_server.h"
#include "control_client.h"
#include "device_client.h"
#include "platform.h"
#include "support/private_root.h"

namespace korvo::adapter {
namespace {

using test::DeviceClient;

class AdapterServerTest : public testing::Test {
  protected:
    void SetUp() override {
        paths_ = DefaultServerPaths();
        server_ = std::make_unique<AdapterServer>(model_, paths_);
        ASSERT_EQ(server_->Open(), "");
        serving_ = std::thread([this] { server_->Run(); });
    }

    void TearDown() override {
        if (serving_.joinable()) {
            server_->RequestStop();
            serving_.join();
        }
    }

    // Sends a control command; the text of the answer, and whether it was carried out.
    std::pair<bool, std::string> Control(const std::string& line) {
        std::string error;
        const auto reply = SendControlLine(paths_.control, line, error);
        EXPECT_TRUE(reply) << error;
        return reply ? std::pair{reply->ok, reply->text} : std::pair{false, error};
    }

    korvo::test::PrivateRoot root_;  // first: KORVO_ROOT is set before the paths are taken
    AdapterModel model_;
    ServerPaths paths_;
    std::unique_ptr<AdapterServer> server_;
    std::thread serving_;
};

TEST_F(AdapterServerTest, TheHostLayersDeviceCallsReachTheModel) {
    auto exchange = [](uint32_t controlWord, uint16_t requestCode) {
        HANDLE device =
            CreateFileA("\\\\.\\korvodmi.vxd", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(device, INVALID_HANDLE_VALUE);
        std::vector<uint8_t> record = test::RequestRecord(requestCode);
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(device, kQueryGlobalStatsCode, &controlWord, 4,
                                        record.data(), 24, &returned, nullptr);
        CloseHandle(device);
        EXPECT_TRUE(ok);
        EXPECT_EQ(returned, 24u);
        return record;
    };
    const auto probe = exchange(kProbeControlWord, 0);
    EXPECT_EQ(std::vector<uint8_t>(probe.begin() + 4, probe.begin() + 8),
              (std::vector<uint8_t>{0x44, 0x4D, 0x49, 0x10}));
    const auto failover = exchange(kRequestControlWord, code::kFailoverStatus);
    EXPECT_EQ(GetU16(failover.data() + kStatusOffset), kStatusOk);
    EXPECT_EQ(failover[4], 1);
    EXPECT_EQ(GetU32(failover.data() + kValueOffset), 11u);
}

TEST_F(AdapterServerTest, ServesSeveralConnectionsAtOnceAndSurvivesHangUps) {
    const auto probe = test::FrameRequest(
        kQueryGlobalStatsCode, test::ControlWord(kProbeControlWord), test::RequestRecord(0));
    DeviceClient slow(paths_.device);
    ASSERT_TRUE(slow.SendBytes({probe.begin(), probe.begin() + 20}));  // half a request, for now

    DeviceClient quitter(paths_.device);
    ASSERT_TRUE(quitter.SendBytes({probe.begin(), probe.begin() + 10}));
    quitter.Close();  // hangs up mid-request

    DeviceClient quick(paths_.device);
    const auto state = quick.Request(code::kState);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->word(16), 2u);

    ASSERT_TRUE(slow.SendBytes({probe.begin() + 20, probe.end()}));
    const auto signature = slow.ReadReply(kRecordSize);
    ASSERT_TRUE(signature);
    EXPECT_EQ(signature->output[4], 0x44);

    DeviceClient after(paths_.device);
    EXPECT_TRUE(after.Request(code::kLanguage));
    EXPECT_EQ(model_.RecentRequests(10).size(), 3u);  // the hung-up request was never served
}

// The host layer connects for each exchange and hangs up after it, so a few busy readers make
// the server accept and close connections as fast as it can serve them: the cap counts only
// the connections still open, and none of those readers is ever turned away.
TEST_F(AdapterServerTest, ClientsThatConnectForEachExchangeAreNeverTurnedAway) {
    constexpr int Clients = 6;
    constexpr int Exchanges = 400;
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int client = 0; client < Clients; ++client) {
        clients.emplace_back([&failed] {
            for (int i = 0; i < Exchanges; ++i) {
                DeviceClient device(DefaultServerPaths().device);
                if (!device.Request(code::kState)) {
                    ++failed;
                }
            }
        });
    }
    for (std::thread& thread : clients) {
        thread.join();
    }
    EXPECT_EQ(failed.load(), 0) << "of " << Clients * Exchanges << " exchanges";
}

TEST_F(AdapterServerTest, MalformedRequestsAreRefusedWithoutHarm) {
    DeviceClient client(paths_.device);
    const std::vector<uint8_t> shortWord = {0x00, 0x02, 0x01};
    const std::vector<uint8_t> record = test::RequestRecord(code::kState);
    ASSERT_TRUE(client.SendBytes(test::FrameRequest(kQueryGlobalStatsCode, shortWord, record)));
    const auto refused = client.ReadReply(record.size());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->success, 0u);
    EXPECT_EQ(refused->bytesReturned, 0u);
    EXPECT_EQ(refused->output, record);
    EXPECT_TRUE(client.Request(code::kState)) << "the connection serves on";

    // Lengths that no buffer of ours could hold: the connection is closed, the server goes on.
    DeviceClient absurd(paths_.device);
    std::vector<uint8_t> header(kRequestHeaderSize);
    EncodeRequestHeader({kQueryGlobalStatsCode, 4, 0x7FFFFFFF}, header.data());
    ASSERT_TRUE(absurd.SendBytes(header));
    EXPECT_TRUE(absurd.ClosedByPeer());
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState));
}

TEST_F(AdapterServerTest, ASilentFaultSendsNoReplyButHoldsUpNoOne) {
    ASSERT_TRUE(Control("fail 56 silent").first);
    DeviceClient waiting(paths_.device);
    ASSERT_TRUE(waiting.SendBytes(test::FrameRequest(kQueryGlobalStatsCode,
                                                     test::ControlWord(kRequestControlWord),
                                                     test::RequestRecord(code::kFailoverStatus))));
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState));
    EXPECT_TRUE(waiting.QuietFor(200));

    ASSERT_TRUE(Control("heal all").first);
    const auto next = waiting.Request(code::kFailoverStatus);
    ASSERT_TRUE(next) << "the connection still serves the requests that follow";
    EXPECT_EQ(next->output[4], 1);
}

// A client that sends requests as fast as it can and reads none of the replies fills its own
// connection only: the server stops reading it until its replies leave, and serves others.
TEST_F(AdapterServerTest, AClientThatReadsNoRepliesHoldsUpNoOne) {
    const int flood = host::ConnectUnix(paths_.device);
    ASSERT_GE(flood, 0);
    ASSERT_EQ(fcntl(flood, F_SETFL, fcntl(flood, F_GETFL) | O_NONBLOCK), 0);
    const auto request =
        test::FrameRequest(kQueryGlobalStatsCode, test::ControlWord(kRequestControlWord),
                           test::RequestRecord(code::kState));
    // Sends until the connection takes nothing more for 100 ms: the server has stopped reading.
    size_t sent = 0;
    bool filled = false;
    for (auto stalledSince = std::chrono::steady_clock::now(); sent < (size_t{64} << 20);) {
        const ssize_t n = send(flood, request.data(), request.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            stalledSince = std::chrono::steady_clock::now();
            continue;
        }
        ASSERT_TRUE(errno == EAGAIN) << std::strerror(errno);
        if (std::chrono::steady_clock::now() - stalledSince > std::chrono::milliseconds(100)) {
            filled = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(filled) << sent << " bytes went in without the server ever pausing";
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState));
    close(flood);
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState));
}

TEST_F(AdapterServerTest, StopClosesEachRequestsConnectionUntilStart) {
    ASSERT_TRUE(Control("stop").first);
    DeviceClient stopped(paths_.device);
    ASSERT_TRUE(stopped.connected());
    ASSERT_TRUE(stopped.SendBytes(test::FrameRequest(
        kQueryGlobalStatsCode, test::ControlWord(kProbeControlWord), test::RequestRecord(0))));
    EXPECT_TRUE(stopped.ClosedByPeer());
    EXPECT_EQ(model_.RecentRequests(1).at(0).outcome, Outcome::NotAnswering);

    ASSERT_TRUE(Control("start").first);
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState));
}

TEST_F(AdapterServerTest, ControlCommandsChangeTheRunningModel) {
    EXPECT_EQ(Control("failover 2"), std::pair(true, std::string("adapter 2 is active (was 1)")));
    DeviceClient client(paths_.device);
    EXPECT_EQ(client.Request(code::kFailoverStatus)->output[4], 2);

    EXPECT_TRUE(Control("fail 22 status").first);
    EXPECT_EQ(client.Request(code::kState)->status(), kStatusFailed);
    EXPECT_TRUE(Control("set language=4").first);
    EXPECT_EQ(client.Request(code::kLanguage)->word(16), 4u);

    const auto [logged, log] = Control("log 2");
    EXPECT_TRUE(logged);
    EXPECT_EQ(log,
              "#2 code 22 word 0xFF010200 index 0x00 value 0x00000000 -> fault: status 0xFFFF\n"
              "#3 code 54 word 0xFF010200 index 0x00 value 0x00000000 -> ok");
    const auto [shown, status] = Control("status");
    EXPECT_TRUE(shown);
    EXPECT_NE(status.find("active adapter  2 (failovers so far: 1)"), std::string::npos) << status;
    EXPECT_NE(status.find("22=status"), std::string::npos) << status;

    for (const char* refused : {"set state=9", "failover 3", "reboot", "fail 56"}) {
        const auto [ok, text] = Control(refused);
        EXPECT_FALSE(ok) << refused;
        EXPECT_NE(text, "") << refused;
    }
}

TEST_F(AdapterServerTest, QuitEndsTheServerAndRemovesItsSockets) {
    EXPECT_TRUE(Control("quit").first);
    serving_.join();
    EXPECT_FALSE(std::filesystem::exists(paths_.device));
    EXPECT_FALSE(std::filesystem::exists(paths_.control));
}

TEST_F(AdapterServerTest, ASecondServerOnTheSameRootIsRefused) {
    AdapterModel other;
    AdapterServer second(other, paths_);
    const std::string error = second.Open();
    EXPECT_NE(error.find("already served by a running simulator"), std::string::npos) << error;
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState)) << "the first one serves on";
    EXPECT_TRUE(std::filesystem::exists(paths_.control));
}

// Connects as another user and reports: 0 closed without an answer, 1 answered, 2 no connection.
int ConnectAsOtherUser(const std::string& path, const std::vector<uint8_t>& request) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            _exit(2);
        }
        [[maybe_unused]] const ssize_t sent =
            send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char byte;
        _exit(read(fd, &byte, 1) > 0 ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

TEST_F(AdapterServerTest, PeersOfAnotherUserAreClosedWithoutAnAnswer) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    // Let the other user reach the sockets at all, so that only the peer check stands between.
    for (const std::string& path : {root_.path(), root_.path() + "/devices"}) {
        ASSERT_EQ(chmod(path.c_str(), 0711), 0);
    }
    ASSERT_EQ(chmod(paths_.device.c_str(), 0666), 0);
    ASSERT_EQ(chmod(paths_.control.c_str(), 0666), 0);

    const auto probe = test::FrameRequest(
        kQueryGlobalStatsCode, test::ControlWord(kProbeControlWord), test::RequestRecord(0));
    EXPECT_EQ(ConnectAsOtherUser(paths_.device, probe), 0);
    const std::string quit = "quit\n";
    EXPECT_EQ(ConnectAsOtherUser(paths_.control, {quit.begin(), quit.end()}), 0);
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState)) << "still serving";
}

}  // namespace
}  // namespace korvo::adapter

namespace korvo::adapter {
namespace {

// Idle device connections hold a descriptor each: no more than the cap are served. One more
// is not turned away but waits until a slot frees, and is answered then; the idle ones are
// closed after the idle limit, so that clients are served again.
TEST_F(AdapterServerTest, AtTheCapTheNextClientWaitsForASlot) {
    server_->RequestStop();
    serving_.join();
    // An idle limit long enough that no held connection expires while a loaded machine opens
    // the others.
    AdapterServer server(model_, paths_);
    server.SetIdleLimitMs(8000);
    ASSERT_EQ(server.Open(), "");
    std::thread serving([&] { server.Run(); });

    std::vector<std::unique_ptr<DeviceClient>> idle;
    for (size_t i = 0; i < AdapterServer::kMaxConnections; ++i) {
        idle.push_back(std::make_unique<DeviceClient>(paths_.device));
        ASSERT_TRUE(idle.back()->connected());
        // Answered, so accepted: the slot is held from here on.
        ASSERT_TRUE(idle.back()->Request(code::kState));
    }
    DeviceClient waiting(paths_.device);
    ASSERT_TRUE(waiting.connected()) << "the connection waits in the backlog";
    ASSERT_TRUE(waiting.SendBytes(test::FrameRequest(kQueryGlobalStatsCode,
                                                     test::ControlWord(kRequestControlWord),
                                                     test::RequestRecord(code::kState))));
    EXPECT_TRUE(waiting.QuietFor(200)) << "no slot is free, so nothing is served yet";
    idle.front()->Close();
    const auto reply = waiting.ReadReply(kRecordSize, 10000);
    ASSERT_TRUE(reply) << "one more than the cap was turned away instead of waiting";
    EXPECT_EQ(reply->success, 1u);

    idle.erase(idle.begin());
    for (const auto& client : idle) {
        EXPECT_TRUE(client->ClosedByPeer(30000)) << "an idle connection outlived the idle limit";
    }
    EXPECT_TRUE(DeviceClient(paths_.device).Request(code::kState));

    server.RequestStop();
    serving.join();
}

}  // namespace
}  // namespace korvo::adapter

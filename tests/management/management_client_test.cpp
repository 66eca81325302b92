// The management client's connection to the management socket: what it does when the service
// provider is missing, gone, silent, or answers outside the protocol.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "management/management_client.h"
#include "management/fake_management_server.h"
#include "korvo/provider_files.h"
#include "support/private_root.h"

namespace korvo::management {
namespace {

using nlohmann::json;
using test::FakeManagementServer;
using namespace std::chrono_literals;

class ManagementClientTest : public testing::Test {
  protected:
    std::string SocketPath() const {
        return management::ProviderFile(root_.path() + "/dmi", management::kSocketFileName);
    }
    test::PrivateRoot root_;
};

TEST_F(ManagementClientTest, SendsOneLinePerRequestAndReadsItsResponse) {
    FakeManagementServer server(SocketPath(), [](const json& request) {
        return std::vector<std::string>{json{{"status", 0}, {"echo", request["op"]}}.dump()};
    });
    ManagementClient client(SocketPath());
    EXPECT_EQ(client.Request({{"op", "stats"}})["echo"], "stats");
    EXPECT_EQ(client.Request({{"op", "list-components"}})["echo"], "list-components");
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(ManagementClientTest, MissingServiceProviderNamesThePathAndWhatToStart) {
    try {
        ManagementClient client(SocketPath());
        FAIL() << "connected to nothing";
    } catch (const ConnectionError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("nothing listens on " + SocketPath()), std::string::npos);
        EXPECT_NE(message.find("WIN32DMIPATH=" + root_.path() + "/dmi"), std::string::npos);
    }
}

TEST_F(ManagementClientTest, SocketPathComesFromWin32DmiPathUnlessGiven) {
    {
        test::ScopedEnv dmiPath("WIN32DMIPATH", "C:\\dmi\\");
        EXPECT_EQ(ManagementSocketPath(""), "C:/dmi/dmi.sock");
        EXPECT_EQ(ManagementSocketPath("/run/other.sock"), "/run/other.sock");
    }
    test::ScopedEnv unset("WIN32DMIPATH", nullptr);
    EXPECT_THROW(ManagementSocketPath(""), ConnectionError);
}

// The Windows build of the service provider serves a loopback port named in dmi.port.
TEST_F(ManagementClientTest, ReachesTheLoopbackPortThatDmiPortNames) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    std::thread server([listener] {
        const int connection = accept(listener, nullptr, nullptr);
        char request[256];
        if (connection >= 0 && read(connection, request, sizeof request) > 0) {
            const std::string answer = "{\"status\":0,\"over\":\"tcp\"}\n";
            EXPECT_EQ(write(connection, answer.data(), answer.size()),
                      static_cast<ssize_t>(answer.size()));
        }
        close(connection);
    });
    std::filesystem::create_directories(root_.path() + "/dmi");
    std::ofstream(management::ProviderFile(root_.path() + "/dmi", management::kPortFileName))
        << port << "\n";
    test::ScopedEnv dmiPath("WIN32DMIPATH", (root_.path() + "/dmi").c_str());
    ASSERT_EQ(ManagementSocketPath(""), "tcp:127.0.0.1:" + port);
    ManagementClient client(ManagementSocketPath(""));
    EXPECT_EQ(client.Request({{"op", "stats"}})["over"], "tcp");
    server.join();
    close(listener);

    for (const char* notLoopback : {"tcp:", "tcp:70000", "tcp:10.0.0.1:80", "tcp:localhost:1"}) {
        EXPECT_THROW(ManagementClient{notLoopback}, ConnectionError) << notLoopback;
    }
}

TEST_F(ManagementClientTest, BrokenAnswersAreConnectionErrors) {
    struct Case {
        const char* what;
        std::vector<std::string> reply;
        const char* message;
    };
    const Case cases[] = {
        {"silence", {}, "did not answer \"stats\" within 100 ms"},
        {"hang-up", {FakeManagementServer::kHangUp}, "closed the connection without an answer"},
        {"not JSON", {"hello"}, "not a protocol response: hello"},
        {"no status", {R"({"memory":{}})"}, "not a protocol response"},
        {"a last word",
         {R"({"status":512,"error":"too many management connections are open","closing":true})"},
         "closed the connection: too many management connections are open"},
    };
    for (const Case& c : cases) {
        FakeManagementServer server(SocketPath(), [&](const json&) { return c.reply; });
        // Only silence is waited out; the other replies come, however slowly, long before.
        ManagementClient client(SocketPath(), c.reply.empty() ? 100ms : 10000ms);
        try {
            client.Request({{"op", "stats"}});
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const ConnectionError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << c.what << ": " << error.what();
        }
    }
}

// A provider whose process ended (its socket file left behind, its queued connections
// dropped) is said to be gone, not to refuse this user.
TEST_F(ManagementClientTest, AProviderThatEndedIsSaidToBeGone) {
    std::filesystem::create_directories(root_.path() + "/dmi");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SocketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ManagementClient client(SocketPath(), 1000ms);  // queued, never taken
    close(listener);
    try {
        client.Request({{"op", "stats"}});
        ADD_FAILURE() << "accepted";
    } catch (const ConnectionError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("it has gone, nothing listens there any more"), std::string::npos)
            << message;
        EXPECT_EQ(message.find("own user"), std::string::npos) << message;
    }
}

TEST_F(ManagementClientTest, SubscriptionLinesNeedNoStatusAndEachWaitIsBounded) {
    FakeManagementServer server(SocketPath(), [](const json&) {
        return std::vector<std::string>{R"({"status":0})", R"({"event":{"sequence":1}})"};
    });
    ManagementClient client(SocketPath());
    client.Request({{"op", "subscribe"}, {"since", 0}});
    const auto event = client.Receive(2s);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ((*event)["event"]["sequence"], 1);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Receive(50ms).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);
}

// Pipelined answers reach the callback in order; a request made inside the callback gets its
// own answer, not a later pipelined one; answers a failed callback left unread are dropped,
// not taken as the next request's.
TEST_F(ManagementClientTest, PipelinedAnswersStayInStepWithTheirRequests) {
    FakeManagementServer server(SocketPath(), [](const json& request) {
        return std::vector<std::string>{json{{"status", 0}, {"echo", request["n"]}}.dump()};
    });
    ManagementClient client(SocketPath());
    const std::vector<json> requests{{{"op", "x"}, {"n", 0}},
                                     {{"op", "x"}, {"n", 1}},
                                     {{"op", "x"}, {"n", 2}},
                                     {{"op", "x"}, {"n", 3}}};
    std::vector<int> seen;
    client.Pipeline(requests, [&](size_t i, json answer) {
        seen.push_back(answer["echo"].get<int>());
        EXPECT_EQ(answer["echo"], static_cast<int>(i));
        if (i == 1) {
            EXPECT_EQ(client.Request({{"op", "y"}, {"n", 10}})["echo"], 10);
        }
    });
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3}));

    EXPECT_THROW(client.Pipeline(requests,
                                 [](size_t i, const json&) {
                                     if (i == 0) {
                                         throw std::runtime_error("the caller gave up");
                                     }
                                 }),
                 std::runtime_error);
    EXPECT_EQ(client.Request({{"op", "y"}, {"n", 20}})["echo"], 20);
    client.Pipeline({}, [](size_t, const json&) { ADD_FAILURE() << "no request, no answer"; });
    EXPECT_EQ(client.Request({{"op", "y"}, {"n", 30}})["echo"], 30);
}

}  // namespace
}  // namespace korvo::management

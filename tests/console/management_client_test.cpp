// The console's connection to the management socket: what it does when the service provider
// is missing, silent, or answers outside the protocol.
#include <gtest/gtest.h>

#include <chrono>

#include "console/management_client.h"
#include "fake_management_server.h"
#include "support/private_root.h"

namespace korvo::console {
namespace {

using nlohmann::json;
using test::FakeManagementServer;
using namespace std::chrono_literals;

class ManagementClientTest : public testing::Test {
  protected:
    std::string SocketPath() const { return root_.path() + "/dmi/dmi.sock"; }
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
    };
    for (const Case& c : cases) {
        FakeManagementServer server(SocketPath(), [&](const json&) { return c.reply; });
        ManagementClient client(SocketPath(), 100ms);
        try {
            client.Request({{"op", "stats"}});
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const ConnectionError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << c.what << ": " << error.what();
        }
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

}  // namespace
}  // namespace korvo::console

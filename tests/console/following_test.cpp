// The console's following commands against the fake service provider: events and
// events --follow, watch ended by Ctrl-C, and both carrying on across a restart of the
// service provider.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console_test_fixture.h"

namespace korvo::console {
namespace {

using nlohmann::json;
using test::FakeManagementServer;

TEST_F(ConsoleTest, WatchEndsCleanlyOnCtrlC) {
    // Ctrl-C is pressed again and again, from the third reading on, until the command ends;
    // one that comes after the command is ignored.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &previous);
    std::atomic<bool> ended{false};
    std::thread interrupt([&] {
        // Once the third reading is asked for, two samples are out: then Ctrl-C.
        auto readings = [this] {
            size_t count = 0;
            for (const json& read : Reads()) {
                count += read["group"] == 4 && read["attribute"] == 6;
            }
            return count;
        };
        while (!ended && readings() < 3) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        while (!ended) {
            kill(getpid(), SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const Outcome watch =
        Run({"--json", "watch", "1", "4", "6", "--interval", "0.1", "--count", "600"});
    ended = true;
    interrupt.join();
    sigaction(SIGINT, &previous, nullptr);
    EXPECT_EQ(watch.exit, 0) << watch.err;
    std::istringstream lines(watch.out);
    int samples = 0;
    for (std::string line; std::getline(lines, line); ++samples) {
        const json sample = json::parse(line);
        EXPECT_EQ(sample["readings"][0]["value"]["integer"], uint64_t{1} << 40);
        if (samples > 0) {  // the fake's counter stands still
            EXPECT_EQ(sample["readings"][0]["delta"], 0) << line;
        }
    }
    EXPECT_GE(samples, 2) << watch.out;
    EXPECT_LT(samples, 600) << "not interrupted";
}

// Each rate watch prints is its counter's delta over the difference of the two samples' printed
// stamps, in --json and for people, also when the first sample's reads are slow (here the
// first read of the counter takes 300 ms, as a first connection may) and the counter rises by
// 4000 a sample.
TEST_F(ConsoleTest, WatchRatesAreTheDeltaOverTheDifferenceOfThePrintedStamps) {
    const std::string socket = root_.path() + "/counting.sock";
    std::atomic<uint64_t> reads{0};
    FakeManagementServer counting(socket, [&](const json& request) {
        if (request.value("op", "") != "get" || request.value("group", 0) != 4 ||
            request.value("attribute", 0) != 6) {
            return Answer(request);
        }
        const uint64_t read = reads++;
        if (read == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        json answer = json::parse(Answer(request).at(0));
        answer["value"]["integer"] = 1000000 + 4000 * read;
        return std::vector<std::string>{Line(answer)};
    });
    // Seconds of the day of a stamp: HH:MM:SS.mmm, at the same place in both forms.
    const auto secondsOf = [](const std::string& clock) {
        return std::stoi(clock.substr(0, 2)) * 3600 + std::stoi(clock.substr(3, 2)) * 60 +
               std::stod(clock.substr(6, 6));
    };
    const auto between = [](double later, double earlier) {
        return later >= earlier ? later - earlier : later + 86400 - earlier;  // past midnight
    };
    for (const bool asJson : {true, false}) {
        SCOPED_TRACE(asJson ? "--json" : "text");
        reads = 0;
        std::vector<std::string> arguments{"--socket", socket,       "watch", "1",       "4",
                                           "6",        "--interval", "0.1",   "--count", "4"};
        if (asJson) {
            arguments.insert(arguments.begin(), "--json");
        }
        const Outcome watch = RunWithoutSocket(arguments);
        ASSERT_EQ(watch.exit, 0) << watch.err;
        std::istringstream lines(watch.out);
        std::vector<std::pair<double, double>> samples;  // stamp, rate (0 for the first)
        for (std::string line; std::getline(lines, line);) {
            if (asJson) {
                const json sample = json::parse(line);
                const json& reading = sample["readings"][0];
                samples.emplace_back(secondsOf(sample["time"].get<std::string>().substr(11)),
                                     reading.value("perSecond", 0.0));
            } else {
                // 09:05:00.123  korvo 4 6 ... = 1004000  +39603.9/s
                const size_t rate = line.rfind("  +");
                samples.emplace_back(
                    secondsOf(line.substr(0, 12)),
                    rate == std::string::npos ? 0.0 : std::stod(line.substr(rate + 3)));
            }
        }
        ASSERT_EQ(samples.size(), 4u) << watch.out;
        for (size_t i = 1; i < samples.size(); ++i) {
            const double expected = 4000 / between(samples[i].first, samples[i - 1].first);
            // The text shows the rate to a tenth; the document to double precision.
            EXPECT_NEAR(samples[i].second, expected, asJson ? expected * 1e-9 : 0.051)
                << "sample " << i << "\n"
                << watch.out;
        }
    }
}

// Every way a table walk ends has its name in the document and its words for people.

TEST_F(ConsoleTest, EventsShowTheLogWithNamesAndFollowOnlyNewOnes) {
    const Outcome log = Run({"events"});
    EXPECT_EQ(log.exit, 0) << log.err;
    EXPECT_TRUE(Contains(log.out,
                         "Event 1  2024-01-02T03:04:05.000000+01:00  Component 1: "
                         "KORVO Ethernet Adapter"))
        << log.out;
    // The row's key stands apart from the values, so neither is read as the other.
    EXPECT_TRUE(Contains(log.out,
                         "    the row whose key is Associated Group (5) = "
                         "QEV|Failover Adapter Table|001, with the values:\n"
                         "    ID  ATTRIBUTE       VALUE\n"))
        << log.out;
    EXPECT_TRUE(Contains(log.out, "    2   Event Severity  critical (16)")) << log.out;

    const Outcome follow = Run({"events", "--follow", "--count", "1", "--timeout", "5"});
    EXPECT_EQ(follow.exit, 0) << follow.err;
    EXPECT_TRUE(Contains(follow.out, "Event 3 ")) << follow.out;
    EXPECT_FALSE(Contains(follow.out, "Event 2 ")) << follow.out;
    EXPECT_EQ(server_.Requests("subscribe").back()["since"], 2);

    const Outcome replay = Run({"--json", "events", "--follow", "--since", "0", "--count", "3"});
    EXPECT_EQ(replay.exit, 0);
    std::istringstream lines(replay.out);
    std::string line;
    int sequence = 0;
    while (std::getline(lines, line)) {
        const json event = json::parse(line);
        EXPECT_EQ(event["sequence"], ++sequence);
        EXPECT_EQ(event["rows"][0]["values"][1]["display"], "critical (16)");
    }
    EXPECT_EQ(sequence, 3);
}

TEST_F(ConsoleTest, FollowGivesUpAtTheTimeoutAndSaysWhenEventsAreMissing) {
    const auto started = std::chrono::steady_clock::now();
    const Outcome quiet = Run({"events", "--follow", "--since", "3", "--timeout", "0.2"});
    EXPECT_EQ(quiet.exit, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));

    const Outcome short_ = Run({"events", "--follow", "--count", "2", "--timeout", "0.2"});
    EXPECT_EQ(short_.exit, 1);
    EXPECT_TRUE(Contains(short_.err, "1 of 2 events arrived within 0.2 s")) << short_.err;
}

// A service provider that goes away once the subscription has arrived, before answering it,
// is waited for like one that goes away later: the events follow once it answers.
TEST_F(ConsoleTest, FollowingEventsWaitsForAProviderThatLeftBeforeAnsweringTheSubscription) {
    const std::string socket = root_.path() + "/leaving.sock";
    std::atomic<int> subscriptions{0};
    FakeManagementServer server(socket, [&](const json& request) -> std::vector<std::string> {
        if (request.value("op", "") != "subscribe") {
            return Answer(request);
        }
        if (subscriptions++ == 0) {
            return {FakeManagementServer::kHangUp};
        }
        return {Line({{"status", 0}}), Line({{"event", Event(1)}})};
    });
    const Outcome follow = RunWithoutSocket({"--socket", socket, "--json", "events", "--follow",
                                             "--since", "0", "--count", "1", "--timeout", "60"});
    EXPECT_EQ(follow.exit, 0) << follow.err;
    EXPECT_EQ(json::parse(follow.out)["sequence"], 1) << follow.out;
    EXPECT_TRUE(Contains(follow.err, "reconnecting when it is back")) << follow.err;
    EXPECT_EQ(subscriptions, 2);
}

// events --follow and watch wait for a service provider that went away and carry on when it
// is back, saying so once: following events from the last one shown, neither losing nor
// repeating one, and watching with the samples that could not be read left out.
TEST_F(ConsoleTest, FollowingCommandsCarryOnAcrossARestartOfTheServiceProvider) {
    const std::string socket = root_.path() + "/restarting.sock";
    // Answers as Answer does, but a subscription has the events up to `lastEvent` only.
    auto serving = [](int lastEvent) {
        return [lastEvent](const json& request) {
            if (request.value("op", "") != "subscribe") {
                return Answer(request);
            }
            std::vector<std::string> lines{Line({{"status", 0}})};
            for (int sequence = request.value("since", 0) + 1; sequence <= lastEvent; ++sequence) {
                lines.push_back(Line({{"event", Event(sequence)}}));
            }
            return lines;
        };
    };
    // Once `server` has answered `op`, it goes away for a while and another takes its place.
    auto restartAfter = [&](std::optional<FakeManagementServer>& server, const char* op) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (server->Answered(op) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        server.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server.emplace(socket, serving(3));
    };
    auto countOf = [](const std::string& text, const std::string& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    };

    std::optional<FakeManagementServer> server(std::in_place, socket, serving(1));
    Outcome follow;
    std::thread following([&] {
        follow = RunWithoutSocket({"--socket", socket, "--json", "events", "--follow", "--since",
                                   "0", "--count", "3", "--timeout", "20"});
    });
    restartAfter(server, "subscribe");
    following.join();
    EXPECT_EQ(follow.exit, 0) << follow.err;
    std::istringstream events(follow.out);
    std::vector<int> sequences;
    for (std::string line; std::getline(events, line);) {
        sequences.push_back(json::parse(line)["sequence"]);
    }
    // Event 1 is shown before the restart, or (its names not yet had) after it: once either way.
    EXPECT_EQ(sequences, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(countOf(follow.err, "reconnecting"), 1u) << follow.err;
    ASSERT_FALSE(server->Requests("subscribe").empty());
    EXPECT_LE(server->Requests("subscribe").front()["since"], 1);

    // Readings half a second apart: the provider goes away after the first, long before the
    // watch could have made all four, however slowly a loaded machine runs the test.
    Outcome watch;
    std::thread watching([&] {
        watch = RunWithoutSocket({"--socket", socket, "--json", "watch", "1", "4", "6",
                                  "--interval", "0.5", "--count", "4"});
    });
    restartAfter(server, "get");
    watching.join();
    EXPECT_EQ(watch.exit, 0) << watch.err;
    EXPECT_EQ(countOf(watch.out, "\"readings\""), 4u) << watch.out;
    EXPECT_EQ(countOf(watch.err, "reconnecting"), 1u) << watch.err;
}

}  // namespace
}  // namespace korvo::console

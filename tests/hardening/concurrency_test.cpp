// Many management clients reading and writing through the service provider's socket at once,
// while the window thread runs failover checks against an adapter pair that keeps failing
// over: every write reaches the device whole, every read answers with its own row's value,
// every failover is reported once, and nothing is left outstanding. Run it under the
// host-tsan preset as well: the callbacks are called side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dmi/dmi_api.h"
#include "failover/failover.h"
#include "host/startup.h"
#include "instrumentation/registration.h"
#include "hardening_support.h"
#include "state/service_state.h"

namespace korvo::hardening {
namespace {

constexpr int Clients = 6;
constexpr int RoundsPerClient = 60;
// A written value names its client and round, so that the device's log tells which write an
// exchange carried; reads of the same request codes send a row index, far below this.
constexpr uint32_t WrittenValueBase = 0x40000000;

uint32_t WrittenValue(int client, int round, int which) {
    return WrittenValueBase + static_cast<uint32_t>(client) * 0x10000 +
           static_cast<uint32_t>(round) * 4 + static_cast<uint32_t>(which);
}

// Each client owns rows of its own: 5 of the 35-row table, 20 of the 125-row one.
uint32_t Row14(int client, int round) {
    return static_cast<uint32_t>(client * 5 + round % 5 + 1);
}
uint32_t Row13(int client, int round) {
    return static_cast<uint32_t>(client * 20 + round % 20 + 1);
}

// The three writes of a round: request code and row.
struct ExpectedWrite {
    uint16_t code;
    uint32_t row;
};
ExpectedWrite WriteOf(int client, int round, int which) {
    switch (which) {
        case 0:
            return {33, Row14(client, round)};  // group 14 attribute 2
        case 1:
            return {32, Row14(client, round)};  // group 14 attribute 1
        default:
            return {30, Row13(client, round)};  // group 13 attribute 1
    }
}

nlohmann::json SetRequest(DmiId component, DmiId group, DmiId attribute, uint32_t row,
                          uint32_t value) {
    return {{"op", "set"},
            {"component", component},
            {"group", group},
            {"attribute", attribute},
            {"keys", nlohmann::json::array({{{"integer", row}}})},
            {"value", {{"type", MIF_INTEGER}, {"integer", value}}}};
}

TEST(HardeningConcurrency, ClientsReadAndWriteWhileFailoverChecksRun) {
    AgentMachine machine;
    InProcessAdapter adapter;
    ASSERT_EQ(machine.Start(), 1);
    const DmiId component = serviceState.componentId;
    const auto before = OutstandingKinds();
    const unsigned badFrees = Controls().badFrees();
    const size_t eventsBefore = machine.EventCount();

    std::atomic<int> clientsLeft{Clients};
    std::vector<std::string> failures[Clients];
    std::vector<std::thread> clients;
    for (int client = 0; client < Clients; ++client) {
        clients.emplace_back([&, client] {
            auto fail = [&](const std::string& what) { failures[client].push_back(what); };
            ManagementLine line;
            if (!line.connected()) {
                fail("cannot connect");
            }
            for (int round = 0; round < RoundsPerClient && line.connected(); ++round) {
                const std::string where =
                    "client " + std::to_string(client) + " round " + std::to_string(round) + ": ";
                auto expectStatus = [&](const nlohmann::json& answer, const char* what) {
                    if (answer.is_null() || answer["status"] != 0) {
                        fail(where + what + " answered " + answer.dump());
                        return false;
                    }
                    return true;
                };
                const uint32_t row14 = Row14(client, round);
                const uint32_t row13 = Row13(client, round);
                const uint32_t number = WrittenValue(client, round, 0);
                expectStatus(line.Ask(SetRequest(component, 14, 2, row14, number)), "set 14.2");
                expectStatus(
                    line.Ask(SetRequest(component, 14, 1, row14, WrittenValue(client, round, 1))),
                    "set 14.1");
                expectStatus(
                    line.Ask(SetRequest(component, 13, 1, row13, WrittenValue(client, round, 2))),
                    "set 13.1");
                // The row is this client's alone: it reads back exactly what it wrote.
                auto answer = line.Ask(GetRequest(component, 14, 2, row14));
                if (expectStatus(answer, "get 14.2") && answer["value"]["integer"] != number) {
                    fail(where + "row " + std::to_string(row14) + " reads back " + answer.dump());
                }
                // Answers built from the request alone tell one call's row from another's.
                answer = line.Ask(GetRequest(component, 3, 1, round % 3 + 1));
                if (expectStatus(answer, "get 3.1") &&
                    answer["value"]["integer"] != round % 3 + 1) {
                    fail(where + "group 3 row " + std::to_string(round % 3 + 1) + " reads " +
                         answer.dump());
                }
                answer = line.Ask(GetRequest(component, 13, 1, row13 - 1, true));
                if (expectStatus(answer, "get-next 13.1") && answer["value"]["integer"] != row13) {
                    fail(where + "the row after " + std::to_string(row13 - 1) + " reads " +
                         answer.dump());
                }
                expectStatus(line.Ask(GetRequest(component, 4, 2)), "get 4.2");
                expectStatus(line.Ask(GetRequest(component, 15, 1 + round % 20)), "get 15.n");
                expectStatus(line.Ask(GetRequest(component, 6, 2)), "get 6.2");
            }
            --clientsLeft;
        });
    }

    // The window thread: the pair fails over now and then, and every check in between runs.
    int failovers = 0;
    for (int check = 0; clientsLeft.load() > 0; ++check) {
        if (check % 10 == 0) {
            adapter.model().FailOver(adapter.model().ActiveAdapter() == 1 ? 2 : 1);
            ++failovers;
        }
        RunFailoverCheck();
        Sleep(1);
    }
    for (std::thread& thread : clients) {
        thread.join();
    }
    for (const auto& clientFailures : failures) {
        for (const std::string& failure : clientFailures) {
            ADD_FAILURE() << failure;
        }
    }

    // Each write went out once, with the code and row of the write its value names.
    std::map<uint32_t, int> seen;
    for (const ServedExchange& exchange : adapter.exchanges()) {
        if (exchange.value < WrittenValueBase) {
            continue;
        }
        const uint32_t offset = exchange.value - WrittenValueBase;
        const int client = static_cast<int>(offset / 0x10000);
        const int round = static_cast<int>(offset % 0x10000 / 4);
        const int which = static_cast<int>(offset % 4);
        ASSERT_LT(client, Clients) << "a value no client wrote: " << exchange.value;
        const ExpectedWrite expected = WriteOf(client, round, which);
        EXPECT_EQ(exchange.code, expected.code) << "value " << std::hex << exchange.value;
        EXPECT_EQ(exchange.index, static_cast<uint8_t>(expected.row - 1))
            << "value " << std::hex << exchange.value;
        EXPECT_EQ(exchange.outcome, "ok");
        ++seen[exchange.value];
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(Clients * RoundsPerClient * 3));
    for (const auto& [value, times] : seen) {
        EXPECT_EQ(times, 1) << "value " << std::hex << value;
    }

    EXPECT_EQ(machine.EventCount(), eventsBefore + static_cast<size_t>(failovers));
    EXPECT_EQ(OutstandingKinds(), before) << ServiceProviderReport();
    EXPECT_EQ(Controls().badFrees(), badFrees) << ServiceProviderReport();
}

// An instrumentation whose get callback holds each call until the test lets it go.
struct HeldCalls {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    int mostAtOnce = 0;
    int made = 0;
    bool released = false;
};
HeldCalls held;

DmiErrorStatus HeldGet(DmiId, DmiId, DmiId attribute, DmiString*, DmiAttributeValues*,
                       DmiAttributeData** value) {
    std::unique_lock lock(held.mutex);
    ++held.made;
    held.mostAtOnce = std::max(held.mostAtOnce, ++held.inside);
    held.changed.notify_all();
    held.changed.wait_for(lock, std::chrono::seconds(5), [] { return held.released; });
    --held.inside;
    DmiErrorStatus status = DMIERR_NO_ERROR;
    *value = DmiApi.DmiNewAttributeData(serviceState.memoryDescriptor, &status);
    (*value)->id = attribute;
    (*value)->data.type = MIF_INTEGER;
    (*value)->data.value.integer = 7;
    return status;
}

// Registers HeldGet for group 4 of `component`, the record built the way the agent builds it.
DmiHandle RegisterHeldInstrumentation(DmiId component) {
    DmiRegisterInfo* record = nullptr;
    EXPECT_EQ(BuildCiRegistration(&record), 1);
    record->compId = component;
    record->ciGetAttribute = HeldGet;
    record->ciGetNextAttribute = HeldGet;
    record->accessData->size = 1;
    record->accessData->list[0] = {4, 0};
    DmiHandle handle = 0;
    DmiString* level = nullptr;
    EXPECT_EQ(DmiApi.DmiRegisterCi(record, &handle, &level), DMIERR_NO_ERROR);
    DmiApi.DmiFreeString(level, serviceState.memoryDescriptor);
    DmiApi.DmiFree(record->accessData->list, serviceState.memoryDescriptor);
    DmiApi.DmiFree(record->accessData, serviceState.memoryDescriptor);
    DmiApi.DmiFree(record, serviceState.memoryDescriptor);
    return handle;
}

TEST(HardeningConcurrency, CallbacksRunSideBySideButNeverAfterUnregistering) {
    AgentMachine machine;
    InProcessAdapter adapter;
    ASSERT_EQ(machine.Start(), 1);
    const DmiId component = serviceState.componentId;
    RunShutdown();  // the agent's own callbacks make way
    serviceState.ciRegistered = 0;
    const DmiHandle handle = RegisterHeldInstrumentation(component);
    auto ask = [component] {
        ManagementLine line;
        return line.Ask(GetRequest(component, 4, 1));
    };

    // Two requests are inside the instrumentation at the same time.
    auto first = std::async(std::launch::async, ask);
    auto second = std::async(std::launch::async, ask);
    {
        std::unique_lock lock(held.mutex);
        EXPECT_TRUE(held.changed.wait_for(lock, std::chrono::seconds(5), [] {
            return held.inside == 2;
        })) << "the calls were made one at a time";
        held.released = true;
        held.changed.notify_all();
    }
    EXPECT_EQ(first.get()["value"]["integer"], 7);
    EXPECT_EQ(second.get()["value"]["integer"], 7);
    EXPECT_EQ(held.mostAtOnce, 2);

    // Unregistering waits for the call in flight; after it, nothing reaches the callback.
    {
        std::lock_guard lock(held.mutex);
        held.released = false;
    }
    auto inFlight = std::async(std::launch::async, ask);
    {
        std::unique_lock lock(held.mutex);
        ASSERT_TRUE(
            held.changed.wait_for(lock, std::chrono::seconds(5), [] { return held.inside == 1; }));
    }
    auto unregistered =
        std::async(std::launch::async, [handle] { return DmiApi.DmiUnregisterCi(handle); });
    EXPECT_EQ(unregistered.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "unregistered while its callback was still running";
    {
        std::lock_guard lock(held.mutex);
        held.released = true;
        held.changed.notify_all();
    }
    EXPECT_EQ(unregistered.get(), DMIERR_NO_ERROR);
    EXPECT_EQ(inFlight.get()["value"]["integer"], 7);
    const int made = held.made;
    EXPECT_EQ(ask()["status"], DMIERR_DIRECT_INTERFACE_NOT_REGISTERED);
    EXPECT_EQ(held.made, made);
}

// Readers side by side, each comparing every value with what one reader alone was told. The
// agent opens a device connection for each exchange, so the readers together make the adapter
// accept and close hundreds of connections a second.
constexpr int Readers = 6;
constexpr int ReaderRounds = 4;

nlohmann::json GroupRequest(DmiId component, DmiId group) {
    return {{"op", "get-group"}, {"component", component}, {"group", group}};
}

TEST(HardeningConcurrency, ReadersOfWholeGroupsAgreeWithAQuietRead) {
    AgentMachine machine;
    InProcessAdapter adapter;
    ASSERT_EQ(machine.Start(), 1);
    const DmiId component = serviceState.componentId;
    const std::vector<nlohmann::json> requests{GroupRequest(component, 5),
                                               GroupRequest(component, 13)};
    std::vector<nlohmann::json> quiet;
    {
        ManagementLine line;
        for (const nlohmann::json& request : requests) {
            quiet.push_back(line.Ask(request));
            ASSERT_EQ(quiet.back()["status"], 0) << quiet.back().dump();
        }
    }
    ASSERT_EQ(quiet[0]["rows"].size(), 3u);
    ASSERT_EQ(quiet[1]["rows"].size(), 125u);
    ExpectReadersAgree(requests, quiet, Readers, ReaderRounds);
}

// One attribute of one row as the get callback answered it.
struct DirectReading {
    DmiErrorStatus status = 0;
    DmiUnsigned type = 0;
    uint64_t integer = 0;
    std::string text;
    bool operator==(const DirectReading&) const = default;
};

DirectReading ReadThroughCallback(DmiId group, DmiId attribute, uint32_t row) {
    DmiAttributeData keyData{};
    keyData.id = 1;
    keyData.data.type = MIF_INTEGER;
    keyData.data.value.words[0] = row;
    DmiAttributeValues keys{1, &keyData};
    DmiAttributeData* record = nullptr;
    DirectReading reading;
    reading.status = OnCiGetAttribute(0, group, attribute, nullptr, &keys, &record);
    if (record == nullptr) {
        return reading;
    }
    reading.type = record->data.type;
    if (reading.type == MIF_DISPLAYSTRING || reading.type == MIF_OCTETSTRING) {
        const DmiString* text = record->data.value.str;
        reading.text.assign(text->body, text->size);
    } else {
        reading.integer =
            static_cast<uint64_t>(record->data.value.words[1]) << 32 | record->data.value.words[0];
    }
    DmiApi.DmiFreeAttributeData(record, serviceState.memoryDescriptor);
    return reading;
}

// Every attribute of every row of groups 5 and 13, and the row past the end of each.
std::vector<std::pair<std::string, DirectReading>> ReadTablesThroughCallbacks() {
    struct Table {
        DmiId group;
        DmiId lastAttribute;
        uint32_t rowsRead;
    };
    constexpr Table Tables[] = {{5, 4, 4}, {13, 2, 126}};
    std::vector<std::pair<std::string, DirectReading>> readings;
    for (const Table& table : Tables) {
        for (uint32_t row = 1; row <= table.rowsRead; ++row) {
            for (DmiId attribute = 1; attribute <= table.lastAttribute; ++attribute) {
                readings.emplace_back(std::to_string(table.group) + "." +
                                          std::to_string(attribute) + " row " + std::to_string(row),
                                      ReadThroughCallback(table.group, attribute, row));
            }
        }
    }
    return readings;
}

TEST(HardeningConcurrency, ThreadsInTheGetCallbackAgreeWithAQuietRead) {
    AgentMachine machine;
    InProcessAdapter adapter;
    ASSERT_EQ(machine.Start(), 1);
    const auto quiet = ReadTablesThroughCallbacks();
    for (const auto& [where, reading] : quiet) {
        ASSERT_TRUE(reading.status == DMIERR_NO_ERROR || reading.status == DMIERR_ROW_NOT_FOUND)
            << where << " answered " << reading.status << " with nobody else reading";
    }

    std::vector<std::string> failures[Readers];
    std::vector<std::thread> readers;
    for (int reader = 0; reader < Readers; ++reader) {
        readers.emplace_back([&, reader] {
            for (int round = 0; round < ReaderRounds; ++round) {
                const auto busy = ReadTablesThroughCallbacks();
                for (size_t i = 0; i < busy.size(); ++i) {
                    if (!(busy[i].second == quiet[i].second)) {
                        failures[reader].push_back(
                            busy[i].first + ": status " + std::to_string(busy[i].second.status) +
                            " value " + std::to_string(busy[i].second.integer) +
                            busy[i].second.text + ", alone status " +
                            std::to_string(quiet[i].second.status));
                    }
                }
            }
        });
    }
    for (std::thread& thread : readers) {
        thread.join();
    }
    for (const auto& readerFailures : failures) {
        for (size_t i = 0; i < readerFailures.size() && i < 5; ++i) {
            ADD_FAILURE() << readerFailures[i];
        }
        EXPECT_TRUE(readerFailures.empty()) << readerFailures.size() << " readings differed";
    }
}

}  // namespace
}  // namespace korvo::hardening

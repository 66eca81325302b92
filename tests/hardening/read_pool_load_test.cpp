// The service provider's multi-value reads at each size of its read pool (one read at a time,
// two, and the default): against the agent and the simulated adapter, every request answers
// exactly as it does one read at a time, also while several clients ask at once. Run it under
// the host-tsan preset as well: the pool calls the agent's callbacks side by side.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "management_server.h"
#include "read_pool.h"
#include "state/service_state.h"

namespace korvo::hardening {
namespace {

// The requests: groups without keys, whole tables, and listings that start inside a table,
// end at a count, or end where the table does.
std::vector<nlohmann::json> Requests(DmiId component) {
    auto request = [component](const char* op, DmiId group, nlohmann::json more = {}) {
        nlohmann::json made{{"op", op}, {"component", component}, {"group", group}};
        if (!more.is_null()) {
            made.update(more);
        }
        return made;
    };
    auto from = [](uint32_t row) { return nlohmann::json::array({{{"integer", row}}}); };
    return {
        request("get-group", 1),
        request("get-group", 8),
        request("get-group", 16),
        request("get-group", 5),
        request("get-group", 13),
        request("get-group", 14),
        request("get-rows", 13, {{"keys", from(120)}, {"count", 3}}),
        request("get-rows", 13, {{"keys", from(124)}}),
        request("get-rows", 5, {{"keys", from(2)}, {"count", 1}, {"attributes", {2, 1}}}),
        request("get-row", 13, {{"keys", from(125)}}),
        request("get-row", 13, {{"keys", from(126)}}),
    };
}

TEST(HardeningReadPool, EverySizeAnswersAsOneReadAtATimeDoes) {
    constexpr int kReaders = 3;
    constexpr int kRounds = 2;
    std::optional<std::vector<nlohmann::json>> oneAtATime;
    for (const char* size : {"1", "2", static_cast<const char*>(nullptr)}) {
        const std::string name = size != nullptr ? size : "the default";
        SCOPED_TRACE("read pool size " + name);
        korvo::test::ScopedEnv poolSize("KORVO_SP_READ_THREADS", size);
        AgentMachine machine;
        InProcessAdapter adapter;
        ASSERT_EQ(machine.Start(), 1);
        const std::vector<nlohmann::json> requests = Requests(serviceState.componentId);

        std::vector<nlohmann::json> quiet;
        {
            ManagementLine line;
            for (const nlohmann::json& request : requests) {
                quiet.push_back(line.Ask(request));
            }
            // The size the requests were read with, as the provider reports it.
            const nlohmann::json used = line.Ask({{"op", "stats"}})["readThreads"];
            if (size != nullptr) {
                EXPECT_EQ(used, std::stoul(size));
            } else {
                ASSERT_TRUE(used.is_number_unsigned()) << used;
                EXPECT_GE(used.get<unsigned>(), 1u);
                EXPECT_LE(used.get<unsigned>(), korvo::sp::kDefaultReadThreadsCap);
            }
        }
        if (!oneAtATime) {
            oneAtATime = quiet;
            ASSERT_EQ(quiet[4]["rows"].size(), 125u) << quiet[4].dump().substr(0, 500);
            ASSERT_EQ(quiet[4]["end"]["reason"], "row not found");
            ASSERT_EQ(quiet[6]["rows"].size(), 3u);
            ASSERT_EQ(quiet[7]["rows"].size(), 2u);
            ASSERT_EQ(quiet[10]["status"], DMIERR_ROW_NOT_FOUND);
        }
        for (size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(quiet[i], (*oneAtATime)[i]) << requests[i].dump();
        }

        ExpectReadersAgree(requests, quiet, kReaders, kRounds);
    }
}

// The most the provider permits at once: every management connection it serves asking a whole
// table, with the largest read pool. Between them they open more device connections at a time
// than the simulated adapter serves; those beyond wait for a slot, and every read answers as
// it does alone.
TEST(HardeningReadPool, TheLargestPoolUnderEveryConnectionAnswersEveryRead) {
    korvo::test::ScopedEnv poolSize("KORVO_SP_READ_THREADS",
                                    std::to_string(korvo::sp::kMaxReadThreads).c_str());
    AgentMachine machine;
    InProcessAdapter adapter;
    ASSERT_EQ(machine.Start(), 1);
    const std::vector<nlohmann::json> requests = {
        {{"op", "get-group"}, {"component", serviceState.componentId}, {"group", 13}},
        {{"op", "get-group"}, {"component", serviceState.componentId}, {"group", 8}},
    };
    std::vector<nlohmann::json> quiet;
    {
        ManagementLine line;
        for (const nlohmann::json& request : requests) {
            quiet.push_back(line.Ask(request));
            ASSERT_EQ(quiet.back()["status"], 0) << quiet.back().dump().substr(0, 500);
        }
    }
    ExpectReadersAgree(requests, quiet,
                       static_cast<int>(korvo::sp::ManagementServer::kMaxConnections), 6);
}

}  // namespace
}  // namespace korvo::hardening

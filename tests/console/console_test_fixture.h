// The console tests' fixture: a fake service provider that serves one small component (its
// groups, attributes, reads, writes, events and memory tracking), and whole command lines run
// against it.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/console_commands.h"
#include "dmi/dmi.h"
#include "korvo/provider_files.h"
#include "management/fake_management_server.h"
#include "support/private_root.h"

namespace korvo::console {

inline constexpr int kRowNotFound = DMIERR_ROW_NOT_FOUND;
inline constexpr int kValueUnknown = DMIERR_VALUE_UNKNOWN;

// An event of the component's failover group with sequence number `sequence`.
nlohmann::json Event(int sequence);
// A message as the one line the protocol sends it.
std::string Line(const nlohmann::json& message);
// The fake service provider's answer lines to one request.
std::vector<std::string> Answer(const nlohmann::json& request);

// The gets that the fake's multi-value answers stood for, in order, since they were forgotten.
void ForgetMultipleGets();
std::vector<nlohmann::json> MultipleGetReads();

struct Outcome {
    int exit;
    std::string out;
    std::string err;
    nlohmann::json document() const { return nlohmann::json::parse(out); }
};

class ConsoleTest : public testing::Test {
  protected:
    std::string SocketPath() const {
        return management::ProviderFile(root_.path() + "/dmi", management::kSocketFileName);
    }

    Outcome Run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--socket", SocketPath()});
        return RunWithoutSocket(arguments);
    }

    static Outcome RunWithoutSocket(const std::vector<std::string>& arguments) {
        std::ostringstream out;
        std::ostringstream err;
        const int exit = RunConsole(arguments, out, err);
        return {exit, out.str(), err.str()};
    }

    void SetUp() override { ForgetMultipleGets(); }

    // Every get, whether asked by itself or standing for a part of a multi-value request.
    std::vector<nlohmann::json> Reads() const {
        std::vector<nlohmann::json> reads = server_.Requests("get");
        const std::vector<nlohmann::json> parts = MultipleGetReads();
        reads.insert(reads.end(), parts.begin(), parts.end());
        return reads;
    }

    // The first key of each get of `group`, in order, with the attribute asked.
    std::vector<std::pair<int, int>> RowsAsked(int group) const {
        std::vector<std::pair<int, int>> rows;
        for (const nlohmann::json& request : Reads()) {
            if (request["group"] == group) {
                rows.emplace_back(request["keys"].empty() ? 0 : int(request["keys"][0]["integer"]),
                                  int(request["attribute"]));
            }
        }
        return rows;
    }

    test::PrivateRoot root_;
    test::FakeManagementServer server_{SocketPath(), Answer};
};

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace korvo::console

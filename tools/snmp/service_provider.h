// The subagent's connection to the service provider: its management socket, asked within the
// time the master agent's current request has left.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "management/management_client.h"

namespace korvo::snmp {

using Clock = std::chrono::steady_clock;

// The service provider's management socket, opened when needed and opened again after a
// failure, so a restarted service provider is found without restarting the subagent.
class ServiceProvider {
  public:
    ServiceProvider(std::string socketPath, std::chrono::milliseconds timeout)
        : socketPath_(std::move(socketPath)), timeout_(timeout) {}

    // The response, due before `deadline`; throws ConnectionError when the service provider
    // cannot be reached now or does not answer in time. A connection that fails at once (the
    // provider closed it while idle) is opened again once; one that timed out is not asked
    // again.
    nlohmann::json Request(const nlohmann::json& request, Clock::time_point deadline);

    management::ManagementClient& Client();

    void Drop() { client_.reset(); }

  private:
    std::string socketPath_;
    std::chrono::milliseconds timeout_;
    std::optional<management::ManagementClient> client_;
};

}  // namespace korvo::snmp

// Asking the service provider on the subagent's behalf: a request within the time left, and
// the management socket opened again after a failure.
#include "snmp/service_provider.h"

#include <algorithm>

namespace korvo::snmp {

using nlohmann::json;

json ServiceProvider::Request(const json& request, Clock::time_point deadline) {
    for (int attempt = 0;; ++attempt) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            throw management::ReplyTimeout(
                "no time left within the master agent's timeout to ask the service provider");
        }
        try {
            return Client().Request(request, std::min(timeout_, left));
        } catch (const management::ReplyTimeout&) {
            client_.reset();
            throw;
        } catch (const management::ConnectionError&) {
            client_.reset();
            if (attempt > 0) {
                throw;
            }
        }
    }
}

management::ManagementClient& ServiceProvider::Client() {
    if (!client_) {
        client_.emplace(management::ManagementSocketPath(socketPath_), timeout_);
    }
    return *client_;
}

}  // namespace korvo::snmp

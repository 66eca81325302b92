// korvo-read-load: sends many attribute reads to the service provider on one management
// connection, for memory and leak runs of the agent (scripts/valgrind-reads). Far quicker than
// as many console processes: requests go out in batches and every answer is checked.
//
//   korvo-read-load COUNT [--component ID]
//
// Reads cycle through attributes of every kind the agent serves (addresses, 64-bit counters,
// table rows, the driver's name, constants). Exit status 0 when every read answered with status
// 0, 1 when one did not (the first is shown), 2 for a usage error, 3 when the service provider
// cannot be reached.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "korvo/management_protocol.h"
#include "korvo_host.h"
#include "management/management_requests.h"
#include "support/json_line_socket.h"

namespace {

constexpr size_t BatchSize = 64;
constexpr int AnswerTimeoutMs = 30000;

struct Target {
    unsigned group;
    unsigned attribute;
    int key;  // -1: no key
};
constexpr Target Targets[] = {
    {4, 2, -1}, {4, 6, -1},  {15, 1, -1}, {15, 20, -1}, {13, 2, 17}, {14, 2, 5},
    {6, 2, -1}, {6, 3, -1},  {3, 1, 2},   {5, 4, 1},    {7, 4, -1},  {16, 6, -1},
    {1, 6, -1}, {10, 3, -1}, {11, 1, -1}, {8, 9, -1},
};

int Usage() {
    std::fprintf(stderr, "usage: korvo-read-load COUNT [--component ID]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        return Usage();
    }
    char* end = nullptr;
    const unsigned long long count = std::strtoull(argv[1], &end, 10);
    if (*argv[1] == '\0' || *end != '\0') {
        return Usage();
    }
    long long component = -1;
    if (argc == 4) {
        if (std::strcmp(argv[2], "--component") != 0) {
            return Usage();
        }
        component = std::strtoll(argv[3], &end, 10);
        if (*end != '\0' || component < 0) {
            return Usage();
        }
    }

    const std::string socket = korvo::management::SocketPath();
    const int fd = korvo::host::ConnectUnix(socket);
    if (fd < 0) {
        std::fprintf(stderr,
                     "korvo-read-load: cannot connect to %s: %s; is WIN32DMIPATH set and the "
                     "agent running?\n",
                     socket.c_str(), std::strerror(errno));
        return 3;
    }
    korvo::test::JsonLineSocket connection(fd);
    std::optional<std::string> line;
    if (component < 0) {
        if (!connection.Send(korvo::management::request::ListComponents().dump() + "\n") ||
            !(line = connection.ReadLine(AnswerTimeoutMs))) {
            std::fprintf(stderr, "korvo-read-load: the service provider did not answer\n");
            return 3;
        }
        const auto answer = nlohmann::json::parse(*line, nullptr, false);
        if (!answer.is_object() || !answer.contains("components") || answer["components"].empty()) {
            std::fprintf(stderr, "korvo-read-load: no component is installed: %s\n", line->c_str());
            return 1;
        }
        component = answer["components"][0]["id"].get<long long>();
    }

    std::vector<std::string> requests;
    for (const Target& target : Targets) {
        const auto keys = target.key >= 0 ? nlohmann::json::array({{{"integer", target.key}}})
                                          : nlohmann::json::array();
        requests.push_back(korvo::management::request::Get(static_cast<uint32_t>(component),
                                                           target.group, target.attribute, keys)
                               .dump() +
                           "\n");
    }

    const auto started = std::chrono::steady_clock::now();
    unsigned long long sent = 0;
    unsigned long long answered = 0;
    while (answered < count) {
        std::string batch;
        const unsigned long long last = std::min<unsigned long long>(count, sent + BatchSize);
        for (; sent < last; ++sent) {
            batch += requests[sent % requests.size()];
        }
        if (!connection.Send(batch)) {
            std::fprintf(stderr, "korvo-read-load: the connection broke after %llu reads\n",
                         answered);
            return 3;
        }
        for (; answered < sent; ++answered) {
            if (!(line = connection.ReadLine(AnswerTimeoutMs))) {
                std::fprintf(stderr, "korvo-read-load: no answer to read %llu\n", answered + 1);
                return 3;
            }
            const auto answer = nlohmann::json::parse(*line, nullptr, false);
            if (!answer.is_object() || answer.value("status", -1) != 0) {
                std::fprintf(stderr, "korvo-read-load: read %llu (%s) answered %s\n", answered + 1,
                             requests[answered % requests.size()].c_str(), line->c_str());
                return 1;
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%llu reads of component %lld answered in %.1f s (%.0f a second)\n", count,
                component, seconds, seconds > 0 ? static_cast<double>(count) / seconds : 0.0);
    return 0;
}

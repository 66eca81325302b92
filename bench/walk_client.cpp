// korvo-walk-client: the reads of a whole-component walk through the service provider, timed
// one request at a time on one management connection, so that the macro benchmark
// (scripts/bench) sees the service provider, the agent and the adapter and not the start-up
// of a console process per walk. Also the quickest way to put many reads through the agent,
// for the memory figures.
//
//   korvo-walk-client walk [--rounds N] [--component ID]
//   korvo-walk-client load COUNT [--component ID]
//
// walk: lists the groups and attributes once and finds the walk's reads as the console's walk
// does (every readable attribute of a single-row group; a table row by row until "row not
// found", a row that repeats the one before it, or a row without any value), then makes those
// reads N times over (default 20), one outstanding request at a time, and prints one line of
// "key=value" figures: values per walk, reads per walk, reads/s, median and 99th-percentile
// latency in microseconds.
// load: COUNT reads cycling through the walk's reads, sent in batches, every answer checked;
// prints the reads made and reads/s.
//
// Exit status 0 on success, 1 when a read the walk found answered otherwise the second time,
// 2 for a usage error, 3 when the service provider cannot be reached or stops answering.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dmi/dmi.h"
#include "korvo/management_protocol.h"
#include "management/management_client.h"
#include "management/management_requests.h"
#include "support/json_line_socket.h"

namespace {

using nlohmann::json;

constexpr int AnswerTimeoutMs = 30000;
constexpr uint32_t WalkRowBound = 10000;  // the console's bound on a table's rows
constexpr size_t LoadBatchSize = 64;
constexpr unsigned DefaultRounds = 20;

// Reported with exit status 3: the service provider is gone or silent.
struct ConnectionLost : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The management connection, its failures thrown as ConnectionLost.
class Connection {
  public:
    // $WIN32DMIPATH/dmi.sock, or the loopback port that a service provider built for Windows
    // names in dmi.port (under Wine).
    Connection() : Connection(korvo::management::ManagementSocketPath("")) {}
    explicit Connection(const std::string& endpoint)
        : line_(korvo::management::ConnectManagementEndpoint(endpoint)) {
        if (!line_.connected()) {
            throw ConnectionLost("cannot connect to " + endpoint + ": " + std::strerror(errno) +
                                 "; is WIN32DMIPATH set and the agent running?");
        }
    }

    void Send(const std::string& text) {
        if (!line_.Send(text)) {
            throw ConnectionLost("the management connection broke while sending");
        }
    }

    std::string ReadLine() {
        auto line = line_.ReadLine(AnswerTimeoutMs);
        if (!line) {
            throw ConnectionLost(line_.closed()
                                     ? "the service provider closed the management connection"
                                     : "the service provider did not answer within 30 s");
        }
        return std::move(*line);
    }

    json Request(const json& request) {
        Send(request.dump() + "\n");
        const std::string line = ReadLine();
        json answer = json::parse(line, nullptr, false);
        if (!answer.is_object()) {
            throw ConnectionLost("the service provider answered a line that is not JSON: " + line);
        }
        return answer;
    }

  private:
    korvo::test::JsonLineSocket line_;
};

uint32_t StatusOf(const json& answer) {
    return answer.value("status", 0xFFFFFFFFu);
}

struct WalkRead {
    std::string request;  // the request line, newline included
    bool hasValue;        // answered status 0 with a value when the walk was found
};

bool HasValue(const json& answer) {
    return StatusOf(answer) == 0 && answer.contains("value");
}

// The reads a walk of the whole component makes, found by making them once.
std::vector<WalkRead> FindWalk(Connection& connection, uint32_t component) {
    std::vector<WalkRead> reads;
    const json groups = connection.Request(korvo::management::request::ListGroups(component));
    if (StatusOf(groups) != 0) {
        throw std::runtime_error("list-groups answered " + groups.dump());
    }
    auto keep = [&](const json& request, const json& answer) {
        reads.push_back({request.dump() + "\n", HasValue(answer)});
    };
    for (const json& group : groups["groups"]) {
        const uint32_t groupId = group["id"];
        const json listed =
            connection.Request(korvo::management::request::ListAttributes(component, groupId));
        if (StatusOf(listed) != 0) {
            continue;  // the console's walk shows the refusal and reads nothing there
        }
        std::vector<uint32_t> readable;
        for (const json& attribute : listed["attributes"]) {
            if (attribute.value("access", "") != "write-only") {
                readable.push_back(attribute["id"]);
            }
        }
        const json& keyIds = group["keys"];
        if (keyIds.empty()) {
            for (const uint32_t attribute : readable) {
                const json request =
                    korvo::management::request::Get(component, groupId, attribute, json::array());
                keep(request, connection.Request(request));
            }
            continue;
        }
        std::vector<json> previous;
        for (uint32_t row = 1; row <= WalkRowBound && !readable.empty(); ++row) {
            json keys = json::array();
            for (size_t i = 0; i < keyIds.size(); ++i) {
                keys.push_back(
                    {{"id", keyIds[i]}, {"type", MIF_INTEGER}, {"integer", i == 0 ? row : 1u}});
            }
            std::vector<json> answers;
            const size_t rowStart = reads.size();
            bool rowNotFound = false;
            bool anyValue = false;
            for (const uint32_t attribute : readable) {
                const json request =
                    korvo::management::request::Get(component, groupId, attribute, keys);
                json answer = connection.Request(request);
                keep(request, answer);
                if (StatusOf(answer) == DMIERR_ROW_NOT_FOUND) {
                    rowNotFound = true;
                    break;
                }
                anyValue = anyValue || HasValue(answer);
                // A row is compared with the one before it by status and value only.
                answers.push_back(
                    {{"status", StatusOf(answer)}, {"value", answer.value("value", json())}});
            }
            if (row > 1 && answers == previous) {
                // The console shows nothing of a row that repeats the one before it.
                for (size_t i = rowStart; i < reads.size(); ++i) {
                    reads[i].hasValue = false;
                }
                break;
            }
            if (rowNotFound || !anyValue) {
                break;
            }
            previous = std::move(answers);
        }
    }
    return reads;
}

double Percentile(std::vector<double>& sorted, double fraction) {
    const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

uint32_t FirstComponent(Connection& connection) {
    const json answer = connection.Request(korvo::management::request::ListComponents());
    if (StatusOf(answer) != 0 || !answer.contains("components") || answer["components"].empty()) {
        throw std::runtime_error("no component is installed: " + answer.dump());
    }
    return answer["components"][0]["id"];
}

int TimedWalks(Connection& connection, const std::vector<WalkRead>& walk, unsigned rounds) {
    size_t values = 0;
    for (const WalkRead& read : walk) {
        values += read.hasValue ? 1 : 0;
    }
    std::vector<double> latencies;
    latencies.reserve(walk.size() * rounds);
    const auto started = std::chrono::steady_clock::now();
    for (unsigned round = 0; round < rounds; ++round) {
        for (const WalkRead& read : walk) {
            const auto sent = std::chrono::steady_clock::now();
            connection.Send(read.request);
            const std::string line = connection.ReadLine();
            latencies.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent)
                    .count());
            // The answer is checked after the clock stops: the console parses it too, but the
            // figure is the round trip through the service provider and the agent.
            if (read.hasValue && line.find("\"status\":0") == std::string::npos) {
                std::fprintf(stderr, "korvo-walk-client: %s answered %s\n", read.request.c_str(),
                             line.c_str());
                return 1;
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "values_per_walk=%zu reads_per_walk=%zu rounds=%u reads=%zu seconds=%.3f "
        "reads_per_second=%.0f values_per_second=%.0f median_us=%.1f p99_us=%.1f\n",
        values, walk.size(), rounds, latencies.size(), seconds,
        static_cast<double>(latencies.size()) / seconds,
        static_cast<double>(values * rounds) / seconds, Percentile(latencies, 0.5),
        Percentile(latencies, 0.99));
    return 0;
}

int Load(Connection& connection, const std::vector<WalkRead>& walk, unsigned long long count) {
    std::vector<const WalkRead*> valued;
    for (const WalkRead& read : walk) {
        if (read.hasValue) {
            valued.push_back(&read);
        }
    }
    const auto started = std::chrono::steady_clock::now();
    unsigned long long sent = 0;
    unsigned long long answered = 0;
    while (answered < count) {
        std::string batch;
        const unsigned long long last = std::min<unsigned long long>(count, sent + LoadBatchSize);
        for (; sent < last; ++sent) {
            batch += valued[sent % valued.size()]->request;
        }
        connection.Send(batch);
        for (; answered < sent; ++answered) {
            const std::string line = connection.ReadLine();
            if (line.find("\"status\":0") == std::string::npos) {
                std::fprintf(stderr, "korvo-walk-client: read %llu (%s) answered %s\n",
                             answered + 1, valued[answered % valued.size()]->request.c_str(),
                             line.c_str());
                return 1;
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("reads=%llu seconds=%.1f reads_per_second=%.0f\n", count, seconds,
                static_cast<double>(count) / seconds);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: korvo-walk-client walk [--rounds N] [--component ID]\n"
                 "       korvo-walk-client load COUNT [--component ID]\n");
    return 2;
}

std::optional<unsigned long long> Number(const char* text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || value == 0) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    const std::string mode = argv[1];
    unsigned long long count = 0;
    unsigned rounds = DefaultRounds;
    std::optional<unsigned long long> component;
    int next = 2;
    if (mode == "load") {
        if (argc < 3 || !Number(argv[2])) {
            return Usage();
        }
        count = *Number(argv[2]);
        next = 3;
    } else if (mode != "walk") {
        return Usage();
    }
    for (; next < argc; next += 2) {
        if (next + 1 >= argc) {
            return Usage();
        }
        const std::string option = argv[next];
        const auto value = Number(argv[next + 1]);
        if (option == "--rounds" && mode == "walk" && value && *value <= 1000000) {
            rounds = static_cast<unsigned>(*value);
        } else if (option == "--component" && value && *value <= UINT32_MAX) {
            component = value;
        } else {
            return Usage();
        }
    }

    try {
        Connection connection;
        const uint32_t componentId =
            component ? static_cast<uint32_t>(*component) : FirstComponent(connection);
        const std::vector<WalkRead> walk = FindWalk(connection, componentId);
        if (std::none_of(walk.begin(), walk.end(), [](const WalkRead& r) { return r.hasValue; })) {
            std::fprintf(stderr, "korvo-walk-client: the walk of component %u read no value\n",
                         componentId);
            return 1;
        }
        return mode == "walk" ? TimedWalks(connection, walk, rounds)
                              : Load(connection, walk, count);
    } catch (const ConnectionLost& lost) {
        std::fprintf(stderr, "korvo-walk-client: %s\n", lost.what());
        return 3;
    } catch (const korvo::management::ConnectionError& unknown) {
        std::fprintf(stderr, "korvo-walk-client: %s\n", unknown.what());
        return 3;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "korvo-walk-client: %s\n", failure.what());
        return 1;
    }
}
